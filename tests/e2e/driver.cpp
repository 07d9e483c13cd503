// driver.cpp - drives marlovex.exe from outside, as a person would, for the
// end-to-end tests: a Win32 console program run in the same Wine prefix.
// It finds the main dialog by its controls, reads its state, presses its
// buttons, answers message boxes and types keys.
//
//   driver state              the dialog's and any message box's state
//   driver log FILE           the log's text (ANSI bytes) into FILE
//   driver logw FILE          the log's text (UTF-16, written as UTF-8) into FILE
//   driver click ID           a posted BM_CLICK on control ID
//   driver ok                 presses OK on every message box shown
//   driver close              the close box (WM_SYSCOMMAND SC_CLOSE)
//   driver key-ctrl LETTER    Ctrl+LETTER by SendInput, to the dialog
//   driver client W H         resizes the dialog to a W x H client area
//   driver show max|min|restore
//   driver locale             the user's LCID and the ANSI code page
//   driver attributes PATH    GetFileAttributesA of PATH, in hex
//   driver wait-enabled ID MS control ID enabled, polled every 5 ms for at
//                             most MS ms; prints the milliseconds waited
//   driver run MS             presses START, waits until START was disabled
//                             and is enabled again (the run's end), at most
//                             MS ms; prints the milliseconds from the press
//   driver watch MS           for MS ms: how often the log's length changed,
//                             the longest time without a change, and the
//                             longest the dialog took to answer a message
//   driver stop               presses STOP; prints the milliseconds until a
//                             message box is shown
//   driver end-session        the end of the session, as the system makes it:
//                             WM_QUERYENDSESSION, then WM_ENDSESSION, to each
//                             top-level window of the dialog's process; prints
//                             the answers and the milliseconds it took
// Exit status 0 on success, 3 when there is no dialog.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static HWND s_dialog;

static BOOL CALLBACK FindDialog(HWND window, LPARAM)
{
    char name[64];
    if (GetClassNameA(window, name, sizeof(name)) && strcmp(name, "#32770") == 0 &&
        GetDlgItem(window, 1001) != nullptr && GetDlgItem(window, 1002) != nullptr) {
        s_dialog = window;
        return FALSE;
    }
    return TRUE;
}

struct Boxes {
    HWND list[16];
    int count;
};

// Message boxes: dialogs with the static text control 0xFFFF.
static BOOL CALLBACK FindBoxes(HWND window, LPARAM parameter)
{
    Boxes* boxes = (Boxes*)parameter;
    char name[64];
    if (window != s_dialog && IsWindowVisible(window) && GetClassNameA(window, name, sizeof(name)) &&
        strcmp(name, "#32770") == 0 && GetDlgItem(window, 0xFFFF) != nullptr && boxes->count < 16) {
        boxes->list[boxes->count++] = window;
    }
    return TRUE;
}

static void PrintHex(const char* text)
{
    for (const unsigned char* at = (const unsigned char*)text; *at; at++) {
        printf("%02x", *at);
    }
    if (!*text) {
        printf("-");
    }
}

static void PrintText(HWND window)
{
    int length = GetWindowTextLengthA(window);
    char* text = (char*)calloc((size_t)length + 2, 1);
    GetWindowTextA(window, text, length + 1);
    PrintHex(text);
    free(text);
}

static void State()
{
    RECT rect;
    GetWindowRect(s_dialog, &rect);
    printf("window %ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    WINDOWPLACEMENT placement;
    placement.length = sizeof(placement);
    GetWindowPlacement(s_dialog, &placement);
    printf("normal %ld %ld %ld %ld\n", placement.rcNormalPosition.left, placement.rcNormalPosition.top,
           placement.rcNormalPosition.right, placement.rcNormalPosition.bottom);
    printf("showcmd %u\n", placement.showCmd);
    GetClientRect(s_dialog, &rect);
    printf("client %ld %ld\n", rect.right, rect.bottom);
    printf("enabled %d\n", IsWindowEnabled(s_dialog) ? 1 : 0);
    printf("caption ");
    PrintText(s_dialog);
    printf("\n");
    const int ids[] = {1002, 1003, 1004, 1001};
    for (int id : ids) {
        HWND control = GetDlgItem(s_dialog, id);
        GetWindowRect(control, &rect);
        MapWindowPoints(nullptr, s_dialog, (POINT*)&rect, 2);
        printf("control %d %ld %ld %ld %ld %d ", id, rect.left, rect.top, rect.right - rect.left,
               rect.bottom - rect.top, IsWindowEnabled(control) ? 1 : 0);
        if (id != 1001) {
            PrintText(control);
        } else {
            printf("-");
        }
        printf("\n");
    }
    printf("checked %d\n", (int)SendDlgItemMessageA(s_dialog, 1004, BM_GETCHECK, 0, 0));
    // Where the first visible line of the log starts, in the pane's
    // coordinates: below 0 when the pane is scrolled sideways.
    HWND log = GetDlgItem(s_dialog, 1001);
    LRESULT first = SendMessageA(log, EM_LINEINDEX, SendMessageA(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    printf("logx %d\n", (int)(short)LOWORD(SendMessageA(log, EM_POSFROMCHAR, (WPARAM)first, 0)));
    Boxes boxes = {{}, 0};
    EnumWindows(FindBoxes, (LPARAM)&boxes);
    for (int i = 0; i < boxes.count; i++) {
        HWND owner = GetWindow(boxes.list[i], GW_OWNER);
        printf("box %s ", owner == s_dialog ? "owned" : owner == nullptr ? "unowned" : "other");
        PrintText(boxes.list[i]);
        printf(" ");
        PrintText(GetDlgItem(boxes.list[i], 0xFFFF));
        printf("\n");
    }
}

static int LogWide(const char* file)
{
    LRESULT length = SendDlgItemMessageW(s_dialog, 1001, WM_GETTEXTLENGTH, 0, 0);
    wchar_t* text = (wchar_t*)calloc((size_t)length + 2, sizeof(wchar_t));
    LRESULT got = SendDlgItemMessageW(s_dialog, 1001, WM_GETTEXT, (WPARAM)length + 1, (LPARAM)text);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, (int)got, nullptr, 0, nullptr, nullptr);
    char* utf8 = (char*)calloc((size_t)bytes + 1, 1);
    WideCharToMultiByte(CP_UTF8, 0, text, (int)got, utf8, bytes, nullptr, nullptr);
    FILE* out = fopen(file, "wb");
    if (out == nullptr) {
        return 1;
    }
    fwrite(utf8, 1, (size_t)bytes, out);
    fclose(out);
    free(utf8);
    free(text);
    return 0;
}

static int Log(const char* file)
{
    LRESULT length = SendDlgItemMessageA(s_dialog, 1001, WM_GETTEXTLENGTH, 0, 0);
    char* text = (char*)calloc((size_t)length + 2, 1);
    LRESULT got = SendDlgItemMessageA(s_dialog, 1001, WM_GETTEXT, (WPARAM)length + 1, (LPARAM)text);
    FILE* out = fopen(file, "wb");
    if (out == nullptr) {
        return 1;
    }
    fwrite(text, 1, (size_t)got, out);
    fclose(out);
    free(text);
    return 0;
}

static void KeyCtrl(char letter)
{
    SetForegroundWindow(s_dialog);
    Sleep(100);
    INPUT keys[4];
    ZeroMemory(keys, sizeof(keys));
    WORD codes[4] = {VK_CONTROL, (WORD)letter, (WORD)letter, VK_CONTROL};
    for (int i = 0; i < 4; i++) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    SendInput(4, keys, sizeof(INPUT));
}

// Polls until control `id` is enabled (`enabled` 1) or disabled (0); 1 when
// it was seen so before `deadline` (a GetTickCount value).
static int WaitControl(int id, int enabled, DWORD deadline)
{
    HWND control = GetDlgItem(s_dialog, id);
    while ((IsWindowEnabled(control) ? 1 : 0) != enabled) {
        if ((LONG)(GetTickCount() - deadline) >= 0) {
            return 0;
        }
        Sleep(5);
    }
    return 1;
}

struct Windows {
    DWORD process;
    HWND list[64];
    int count;
};

static BOOL CALLBACK FindProcessWindows(HWND window, LPARAM parameter)
{
    Windows* windows = (Windows*)parameter;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == windows->process && windows->count < 64) {
        windows->list[windows->count++] = window;
    }
    return TRUE;
}

static void EndSession()
{
    Windows windows = {0, {}, 0};
    GetWindowThreadProcessId(s_dialog, &windows.process);
    EnumWindows(FindProcessWindows, (LPARAM)&windows);
    DWORD start = GetTickCount();
    printf("answers");
    for (int i = 0; i < windows.count; i++) {
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(windows.list[i], WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &answer);
        printf(" %d", (int)answer);
    }
    for (int i = 0; i < windows.count; i++) {
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(windows.list[i], WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &answer);
    }
    printf(" ms %lu\n", (unsigned long)(GetTickCount() - start));
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: driver COMMAND ...\n");
        return 2;
    }
    const char* command = argv[1];
    if (strcmp(command, "locale") == 0) {
        printf("lcid %lu acp %u\n", (unsigned long)GetUserDefaultLCID(), GetACP());
        return 0;
    }
    if (strcmp(command, "attributes") == 0 && argc == 3) {
        printf("%lx\n", (unsigned long)GetFileAttributesA(argv[2]));
        return 0;
    }
    EnumWindows(FindDialog, 0);
    if (s_dialog == nullptr) {
        return 3;
    }
    if (strcmp(command, "state") == 0) {
        State();
    } else if (strcmp(command, "log") == 0 && argc == 3) {
        return Log(argv[2]);
    } else if (strcmp(command, "logw") == 0 && argc == 3) {
        return LogWide(argv[2]);
    } else if (strcmp(command, "click") == 0 && argc == 3) {
        PostMessageA(GetDlgItem(s_dialog, atoi(argv[2])), BM_CLICK, 0, 0);
    } else if (strcmp(command, "wait-enabled") == 0 && argc == 4) {
        DWORD start = GetTickCount();
        if (!WaitControl(atoi(argv[2]), 1, start + (DWORD)atoi(argv[3]))) {
            return 4;
        }
        printf("%lu\n", (unsigned long)(GetTickCount() - start));
    } else if (strcmp(command, "run") == 0 && argc == 3) {
        DWORD start = GetTickCount();
        DWORD deadline = start + (DWORD)atoi(argv[2]);
        PostMessageA(GetDlgItem(s_dialog, 1002), BM_CLICK, 0, 0);
        if (!WaitControl(1002, 0, deadline) || !WaitControl(1002, 1, deadline)) {
            return 4;
        }
        printf("%lu\n", (unsigned long)(GetTickCount() - start));
    } else if (strcmp(command, "watch") == 0 && argc == 3) {
        DWORD start = GetTickCount();
        DWORD lastChange = start, longestStill = 0, slowestAnswer = 0;
        LRESULT length = SendDlgItemMessageA(s_dialog, 1001, WM_GETTEXTLENGTH, 0, 0);
        int changes = 0;
        while (GetTickCount() - start < (DWORD)atoi(argv[2])) {
            Sleep(20);
            DWORD asked = GetTickCount();
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(s_dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer);
            LRESULT now = SendDlgItemMessageA(s_dialog, 1001, WM_GETTEXTLENGTH, 0, 0);
            DWORD at = GetTickCount();
            if (at - asked > slowestAnswer) {
                slowestAnswer = at - asked;
            }
            if (now != length) {
                changes++;
                length = now;
                lastChange = at;
            }
            if (at - lastChange > longestStill) {
                longestStill = at - lastChange;
            }
        }
        printf("changes %d still %lu answer %lu\n", changes, (unsigned long)longestStill,
               (unsigned long)slowestAnswer);
    } else if (strcmp(command, "stop") == 0) {
        DWORD start = GetTickCount();
        PostMessageA(GetDlgItem(s_dialog, 1003), BM_CLICK, 0, 0);
        for (;;) {
            Boxes boxes = {{}, 0};
            EnumWindows(FindBoxes, (LPARAM)&boxes);
            if (boxes.count > 0) {
                break;
            }
            if (GetTickCount() - start > 30000) {
                return 4;
            }
            Sleep(5);
        }
        printf("%lu\n", (unsigned long)(GetTickCount() - start));
    } else if (strcmp(command, "end-session") == 0) {
        EndSession();
    } else if (strcmp(command, "ok") == 0) {
        Boxes boxes = {{}, 0};
        EnumWindows(FindBoxes, (LPARAM)&boxes);
        for (int i = 0; i < boxes.count; i++) {
            PostMessageA(GetDlgItem(boxes.list[i], IDOK), BM_CLICK, 0, 0);
        }
        printf("%d\n", boxes.count);
    } else if (strcmp(command, "close") == 0) {
        PostMessageA(s_dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (strcmp(command, "key-ctrl") == 0 && argc == 3) {
        KeyCtrl(argv[2][0]);
    } else if (strcmp(command, "client") == 0 && argc == 4) {
        RECT rect = {0, 0, atoi(argv[2]), atoi(argv[3])};
        AdjustWindowRectEx(&rect, (DWORD)GetWindowLongA(s_dialog, GWL_STYLE), FALSE,
                           (DWORD)GetWindowLongA(s_dialog, GWL_EXSTYLE));
        SetWindowPos(s_dialog, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (strcmp(command, "show") == 0 && argc == 3) {
        WPARAM what = strcmp(argv[2], "max") == 0 ? SC_MAXIMIZE : strcmp(argv[2], "min") == 0 ? SC_MINIMIZE : SC_RESTORE;
        PostMessageA(s_dialog, WM_SYSCOMMAND, what, 0);
    } else {
        fprintf(stderr, "driver: unknown command\n");
        return 2;
    }
    return 0;
}
