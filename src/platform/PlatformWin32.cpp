// PlatformWin32.cpp - the platform layer on Windows (narrow ANSI API).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/Platform.h"
#include "support/Track.h"

uint32_t PlatGetFileAttributes(const char* path)
{
    return (uint32_t)GetFileAttributesA(path);  // INVALID_FILE_ATTRIBUTES has every bit set
}

// PathFileExistsA lives in shlwapi; the attribute query answers the same
// question (true for files and folders) without another library.
int PlatPathExists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

//----------------------------------------------------------------------------
// Enumeration with FindFirstFileA/FindNextFileA. The handle is kept in a
// tracked block together with the Windows find data.
struct Win32Find {
    HANDLE handle;
    WIN32_FIND_DATAA data;
};

static int CopyRecord(const WIN32_FIND_DATAA* data, PlatFindRecord* record)
{
    size_t length = strlen(data->cFileName);
    if (length >= sizeof(record->name)) {
        return 0;
    }
    memcpy(record->name, data->cFileName, length + 1);
    record->attributes = (uint32_t)data->dwFileAttributes;
    return 1;
}

void* PlatFindFirst(const char* pattern, PlatFindRecord* record)
{
    if (PlatFaultHit(PLAT_FAULT_FIND)) {
        return nullptr;
    }
    Win32Find* find = (Win32Find*)TrackedAlloc(sizeof(Win32Find));
    if (find == nullptr) {
        return nullptr;
    }
    find->handle = FindFirstFileA(pattern, &find->data);
    if (find->handle == INVALID_HANDLE_VALUE || !CopyRecord(&find->data, record)) {
        if (find->handle != INVALID_HANDLE_VALUE) {
            FindClose(find->handle);
        }
        TrackedFree(find);
        return nullptr;
    }
    return find;
}

int PlatFindNext(void* opaque, PlatFindRecord* record)
{
    Win32Find* find = (Win32Find*)opaque;
    return FindNextFileA(find->handle, &find->data) && CopyRecord(&find->data, record);
}

void PlatFindClose(void* opaque)
{
    Win32Find* find = (Win32Find*)opaque;
    FindClose(find->handle);
    TrackedFree(find);
}

int PlatGetFolderId(const char* path, PlatFolderId* id)
{
    HANDLE folder = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(folder, &info) != 0;
    CloseHandle(folder);
    if (ok) {
        id->volume = info.dwVolumeSerialNumber;
        id->file = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    }
    return ok;
}

//----------------------------------------------------------------------------
// Safe replacement: the temporary file sits beside the original and takes
// its place through ReplaceFileA, which keeps the original's attributes,
// creation time and security; MoveFileExA is the fallback.
static void ReleaseReplace(PlatReplace* replace)
{
    TrackedFree(replace->tempPath);
    TrackedFree(replace->targetPath);
    replace->tempPath = nullptr;
    replace->targetPath = nullptr;
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
}

int PlatReplaceBegin(const char* path, PlatReplace* replace)
{
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    replace->tempPath = nullptr;
    replace->targetPath = nullptr;
    replace->mode = replace->owner = replace->group = 0;
    // Open for writing without truncating: a read-only file, a file that
    // another program holds locked, or one we may not write is refused here,
    // before anything is written.
    // The read-only attribute is tested first: Windows refuses such a file
    // at the open anyway, but Wine running as root would open it.
    DWORD attributes = GetFileAttributesA(path);
    HANDLE original = PlatFaultHit(PLAT_FAULT_OPEN) || attributes == INVALID_FILE_ATTRIBUTES ||
                              (attributes & FILE_ATTRIBUTE_READONLY)
                          ? INVALID_HANDLE_VALUE
                          : CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (original == INVALID_HANDLE_VALUE) {
        return 0;
    }
    CloseHandle(original);
    // Past MAX_PATH the temporary file's name is used in its "\\?\" form.
    const char* prefix = (strlen(path) + 14 >= MAX_PATH && path[1] == ':' && path[2] == '\\') ? "\\\\?\\" : "";
    for (unsigned number = 0; number < 100; number++) {
        char* base = PlatJoinText(prefix, path, 0);
        char* temp = base ? PlatJoinText(base, PLAT_TEMP_SUFFIX, number) : nullptr;
        TrackedFree(base);
        if (temp == nullptr) {
            return 0;
        }
        HANDLE handle = PlatFaultHit(PLAT_FAULT_OPEN)
                            ? INVALID_HANDLE_VALUE
                            : CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            replace->handle = (intptr_t)handle;
            replace->tempPath = temp;
            replace->written = 0;
            return 1;
        }
        DWORD error = GetLastError();
        TrackedFree(temp);
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    return 0;
}

int PlatReplaceWrite(PlatReplace* replace, const void* data, int32_t size)
{
    if (size <= 0 || PlatFaultHit(PLAT_FAULT_WRITE)) {
        return 0;
    }
    const char* at = (const char*)data;
    DWORD left = (DWORD)size;
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile((HANDLE)replace->handle, at, PlatNextWriteBlock(replace->written, left), &written, nullptr) ||
            written == 0) {
            return 0;
        }
        at += written;
        left -= written;
        replace->written += written;
    }
    return 1;
}

int PlatReplaceCommit(PlatReplace* replace, const char* path)
{
    int ok = CloseHandle((HANDLE)replace->handle) != 0;
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    if (ok && PlatFaultHit(PLAT_FAULT_REPLACE)) {
        ok = 0;
    } else if (ok) {
        ok = ReplaceFileA(path, replace->tempPath, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) ||
             MoveFileExA(replace->tempPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (!ok) {
        DeleteFileA(replace->tempPath);
    }
    ReleaseReplace(replace);
    return ok;
}

void PlatReplaceAbort(PlatReplace* replace)
{
    if ((HANDLE)replace->handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)replace->handle);
    }
    if (replace->tempPath != nullptr) {
        DeleteFileA(replace->tempPath);
    }
    ReleaseReplace(replace);
}

//----------------------------------------------------------------------------
void PlatSleep(int milliseconds)
{
    Sleep((DWORD)milliseconds);
}

uint32_t PlatTickCount()
{
    return (uint32_t)GetTickCount();
}

void PlatBreakIfDebugging()
{
#ifndef NDEBUG
    if (IsDebuggerPresent()) {
        DebugBreak();
    }
#endif
}
