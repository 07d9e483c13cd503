// Shell.h - what the Windows program's modules share: the window handles,
// the dialog procedure and the settings file.
#pragma once

#include <windows.h>

#include "worker/RunState.h"  // g_mainDialog, g_closing

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

// Settings (Settings.cpp): the dialog's normal rectangle and the check box.
void LoadSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section);
void SaveSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section);
