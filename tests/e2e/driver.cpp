// driver.cpp - drives marlovex.exe from outside, as a person would, for the
// end-to-end tests: a Win32 console program run in the same Wine prefix.
//
//   driver state            the dialog's and any message box's state
//   driver log FILE         the log's text into FILE: as a program that reads
//   driver logw FILE        the window in the ANSI code page sees it; exactly, in UTF-8
//   driver click ID         a posted BM_CLICK on control ID
//   driver ok               presses OK on every message box shown
//   driver close            the close box (WM_SYSCOMMAND SC_CLOSE)
//   driver key-ctrl LETTER  Ctrl+LETTER by SendInput, to the dialog
//   driver client W H       resizes the dialog to a W x H client area
//   driver maximise         maximises it
//   driver minimise         minimises it
//   driver dialogs          prints how many dialogs of marlovex there are
//   driver spawn CWD LINE   starts the command line LINE in the folder CWD
//                           and waits for it: its exit status; works without
//                           a dialog
//   driver end-session      the end of the session as the system makes it:
//                           WM_QUERYENDSESSION, then WM_ENDSESSION, to each
//                           top-level window of the dialog's process; prints
//                           the answers and the milliseconds it took
// Exit status 0 on success, 3 when there is no dialog.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

static HWND s_dialog;
static int s_dialogs;  // how many FindDialog met
static HWND s_windows[64];  // FindWindows: the dialog's process's, or the boxes
static int s_count;

static BOOL CALLBACK FindDialog(HWND window, LPARAM)
{
    char name[64];
    if (GetClassNameA(window, name, sizeof(name)) && strcmp(name, "#32770") == 0 && GetDlgItem(window, 1001) &&
        GetDlgItem(window, 1002)) {
        s_dialog = s_dialog ? s_dialog : window;
        s_dialogs++;
    }
    return TRUE;
}

// With `boxes`, the visible message boxes (dialogs with the static text
// 0xFFFF); else every top-level window of the dialog's process.
static BOOL CALLBACK FindWindows(HWND window, LPARAM boxes)
{
    char name[64];
    DWORD process = 0, dialogProcess = 0;
    GetWindowThreadProcessId(window, &process);
    GetWindowThreadProcessId(s_dialog, &dialogProcess);
    bool box = window != s_dialog && IsWindowVisible(window) && GetClassNameA(window, name, sizeof(name)) &&
               strcmp(name, "#32770") == 0 && GetDlgItem(window, 0xFFFF);
    if ((boxes ? box : process == dialogProcess) && s_count < 64) {
        s_windows[s_count++] = window;
    }
    return TRUE;
}

static void Find(bool boxes)
{
    s_count = 0;
    EnumWindows(FindWindows, boxes);
}

// The width of `window`'s text in its own font, in pixels.
static int TextWidth(HWND window)
{
    wchar_t text[256];
    int length = GetWindowTextW(window, text, 256);
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageW(window, WM_GETFONT, 0, 0));
    SIZE size = {};
    GetTextExtentPoint32W(dc, text, length, &size);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return (int)size.cx;
}

static void PrintText(HWND window)
{
    int length = GetWindowTextLengthA(window);
    char* text = (char*)calloc((size_t)length + 2, 1);
    GetWindowTextA(window, text, length + 1);
    for (const unsigned char* at = (const unsigned char*)text; *at; at++) {
        printf("%02x", *at);
    }
    printf(*text ? " " : "- ");
    free(text);
}

static void State()
{
    RECT rect;
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof(placement);
    GetWindowRect(s_dialog, &rect);
    GetWindowPlacement(s_dialog, &placement);
    const RECT& normal = placement.rcNormalPosition;
    printf("window %ld %ld %ld %ld\nnormal %ld %ld %ld %ld\nshowcmd %u\n", rect.left, rect.top, rect.right,
           rect.bottom, normal.left, normal.top, normal.right, normal.bottom, placement.showCmd);
    GetClientRect(s_dialog, &rect);
    printf("client %ld %ld\nenabled %d\ncaption ", rect.right, rect.bottom, IsWindowEnabled(s_dialog) ? 1 : 0);
    PrintText(s_dialog);
    for (int id : {1002, 1003, 1004, 1001}) {
        HWND control = GetDlgItem(s_dialog, id);
        GetWindowRect(control, &rect);
        MapWindowPoints(nullptr, s_dialog, (POINT*)&rect, 2);
        printf("\ncontrol %d %ld %ld %ld %ld %d ", id, rect.left, rect.top, rect.right - rect.left,
               rect.bottom - rect.top, IsWindowEnabled(control) ? 1 : 0);
        id == 1001 ? (void)printf("- ") : PrintText(control);
        printf("%d", TextWidth(control));
    }
    printf("\ncheckbox %d", GetSystemMetrics(SM_CXMENUCHECK));
    // Where the first visible line of the log starts: below 0 when the pane
    // is scrolled sideways.
    HWND log = GetDlgItem(s_dialog, 1001);
    LRESULT first = SendMessageA(log, EM_LINEINDEX, SendMessageA(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    printf("\nchecked %d\nlogx %d\nforeground %d\n", (int)SendDlgItemMessageA(s_dialog, 1004, BM_GETCHECK, 0, 0),
           (int)(short)LOWORD(SendMessageA(log, EM_POSFROMCHAR, (WPARAM)first, 0)), GetForegroundWindow() == s_dialog);
    Find(true);
    for (int i = 0; i < s_count; i++) {
        HWND owner = GetWindow(s_windows[i], GW_OWNER);
        printf("box %s ", owner == s_dialog ? "owned" : owner == nullptr ? "unowned" : "other");
        PrintText(s_windows[i]);
        PrintText(GetDlgItem(s_windows[i], 0xFFFF));
        printf("\n");
    }
}

static int Log(const char* file, bool wide)
{
    LRESULT length = SendDlgItemMessageW(s_dialog, 1001, WM_GETTEXTLENGTH, 0, 0);
    wchar_t* text = (wchar_t*)calloc((size_t)length + 2, sizeof(wchar_t));
    char* bytes = (char*)calloc((size_t)length * 4 + 2, 1);
    int got = 0;
    if (wide) {
        LRESULT units = SendDlgItemMessageW(s_dialog, 1001, WM_GETTEXT, (WPARAM)length + 1, (LPARAM)text);
        got = WideCharToMultiByte(CP_UTF8, 0, text, (int)units, bytes, (int)length * 4 + 1, nullptr, nullptr);
    } else {
        got = (int)SendDlgItemMessageA(s_dialog, 1001, WM_GETTEXT, (WPARAM)length * 4 + 1, (LPARAM)bytes);
    }
    FILE* out = fopen(file, "wb");
    if (out != nullptr) {
        fwrite(bytes, 1, (size_t)got, out);
        fclose(out);
    }
    free(text);
    free(bytes);
    return out == nullptr;
}

// The program started with the command line `line` in the folder `cwd`;
// its exit status once it has ended.
static int Spawn(const wchar_t* cwd, const wchar_t* line)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    DWORD code = 125;
    wchar_t* command = _wcsdup(line);  // CreateProcessW may write into it
    if (CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, cwd, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    free(command);
    return (int)code;
}

int main(int argc, char** argv)
{
    const char* command = argc > 1 ? argv[1] : "";
    SetProcessDPIAware();  // what it reads and sets is in the screen's pixels
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);  // names as they are
    if (strcmp(command, "spawn") == 0 && count == 4) {
        return Spawn(wide[2], wide[3]);
    }
    EnumWindows(FindDialog, 0);
    if (strcmp(command, "dialogs") == 0) {
        printf("%d\n", s_dialogs);
        return 0;
    }
    if (s_dialog == nullptr) {
        return 3;
    }
    if (strcmp(command, "state") == 0) {
        State();
    } else if ((strcmp(command, "log") == 0 || strcmp(command, "logw") == 0) && argc == 3) {
        return Log(argv[2], command[3] == 'w');
    } else if (strcmp(command, "click") == 0 && argc == 3) {
        PostMessageA(GetDlgItem(s_dialog, atoi(argv[2])), BM_CLICK, 0, 0);
    } else if (strcmp(command, "ok") == 0) {
        Find(true);
        for (int i = 0; i < s_count; i++) {
            PostMessageA(GetDlgItem(s_windows[i], IDOK), BM_CLICK, 0, 0);
        }
    } else if (strcmp(command, "close") == 0) {
        PostMessageA(s_dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (strcmp(command, "key-ctrl") == 0 && argc == 3) {
        SetForegroundWindow(s_dialog);
        Sleep(100);
        INPUT keys[4] = {};
        WORD codes[4] = {VK_CONTROL, (WORD)argv[2][0], (WORD)argv[2][0], VK_CONTROL};
        for (int i = 0; i < 4; i++) {
            keys[i].type = INPUT_KEYBOARD;
            keys[i].ki.wVk = codes[i];
            keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
        }
        SendInput(4, keys, sizeof(INPUT));
    } else if (strcmp(command, "client") == 0 && argc == 4) {
        RECT rect = {0, 0, atoi(argv[2]), atoi(argv[3])};
        AdjustWindowRectEx(&rect, (DWORD)GetWindowLongA(s_dialog, GWL_STYLE), FALSE,
                           (DWORD)GetWindowLongA(s_dialog, GWL_EXSTYLE));
        SetWindowPos(s_dialog, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (strcmp(command, "limit") == 0 && argc == 3) {  // the log pane's, in characters
        SendDlgItemMessageA(s_dialog, 1001, EM_SETLIMITTEXT, (WPARAM)atoi(argv[2]), 0);
    } else if (strcmp(command, "maximise") == 0 || strcmp(command, "minimise") == 0) {
        PostMessageA(s_dialog, WM_SYSCOMMAND, command[2] == 'x' ? SC_MAXIMIZE : SC_MINIMIZE, 0);
    } else if (strcmp(command, "end-session") == 0) {
        Find(false);
        DWORD start = GetTickCount();
        DWORD_PTR answer = 0;
        printf("answers");
        for (int i = 0; i < s_count; i++) {
            SendMessageTimeoutA(s_windows[i], WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &answer);
            printf(" %d", (int)answer);
        }
        for (int i = 0; i < s_count; i++) {
            SendMessageTimeoutA(s_windows[i], WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &answer);
        }
        printf(" ms %lu\n", (unsigned long)(GetTickCount() - start));
    } else {
        fprintf(stderr, "driver: unknown command\n");
        return 2;
    }
    return 0;
}
