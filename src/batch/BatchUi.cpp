// BatchUi.cpp - the interface services of the console front end.
#include "batch/BatchUi.h"

#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "platform/WinText.h"
#endif

#include "core/Ui.h"
#include "support/Track.h"
#include "worker/WorkerUi.h"

static int s_dialog;           // its address is the dialog token
static int s_allApp;
static int s_startEnabled;
static int s_boxShown;
static int s_holding = 1;      // log held back until BatchFlushLog
static std::string s_held;

void* BatchDialog()
{
    return &s_dialog;
}

void BatchSetAllApp(int checked)
{
    s_allApp = checked;
}

int BatchStartEnabled()
{
    return s_startEnabled;
}

int BatchBoxShown()
{
    return s_boxShown;
}

#ifdef _WIN32
// Whether standard output and standard error are consoles.
static int s_console[2];

static int IsConsole(FILE* stream)
{
    DWORD mode;
    return GetConsoleMode((HANDLE)_get_osfhandle(_fileno(stream)), &mode) != 0;
}
#endif

void BatchSetUpOutput()
{
#ifdef _WIN32
    // The log's own "\r\n" goes out as it is, not as "\r\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    s_console[0] = IsConsole(stdout);
    s_console[1] = IsConsole(stderr);
#endif
}

#ifdef _WIN32
static int s_consoleFailed;  // a write to a console failed

static int WriteConsoleUnits(void* console, const wchar_t* units, DWORD count, DWORD* written)
{
    return WriteConsoleW((HANDLE)console, units, count, written, nullptr) != 0;
}
#endif

int BatchOutputFailed()
{
#ifdef _WIN32
    return s_consoleFailed;
#else
    return 0;
#endif
}

// A console on Windows takes the text in UTF-16, whatever its code page;
// anything else (a file, a pipe) gets the UTF-8 bytes, as on Linux. The
// Windows C runtime buffers a stream fully whatever it is asked, so a line
// reaches a file or a pipe at its end only when flushed then.
void BatchPrint(FILE* stream, const char* text)
{
#ifdef _WIN32
    if (s_console[stream == stderr]) {
        fflush(stream);
        wchar_t* wide = WinWiden(text);
        HANDLE console = (HANDLE)_get_osfhandle(_fileno(stream));
        if (wide == nullptr || !WinWriteInPieces(wide, wcslen(wide), WriteConsoleUnits, console)) {
            s_consoleFailed = 1;
        }
        WinFree(wide);
        return;
    }
    fputs(text, stream);
    if (strchr(text, '\n') != nullptr) {
        fflush(stream);
    }
#else
    fputs(text, stream);
#endif
}

// On Linux a line ends in "\n"; on Windows the log's "\r\n" stays.
static void WriteOut(const char* text)
{
#ifdef _WIN32
    BatchPrint(stdout, text);
#else
    for (const char* at = text; *at; at++) {
        if (!(at[0] == '\r' && at[1] == '\n')) {
            fputc(*at, stdout);
        }
    }
#endif
}

void BatchFlushLog()
{
    WriteOut(s_held.c_str());
    s_held.clear();
    s_holding = 0;
    fflush(stdout);
}

void UiLogAppend(const char* text)
{
    if (s_holding) {
        s_held += text;
    } else {
        WriteOut(text);
    }
}

void UiClearLog(void*)
{
    s_held.clear();
}

void UiEnableButton(void*, int button, int enable)
{
    if (button == WORKER_START) {
        s_startEnabled = enable;
    }
}

int UiAllAppChecked(void*)
{
    return s_allApp;
}

// "CAPTION: TEXT" on one line; the text's own closing line break is dropped.
void UiMessageBox(void*, const char* text, const char* caption)
{
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        length--;
    }
    fflush(stdout);
    BatchPrint(stderr, (std::string(caption) + ": " + std::string(text, length) + "\n").c_str());
    fflush(stderr);
    s_boxShown = 1;
}

uint32_t DropItemCount(void* drop)
{
    return ((BatchDrop*)drop)->count;
}

// The paths are full already (BatchMain.cpp made them so); null for an
// item that is none.
char* DropItemPath(void* drop, uint32_t index)
{
    BatchDrop* batch = (BatchDrop*)drop;
    return index < batch->count && batch->paths[index] ? FormatText("%s", batch->paths[index]) : nullptr;
}

void DropRelease(void*)
{
}
