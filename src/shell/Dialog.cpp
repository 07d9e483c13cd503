// Dialog.cpp - the main dialog: layout, drops, START/STOP, the closing
// sequence, and the interface services the worker calls (platform/Ui.h),
// each carried out by the interface thread.
#include <windows.h>
#include <shellapi.h>

#include "platform/Ui.h"
#include "resource.h"
#include "shell/Shell.h"
#include "worker/Worker.h"

// A request from the worker to enable or disable a control, sent to the
// dialog so that the interface thread carries it out.
#define WM_ENABLE_CONTROL (WM_APP + 1)

// How long the closing sequence waits for the file in hand to be finished.
constexpr DWORD CLOSE_WAIT_MS = 20000;

//----------------------------------------------------------------------------
// OnSize - fixed places in pixels; the log takes the rest of the client
// area. Controls that do not exist yet are skipped.
static void OnSize(HWND dialog, int width, int height)
{
    struct Place {
        int id, x, y, w, h;
    };
    const Place places[] = {
        {IDC_START, 10, 5, 50, 20},
        {IDC_STOP, 70, 5, 50, 20},
        {IDC_ALLAPP, 130, 5, 185, 20},
        {IDC_LOG, 10, 30, width - 20, height - 35},
    };
    for (const Place& place : places) {
        HWND control = GetDlgItem(dialog, place.id);
        if (control != nullptr) {
            MoveWindow(control, place.x, place.y, place.w, place.h, TRUE);
        }
    }
}

static void OnInitDialog(HWND dialog)
{
    DragAcceptFiles(dialog, TRUE);
    LoadSettings(dialog, SETTINGS_FILE, SETTINGS_SECTION);
    HICON icon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_MAIN));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, (LPARAM)icon);
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    EnableWindow(GetDlgItem(dialog, IDC_START), FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_STOP), FALSE);
}

// A drop waits for the worker in g_pendingDrop; one that arrives while
// another waits is released at once.
static void OnDropFiles(HDROP drop)
{
    void* expected = nullptr;
    if (!g_pendingDrop.compare_exchange_strong(expected, drop)) {
        DragFinish(drop);
    }
}

// Presses OK on the message boxes the worker thread is showing.
static BOOL CALLBACK AnswerWorkerBox(HWND window, LPARAM)
{
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return TRUE;
}

//----------------------------------------------------------------------------
// StopWorker - asks the worker to stop and waits until the file in hand is
// finished, so that no rewrite is cut short. Meanwhile the worker's
// synchronous requests are served (and fail at once, the windows being
// gone), and a box it shows is answered. The wait is bounded; the process
// ends the worker only after that, when every original is still intact
// since each rewrite replaces its file only when complete.
static void StopWorker()
{
    g_cancel = 1;
    g_workerQuit = 1;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < CLOSE_WAIT_MS) {
        DWORD woke = MsgWaitForMultipleObjects(1, &g_worker, FALSE, 100, QS_SENDMESSAGE);
        if (woke == WAIT_OBJECT_0) {
            break;
        }
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        EnumThreadWindows(g_workerId, AnswerWorkerBox, 0);
    }
    CloseHandle(g_worker);
    g_worker = nullptr;
}

//----------------------------------------------------------------------------
// OnClose - the closing sequence: save the settings, destroy both windows
// (which ends the message loop), stop the worker, release a waiting drop.
static void OnClose(HWND dialog)
{
    SaveSettings(dialog, SETTINGS_FILE, SETTINGS_SECTION);
    g_closing = 1;
    SendMessageA(g_hiddenWindow, WM_CLOSE, 0, 0);
    if (g_worker != nullptr) {
        StopWorker();
        void* pending = g_pendingDrop.exchange(nullptr);
        if (pending != nullptr) {
            DragFinish((HDROP)pending);
        }
    }
}

BOOL OnCommand(HWND dialog, int command)
{
    switch (command) {
    case IDC_START:
        if (g_itemCount.load() > 0) {
            g_startRequested = 1;
        }
        return TRUE;
    case IDC_STOP:
        g_cancel = 1;
        return TRUE;
    case ID_CLOSE:
        SendMessageA(dialog, WM_CLOSE, 0, 0);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        return TRUE;
    case WM_SIZE:
        OnSize(dialog, (short)LOWORD(lParam), (short)HIWORD(lParam));
        return FALSE;
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam));
    case WM_DROPFILES:
        OnDropFiles((HDROP)wParam);
        return FALSE;
    case WM_CLOSE:
        OnClose(dialog);
        return TRUE;
    case WM_ENABLE_CONTROL:
        EnableWindow(GetDlgItem(dialog, (int)wParam), lParam ? TRUE : FALSE);
        return TRUE;
    }
    return FALSE;
}

//----------------------------------------------------------------------------
// Interface services. Each is a synchronous send to a window of the
// interface thread; once the closing sequence has begun they do nothing.

int32_t UiLogLength()
{
    if (g_closing.load()) {
        return 0;
    }
    return (int32_t)SendDlgItemMessageA(g_mainDialog, IDC_LOG, WM_GETTEXTLENGTH, 0, 0);
}

void UiLogSelect(int32_t start, int32_t end)
{
    if (!g_closing.load()) {
        SendDlgItemMessageA(g_mainDialog, IDC_LOG, EM_SETSEL, (WPARAM)start, (LPARAM)end);
    }
}

void UiLogReplaceSelection(const char* text)
{
    if (!g_closing.load()) {
        SendDlgItemMessageA(g_mainDialog, IDC_LOG, EM_REPLACESEL, TRUE, (LPARAM)text);
    }
}

void UiClearLog(void* dialog)
{
    if (!g_closing.load()) {
        SendDlgItemMessageA((HWND)dialog, IDC_LOG, WM_SETTEXT, 0, (LPARAM) "");
    }
}

void UiEnableControl(void* dialog, int id, int enable)
{
    if (!g_closing.load()) {
        SendMessageA((HWND)dialog, WM_ENABLE_CONTROL, (WPARAM)id, (LPARAM)enable);
    }
}

int UiIsChecked(void* dialog, int id)
{
    if (g_closing.load()) {
        return 0;
    }
    return SendDlgItemMessageA((HWND)dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void UiMessageBox(void* owner, const char* text, const char* caption)
{
    if (!g_closing.load()) {
        MessageBoxA((HWND)owner, text, caption, MB_OK);
    }
}

uint32_t DropItemCount(void* drop)
{
    return DragQueryFileA((HDROP)drop, 0xFFFFFFFF, nullptr, 0);
}

// The full length first: a path that does not fit is never copied cut short.
uint32_t DropItemPath(void* drop, uint32_t index, char* buffer, uint32_t capacity)
{
    UINT length = DragQueryFileA((HDROP)drop, index, nullptr, 0);
    if (length == 0 || length >= capacity) {
        return length;
    }
    return DragQueryFileA((HDROP)drop, index, buffer, capacity);
}

void DropRelease(void* drop)
{
    DragFinish((HDROP)drop);
}
