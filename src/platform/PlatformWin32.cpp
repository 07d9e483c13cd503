// PlatformWin32.cpp - the platform layer on Windows. Paths are UTF-8 inside
// the tool; each call converts its path at the boundary (WinSystemPath) and
// uses the wide function, so names outside the ANSI code page and paths
// past MAX_PATH work, and no name is ever best-fitted into another.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/Platform.h"
#include "platform/WinText.h"
#include "support/Track.h"

//----------------------------------------------------------------------------
// The entry last listed whose name did not convert exactly (see Platform.h):
// its path as the tool has it, and its attributes. Worker thread only.
static char* s_inexactPath;
static DWORD s_inexactAttributes;

static DWORD AttributesOf(const char* path)
{
    wchar_t* wide = WinSystemPath(path);
    DWORD attributes = wide ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    WinFree(wide);
    return attributes;
}

uint32_t PlatGetFileAttributes(const char* path)
{
    DWORD attributes = AttributesOf(path);  // INVALID_FILE_ATTRIBUTES has every bit set
    if (attributes == INVALID_FILE_ATTRIBUTES && s_inexactPath != nullptr && strcmp(path, s_inexactPath) == 0) {
        return (uint32_t)s_inexactAttributes;
    }
    return (uint32_t)attributes;
}

// PathFileExists lives in shlwapi; the attribute query answers the same
// question (true for files and folders) without another library.
int PlatPathExists(const char* path)
{
    return AttributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

//----------------------------------------------------------------------------
// Enumeration with FindFirstFileExW/FindNextFileW. The handle is kept in a
// tracked block together with the find data and the folder's path (the
// pattern without its '*'), which an inexact name needs.
struct Win32Find {
    HANDLE handle;
    WIN32_FIND_DATAW data;
    char* folder;
};

// A name that did not convert exactly has U+FFFD in it now, and leads
// nowhere.
static int CopyRecord(Win32Find* find, PlatFindRecord* record)
{
    int exact = 1;
    if (!WinNarrowInto(find->data.cFileName, record->name, (int)sizeof(record->name), &exact)) {
        return 0;
    }
    record->attributes = (uint32_t)find->data.dwFileAttributes;
    if (!exact) {
        TrackedFree(s_inexactPath);
        s_inexactPath = FormatText("%s%s", find->folder, record->name);
        s_inexactAttributes = find->data.dwFileAttributes;
    }
    return 1;
}

static void FreeFind(Win32Find* find)
{
    if (find->handle != INVALID_HANDLE_VALUE) {
        FindClose(find->handle);
    }
    TrackedFree(find->folder);
    TrackedFree(find);
}

void* PlatFindFirst(const char* pattern, PlatFindRecord* record)
{
    size_t length = strlen(pattern);
    if (length < 2 || pattern[length - 1] != '*' || !PlatIsSeparator(pattern[length - 2])) {
        return nullptr;
    }
    if (PlatFaultHit(PLAT_FAULT_FIND)) {
        return nullptr;
    }
    Win32Find* find = (Win32Find*)TrackedAlloc(sizeof(Win32Find));
    if (find == nullptr) {
        return nullptr;
    }
    find->handle = INVALID_HANDLE_VALUE;
    find->folder = FormatText("%.*s", (int)(length - 1), pattern);
    wchar_t* wide = find->folder ? WinSystemPath(pattern) : nullptr;
    if (wide != nullptr) {
        // The basic information (no short names) in large batches: both
        // save the system work per entry; neither changes what is listed.
        find->handle = FindFirstFileExW(wide, FindExInfoBasic, &find->data, FindExSearchNameMatch, nullptr,
                                        FIND_FIRST_EX_LARGE_FETCH);
        WinFree(wide);
    }
    if (find->handle == INVALID_HANDLE_VALUE || !CopyRecord(find, record)) {
        FreeFind(find);
        return nullptr;
    }
    return find;
}

int PlatFindNext(void* opaque, PlatFindRecord* record)
{
    Win32Find* find = (Win32Find*)opaque;
    return FindNextFileW(find->handle, &find->data) && CopyRecord(find, record);
}

void PlatFindClose(void* opaque)
{
    FreeFind((Win32Find*)opaque);
}

// FILE_ID_INFO and its class (Windows 8 and later; the headers for Windows
// 7 lack them). On older systems the query fails and the 64-bit file index
// stands in.
struct WinFileIdInfo {
    ULONGLONG volumeSerialNumber;
    BYTE fileId[16];
};
constexpr int WIN_FILE_ID_INFO_CLASS = 18;

int PlatGetFolderId(const char* path, PlatFileId* id)
{
    wchar_t* wide = WinSystemPath(path);
    HANDLE folder = wide ? CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                         : INVALID_HANDLE_VALUE;
    WinFree(wide);
    if (folder == INVALID_HANDLE_VALUE) {
        return 0;
    }
    WinFileIdInfo full;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = 1;
    if (GetFileInformationByHandleEx(folder, (FILE_INFO_BY_HANDLE_CLASS)WIN_FILE_ID_INFO_CLASS, &full,
                                     sizeof(full))) {
        id->volume = full.volumeSerialNumber;
        memcpy(id->file, full.fileId, sizeof(id->file));
    } else if (GetFileInformationByHandle(folder, &info)) {
        id->volume = info.dwVolumeSerialNumber;
        id->file[0] = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        id->file[1] = 0;
    } else {
        ok = 0;
    }
    CloseHandle(folder);
    return ok;
}

//----------------------------------------------------------------------------
// The file in hand. It is opened once, for reading and, where it may be
// written, for writing too, which proves that it may be replaced. Other
// programs may read it meanwhile, but not write, rename or delete it: a
// program that is writing the photo keeps it from being opened with write
// access, and the rewrite then refuses it ("Can't open: ").
void PlatCloseFile(PlatFile* file)
{
    if ((HANDLE)file->handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)file->handle);
        file->handle = (intptr_t)INVALID_HANDLE_VALUE;
    }
    TrackedFree(file->name);
    file->name = nullptr;
}

// Reads `size` bytes, then proves that the file has no more.
static int ReadExactly(HANDLE handle, unsigned char* block, int32_t size)
{
    DWORD got = 0;
    for (int32_t at = 0; at < size; at += (int32_t)got) {
        if (!ReadFile(handle, block + at, (DWORD)(size - at), &got, nullptr) || got == 0) {
            return 0;
        }
    }
    unsigned char extra;
    return ReadFile(handle, &extra, 1, &got, nullptr) && got == 0 && !PlatFaultHit(PLAT_FAULT_READ);
}

int32_t PlatLoadWholeFile(const char* path, PlatFile* file, unsigned char** buffer)
{
    PlatInitFile(file);
    // The read-only attribute is tested first: Windows refuses such a file
    // for writing anyway, but Wine running as root would open it.
    wchar_t* wide = WinSystemPath(path);
    DWORD attributes = wide ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        WinFree(wide);
        return PlatFailLoad("Can't Get File Size");
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!PlatFaultHit(PLAT_FAULT_READ_OPEN)) {
        if (!(attributes & FILE_ATTRIBUTE_READONLY)) {
            handle = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            file->writable = handle != INVALID_HANDLE_VALUE;
        }
        if (handle == INVALID_HANDLE_VALUE) {
            handle = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        }
    }
    WinFree(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        return PlatFailLoad("Can't Open File");
    }
    file->handle = (intptr_t)handle;
    // Sizes are signed 32-bit counts: a file of 2 GiB or more has no size
    // that the callers could use. Only a plain disk file is read. Held
    // without write sharing, the file cannot change until the replacement,
    // so its identity need not be checked again.
    LARGE_INTEGER size;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size) || size.QuadPart > INT32_MAX) {
        PlatCloseFile(file);
        return PlatFailLoad("Can't Get File Size");
    }
    file->name = FormatText("%s", path);
    unsigned char* block = (unsigned char*)TrackedAlloc((size_t)size.QuadPart);
    if (file->name == nullptr || block == nullptr) {
        TrackedFree(block);
        PlatCloseFile(file);
        return -1;  // TrackedAlloc has reported it
    }
    // The caller rewrites the file from this block, so it must hold exactly
    // the file: a short read and a file longer than its size are failures.
    if (!ReadExactly(handle, block, (int32_t)size.QuadPart)) {
        TrackedFree(block);
        PlatCloseFile(file);
        return PlatFailLoad("Can't Read File");
    }
    *buffer = block;
    return (int32_t)size.QuadPart;
}

//----------------------------------------------------------------------------
// Safe replacement: the temporary file sits beside the original and takes
// its place through ReplaceFileW, which keeps the original's attributes,
// creation time and security; MoveFileExW is the fallback.
static void ReleaseReplace(PlatReplace* replace)
{
    TrackedFree(replace->tempName);
    replace->tempName = nullptr;
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
}

// The temporary file's path: the original's folder (up to its last
// separator, '\' or '/') and a short name that never ends in .jpg.
static char* TemporaryPath(const char* path, unsigned number)
{
    int folderLength = 0;  // with its separator
    for (int i = 0; path[i] != '\0'; i++) {
        if (PlatIsSeparator(path[i])) {
            folderLength = i + 1;
        }
    }
    return FormatText("%.*s~marlovex%u.tmp", folderLength, path, number);
}

static int DeletePath(const char* path)
{
    wchar_t* wide = WinSystemPath(path);
    int ok = wide != nullptr && DeleteFileW(wide);
    WinFree(wide);
    return ok;
}

int PlatReplaceBegin(PlatFile* file, PlatReplace* replace)
{
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    replace->tempName = nullptr;
    replace->written = 0;
    if (PlatFaultHit(PLAT_FAULT_OPEN) || !file->writable) {
        return 0;
    }
    for (unsigned number = 0; number < 100; number++) {
        char* temp = TemporaryPath(file->name, number);
        wchar_t* wide = temp ? WinSystemPath(temp) : nullptr;
        if (wide == nullptr) {
            TrackedFree(temp);
            return 0;
        }
        HANDLE handle = PlatFaultHit(PLAT_FAULT_OPEN)
                            ? INVALID_HANDLE_VALUE
                            : CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        DWORD error = GetLastError();
        WinFree(wide);
        if (handle != INVALID_HANDLE_VALUE) {
            replace->handle = (intptr_t)handle;
            replace->tempName = temp;
            return 1;
        }
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

// Our handle on the original is closed just before the replacement, which
// needs the file free; until then no other program could change it.
int PlatReplaceCommit(PlatReplace* replace, PlatFile* file)
{
    PlatRunRaceHook();
    int ok = CloseHandle((HANDLE)replace->handle) != 0;
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    if ((HANDLE)file->handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)file->handle);
        file->handle = (intptr_t)INVALID_HANDLE_VALUE;
    }
    wchar_t* original = WinSystemPath(file->name);
    wchar_t* temp = WinSystemPath(replace->tempName);
    if (original == nullptr || temp == nullptr) {
        ok = 0;
    }
    if (ok && PlatFaultHit(PLAT_FAULT_REPLACE)) {
        ok = 0;
    } else if (ok) {
        ok = ReplaceFileW(original, temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
        // ReplaceFileW can fail half-way: with ERROR_UNABLE_TO_MOVE_REPLACEMENT
        // the original is gone, with ..._2 it lives on under another name;
        // either way the temporary file holds the only complete photo, and
        // MoveFileExW puts it in place. Otherwise the original is untouched
        // and MoveFileExW is simply the second way to replace it.
        ok = ok || MoveFileExW(temp, original, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    // The temporary file goes only while the original is in its place: were
    // it gone, the temporary file would be the photo.
    if (!ok && original != nullptr && GetFileAttributesW(original) != INVALID_FILE_ATTRIBUTES) {
        DeletePath(replace->tempName);
    }
    WinFree(original);
    WinFree(temp);
    ReleaseReplace(replace);
    return ok;
}

void PlatReplaceAbort(PlatReplace* replace, PlatFile* file)
{
    (void)file;
    if ((HANDLE)replace->handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)replace->handle);
    }
    if (replace->tempName != nullptr) {
        DeletePath(replace->tempName);
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
