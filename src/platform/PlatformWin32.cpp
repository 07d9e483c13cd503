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
// Scanners (antivirus, the indexer, a sync client) open a new file or a
// photo for a moment, and a call that needs it then fails with a sharing
// violation. Such a call is tried again, up to ten times within about a
// second, before it counts as failed.
constexpr int BUSY_TRIES = 10;
constexpr DWORD BUSY_PAUSE_MS = 100;

// TryAgain - after a failed call: 1, after a pause, when it met a sharing
// violation and has tries left; 0 otherwise, with the call's error kept.
static int TryAgain(int* tries)
{
    DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) || ++*tries >= BUSY_TRIES) {
        return 0;
    }
    Sleep(BUSY_PAUSE_MS);
    SetLastError(error);
    return 1;
}

static HANDLE OpenPath(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    wchar_t* wide = WinSystemPath(path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    int tries = 0;
    while (wide != nullptr && (handle = CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr)) ==
                                  INVALID_HANDLE_VALUE &&
           TryAgain(&tries)) {
    }
    DWORD error = GetLastError();
    WinFree(wide);
    SetLastError(error);
    return handle;
}

// Removes a file by its path. A removal that fails is reported: it leaves a
// temporary file behind, which never stands in a later photo's way.
static int DeletePath(const char* path)
{
    wchar_t* wide = WinSystemPath(path);
    int tries = 0;
    int ok = 0;
    while (wide != nullptr && !(ok = DeleteFileW(wide)) && TryAgain(&tries)) {
    }
    WinFree(wide);
    if (!ok) {
        MV_REPORT_FAILURE();
    }
    return ok;
}

// Flushes what was written through `handle` to the disk.
static int Flush(HANDLE handle)
{
    return !PlatFaultHit(PLAT_FAULT_FLUSH) && FlushFileBuffers(handle);
}

static int64_t TimeOf(const FILETIME* time)
{
    return (int64_t)(((uint64_t)time->dwHighDateTime << 32) | time->dwLowDateTime);
}

// Identity, size, last-write time and number of names of an open file.
static int DescribeFile(HANDLE handle, PlatFile* file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        return 0;
    }
    file->id.volume = info.dwVolumeSerialNumber;
    file->id.file[0] = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    file->id.file[1] = 0;
    file->size = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    file->modified = TimeOf(&info.ftLastWriteTime);
    file->links = info.nNumberOfLinks;
    return 1;
}

// Whether the photo's name still leads to the file read, unchanged: another
// program may have renamed it away and put another file there, which would
// otherwise be replaced with the old photo's content.
static int StillTheFileRead(const PlatFile* file)
{
    HANDLE handle = OpenPath(file->name, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, 0);
    PlatFile now;
    PlatInitFile(&now);
    int same = handle != INVALID_HANDLE_VALUE && DescribeFile(handle, &now) && now.id.volume == file->id.volume &&
               now.id.file[0] == file->id.file[0] && now.size == file->size && now.modified == file->modified;
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    return same;
}

//----------------------------------------------------------------------------
// The file in hand. It is opened once, for reading and, where it may be
// written, for writing too, which proves that it may be replaced. Until the
// replacement other programs may read it, but not write it: a program that
// saves the photo meanwhile is refused, and one that is writing the photo
// keeps it from being opened with write access, and the rewrite then
// refuses it ("Can't open: "). It may be renamed, which the replacement
// needs; a name that no longer leads to it is not replaced.
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
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PlatFailLoad("Can't Get File Size");
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!PlatFaultHit(PLAT_FAULT_READ_OPEN)) {
        if (!(attributes & FILE_ATTRIBUTE_READONLY)) {
            handle = OpenPath(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN);
            file->writable = handle != INVALID_HANDLE_VALUE;
        }
        if (handle == INVALID_HANDLE_VALUE) {
            handle = OpenPath(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return PlatFailLoad("Can't Open File");
    }
    file->handle = (intptr_t)handle;
    // Sizes are signed 32-bit counts: a file of 2 GiB or more has no size
    // that the callers could use. Only a plain disk file is read.
    if (GetFileType(handle) != FILE_TYPE_DISK || !DescribeFile(handle, file) || file->size > INT32_MAX) {
        PlatCloseFile(file);
        return PlatFailLoad("Can't Get File Size");
    }
    file->name = FormatText("%s", path);
    unsigned char* block = (unsigned char*)TrackedAlloc((size_t)file->size);
    if (file->name == nullptr || block == nullptr) {
        TrackedFree(block);
        PlatCloseFile(file);
        return -1;  // TrackedAlloc has reported it
    }
    // The caller rewrites the file from this block, so it must hold exactly
    // the file: a short read and a file longer than its size are failures.
    if (!ReadExactly(handle, block, (int32_t)file->size)) {
        TrackedFree(block);
        PlatCloseFile(file);
        return PlatFailLoad("Can't Read File");
    }
    *buffer = block;
    return (int32_t)file->size;
}

//----------------------------------------------------------------------------
// Safe replacement: the temporary file sits beside the original and takes
// its place through ReplaceFileW, which keeps the original's attributes,
// creation time, security and streams; MoveFileExW is the fallback. A photo
// with several names (hard links) is rewritten in place instead, so that
// every name shows the cleaned photo.
static void ReleaseReplace(PlatReplace* replace)
{
    TrackedFree(replace->tempName);
    replace->tempName = nullptr;
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
}

// The temporary file's path: the original's folder (up to its last
// separator, '\' or '/') and a short name that never ends in .jpg.
static char* TemporaryPath(const char* path, uint32_t number)
{
    int folderLength = 0;  // with its separator
    for (int i = 0; path[i] != '\0'; i++) {
        if (PlatIsSeparator(path[i])) {
            folderLength = i + 1;
        }
    }
    return FormatText("%.*s~marlovex%u.tmp", folderLength, path, (unsigned)number);
}

// The temporary file is marked to go when its handle closes, from its
// creation until it is to stay: so it goes whatever ends the rewrite
// before its commit, a failure, the program's end or a kill, and no other
// program can open it meanwhile. 1 when the mark was set (or cleared).
static int RemoveOnClose(HANDLE handle, BOOL remove)
{
    FILE_DISPOSITION_INFO disposition = {(BOOLEAN)remove};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

// Closes the temporary file and sees that it goes.
static void RemoveTemporary(PlatReplace* replace)
{
    if ((HANDLE)replace->handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)replace->handle);
        replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
        if (replace->removeOnClose) {
            return;
        }
    }
    if (replace->tempName != nullptr) {
        DeletePath(replace->tempName);
    }
}

// Closes the temporary file, which stays: it holds the complete photo.
static void KeepTemporary(PlatReplace* replace)
{
    if ((HANDLE)replace->handle != INVALID_HANDLE_VALUE) {
        if (replace->removeOnClose && !RemoveOnClose((HANDLE)replace->handle, FALSE)) {
            MV_REPORT_FAILURE();
        }
        CloseHandle((HANDLE)replace->handle);
        replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    }
}

int PlatReplaceBegin(PlatFile* file, PlatReplace* replace)
{
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    replace->tempName = nullptr;
    replace->written = 0;
    replace->removeOnClose = 0;
    if (PlatAbandoned() || PlatFaultHit(PLAT_FAULT_OPEN) || !file->writable) {
        return 0;
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t entropy = (uint64_t)counter.QuadPart ^ ((uint64_t)GetCurrentProcessId() << 40);
    for (int tries = 0; tries < PLAT_TEMPORARY_TRIES; tries++) {
        char* temp = TemporaryPath(file->name, PlatTemporaryNumber(entropy));
        if (temp == nullptr) {
            return 0;
        }
        // Read back for an in-place rewrite; removed through this handle.
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (PlatFaultHit(PLAT_FAULT_OPEN)) {
            SetLastError(ERROR_ACCESS_DENIED);  // a refusal, never taken for a name that is in use
        } else {
            handle = OpenPath(temp, GENERIC_READ | GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
        }
        DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            replace->handle = (intptr_t)handle;
            replace->tempName = temp;
            replace->removeOnClose = RemoveOnClose(handle, TRUE);
            return 1;
        }
        TrackedFree(temp);
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_SHARING_VIOLATION) {
            break;
        }
    }
    return 0;
}

int PlatReplaceWrite(PlatReplace* replace, const void* data, int32_t size)
{
    if (size <= 0 || PlatAbandoned() || PlatFaultHit(PLAT_FAULT_WRITE)) {
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

// What became of a commit.
enum Commit {
    COMMIT_DONE,          // the new content is in the original's place, on the disk
    COMMIT_FAILED,        // the original is untouched; the temporary file goes
    COMMIT_KEEP_TEMPORARY // the original is gone, damaged, or cleaned but not known to be
                          // on the disk: a temporary file that is left is the complete copy
};

// Rewrites the photo in place through the handle that was read, from the
// complete temporary file (on the disk already), and flushes it.
static Commit CopyInPlace(PlatFile* file, PlatReplace* replace)
{
    HANDLE original = (HANDLE)file->handle;
    HANDLE temp = (HANDLE)replace->handle;
    char* block = (char*)TrackedAlloc(PLAT_WRITE_BLOCK);
    LARGE_INTEGER start = {};
    if (block == nullptr || !SetFilePointerEx(temp, start, nullptr, FILE_BEGIN) ||
        !SetFilePointerEx(original, start, nullptr, FILE_BEGIN)) {
        TrackedFree(block);
        return COMMIT_FAILED;
    }
    // From the first write on, only the temporary file is sure to be whole.
    int ok = 1;
    for (int64_t at = 0; ok && at < replace->written;) {
        DWORD got = 0;
        DWORD put = 0;
        ok = ReadFile(temp, block, PLAT_WRITE_BLOCK, &got, nullptr) && got > 0 &&
             WriteFile(original, block, got, &put, nullptr) && put == got;
        at += got;
    }
    TrackedFree(block);
    ok = ok && SetEndOfFile(original) && Flush(original);
    return ok ? COMMIT_DONE : COMMIT_KEEP_TEMPORARY;
}

// Waits, within the tries of TryAgain, while a scanner holds `path` without
// letting it be renamed, which would make ReplaceFileW fail (and Wine's
// leave an empty "rf*.tmp" file behind at each try).
static void WaitUntilRenamable(const wchar_t* path, int* tries)
{
    for (;;) {
        HANDLE handle = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            return;
        }
        if (!TryAgain(tries)) {
            return;
        }
    }
}

// MoveFileExW, tried again while a scanner has one of the files open.
static int MoveInto(const wchar_t* original, const wchar_t* temp)
{
    int tries = 0;
    while (!MoveFileExW(temp, original, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (!TryAgain(&tries)) {
            return 0;
        }
    }
    return 1;
}

// ReplaceFileW, once no scanner holds either file.
static int TryReplace(const wchar_t* original, const wchar_t* temp, int* tries)
{
    WaitUntilRenamable(original, tries);
    WaitUntilRenamable(temp, tries);
    return ReplaceFileW(original, temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
}

// ReplaceFileW, and when it fails, the second way (MoveFileExW); each
// tried again while a scanner has one of the files open.
static int ReplaceOrMove(const wchar_t* original, const wchar_t* temp)
{
    int tries = 0;
    while (!TryReplace(original, temp, &tries)) {
        if (!TryAgain(&tries)) {
            // ReplaceFileW can fail half-way: with ERROR_UNABLE_TO_MOVE_REPLACEMENT
            // the original is gone, with ..._2 it lives on under another name;
            // either way the temporary file holds the only complete photo, and
            // MoveFileExW puts it in place. Otherwise the original is untouched
            // and MoveFileExW is simply the second way to replace it.
            return MoveInto(original, temp);
        }
    }
    return 1;
}

// The photo's new entry reaches the disk: the file opened again and
// flushed, which on NTFS commits its entry too.
static int FlushPath(const char* path)
{
    HANDLE handle = OpenPath(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int ok = Flush(handle);
    CloseHandle(handle);
    return ok;
}

// Puts the temporary file in the photo's place. The first try is made while
// the photo is held open, so that nothing writes it meanwhile, once a
// scanner has let go of both files, and only once: a system may refuse to
// replace a file that is held open (Wine does, with error 267; ReplaceFileW
// asks for access that the photo's handle may not share), and that refusal
// is no scanner to wait for. The photo is then let go and replaced, with
// the waits for scanners, only if its name still leads to the file read,
// unchanged.
static Commit Replace(PlatFile* file, PlatReplace* replace)
{
    if (replace->removeOnClose && !RemoveOnClose((HANDLE)replace->handle, FALSE)) {
        return COMMIT_FAILED;
    }
    CloseHandle((HANDLE)replace->handle);  // ReplaceFileW opens it itself
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    replace->removeOnClose = 0;
    wchar_t* original = WinSystemPath(file->name);
    wchar_t* temp = WinSystemPath(replace->tempName);
    int replaced = 0;
    if (original != nullptr && temp != nullptr && !PlatFaultHit(PLAT_FAULT_REPLACE) && StillTheFileRead(file)) {
        int tries = 0;
        replaced = TryReplace(original, temp, &tries);
        if (!replaced && AttributesOf(file->name) == INVALID_FILE_ATTRIBUTES) {
            replaced = MoveInto(original, temp);  // it failed half-way (see ReplaceOrMove)
        } else if (!replaced) {
            CloseHandle((HANDLE)file->handle);
            file->handle = (intptr_t)INVALID_HANDLE_VALUE;
            replaced = StillTheFileRead(file) && ReplaceOrMove(original, temp);
        }
    }
    WinFree(original);
    WinFree(temp);
    if (!replaced) {
        // Were the photo gone, the temporary file would be the photo.
        return AttributesOf(file->name) != INVALID_FILE_ATTRIBUTES ? COMMIT_FAILED : COMMIT_KEEP_TEMPORARY;
    }
    return FlushPath(file->name) ? COMMIT_DONE : COMMIT_KEEP_TEMPORARY;
}

int PlatReplaceCommit(PlatReplace* replace, PlatFile* file)
{
    PlatRunRaceHook();
    // The complete new content reaches the disk before it takes the photo's
    // place; a photo rewritten in place is flushed before its temporary
    // copy goes.
    Commit result = COMMIT_FAILED;
    if (Flush((HANDLE)replace->handle) && PlatBeginCommit()) {
        result = file->links > 1 ? CopyInPlace(file, replace) : Replace(file, replace);
        PlatEndCommit();
    }
    if (result == COMMIT_KEEP_TEMPORARY) {
        KeepTemporary(replace);
    } else if (result == COMMIT_FAILED || file->links > 1) {
        RemoveTemporary(replace);  // after a replacement its name is the photo's
    }
    PlatCloseFile(file);
    ReleaseReplace(replace);
    return result == COMMIT_DONE;
}

void PlatReplaceAbort(PlatReplace* replace, PlatFile* file)
{
    (void)file;
    RemoveTemporary(replace);
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
