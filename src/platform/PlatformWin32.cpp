// PlatformWin32.cpp - the platform layer on Windows. Paths are UTF-8 inside
// the tool; each call converts its path at the boundary (WinSystemPath) and
// uses the wide function, so names outside the ANSI code page and paths
// past MAX_PATH work, and no name is ever best-fitted into another.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/Backend.h"
#include "platform/Platform.h"
#include "platform/WinText.h"
#include "support/Hash.h"
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

int PlatIsRootFolder(const char* path)
{
    return WinIsRoot(path);
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
    // The reparse tag comes in dwReserved0; only a junction or a symbolic
    // link counts as a link (not a file in the cloud, say).
    DWORD attributes = find->data.dwFileAttributes;
    DWORD tag = find->data.dwReserved0;
    record->attributes = (uint32_t)(attributes & ~(DWORD)FILE_ATTRIBUTE_REPARSE_POINT);
    static_assert(PLAT_ATTR_LINK == FILE_ATTRIBUTE_REPARSE_POINT, "the link bit is the reparse point's");
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (tag == IO_REPARSE_TAG_MOUNT_POINT || tag == IO_REPARSE_TAG_SYMLINK)) {
        record->attributes |= PLAT_ATTR_LINK;
    }
    if (!exact) {
        TrackedFree(s_inexactPath);
        s_inexactPath = FormatText("%s%s", find->folder, record->name);
        s_inexactAttributes = find->data.dwFileAttributes;
    }
    return 1;
}

static void FreeFind(Win32Find* find)
{
    // The inexact entry was met in this listing or one inside it, whose
    // entries have all been handed on by now.
    TrackedFree(s_inexactPath);
    s_inexactPath = nullptr;
    if (find->handle != INVALID_HANDLE_VALUE) {
        FindClose(find->handle);
    }
    TrackedFree(find->folder);
    TrackedFree(find);
}

// The folder without leftovers whose listing goes on (MayHoldLeftovers):
// the hash of its path, 0 when none. Worker thread only.
static uint64_t s_folderWithout;

void* PlatFindFirst(const char* pattern, PlatFindRecord* record)
{
    s_folderWithout = 0;
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

// Any error but the end of the listing (a share that went away) fails it.
int PlatFindNext(void* opaque, PlatFindRecord* record)
{
    Win32Find* find = (Win32Find*)opaque;
    BOOL found = FALSE;
    if (PlatFaultHit(PLAT_FAULT_FIND_NEXT)) {
        SetLastError(ERROR_NETNAME_DELETED);  // the share went away
    } else {
        found = FindNextFileW(find->handle, &find->data);
    }
    if (!found) {
        return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
    }
    return CopyRecord(find, record) ? 1 : -1;
}

void PlatFindClose(void* opaque)
{
    s_folderWithout = 0;
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

// IdentityOf - the volume and file id of an open file or folder: the 128-bit
// id where the system has one (ReFS needs it), else the 64-bit index.
static int IdentityOf(HANDLE handle, PlatFileId* id)
{
    WinFileIdInfo full;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandleEx(handle, (FILE_INFO_BY_HANDLE_CLASS)WIN_FILE_ID_INFO_CLASS, &full, sizeof(full))) {
        id->volume = full.volumeSerialNumber;
        memcpy(id->file, full.fileId, sizeof(id->file));
        return 1;
    }
    if (GetFileInformationByHandle(handle, &info)) {
        id->volume = info.dwVolumeSerialNumber;
        id->file[0] = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        id->file[1] = 0;
        return 1;
    }
    return 0;
}

// What `path` names, opened for no access and shared every way, only to be
// asked about; `flags` FILE_FLAG_BACKUP_SEMANTICS for a folder,
// FILE_FLAG_OPEN_REPARSE_POINT for a link's own.
static HANDLE OpenToAsk(const char* path, DWORD flags)
{
    wchar_t* wide = WinSystemPath(path);
    HANDLE handle = wide ? CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, flags, nullptr)
                         : INVALID_HANDLE_VALUE;
    WinFree(wide);
    return handle;
}

// The identity of what `path` names.
static int IdentityAtPath(const char* path, DWORD flags, PlatFileId* id)
{
    HANDLE handle = OpenToAsk(path, flags);
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int ok = IdentityOf(handle, id);
    CloseHandle(handle);
    return ok;
}

int PlatGetFolderId(const char* path, PlatFileId* id)
{
    if (!IdentityAtPath(path, FILE_FLAG_BACKUP_SEMANTICS, id)) {
        return 0;
    }
    if (PlatFaultHit(PLAT_FAULT_NO_ID)) {
        id->file[0] = id->file[1] = 0;
    }
    return 1;
}

char* PlatFolderFinalPath(const char* path)
{
    HANDLE folder = OpenToAsk(path, FILE_FLAG_BACKUP_SEMANTICS);
    if (folder == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    DWORD length = GetFinalPathNameByHandleW(folder, nullptr, 0, FILE_NAME_NORMALIZED);
    wchar_t* final = length ? (wchar_t*)HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t)) : nullptr;
    char* utf8 = nullptr;
    if (final != nullptr && GetFinalPathNameByHandleW(folder, final, length + 1, FILE_NAME_NORMALIZED) <= length) {
        char* narrow = WinNarrow(final, nullptr);
        utf8 = narrow ? FormatText("%s", narrow) : nullptr;
        WinFree(narrow);
    }
    WinFree(final);
    CloseHandle(folder);
    return utf8;
}

//----------------------------------------------------------------------------
// Scanners (antivirus, the indexer, a sync client) open a new file or a
// photo for a moment, and a call that needs it then fails with a sharing
// violation. Such a call is tried again after a pause. Every wait of one
// photo (its load, its temporary file, the replacement and its tries, the
// removals) draws on one budget of BUSY_PAUSES pauses, so that a photo
// waits at most about two seconds in all.
constexpr int BUSY_PAUSES = 20;
constexpr DWORD BUSY_PAUSE_MS = 100;
static int s_pausesLeft = BUSY_PAUSES;  // worker thread only

// TryAgain - after a failed call: 1, after a pause, when it met a sharing
// or lock violation and the budget has a pause left; 0 otherwise, with the
// call's error kept.
static int TryAgain()
{
    DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) || s_pausesLeft <= 0) {
        return 0;
    }
    s_pausesLeft--;
    Sleep(BUSY_PAUSE_MS);
    SetLastError(error);
    return 1;
}

static HANDLE OpenWide(const wchar_t* wide, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    while ((handle = CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr)) == INVALID_HANDLE_VALUE &&
           TryAgain()) {
    }
    return handle;
}

static HANDLE OpenPath(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    wchar_t* wide = WinSystemPath(path);
    HANDLE handle = wide ? OpenWide(wide, access, share, disposition, flags) : INVALID_HANDLE_VALUE;
    DWORD error = GetLastError();
    WinFree(wide);
    SetLastError(error);
    return handle;
}

// Removes a file by its path. A removal that fails is reported: it leaves a
// file behind, which never stands in a later photo's way.
static int DeletePath(const char* path)
{
    wchar_t* wide = WinSystemPath(path);
    int ok = 0;
    while (wide != nullptr && !(ok = DeleteFileW(wide)) && TryAgain()) {
    }
    WinFree(wide);
    if (!ok) {
        MV_REPORT_FAILURE();
    }
    return ok;
}

static int64_t TimeOf(const FILETIME* time)
{
    return (int64_t)(((uint64_t)time->dwHighDateTime << 32) | time->dwLowDateTime);
}

// Identity, size, last-write time and number of names of an open file.
static int DescribeFile(HANDLE handle, PlatFile* file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!IdentityOf(handle, &file->id) || !GetFileInformationByHandle(handle, &info)) {
        return 0;
    }
    file->size = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    file->modified = TimeOf(&info.ftLastWriteTime);
    file->links = info.nNumberOfLinks;
    return 1;
}

// Whether the open file is the file read, unchanged.
static int IsTheFileRead(HANDLE handle, const PlatFile* file)
{
    PlatFile now;
    PlatInitFile(&now);
    return DescribeFile(handle, &now) && BackSameFile(&now.id, &file->id) && now.size == file->size &&
           now.modified == file->modified;
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
    TrackedFree(file->path);
    TrackedFree(file->entry);
    file->path = file->entry = nullptr;
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
    if (!ReadFile(handle, &extra, 1, &got, nullptr) || got != 0) {
        return 0;
    }
    return !PlatFaultHit(PLAT_FAULT_READ);
}

// Whether the open photo is reached through a link: its final path is not
// the path it was opened by, but for case. Replacing the path would turn
// the link into a file and leave its target as it was, so such a photo is
// rewritten in place. When that cannot be told, it is taken for one: a
// rewrite in place is sound for every photo.
static int ReachedThroughLink(HANDLE handle, const char* path)
{
    wchar_t* opened = WinSystemPath(path);
    DWORD length = opened ? GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED) : 0;
    wchar_t* final = length ? (wchar_t*)HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t)) : nullptr;
    int link = final == nullptr || GetFinalPathNameByHandleW(handle, final, length + 1, FILE_NAME_NORMALIZED) > length ||
               CompareStringOrdinal(final, -1, opened, -1, TRUE) != CSTR_EQUAL;
    WinFree(final);
    WinFree(opened);
    return link;
}

int32_t PlatLoadWholeFile(const char* path, PlatFile* file, unsigned char** buffer)
{
    PlatInitFile(file);
    s_pausesLeft = BUSY_PAUSES;
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
    file->path = FormatText("%s", path);
    file->throughLink = ReachedThroughLink(handle, path);
    unsigned char* block = (unsigned char*)TrackedAlloc((size_t)file->size);
    if (file->path == nullptr || block == nullptr) {
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
// The steps of the commit (Backend.h). The temporary file sits beside the
// photo and takes its place through ReplaceFileW, which keeps the photo's
// attributes, creation time, security and streams.

int BackMayWrite(const PlatFile* file)
{
    return file->writable;
}

// Whether the photo's name still leads to the file read, unchanged: another
// program may have renamed it away and put another file there, which would
// otherwise be replaced with the old photo's content.
int BackStillTheFileRead(const PlatFile* file)
{
    HANDLE handle = OpenPath(file->path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int same = IsTheFileRead(handle, file);
    CloseHandle(handle);
    return same;
}

int BackSameFile(const PlatFileId* a, const PlatFileId* b)
{
    return a->volume == b->volume && a->file[0] == b->file[0] && a->file[1] == b->file[1];
}

const char* BackEntryName(const PlatFile* file)
{
    return BackLastName(file->path);
}

void BackKillProcess()
{
    TerminateProcess(GetCurrentProcess(), PLAT_KILLED_STATUS);
    ExitProcess(PLAT_KILLED_STATUS);
}

static const char LEFTOVER_PREFIX[] = "~marlovex";
static const char LEFTOVER_SUFFIX[] = ".tmp";

char* BackLeftoverName(const PlatFileId* id, char kind)
{
    return FormatText("%s-%c%016llx%016llx%s", LEFTOVER_PREFIX, kind, (unsigned long long)id->file[1],
                      (unsigned long long)id->file[0], LEFTOVER_SUFFIX);
}

int BackIsLeftoverName(const char* name)
{
    size_t length = strlen(name), prefix = sizeof(LEFTOVER_PREFIX) - 1, suffix = sizeof(LEFTOVER_SUFFIX) - 1;
    return length > prefix + suffix && strncmp(name, LEFTOVER_PREFIX, prefix) == 0 &&
           strcmp(name + length - suffix, LEFTOVER_SUFFIX) == 0;
}

int BackNamedIdentity(const char* name, PlatFileId* id)
{
    size_t prefix = sizeof(LEFTOVER_PREFIX) - 1;
    if (!BackIsLeftoverName(name) || strlen(name) != prefix + 2 + 32 + sizeof(LEFTOVER_SUFFIX) - 1 ||
        name[prefix] != '-' || (name[prefix + 1] != 'c' && name[prefix + 1] != 'b')) {
        return 0;
    }
    uint64_t halves[2] = {0, 0};
    for (int i = 0; i < 32; i++) {
        char c = name[prefix + 2 + i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return 0;
        }
        halves[i / 16] = (halves[i / 16] << 4) | (uint64_t)digit;
    }
    id->volume = 0;
    id->file[1] = halves[0];
    id->file[0] = halves[1];
    return 1;
}

// A name in the photo's folder: the folder (up to its last separator, '\'
// or '/') and `name`.
static char* BesidePath(const char* path, const char* name)
{
    return FormatText("%.*s%s", (int)(BackLastName(path) - path), path, name);
}

// Whether the folder of the file at `path` may hold a leftover's name.
// Every name looked up and not found costs Wine a scan of the folder, and
// each photo would look up two; so the folder is scanned once, for any
// name a leftover may have, and a folder without one (its path's hash) is
// remembered while its listing goes on: until another listing begins or
// ends, or a commit keeps what it wrote. The program's own temporary files
// are named after their photo's identity, which no other photo shares.
static int MayHoldLeftovers(const char* path)
{
    size_t folderLength = (size_t)(BackLastName(path) - path);
    uint64_t folder = HashBytes(path, folderLength) | 1;
    if (folder == s_folderWithout) {
        return 0;
    }
    char* pattern = FormatText("%.*s%s*", (int)folderLength, path, LEFTOVER_PREFIX);
    wchar_t* wide = pattern ? WinSystemPath(pattern) : nullptr;
    WIN32_FIND_DATAW data;
    HANDLE find = wide ? FindFirstFileExW(wide, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0)
                       : INVALID_HANDLE_VALUE;
    int may = find != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND;
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
    }
    WinFree(wide);
    TrackedFree(pattern);
    s_folderWithout = may ? 0 : folder;
    return may;
}

// The temporary file is marked to go when its handle closes, from its
// creation until it is to stay: so it goes whatever ends the rewrite
// before it is needed, a failure, the program's end or a kill, and no other
// program can open it meanwhile. 1 when the mark was set (or cleared).
static int RemoveOnClose(HANDLE handle, BOOL remove)
{
    FILE_DISPOSITION_INFO disposition = {(BOOLEAN)remove};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

// Opened without sharing and removed through its own handle; read back by
// nothing.
int BackCreateTemp(PlatFile* file, PlatReplace* replace)
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t entropy = (uint64_t)counter.QuadPart ^ ((uint64_t)GetCurrentProcessId() << 40);
    for (int tries = 0; tries < PLAT_TEMPORARY_TRIES; tries++) {
        char* name = tries == 0 ? BackLeftoverName(&file->id, 'c')
                                : FormatText("%s%u%s", LEFTOVER_PREFIX, (unsigned)PlatTemporaryNumber(entropy),
                                             LEFTOVER_SUFFIX);
        char* temp = name ? BesidePath(file->path, name) : nullptr;
        TrackedFree(name);
        if (temp == nullptr) {
            return 0;
        }
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (PlatFaultHit(PLAT_FAULT_OPEN)) {
            SetLastError(ERROR_WRITE_PROTECT);  // a refusal, never taken for a name that is in use
        } else {
            handle = OpenPath(temp, GENERIC_READ | GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
        }
        DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            replace->handle = (intptr_t)handle;
            replace->path = temp;
            replace->removeOnClose = RemoveOnClose(handle, TRUE);
            return 1;
        }
        TrackedFree(temp);
        // The name derived from the photo's identity may be held by a file
        // that is going (access denied); a random one that is refused so is
        // refused for the folder.
        if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_SHARING_VIOLATION &&
             error != ERROR_ACCESS_DENIED) ||
            (error == ERROR_ACCESS_DENIED && tries > 0)) {
            break;
        }
    }
    return 0;
}

int BackWriteAt(intptr_t handle, int64_t at, const void* bytes, uint32_t count)
{
    const char* from = (const char*)bytes;
    while (count > 0) {
        OVERLAPPED where = {};
        where.Offset = (DWORD)at;
        where.OffsetHigh = (DWORD)((uint64_t)at >> 32);
        DWORD written = 0;
        if (!WriteFile((HANDLE)handle, from, count, &written, &where) || written == 0) {
            return 0;
        }
        from += written;
        at += written;
        count -= written;
    }
    return 1;
}

int BackFlush(intptr_t handle)
{
    return !PlatFaultHit(PLAT_FAULT_FLUSH) && FlushFileBuffers((HANDLE)handle);
}

int BackKeepAttributes(const PlatFile*, PlatReplace*)
{
    return 1;  // ReplaceFileW keeps what the photo has
}

// The copy was created under the name derived from the photo's identity;
// once the mark is cleared it stays. A flush of the file commits its entry
// on NTFS, as it did its data.
int BackNameCopy(PlatFile* file, PlatReplace* replace)
{
    char* name = BackLeftoverName(&file->id, 'c');
    int named = name != nullptr && strcmp(BackLastName(replace->path), name) == 0 &&
                (!replace->removeOnClose || RemoveOnClose((HANDLE)replace->handle, FALSE));
    TrackedFree(name);
    if (!named) {
        return 0;
    }
    replace->removeOnClose = 0;
    PlatStep();
    return BackFlush(replace->handle);
}

void BackRemoveTemp(PlatFile*, PlatReplace* replace)
{
    HANDLE handle = (HANDLE)replace->handle;
    int gone = 0;
    if (handle != INVALID_HANDLE_VALUE) {
        gone = replace->removeOnClose || RemoveOnClose(handle, TRUE);
        CloseHandle(handle);
        replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    }
    if (replace->path != nullptr && !gone) {
        DeletePath(replace->path);
    }
    TrackedFree(replace->path);
    replace->path = nullptr;
    replace->removeOnClose = 0;
}

void BackKeepTemp(PlatReplace* replace)
{
    s_folderWithout = 0;  // it may keep a leftover now
    HANDLE handle = (HANDLE)replace->handle;
    if (handle != INVALID_HANDLE_VALUE) {
        if (replace->removeOnClose && !RemoveOnClose(handle, FALSE)) {
            MV_REPORT_FAILURE();
        }
        CloseHandle(handle);
        replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
        replace->removeOnClose = 0;
    }
}

// Waits, within the budget, while a scanner holds `path` so that ReplaceFileW
// could not open it as it asks (and Wine's would leave an empty "rf*.tmp"
// file behind at each try): the same access and sharing.
static void WaitForScanners(const wchar_t* path, DWORD access, DWORD share)
{
    HANDLE handle = OpenWide(path, access, share, OPEN_EXISTING, 0);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
}

// The photo lets go: ReplaceFileW and the rewrite in place open it again.
static void LetGo(PlatFile* file)
{
    if ((HANDLE)file->handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)file->handle);
        file->handle = (intptr_t)INVALID_HANDLE_VALUE;
    }
}

// One ReplaceFileW, or the failure that a test asked for instead.
static int ReplaceOnce(const wchar_t* photo, const wchar_t* temp, const wchar_t* aside, DWORD* error)
{
    int ok = 0;
    *error = ERROR_ACCESS_DENIED;
    if (PlatFaultHit(PLAT_FAULT_REPLACE)) {
    } else if (PlatFaultHit(PLAT_FAULT_ASIDE)) {
        MoveFileExW(photo, aside, 0);
        *error = ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    } else if (PlatFaultHit(PLAT_FAULT_GONE)) {
        DeleteFileW(photo);
        *error = ERROR_UNABLE_TO_MOVE_REPLACEMENT;
    } else {
        ok = ReplaceFileW(photo, temp, aside, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
        *error = ok ? 0 : GetLastError();
    }
    return ok;
}

// ReplaceFileW, with the photo's original set aside under a known name
// until the new content has its place: so a half-way failure leaves both
// files where they can be found. The first try is made while the photo is
// held, so that nothing can write it meanwhile; a system may refuse that
// (ReplaceFileW asks for access the photo's handle may not share), and
// the photo is then let go for the tries after it. Each try waits for
// scanners first and checks, as its last step, that the photo's name
// still leads to the file read, unchanged.
int BackSwap(PlatFile* file, PlatReplace* replace)
{
    PlatStep();
    if (replace->removeOnClose && !RemoveOnClose((HANDLE)replace->handle, FALSE)) {
        return SWAP_REFUSED;
    }
    replace->removeOnClose = 0;
    CloseHandle((HANDLE)replace->handle);  // ReplaceFileW opens it itself
    replace->handle = (intptr_t)INVALID_HANDLE_VALUE;
    // An earlier original kept under that name is never replaced.
    char* name = BackLeftoverName(&file->id, 'b');
    replace->aside = name ? BesidePath(file->path, name) : nullptr;
    TrackedFree(name);
    if (replace->aside != nullptr && MayHoldLeftovers(file->path) &&
        AttributesOf(replace->aside) != INVALID_FILE_ATTRIBUTES) {
        TrackedFree(replace->aside);
        replace->aside = nullptr;
    }
    wchar_t* photo = WinSystemPath(file->path);
    wchar_t* temp = WinSystemPath(replace->path);
    wchar_t* aside = replace->aside ? WinSystemPath(replace->aside) : nullptr;
    int result = SWAP_FAILED;
    for (int attempt = 0; photo != nullptr && temp != nullptr; attempt++) {
        if (attempt == 1) {
            LetGo(file);
        }
        WaitForScanners(photo, GENERIC_READ | DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        WaitForScanners(temp, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE, 0);
        PlatRunRaceHook();
        if (!BackStillTheFileRead(file)) {
            result = SWAP_REFUSED;
            break;
        }
        PlatStep();
        DWORD error;
        if (ReplaceOnce(photo, temp, aside, &error)) {
            result = SWAP_DONE;
            TrackedFree(replace->path);  // its name is the photo's now
            replace->path = nullptr;
            break;
        }
        if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            result = SWAP_HALFWAY;
            break;
        }
        SetLastError(error);
        if (attempt > 0 && !TryAgain()) {
            break;  // the photo untouched: it may be rewritten in place
        }
    }
    LetGo(file);
    WinFree(photo);
    WinFree(temp);
    WinFree(aside);
    return result;
}

// The photo opened again and flushed, which on NTFS commits its entry too;
// then the original set aside goes.
int BackSettleSwap(PlatFile* file, PlatReplace* replace)
{
    HANDLE handle = OpenPath(file->path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, 0);
    int flushed = handle != INVALID_HANDLE_VALUE && BackFlush((intptr_t)handle);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    if (replace->aside != nullptr) {
        PlatStep();
        wchar_t* aside = WinSystemPath(replace->aside);
        while (aside != nullptr && !DeleteFileW(aside) && TryAgain()) {
        }
        if (aside == nullptr || (GetLastError() != ERROR_SUCCESS && GetLastError() != ERROR_FILE_NOT_FOUND)) {
            MV_REPORT_FAILURE();  // the original stays aside, and the next run reports it
        }
        WinFree(aside);
    }
    return flushed;
}

// After a half-way failure: the photo as it was, at its name, where it still
// is or can be put back from where it was set aside, never over a file that
// another program put there since; else, where its name is empty, the new
// content, complete, takes it.
int BackRecoverHalfway(PlatFile* file, PlatReplace* replace)
{
    if (BackStillTheFileRead(file)) {
        return RECOVERED_UNTOUCHED;
    }
    wchar_t* photo = WinSystemPath(file->path);
    int result = RECOVERED_NOT;
    PlatFileId aside;
    if (photo != nullptr && replace->aside != nullptr && IdentityAtPath(replace->aside, 0, &aside) &&
        BackSameFile(&aside, &file->id)) {
        wchar_t* from = WinSystemPath(replace->aside);
        PlatStep();
        if (from != nullptr && MoveFileExW(from, photo, MOVEFILE_WRITE_THROUGH) && BackStillTheFileRead(file)) {
            result = RECOVERED_UNTOUCHED;
        }
        WinFree(from);
    } else if (photo != nullptr && replace->path != nullptr && AttributesOf(file->path) == INVALID_FILE_ATTRIBUTES) {
        wchar_t* from = WinSystemPath(replace->path);
        PlatStep();
        if (from != nullptr && MoveFileExW(from, photo, MOVEFILE_WRITE_THROUGH)) {
            TrackedFree(replace->path);
            replace->path = nullptr;
            result = RECOVERED_MOVED;
        }
        WinFree(from);
    }
    WinFree(photo);
    return result;
}

intptr_t BackOpenForWriting(PlatFile* file)
{
    HANDLE handle = (HANDLE)file->handle;
    if (handle == INVALID_HANDLE_VALUE) {
        handle = OpenPath(file->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                          0);
    }
    if (handle != INVALID_HANDLE_VALUE && !IsTheFileRead(handle, file)) {
        BackCloseForWriting(file, (intptr_t)handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return (intptr_t)handle;
}

void BackCloseForWriting(PlatFile* file, intptr_t handle)
{
    if (handle != file->handle && (HANDLE)handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)handle);
    }
}

int BackTruncate(intptr_t handle, int64_t size)
{
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle((HANDLE)handle, FileEndOfFileInfo, &end, sizeof(end)) != 0;
}

//----------------------------------------------------------------------------
// Leftovers: opened without sharing, which is the lock (a copy of the
// program that is using one holds it so too), and removed through that
// handle.

int BackPlaceLeftover(const PlatFile* file, const char* name, const char* path, PlatLeftover* leftover)
{
    if (file != nullptr && !MayHoldLeftovers(file->path)) {
        return 0;
    }
    leftover->path = file ? BesidePath(file->path, name) : FormatText("%s", path);
    return leftover->path != nullptr;
}

// One try, with no wait: a leftover that anything holds is settled by a
// later run, and the photo's budget of waits stays its own.
int BackOpenLeftover(PlatLeftover* leftover)
{
    wchar_t* wide = WinSystemPath(leftover->path);
    HANDLE handle = wide ? CreateFileW(wide, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                         : INVALID_HANDLE_VALUE;
    DWORD error = GetLastError();
    WinFree(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? PLAT_LEFTOVER_BUSY
                                                                              : PLAT_LEFTOVER_NONE;
    }
    leftover->handle = (intptr_t)handle;
    PlatFile described;
    PlatInitFile(&described);
    if (GetFileType(handle) != FILE_TYPE_DISK || !DescribeFile(handle, &described) || described.size > INT32_MAX) {
        return PLAT_LEFTOVER_NONE;
    }
    leftover->id = described.id;
    leftover->size = (int32_t)described.size;
    leftover->bytes = (unsigned char*)TrackedAlloc((size_t)described.size);
    if (leftover->bytes == nullptr || !ReadExactly(handle, leftover->bytes, leftover->size)) {
        return PLAT_LEFTOVER_NONE;
    }
    if (PlatFaultHit(PLAT_FAULT_READ_OTHER)) {
        memset(leftover->bytes, 0, (size_t)leftover->size);
    }
    return PLAT_LEFTOVER_PLAIN;
}

int BackRemoveLeftover(PlatLeftover* leftover)
{
    if (!RemoveOnClose((HANDLE)leftover->handle, TRUE)) {
        MV_REPORT_FAILURE();
        return 0;
    }
    return 1;
}

void BackCloseLeftover(PlatLeftover* leftover)
{
    if ((HANDLE)leftover->handle != INVALID_HANDLE_VALUE) {
        CloseHandle((HANDLE)leftover->handle);
        leftover->handle = (intptr_t)INVALID_HANDLE_VALUE;
    }
}

int BackIdentityAt(const char* path, PlatFileId* id)
{
    return IdentityAtPath(path, FILE_FLAG_OPEN_REPARSE_POINT, id);
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
