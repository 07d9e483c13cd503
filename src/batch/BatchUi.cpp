// BatchUi.cpp - the interface services of the console front end.
#include "batch/BatchUi.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Ui.h"

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

// On Linux a line ends in "\n"; on Windows the log's "\r\n" stays (standard
// output is in binary mode there, so it is not doubled).
static void WriteOut(const char* text)
{
#ifdef _WIN32
    fwrite(text, 1, strlen(text), stdout);
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

void UiEnableControl(void*, int id, int enable)
{
    if (id == IDC_START) {
        s_startEnabled = enable;
    }
}

int UiIsChecked(void*, int id)
{
    return id == IDC_ALLAPP && s_allApp;
}

// "CAPTION: TEXT" on one line; the text's own closing line break is dropped.
void UiMessageBox(void*, const char* text, const char* caption)
{
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        length--;
    }
    fflush(stdout);
    fprintf(stderr, "%s: %.*s\n", caption, (int)length, text);
    fflush(stderr);
    s_boxShown = 1;
}

uint32_t DropItemCount(void* drop)
{
    return ((BatchDrop*)drop)->count;
}

uint32_t DropItemPath(void* drop, uint32_t index, char* buffer, uint32_t capacity)
{
    BatchDrop* batch = (BatchDrop*)drop;
    if (index >= batch->count) {
        return 0;
    }
    size_t length = strlen(batch->paths[index]);
    if (length < capacity) {
        memcpy(buffer, batch->paths[index], length + 1);
    }
    return (uint32_t)length;
}

void DropRelease(void*)
{
}
