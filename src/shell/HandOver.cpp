// HandOver.cpp - paths given from outside become a drop onto the window:
// this copy's own command line, and the paths a second copy hands to the
// running one with WM_COPYDATA. Both end as a wide DROPFILES block in
// g_pendingDrop, so that the worker takes them as it takes any drop.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include "platform/WinText.h"
#include "shell/PathList.h"
#include "shell/Shell.h"
#include "worker/RunState.h"

static void* HeapBlock(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), 0, bytes);
}

//----------------------------------------------------------------------------
// CommandLinePathList - the paths of this copy's command line as a path
// list, in a WinText block; null when there are none. Every argument is a
// path, one beginning with '-' too: the program has no options. Each is
// made full here, against this copy's current folder, since the copy that
// lists them may be another; one that is not an item (a device, a stream)
// goes on as it is and fails where it is listed, as it would in a drop.
wchar_t* CommandLinePathList(size_t* units)
{
    *units = 0;
    const wchar_t* line = GetCommandLineW();
    size_t length = wcslen(line);
    wchar_t* mended = (wchar_t*)HeapBlock((2 * length + 1) * sizeof(wchar_t));
    if (mended == nullptr) {
        return nullptr;
    }
    MendRootQuotes(line, mended);
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(mended, &count);
    WinFree(mended);
    if (arguments == nullptr) {
        return nullptr;
    }
    // Each path made full once (null where it is not an item), then the
    // list built from them.
    wchar_t** full = (wchar_t**)HeapBlock((size_t)count * sizeof(wchar_t*));
    wchar_t* list = nullptr;
    if (full != nullptr) {
        size_t total = 1;  // the final NUL
        for (int i = 0; i < count; i++) {
            char* utf8 = i > 0 && arguments[i][0] != L'\0' ? WinFullPath(arguments[i]) : nullptr;
            full[i] = utf8 != nullptr ? WinWiden(utf8) : nullptr;
            WinFree(utf8);
            const wchar_t* path = full[i] != nullptr ? full[i] : arguments[i];
            total += i > 0 && path[0] != L'\0' ? wcslen(path) + 1 : 0;  // an empty argument names nothing
        }
        list = total > 1 ? (wchar_t*)HeapBlock(total * sizeof(wchar_t)) : nullptr;
        size_t at = 0;
        for (int i = 0; i < count; i++) {
            const wchar_t* path = full[i] != nullptr ? full[i] : arguments[i];
            if (list != nullptr && i > 0 && path[0] != L'\0') {
                size_t size = wcslen(path) + 1;
                memcpy(list + at, path, size * sizeof(wchar_t));
                at += size;
            }
            WinFree(full[i]);
        }
        if (list != nullptr) {
            list[at] = L'\0';
            *units = total;
        }
        WinFree(full);
    }
    LocalFree(arguments);
    return list;
}

//----------------------------------------------------------------------------
// StorePathListDrop - a copy of the path list (`units` long, final NUL
// included) as a drop's wide DROPFILES block, stored as a drop onto the
// window is stored: only when no other drop waits. 1 when stored; the
// block is then the worker's, which releases it with DragFinish.
int StorePathListDrop(const wchar_t* list, size_t units)
{
    size_t bytes = units * sizeof(wchar_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + bytes);
    DROPFILES* files = block != nullptr ? (DROPFILES*)GlobalLock(block) : nullptr;
    if (files == nullptr) {
        if (block != nullptr) {
            GlobalFree(block);
        }
        return 0;
    }
    files->pFiles = sizeof(DROPFILES);
    files->fWide = TRUE;
    memcpy((char*)files + sizeof(DROPFILES), list, bytes);
    GlobalUnlock(block);
    void* expected = nullptr;
    if (!g_pendingDrop.compare_exchange_strong(expected, (void*)block)) {
        GlobalFree(block);
        return 0;
    }
    return 1;
}

//----------------------------------------------------------------------------
// OnHandOver - WM_COPYDATA to the hidden window: a second copy's paths.
// The block is the sender's, valid during this call only: checked, then
// copied. Taken as a drop arriving now; the window comes forward, restored
// if minimised (the sender allowed it to take the foreground).
LRESULT OnHandOver(const COPYDATASTRUCT* data)
{
    if (g_closing.load()) {
        return HANDOVER_CLOSING;
    }
    if (data == nullptr || data->dwData != HANDOVER_TAG) {
        return HANDOVER_REFUSED;
    }
    size_t units = PathListUnits(data->lpData, data->cbData);
    if (units == 0 || !StorePathListDrop((const wchar_t*)data->lpData, units)) {
        return HANDOVER_REFUSED;
    }
    HWND dialog = MainDialog();
    if (dialog != nullptr) {
        if (IsIconic(dialog)) {
            ShowWindow(dialog, SW_RESTORE);
        }
        SetForegroundWindow(dialog);
    }
    return HANDOVER_TAKEN;
}

//----------------------------------------------------------------------------
// SendPathList - hands the path list to the running copy's hidden window:
// its answer, HANDOVER_CLOSING when the window went away meanwhile, or
// HANDOVER_REFUSED when the message failed (an elevated copy blocks it).
int SendPathList(HWND target, const wchar_t* list, size_t units)
{
    if (units * sizeof(wchar_t) > PATH_LIST_MAX_BYTES) {
        return HANDOVER_REFUSED;
    }
    DWORD process = 0;
    if (GetWindowThreadProcessId(target, &process) != 0) {
        AllowSetForegroundWindow(process);
    }
    COPYDATASTRUCT data;
    data.dwData = HANDOVER_TAG;
    data.cbData = (DWORD)(units * sizeof(wchar_t));
    data.lpData = (void*)list;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(target, WM_COPYDATA, 0, (LPARAM)&data, SMTO_NORMAL, HANDOVER_SEND_MS, &answer)) {
        return IsWindow(target) ? HANDOVER_REFUSED : HANDOVER_CLOSING;
    }
    return answer == HANDOVER_TAKEN || answer == HANDOVER_CLOSING ? (int)answer : HANDOVER_REFUSED;
}
