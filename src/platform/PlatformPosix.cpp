// PlatformPosix.cpp - the platform layer on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/Platform.h"
#include "support/Track.h"

// Hidden, as on a Unix desktop: a name that starts with a dot. The name is
// the last part of the path, trailing separators ignored.
static int HasHiddenName(const char* path)
{
    size_t end = strlen(path);
    while (end > 1 && path[end - 1] == '/') {
        end--;
    }
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') {
        start--;
    }
    return start < end && path[start] == '.';
}

static uint32_t AttributesOf(const struct stat* status)
{
    uint32_t attributes = 0;
    if (S_ISDIR(status->st_mode)) {
        attributes |= PLAT_ATTR_DIRECTORY;
    }
    if ((status->st_mode & 0222) == 0) {
        attributes |= PLAT_ATTR_READONLY;
    }
    return attributes;
}

uint32_t PlatGetFileAttributes(const char* path)
{
    struct stat status;
    if (stat(path, &status) != 0) {
        return PLAT_ATTR_INVALID;
    }
    return AttributesOf(&status) | (HasHiddenName(path) ? PLAT_ATTR_HIDDEN : 0);
}

int PlatPathExists(const char* path)
{
    struct stat status;
    return stat(path, &status) == 0;
}

//----------------------------------------------------------------------------
// Enumeration: the pattern is "folder/*"; the folder is opened with opendir
// and each entry's directory bit comes from stat (links followed), as
// Windows reports the bit of a link to a folder.
static int FillRecord(DIR* folder, PlatFindRecord* record)
{
    errno = 0;
    struct dirent* entry = readdir(folder);
    if (entry == nullptr) {
        return 0;
    }
    size_t length = strlen(entry->d_name);
    if (length >= sizeof(record->name)) {
        return 0;  // cannot be held; ends the listing like an error
    }
    memcpy(record->name, entry->d_name, length + 1);
    struct stat status;
    record->attributes = 0;
    if (fstatat(dirfd(folder), entry->d_name, &status, 0) == 0) {
        record->attributes = AttributesOf(&status);
    }
    if (entry->d_name[0] == '.') {
        record->attributes |= PLAT_ATTR_HIDDEN;
    }
    return 1;
}

void* PlatFindFirst(const char* pattern, PlatFindRecord* record)
{
    size_t length = strlen(pattern);
    if (length < 2 || pattern[length - 1] != '*' || pattern[length - 2] != '/') {
        return nullptr;
    }
    if (PlatFaultHit(PLAT_FAULT_FIND)) {
        return nullptr;
    }
    char* folder = (char*)TrackedAlloc(length);
    if (folder == nullptr) {
        return nullptr;
    }
    memcpy(folder, pattern, length - 1);  // keeps the separator: "/" stays the root
    folder[length - 1] = '\0';
    DIR* handle = opendir(folder);
    TrackedFree(folder);
    if (handle == nullptr) {
        return nullptr;
    }
    if (!FillRecord(handle, record)) {
        closedir(handle);
        return nullptr;
    }
    return handle;
}

int PlatFindNext(void* find, PlatFindRecord* record)
{
    return FillRecord((DIR*)find, record);
}

void PlatFindClose(void* find)
{
    closedir((DIR*)find);
}

int PlatGetFolderId(const char* path, PlatFolderId* id)
{
    struct stat status;
    if (stat(path, &status) != 0) {
        return 0;
    }
    id->volume = (uint64_t)status.st_dev;
    id->file = (uint64_t)status.st_ino;
    return 1;
}

//----------------------------------------------------------------------------
// Safe replacement.
// The file to replace: a link is replaced through, so the link stays a link
// and its target gets the new content.
static char* ResolveTarget(const char* path)
{
    struct stat status;
    if (lstat(path, &status) == 0 && S_ISLNK(status.st_mode)) {
        char* real = realpath(path, nullptr);
        if (real == nullptr) {
            return nullptr;
        }
        char* copy = PlatJoinText(real, "", 0);
        free(real);
        return copy;
    }
    return PlatJoinText(path, "", 0);
}

static void ReleaseReplace(PlatReplace* replace)
{
    TrackedFree(replace->tempPath);
    TrackedFree(replace->targetPath);
    replace->tempPath = nullptr;
    replace->targetPath = nullptr;
    replace->handle = -1;
}

int PlatReplaceBegin(const char* path, PlatReplace* replace)
{
    replace->handle = -1;
    replace->tempPath = nullptr;
    replace->targetPath = ResolveTarget(path);
    if (replace->targetPath == nullptr) {
        return 0;
    }
    // Prove that the original may be written before anything is written:
    // the permission check that opening it for writing would make (read-only
    // file system and immutable files included), without opening it, which
    // costs the file system more. A file without any write permission
    // counts as read-only even for root, as the read-only attribute does on
    // Windows.
    struct stat status;
    int writable = !PlatFaultHit(PLAT_FAULT_OPEN) && stat(replace->targetPath, &status) == 0 &&
                   S_ISREG(status.st_mode) && (status.st_mode & 0222) != 0 &&
                   faccessat(AT_FDCWD, replace->targetPath, W_OK, AT_EACCESS) == 0;
    if (!writable) {
        ReleaseReplace(replace);
        return 0;
    }
    replace->mode = (uint32_t)(status.st_mode & 07777);
    replace->owner = (uint32_t)status.st_uid;
    replace->group = (uint32_t)status.st_gid;
    for (unsigned number = 0; number < 100; number++) {
        char* temp = PlatJoinText(replace->targetPath, PLAT_TEMP_SUFFIX, number);
        if (temp == nullptr) {
            break;
        }
        int handle = PlatFaultHit(PLAT_FAULT_OPEN) ? -1 : open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (handle >= 0) {
            replace->handle = handle;
            replace->tempPath = temp;
            replace->written = 0;
            return 1;
        }
        TrackedFree(temp);
        if (errno != EEXIST) {
            break;
        }
    }
    ReleaseReplace(replace);
    return 0;
}

int PlatReplaceWrite(PlatReplace* replace, const void* data, int32_t size)
{
    if (size <= 0 || PlatFaultHit(PLAT_FAULT_WRITE)) {
        return 0;
    }
    const char* at = (const char*)data;
    uint32_t left = (uint32_t)size;
    while (left > 0) {
        ssize_t written = write((int)replace->handle, at, PlatNextWriteBlock(replace->written, left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return 0;
        }
        at += written;
        left -= (uint32_t)written;
        replace->written += written;
    }
    return 1;
}

int PlatReplaceCommit(PlatReplace* replace, const char* path)
{
    (void)path;  // the resolved target was kept at the beginning
    int fd = (int)replace->handle;
    int ok = !PlatFaultHit(PLAT_FAULT_REPLACE);
    if (ok && geteuid() == 0) {
        // Run by root on someone's photo: the photo stays theirs.
        (void)!fchown(fd, (uid_t)replace->owner, (gid_t)replace->group);
    }
    ok = ok && fchmod(fd, (mode_t)replace->mode) == 0;
    ok = close(fd) == 0 && ok;  // a delayed write error shows up here
    replace->handle = -1;
    ok = ok && rename(replace->tempPath, replace->targetPath) == 0;
    if (!ok) {
        unlink(replace->tempPath);
    }
    ReleaseReplace(replace);
    return ok;
}

void PlatReplaceAbort(PlatReplace* replace)
{
    if (replace->handle >= 0) {
        close((int)replace->handle);
    }
    if (replace->tempPath != nullptr) {
        unlink(replace->tempPath);
    }
    ReleaseReplace(replace);
}

//----------------------------------------------------------------------------
void PlatSleep(int milliseconds)
{
    struct timespec delay;
    delay.tv_sec = milliseconds / 1000;
    delay.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

uint32_t PlatTickCount()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u);
}

void PlatBreakIfDebugging()
{
    // Nothing to do: a debugger on Linux stops at the report's line with a
    // breakpoint on ReportAssertion.
}
