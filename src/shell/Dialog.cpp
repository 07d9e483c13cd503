// Dialog.cpp - the main dialog: layout, drops, START/STOP, the closing
// sequence, and the interface services the core and the worker call
// (core/Ui.h, worker/WorkerUi.h), each carried out by the interface thread.
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "core/Catalogue.h"
#include "core/Ui.h"
#include "platform/Platform.h"
#include "platform/WinText.h"
#include "resource.h"
#include "shell/Layout.h"
#include "shell/Shell.h"
#include "support/Track.h"
#include "worker/Worker.h"
#include "worker/WorkerUi.h"

// Requests from the worker, carried out by the interface thread. The log
// text is posted, so that the worker goes on while the edit control works;
// the others are sent, and each first takes every log text posted before it
// (DrainLog), so texts, clears, control changes and boxes keep their order.
#define WM_ENABLE_CONTROL (WM_APP + 1)  // sent: wParam the control, lParam 1 to enable
#define WM_LOG_TEXT (WM_APP + 2)        // posted: lParam a heap block with the text
#define WM_LOG_SYNC (WM_APP + 3)        // sent: every posted text is in the pane on return
#define WM_LOG_CLEAR (WM_APP + 4)       // sent: empties the pane

// How long the closing sequence lets the file in hand finish before it is
// abandoned (its temporary file removed, the photo untouched): after a
// close the window is gone at once and the program may take its time;
// the end of a session allows a few seconds in all.
constexpr DWORD CLOSE_FINISH_MS = 20000;
constexpr DWORD SESSION_END_FINISH_MS = 1500;
// How long an abandoned file may take to end, the worker then being at its
// next write at most. A commit under way is always finished. Should the
// worker still be inside one write or flush when the program ends, the
// system removes its temporary file, which is marked so.
constexpr DWORD ABANDON_WAIT_MS = 1500;

//----------------------------------------------------------------------------
// The log pane. An append is three requests to the edit control: its text's
// length, an empty selection there, the replacement of the selection. The
// pane is a Unicode control, so every name shows as it is; the UTF-8 text
// is converted as it is handed over.

// A pane at its limit would cut what comes and take nothing after it, so
// the end of a run would never show: before that, whole lines go from the
// top, down to three quarters of the limit (a large slice, so that appends
// stay cheap), and the first line then says so; a text longer than that
// loses its own first lines. The limit is the control's own
// (EM_GETLIMITTEXT), so a test may lower it. Where the text to show is
// `text`, `units` long (null: it could not be had whole); what of it
// goes in.
static const wchar_t* MakeRoom(HWND log, const wchar_t* text, size_t units)
{
    size_t limit = (size_t)SendMessageW(log, EM_GETLIMITTEXT, 0, 0);
    size_t length = (size_t)SendMessageW(log, WM_GETTEXTLENGTH, 0, 0);
    if (length + units <= limit) {
        return text;
    }
    wchar_t* note = WinWidenLossy(Msg(MSG_LOG_TRIMMED));
    size_t budget = limit / 4 * 3 - (note ? wcslen(note) : 0);
    size_t cut = length;  // all of the pane, unless some of it may stay
    if (units <= budget) {
        // The cut moves on to the start of the next line.
        cut = length - (budget - units);
        LRESULT line = SendMessageW(log, EM_LINEFROMCHAR, (WPARAM)cut, 0);
        LRESULT start = SendMessageW(log, EM_LINEINDEX, (WPARAM)line, 0);
        if (start >= 0 && (size_t)start < cut) {
            start = SendMessageW(log, EM_LINEINDEX, (WPARAM)(line + 1), 0);
        }
        cut = start < 0 ? length : (size_t)start;
    } else if (text != nullptr) {
        const wchar_t* from = text + units - budget;
        const wchar_t* next = wcschr(from, L'\n');
        text = next && next[1] ? next + 1 : from;
    }
    SendMessageW(log, EM_SETSEL, 0, (LPARAM)cut);
    SendMessageW(log, EM_REPLACESEL, FALSE, (LPARAM)(note ? note : L""));
    WinFree(note);
    return text;
}

// A text is never dropped: converted in one block where one can be had,
// else piece by piece through a buffer of its own; a byte that is not
// UTF-8 shows as U+FFFD.
static void AppendToPane(const char* text)
{
    HWND log = GetDlgItem(MainDialog(), IDC_LOG);
    wchar_t* wide = WinWidenLossy(text);
    int units = wide ? (int)wcslen(wide) : MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0) - 1;
    if (units <= 0) {
        WinFree(wide);
        return;
    }
    const wchar_t* shown = MakeRoom(log, wide, (size_t)units);
    LRESULT length = SendMessageW(log, WM_GETTEXTLENGTH, 0, 0);
    SendMessageW(log, EM_SETSEL, (WPARAM)length, (LPARAM)length);
    if (wide != nullptr) {
        SendMessageW(log, EM_REPLACESEL, TRUE, (LPARAM)shown);
        WinFree(wide);
        return;
    }
    wchar_t piece[1025];
    for (size_t left = strlen(text); left > 0;) {
        size_t bytes = left < 1024 ? left : 1024;
        while (bytes < left && bytes > 1 && (text[bytes] & 0xC0) == 0x80) {
            bytes--;  // a character is not cut in two
        }
        int got = MultiByteToWideChar(CP_UTF8, 0, text, (int)bytes, piece, 1024);
        piece[got > 0 ? got : 0] = L'\0';
        SendMessageW(log, EM_REPLACESEL, TRUE, (LPARAM)piece);
        text += bytes;
        left -= bytes;
    }
}

// ShowLogFromLeft - puts the caret at the start of the pane's last line, so
// that the pane shows the left edge of its lines: after the opening texts
// the caret would end the long note line and scroll the pane sideways.
void ShowLogFromLeft(HWND dialog)
{
    HWND log = GetDlgItem(dialog, IDC_LOG);
    LRESULT lines = SendMessageW(log, EM_GETLINECOUNT, 0, 0);
    LRESULT start = SendMessageW(log, EM_LINEINDEX, (WPARAM)(lines > 0 ? lines - 1 : 0), 0);
    SendMessageW(log, EM_SETSEL, (WPARAM)start, (LPARAM)start);
    SendMessageW(log, EM_SCROLLCARET, 0, 0);
}

// The texts the worker posted and the interface thread has not taken yet,
// in the order they were posted: appended, or with `discard` dropped (a
// clear would erase them). The blocks come from the process heap, not the
// tracked allocator, whose table only the worker thread may touch: the
// worker allocates them and this thread releases them.
static void DrainLog(int discard)
{
    MSG message;
    while (PeekMessageW(&message, MainDialog(), WM_LOG_TEXT, WM_LOG_TEXT, PM_REMOVE)) {
        if (!discard) {
            AppendToPane((const char*)message.lParam);
        }
        HeapFree(GetProcessHeap(), 0, (void*)message.lParam);
    }
}

//----------------------------------------------------------------------------
// Layout, at the window's DPI: GetDpiForWindow where the system has it
// (Windows 10 1607 and later, Wine), the screen's otherwise; both looked up
// or asked at run time, so that the program still starts on Windows 7.

typedef UINT(WINAPI* DpiForWindowFunction)(HWND);
typedef BOOL(WINAPI* DialogDpiBehaviourFunction)(HWND, int, int);

static FARPROC User32Function(const char* name)
{
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 != nullptr ? GetProcAddress(user32, name) : nullptr;
}

int WindowDpi(HWND window)
{
    DpiForWindowFunction dpiForWindow = (DpiForWindowFunction)(void*)User32Function("GetDpiForWindow");
    UINT dpi = dpiForWindow != nullptr ? dpiForWindow(window) : 0;
    if (dpi == 0) {
        HDC screen = GetDC(nullptr);
        dpi = screen != nullptr ? (UINT)GetDeviceCaps(screen, LOGPIXELSX) : 0;
        if (screen != nullptr) {
            ReleaseDC(nullptr, screen);
        }
    }
    return dpi > 0 ? (int)dpi : LAYOUT_BASE_DPI;
}

// While the settings are applied, a DPI change that the saved rectangle
// brings (it lies on a screen of another DPI) is not followed: the saved
// rectangle wins, else the window would grow at every start.
static int s_applyingSettings;

// OnSize - the controls at their places for the client size and the DPI;
// the log takes the rest. Controls that do not exist yet are skipped.
static void OnSize(HWND dialog, int width, int height)
{
    static const int ids[LAYOUT_COUNT] = {IDC_START, IDC_STOP, IDC_ALLAPP, IDC_LOG};
    LayoutPlace places[LAYOUT_COUNT];
    LayOutDialog(width, height, WindowDpi(dialog), places);
    for (int i = 0; i < LAYOUT_COUNT; i++) {
        HWND control = GetDlgItem(dialog, ids[i]);
        if (control != nullptr) {
            MoveWindow(control, places[i].x, places[i].y, places[i].width, places[i].height, TRUE);
        }
    }
}

// OnDpiChanged - the window moves to the rectangle the system suggests for
// the new DPI (unless the settings are being applied) and is laid out
// again. The fonts of the dialog and its controls are the dialog manager's:
// under per-monitor awareness version 2 it sends each its font for the new
// DPI, after this procedure has answered (FALSE: not handled).
static void OnDpiChanged(HWND dialog, const RECT* suggested)
{
    if (!s_applyingSettings && suggested != nullptr) {
        SetWindowPos(dialog, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT client;
    if (GetClientRect(dialog, &client)) {
        OnSize(dialog, client.right, client.bottom);
    }
}

static void OnInitDialog(HWND dialog)
{
    // The dialog manager would resize the dialog and move its controls by
    // the template on a DPI change; this dialog's size is the user's and
    // its layout its own (OnDpiChanged), so only the fonts are left to it.
    // The call exists from Windows 10 1703 on, where version 2 begins.
    static const int DDC_DISABLE_RESIZE_AND_RELAYOUT = 0x0002 | 0x0004;
    DialogDpiBehaviourFunction dialogDpiBehaviour =
        (DialogDpiBehaviourFunction)(void*)User32Function("SetDialogDpiChangeBehavior");
    if (dialogDpiBehaviour != nullptr) {
        dialogDpiBehaviour(dialog, DDC_DISABLE_RESIZE_AND_RELAYOUT, DDC_DISABLE_RESIZE_AND_RELAYOUT);
    }
    DragAcceptFiles(dialog, TRUE);
    s_applyingSettings = 1;
    LoadSettings(dialog, SETTINGS_FILE, SETTINGS_SECTION);
    s_applyingSettings = 0;
    HICON icon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_MAIN));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)icon);
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, (LPARAM)icon);
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
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return TRUE;
}

//----------------------------------------------------------------------------
// WaitForWorker - waits up to `ms` for the worker to end, and beyond that
// while a commit is under way, serving its synchronous requests meanwhile
// (they fail at once, the windows being gone) and answering the boxes it
// shows. 1 when it has ended.
static int WaitForWorker(DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (MsgWaitForMultipleObjects(1, &g_worker, FALSE, 50, QS_SENDMESSAGE) == WAIT_OBJECT_0) {
            return 1;
        }
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        EnumThreadWindows(g_workerId, AnswerWorkerBox, 0);
        DWORD waited = GetTickCount() - start;
        if (waited >= ms && !PlatCommitting()) {
            return 0;
        }
    }
}

// StopWorker - asks the worker to stop and lets the file in hand finish for
// up to `finishMs`; then abandons it, which ends the rewrite at its next
// write with the photo untouched, while a commit under way is finished.
// So the program ends at a commit boundary. The worker is asked to quit
// before it is asked to stop, so that a cycle that clears the stop cannot
// miss the quit. 1 when the worker has ended.
static int StopWorker(DWORD finishMs)
{
    g_workerQuit = 1;
    g_cancel = 1;
    int ended = WaitForWorker(finishMs);
    if (!ended) {
        PlatSetAbandoned(1);
        ended = WaitForWorker(ABANDON_WAIT_MS);
    }
    CloseHandle(g_worker);
    g_worker = nullptr;
    return ended;
}

//----------------------------------------------------------------------------
// OnClose - the closing sequence: save the settings, destroy both windows
// (which ends the message loop), stop the worker, release a waiting drop.
// A drop is released by one side only: the worker once it has taken it up,
// the close sequence only when the worker has ended (it then never took the
// drop up, or has released it and cleared g_pendingDrop). When the wait ran
// out the worker may be in its drop pass: the drop stays with it and goes
// with the process. The end of the session closes the same way, sooner.
static void OnClose(HWND dialog, DWORD finishMs)
{
    SaveSettings(dialog, SETTINGS_FILE, SETTINGS_SECTION);
    g_closing = 1;
    SendMessageW(g_hiddenWindow, WM_CLOSE, 0, 0);
    if (g_worker != nullptr && StopWorker(finishMs)) {
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
        SendMessageW(dialog, WM_CLOSE, 0, 0);
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
    case WM_DPICHANGED:
        OnDpiChanged(dialog, (const RECT*)lParam);
        return FALSE;
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam));
    case WM_DROPFILES:
        OnDropFiles((HDROP)wParam);
        return FALSE;
    case WM_CLOSE:
        OnClose(dialog, CLOSE_FINISH_MS);
        return TRUE;
    case WM_QUERYENDSESSION:
        // The session may end; the run is ended at a commit boundary when
        // it does (WM_ENDSESSION).
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_ENDSESSION:
        if (wParam && !g_closing.load()) {
            OnClose(dialog, SESSION_END_FINISH_MS);
        }
        return TRUE;
    case WM_ENABLE_CONTROL:
        DrainLog(0);
        EnableWindow(GetDlgItem(dialog, (int)wParam), lParam ? TRUE : FALSE);
        return TRUE;
    case WM_LOG_TEXT:
        // Posted texts arrive here in order, unless a sent request took them
        // first.
        AppendToPane((const char*)lParam);
        HeapFree(GetProcessHeap(), 0, (void*)lParam);
        return TRUE;
    case WM_LOG_SYNC:
        DrainLog(0);
        return TRUE;
    case WM_LOG_CLEAR:
        DrainLog(1);
        SetDlgItemTextW(dialog, IDC_LOG, L"");
        return TRUE;
    }
    return FALSE;
}

//----------------------------------------------------------------------------
// Interface services. Each but the worker's log text is a synchronous send
// to the dialog; once the closing sequence has begun they do nothing.

// On the interface thread (the opening texts) the append is made at once;
// from the worker the text is posted in a copy, and the worker goes on.
void UiLogAppend(const char* text)
{
    if (g_closing.load()) {
        return;
    }
    if (GetCurrentThreadId() == GetWindowThreadProcessId(MainDialog(), nullptr)) {
        AppendToPane(text);
        return;
    }
    size_t size = strlen(text) + 1;
    char* copy = (char*)HeapAlloc(GetProcessHeap(), 0, size);
    if (copy != nullptr) {
        memcpy(copy, text, size);
        if (PostMessageW(MainDialog(), WM_LOG_TEXT, 0, (LPARAM)copy)) {
            return;
        }
        HeapFree(GetProcessHeap(), 0, copy);
    }
    // No copy, or the queue is full: after the texts already posted, the
    // append is made with synchronous requests instead.
    SendMessageW(MainDialog(), WM_LOG_SYNC, 0, 0);
    AppendToPane(text);
}

void UiClearLog(void* dialog)
{
    if (!g_closing.load()) {
        SendMessageW((HWND)dialog, WM_LOG_CLEAR, 0, 0);
    }
}

void UiEnableButton(void* dialog, int button, int enable)
{
    if (!g_closing.load()) {
        SendMessageW((HWND)dialog, WM_ENABLE_CONTROL, (WPARAM)(button == WORKER_START ? IDC_START : IDC_STOP),
                     (LPARAM)enable);
    }
}

int UiAllAppChecked(void* dialog)
{
    if (g_closing.load()) {
        return 0;
    }
    return SendDlgItemMessageW((HWND)dialog, IDC_ALLAPP, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The log text posted before the box is in the pane before the box appears.
void UiMessageBox(void* owner, const char* text, const char* caption)
{
    if (g_closing.load()) {
        return;
    }
    SendMessageW(MainDialog(), WM_LOG_SYNC, 0, 0);
    wchar_t* wideText = WinWiden(text);
    wchar_t* wideCaption = WinWiden(caption);
    MessageBoxW((HWND)owner, wideText ? wideText : L"", wideCaption ? wideCaption : L"", MB_OK);
    WinFree(wideText);
    WinFree(wideCaption);
}

uint32_t DropItemCount(void* drop)
{
    return DragQueryFileW((HDROP)drop, 0xFFFFFFFF, nullptr, 0);
}

// The item whole, in UTF-16 as the drop holds it, made full and UTF-8.
char* DropItemPath(void* drop, uint32_t index)
{
    UINT length = DragQueryFileW((HDROP)drop, index, nullptr, 0);
    wchar_t* wide = length > 0 ? (wchar_t*)HeapAlloc(GetProcessHeap(), 0, ((size_t)length + 1) * sizeof(wchar_t))
                               : nullptr;
    char* path = nullptr;
    if (wide != nullptr && DragQueryFileW((HDROP)drop, index, wide, length + 1) == length) {
        char* full = WinFullPath(wide);
        path = full ? FormatText("%s", full) : nullptr;
        WinFree(full);
    }
    WinFree(wide);
    return path;
}

void DropRelease(void* drop)
{
    DragFinish((HDROP)drop);
}
