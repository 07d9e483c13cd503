// DosV1.cpp - entry point of marlovex.exe: language, single instance, the
// hidden window, the main dialog, the worker thread and the message loop.
// Every window is a Unicode window, so names show as they are.
#include <windows.h>

#include "core/Catalogue.h"
#include "core/Log.h"
#include "platform/WinText.h"
#include "resource.h"
#include "shell/Shell.h"
#include "worker/Worker.h"

HINSTANCE g_instance;           // this program's instance, for its resources
std::atomic<void*> g_mainDialog{nullptr};  // the visible modeless dialog
HWND g_hiddenWindow;            // ends the message loop when it is destroyed
HANDLE g_worker;                // the worker thread, null until started
DWORD g_workerId;               // its thread id
std::atomic<int> g_closing{0};  // the closing sequence has begun

static HACCEL s_accelerators;   // Ctrl+Q (and three that do nothing)
static HANDLE s_mutex;          // its existence keeps a second copy out

// The log pane is brought up to date at least this often while work goes
// on: ten times a second keeps it visibly moving.
constexpr uint32_t LOG_BATCH_INTERVAL_MS = 100;
// The log pane holds up to 32 Mi characters, far beyond the edit control's
// default of 30,000, so a long day's log is never cut.
constexpr WPARAM LOG_TEXT_LIMIT = 33554432;

static const wchar_t CLASS_NAME[] = L"marlovex";
static const wchar_t MUTEX_NAME[] = L"marlovex";

//----------------------------------------------------------------------------
// HiddenWindowProc - a close request destroys both windows; the hidden
// window's destruction ends the message loop.
static LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        if (MainDialog() != nullptr) {
            DestroyWindow(MainDialog());
            g_mainDialog = nullptr;
        }
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COPYDATA:
        return OnHandOver((const COPYDATASTRUCT*)lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static ATOM RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSW windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = HiddenWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_APPWORKSPACE + 1);
    windowClass.lpszClassName = CLASS_NAME;
    return RegisterClassW(&windowClass);
}

static DWORD WINAPI WorkerThread(LPVOID dialog)
{
    WorkerMain(dialog);
    return 0;
}

//----------------------------------------------------------------------------
// CreateMainWindows - the hidden window, then the dialog (whose
// initialisation loads the settings), shown at the settings' rectangle,
// then the opening log texts and the worker.
static int CreateMainWindows(HINSTANCE instance)
{
    HWND hidden = CreateWindowExW(0, CLASS_NAME, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                                  nullptr, nullptr, instance, nullptr);
    if (hidden == nullptr) {
        return 0;
    }
    int dialogId = g_language == 1 ? IDD_MAIN_JA : IDD_MAIN_EN;
    HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(dialogId), nullptr, MainDialogProc, 0);
    if (dialog == nullptr) {
        return 0;
    }
    g_mainDialog = dialog;
    g_hiddenWindow = hidden;
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    SendDlgItemMessageW(dialog, IDC_LOG, EM_SETLIMITTEXT, LOG_TEXT_LIMIT, 0);
    // The pane gets the log in batches (see SetLogBatching); the opening
    // texts take the same path and are in the pane before the worker starts.
    SetLogBatching(LOG_BATCH_INTERVAL_MS);
    AppendLog(Msg(MSG_DROP_PROMPT));
    AppendLog(Msg(MSG_NOTE));
    FlushLog();
    ShowLogFromLeft(dialog);
    if (g_worker == nullptr) {
        g_worker = CreateThread(nullptr, 0, WorkerThread, dialog, 0, &g_workerId);
    }
    return 1;
}

// One copy at a time. Creating the mutex and asking whether it existed
// is one step, so two copies started at the same instant cannot both
// pass; a mutex we may not open belongs to a copy running elsewhere.
// 1 when this copy is the one.
static int TakeMutex()
{
    s_mutex = CreateMutexW(nullptr, FALSE, MUTEX_NAME);
    if (s_mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) {
        return 1;
    }
    if (s_mutex != nullptr) {
        CloseHandle(s_mutex);
        s_mutex = nullptr;
    }
    return 0;
}

// A second copy's paths go to the running copy. Its hidden window may not
// exist yet (it is starting) or any more (it is closing, which can take the
// close's 20 s and more): this copy keeps trying, for long enough to cover
// both, to reach the window or to take the mutex. 1 when it took the mutex:
// the running copy has ended, and this one runs in its place with the paths
// as its own. Otherwise, when the paths were not taken, a box says so.
constexpr DWORD HANDOVER_WAIT_MS = 30000;
constexpr DWORD HANDOVER_RETRY_MS = 100;

static int HandOver(const wchar_t* list, size_t units)
{
    DWORD start = GetTickCount();
    do {
        HWND target = FindWindowW(CLASS_NAME, nullptr);
        if (target != nullptr) {
            int answer = SendPathList(target, list, units);
            if (answer == HANDOVER_TAKEN) {
                return 0;
            }
            if (answer != HANDOVER_CLOSING) {
                break;
            }
        } else if (TakeMutex()) {
            return 1;
        }
        Sleep(HANDOVER_RETRY_MS);
    } while (GetTickCount() - start < HANDOVER_WAIT_MS);
    wchar_t* text = WinWidenLossy(Msg(MSG_HANDOVER_FAILED));
    wchar_t* caption = WinWidenLossy(Msg(MSG_ERROR_CAPTION));
    MessageBoxW(nullptr, text ? text : L"", caption ? caption : L"", MB_OK);
    WinFree(text);
    WinFree(caption);
    return 0;
}

// The command line holds paths only (Explorer's drop on the program's
// icon, "Send to", a shortcut); they are dropped onto the window once it
// is up. There are no options. The show command is not used: the dialog
// appears as the settings left it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand)
{
    (void)commandLine;  // read whole and wide: GetCommandLineW
    (void)showCommand;
    g_instance = instance;
    g_language = LanguageForLocale(GetUserDefaultLCID());
    size_t units = 0;
    wchar_t* given = CommandLinePathList(&units);

    // A second copy without paths ends silently; with paths it hands them
    // over, unless the running copy ends meanwhile.
    if (!TakeMutex() && (given == nullptr || !HandOver(given, units))) {
        WinFree(given);
        return 0;
    }
    if ((previousInstance == nullptr && !RegisterMainClass(instance)) || !CreateMainWindows(instance)) {
        WinFree(given);
        return 0;
    }
    // No drop waits yet: the windows take no message from outside before
    // the loop.
    if (given != nullptr) {
        StorePathListDrop(given, units);
        WinFree(given);
    }
    s_accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCEL));
    if (s_accelerators == nullptr) {
        MessageBoxW(nullptr, L"Error in LoadAccelerators", L"", MB_OK);
    }

    // Accelerators first; no dialog keyboard handling (Tab, Enter and Escape
    // get only what the focused control does with them).
    MSG message;
    message.wParam = 0;
    for (;;) {
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        if (s_accelerators != nullptr && MainDialog() != nullptr &&
            TranslateAcceleratorW(MainDialog(), s_accelerators, &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // The mutex was never owned; it goes with the process.
    return (int)message.wParam;
}
