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

// Paths from outside (HandOver.cpp): this copy's command line, and a second
// copy's paths handed to the running one (WM_COPYDATA to the hidden
// window: dwData the tag and version, the data a path list, PathList.h).
constexpr ULONG_PTR HANDOVER_TAG = 0x4D4C5601;  // "MLV" and version 1
// The running copy's answers. CLOSING: try again, it is ending, and this
// copy may then take its place.
constexpr LRESULT HANDOVER_REFUSED = 0;
constexpr LRESULT HANDOVER_TAKEN = 1;
constexpr LRESULT HANDOVER_CLOSING = 2;
// How long a second copy may wait for one answer.
constexpr UINT HANDOVER_SEND_MS = 10000;
wchar_t* CommandLinePathList(size_t* units);
int StorePathListDrop(const wchar_t* list, size_t units);
LRESULT OnHandOver(const COPYDATASTRUCT* data);
int SendPathList(HWND target, const wchar_t* list, size_t units);

// Settings (Settings.cpp): the dialog's normal rectangle and the check box.
void LoadSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section);
void SaveSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section);
