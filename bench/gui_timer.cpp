// gui_timer.cpp - the window benchmark's stopwatch (bench/gui_bench.py): a
// Win32 console program run beside marlovex.exe in the same Wine prefix,
// timing it from outside at the rate of its own polls.
//
//   gui_timer wait-enabled ID MS  control ID enabled, polled every 5 ms for at
//                                 most MS ms; prints the milliseconds waited
//   gui_timer run MS              presses START, waits until START was disabled
//                                 and is enabled again (the run's end), at most
//                                 MS ms; prints the milliseconds from the press
//   gui_timer watch MS            for MS ms: how often the log's length changed,
//                                 the longest time without a change, and the
//                                 longest the dialog took to answer a message
//   gui_timer stop                presses STOP; prints the milliseconds until a
//                                 message box is shown
// Exit status 0 on success, 3 when there is no dialog, 4 when time ran out.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static HWND s_dialog;
static bool s_box;

static BOOL CALLBACK FindDialog(HWND window, LPARAM)
{
    char name[64];
    if (GetClassNameA(window, name, sizeof(name)) && strcmp(name, "#32770") == 0 && IsWindowVisible(window)) {
        if (GetDlgItem(window, 1001) && GetDlgItem(window, 1002)) {
            s_dialog = window;
        } else if (GetDlgItem(window, 0xFFFF)) {
            s_box = true;
        }
    }
    return TRUE;
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

int main(int argc, char** argv)
{
    EnumWindows(FindDialog, 0);
    if (s_dialog == nullptr || argc < 2) {
        return 3;
    }
    const char* command = argv[1];
    DWORD start = GetTickCount();
    DWORD deadline = start + (DWORD)(argc > 2 ? atoi(argv[argc - 1]) : 30000);
    if (strcmp(command, "wait-enabled") == 0 && argc == 4) {
        if (!WaitControl(atoi(argv[2]), 1, deadline)) {
            return 4;
        }
    } else if (strcmp(command, "run") == 0 && argc == 3) {
        PostMessageA(GetDlgItem(s_dialog, 1002), BM_CLICK, 0, 0);
        if (!WaitControl(1002, 0, deadline) || !WaitControl(1002, 1, deadline)) {
            return 4;
        }
    } else if (strcmp(command, "watch") == 0 && argc == 3) {
        DWORD lastChange = start, longestStill = 0, slowestAnswer = 0;
        LRESULT length = SendDlgItemMessageA(s_dialog, 1001, WM_GETTEXTLENGTH, 0, 0);
        int changes = 0;
        while ((LONG)(GetTickCount() - deadline) < 0) {
            Sleep(20);
            DWORD asked = GetTickCount();
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(s_dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer);
            LRESULT now = SendDlgItemMessageA(s_dialog, 1001, WM_GETTEXTLENGTH, 0, 0);
            DWORD at = GetTickCount();
            slowestAnswer = at - asked > slowestAnswer ? at - asked : slowestAnswer;
            if (now != length) {
                changes++;
                length = now;
                lastChange = at;
            }
            longestStill = at - lastChange > longestStill ? at - lastChange : longestStill;
        }
        printf("changes %d still %lu answer %lu\n", changes, (unsigned long)longestStill,
               (unsigned long)slowestAnswer);
        return 0;
    } else if (strcmp(command, "stop") == 0) {
        PostMessageA(GetDlgItem(s_dialog, 1003), BM_CLICK, 0, 0);
        while (!s_box) {
            if ((LONG)(GetTickCount() - deadline) >= 0) {
                return 4;
            }
            Sleep(5);
            EnumWindows(FindDialog, 0);
        }
    } else {
        fprintf(stderr, "gui_timer: unknown command\n");
        return 2;
    }
    printf("%lu\n", (unsigned long)(GetTickCount() - start));
    return 0;
}
