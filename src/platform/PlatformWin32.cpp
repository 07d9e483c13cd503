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

int PlatGetFolderId(const char* path, PlatFileId* id)
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
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PlatFailLoad("Can't Get File Size");
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!PlatFaultHit(PLAT_FAULT_READ_OPEN)) {
        if (!(attributes & FILE_ATTRIBUTE_READONLY)) {
            handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            file->writable = handle != INVALID_HANDLE_VALUE;
        }
        if (handle == INVALID_HANDLE_VALUE) {
            handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        }
    }
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
// its place through ReplaceFileA, which keeps the original's attributes,
// creation time and security; MoveFileExA is the fallback.
static void ReleaseReplace(PlatReplace* replace)
{
    TrackedFree(replace->tempName);
    replace->tempName = nullptr;
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
}

// The temporary file's path: the original's folder and a short name that
// never ends in .jpg; past MAX_PATH in its "\\?\" form, for drive paths
// ("\\?\C:\...") and UNC paths ("\\?\UNC\server\share\...") alike.
static char* TemporaryPath(const char* path, unsigned number)
{
    const char* slash = strrchr(path, '\\');
    int folderLength = slash ? (int)(slash - path) + 1 : 0;  // with its separator
    char* temp = FormatText("%.*s~marlovex%u.tmp", folderLength, path, number);
    if (temp == nullptr || strlen(temp) < MAX_PATH) {
        return temp;
    }
    char* longForm = nullptr;
    if (path[0] == '\\' && path[1] == '\\' && path[2] != '?') {
        longForm = FormatText("\\\\?\\UNC%s", temp + 1);
    } else if (path[1] == ':') {
        longForm = FormatText("\\\\?\\%s", temp);
    }
    TrackedFree(temp);
    return longForm;
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
        if (temp == nullptr) {
            return 0;
        }
        HANDLE handle = PlatFaultHit(PLAT_FAULT_OPEN)
                            ? INVALID_HANDLE_VALUE
                            : CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            replace->handle = (intptr_t)handle;
            replace->tempName = temp;
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
    if (ok && PlatFaultHit(PLAT_FAULT_REPLACE)) {
        ok = 0;
    } else if (ok) {
        ok = ReplaceFileA(file->name, replace->tempName, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
        // ReplaceFileA can fail half-way: with ERROR_UNABLE_TO_MOVE_REPLACEMENT
        // the original is gone, with ..._2 it lives on under another name;
        // either way the temporary file holds the only complete photo, and
        // MoveFileExA puts it in place. Otherwise the original is untouched
        // and MoveFileExA is simply the second way to replace it.
        ok = ok || MoveFileExA(replace->tempName, file->name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    // The temporary file goes only while the original is in its place: were
    // it gone, the temporary file would be the photo.
    if (!ok && GetFileAttributesA(file->name) != INVALID_FILE_ATTRIBUTES) {
        DeleteFileA(replace->tempName);
    }
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
        DeleteFileA(replace->tempName);
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
