// Shell.h - what the Windows program's modules share: the window handles,
// the dialog procedure and the settings file.
#pragma once

#include <windows.h>

#include <atomic>

// The close sequence has begun. Written by the interface thread (1). Read by
// the interface services on the worker thread, which then do nothing rather
// than wait for windows that are going away.
extern std::atomic<int> g_closing;
// The main dialog's window handle. Written by the interface thread when the
// dialog is created and (null) when it is destroyed. Read by the interface
// services on the worker thread.
extern std::atomic<void*> g_mainDialog;

extern HINSTANCE g_instance;
extern HWND g_hiddenWindow;
extern HANDLE g_worker;
extern DWORD g_workerId;

// The main dialog (g_mainDialog), null before it exists and once destroyed.
inline HWND MainDialog()
{
    return (HWND)g_mainDialog.load();
}

// The settings file, relative to the current folder, and its section.
#define SETTINGS_FILE L".\\marlovex.ini"
#define SETTINGS_SECTION L"Main"

// Main dialog (Dialog.cpp).
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
BOOL OnCommand(HWND dialog, int command);
void ShowLogFromLeft(HWND dialog);
// WindowDpi - the DPI `window` is drawn at: its monitor's under per-monitor
// awareness, the screen's otherwise.
int WindowDpi(HWND window);

// Settings (Settings.cpp): the dialog's normal rectangle and the check box.
void LoadSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section);
void SaveSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section);
