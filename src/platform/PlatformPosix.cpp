// PlatformPosix.cpp - the platform layer on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

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

int PlatGetFolderId(const char* path, PlatFileId* id)
{
    struct stat status;
    if (stat(path, &status) != 0) {
        return 0;
    }
    id->volume = (uint64_t)status.st_dev;
    id->file[0] = (uint64_t)status.st_ino;
    id->file[1] = 0;
    return 1;
}

//----------------------------------------------------------------------------
// The file in hand.
void PlatCloseFile(PlatFile* file)
{
    if (file->handle >= 0) {
        close((int)file->handle);
    }
    if (file->folder >= 0) {
        close((int)file->folder);
    }
    TrackedFree(file->name);
    file->handle = file->folder = -1;
    file->name = nullptr;
}

static int64_t ModifiedNs(const struct stat* status)
{
    return (int64_t)status->st_mtim.tv_sec * 1000000000 + status->st_mtim.tv_nsec;
}

static int SameFile(const struct stat* status, const PlatFileId* id)
{
    return (uint64_t)status->st_dev == id->volume && (uint64_t)status->st_ino == id->file[0];
}

// Opens the folder that holds `path` and stores the entry's name. A final
// link is resolved once, here: from then on only its target's folder and
// name are used, so the link cannot be turned elsewhere meanwhile.
static int OpenFolderOf(const char* path, PlatFile* file)
{
    struct stat status;
    char* resolved = nullptr;
    if (lstat(path, &status) == 0 && S_ISLNK(status.st_mode)) {
        resolved = realpath(path, nullptr);
        if (resolved == nullptr) {
            return 0;
        }
        path = resolved;
    }
    const char* slash = strrchr(path, '/');
    char* folder = slash == nullptr ? FormatText(".") : FormatText("%.*s", slash == path ? 1 : (int)(slash - path), path);
    file->name = FormatText("%s", slash == nullptr ? path : slash + 1);
    free(resolved);
    if (folder == nullptr || file->name == nullptr || file->name[0] == '\0') {
        TrackedFree(folder);
        return 0;
    }
    // A folder that may be entered but not listed (mode 711 or 733 for the
    // user) cannot be opened for reading; a path descriptor still reaches
    // its entries, and the folder's entries are then flushed through its
    // file system.
    file->folder = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    file->folderFlushable = file->folder >= 0;
#ifdef O_PATH
    if (file->folder < 0 && errno == EACCES) {
        file->folder = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
#endif
    TrackedFree(folder);
    return file->folder >= 0;
}

// Reads `size` bytes, then proves that the file has no more.
static int ReadExactly(int fd, unsigned char* block, int32_t size)
{
    int32_t at = 0;
    while (at < size) {
        ssize_t got = read(fd, block + at, (size_t)(size - at));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        at += (int32_t)got;
    }
    unsigned char extra;
    ssize_t more;
    do {
        more = read(fd, &extra, 1);
    } while (more < 0 && errno == EINTR);
    return more == 0 && !PlatFaultHit(PLAT_FAULT_READ);
}

int32_t PlatLoadWholeFile(const char* path, PlatFile* file, unsigned char** buffer)
{
    PlatInitFile(file);
    struct stat entry;
    if (!OpenFolderOf(path, file) || fstatat((int)file->folder, file->name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        PlatCloseFile(file);
        return PlatFailLoad("Can't Get File Size");
    }
    // Only a regular file is opened: a FIFO would block the open (and the
    // run) until a writer came, and devices and sockets are not photos.
    if (!S_ISREG(entry.st_mode)) {
        PlatCloseFile(file);
        return PlatFailLoad("Can't Read File");
    }
    int fd = PlatFaultHit(PLAT_FAULT_READ_OPEN)
                 ? -1
                 : openat((int)file->folder, file->name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        PlatCloseFile(file);
        return PlatFailLoad("Can't Open File");
    }
    file->handle = fd;
    // The file opened must be the one looked at, and a size of 2 GiB or
    // more has no signed 32-bit count that the callers could use.
    file->id.volume = (uint64_t)entry.st_dev;
    file->id.file[0] = (uint64_t)entry.st_ino;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !SameFile(&status, &file->id) ||
        status.st_size > INT32_MAX) {
        PlatCloseFile(file);
        return PlatFailLoad("Can't Get File Size");
    }
    file->size = status.st_size;
    file->modified = ModifiedNs(&status);
    file->mode = (uint32_t)(status.st_mode & 07777);
    file->owner = (uint32_t)status.st_uid;
    file->group = (uint32_t)status.st_gid;
    file->links = (uint32_t)status.st_nlink;
    unsigned char* block = (unsigned char*)TrackedAlloc((size_t)status.st_size);
    if (block == nullptr) {
        PlatCloseFile(file);
        return -1;  // TrackedAlloc has reported it
    }
    // The caller rewrites the file from this block, so it must hold exactly
    // the file: a short read (it shrank, or reading failed) and a file that
    // grew since its size was taken are both failures.
    if (!ReadExactly(fd, block, (int32_t)status.st_size)) {
        TrackedFree(block);
        PlatCloseFile(file);
        return PlatFailLoad("Can't Read File");
    }
    *buffer = block;
    return (int32_t)status.st_size;
}

//----------------------------------------------------------------------------
// Safe replacement, through the folder and name of the file in hand.
static void ReleaseReplace(PlatReplace* replace)
{
    TrackedFree(replace->tempName);
    replace->tempName = nullptr;
    replace->handle = -1;
}

int PlatReplaceBegin(PlatFile* file, PlatReplace* replace)
{
    replace->handle = -1;
    replace->tempName = nullptr;
    replace->written = 0;
    replace->removeOnClose = 0;
    // Prove that the original may be written before anything is written:
    // the permission check that opening it for writing would make
    // (read-only file system and immutable files included). A file without
    // any write permission counts as read-only even for root, as the
    // read-only attribute does on Windows.
    if (PlatAbandoned() || PlatFaultHit(PLAT_FAULT_OPEN) || (file->mode & 0222) == 0 ||
        faccessat((int)file->folder, file->name, W_OK, AT_EACCESS) != 0) {
        return 0;
    }
    // A hidden name the walk never takes for a photo, short enough for any
    // folder in which the photo's own name fits.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t entropy = ((uint64_t)now.tv_nsec << 20) ^ (uint64_t)now.tv_sec ^ ((uint64_t)getpid() << 40);
    for (int tries = 0; tries < PLAT_TEMPORARY_TRIES; tries++) {
        char* temp = FormatText(".marlovex-%u~", (unsigned)PlatTemporaryNumber(entropy));
        if (temp == nullptr) {
            return 0;
        }
        int fd = -1;
        if (PlatFaultHit(PLAT_FAULT_OPEN)) {
            errno = EACCES;  // a refusal, never taken for a name that is in use
        } else {
            fd = openat((int)file->folder, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }
        if (fd >= 0) {
            replace->handle = fd;
            replace->tempName = temp;
            return 1;
        }
        TrackedFree(temp);
        if (errno != EEXIST) {
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

// Whether the entry is still the file that was read, unchanged: the same
// identity, size and modification time. A photo that was swapped for
// another file or a link, or that another program is still writing or has
// saved again, is not replaced.
static int StillTheFileRead(const PlatFile* file)
{
    struct stat entry;
    struct stat now;
    return fstatat((int)file->folder, file->name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(&entry, &file->id) &&
           fstat((int)file->handle, &now) == 0 && now.st_size == file->size && ModifiedNs(&now) == file->modified;
}

// Copies the extended attributes (POSIX ACLs are two of them) from the
// original to the new file. 1 when every one was copied.
static int CopyAttributes(int from, int to)
{
#ifdef __linux__
    ssize_t listSize = flistxattr(from, nullptr, 0);
    if (listSize <= 0) {
        return listSize == 0 || errno == ENOTSUP;  // none, or a file system without them
    }
    char* names = (char*)TrackedAlloc((size_t)listSize);
    int ok = names != nullptr && flistxattr(from, names, (size_t)listSize) == listSize;
    for (ssize_t at = 0; ok && at < listSize; at += (ssize_t)strlen(names + at) + 1) {
        ssize_t valueSize = fgetxattr(from, names + at, nullptr, 0);
        char* value = valueSize >= 0 ? (char*)TrackedAlloc((size_t)valueSize) : nullptr;
        ok = value != nullptr && fgetxattr(from, names + at, value, (size_t)valueSize) == valueSize &&
             fsetxattr(to, names + at, value, (size_t)valueSize, 0) == 0;
        TrackedFree(value);
    }
    TrackedFree(names);
    return ok;
#else
    (void)from;
    (void)to;
    return 1;
#endif
}

// Gives the new file what the original has: owner and group, permission
// bits, extended attributes. 0 when any of it cannot be kept, and the
// original is then rewritten in place instead.
static int KeepWhatTheOriginalHas(const PlatFile* file, int temp)
{
    struct stat status;
    if (fstat(temp, &status) != 0) {
        return 0;
    }
    if (geteuid() == 0) {
        if (fchown(temp, (uid_t)file->owner, (gid_t)file->group) != 0) {
            return 0;
        }
    } else if ((uint32_t)status.st_uid != file->owner) {
        return 0;  // another user's photo: only they could own the new file
    } else if ((uint32_t)status.st_gid != file->group && fchown(temp, (uid_t)-1, (gid_t)file->group) != 0) {
        return 0;
    }
    return fchmod(temp, (mode_t)file->mode) == 0 && CopyAttributes((int)file->handle, temp);
}

// What became of a commit.
enum Commit {
    COMMIT_DONE,          // the new content is in the original's place, on the disk
    COMMIT_FAILED,        // the original is untouched; the temporary file goes
    COMMIT_KEEP_TEMPORARY // the original was damaged, or is cleaned but not known to be on
                          // the disk: a temporary file that is left is the complete copy
};

// The temporary file takes the original's name. Where the system can swap
// two names in one step, it does, and then checks that what it displaced is
// the file read: a swap by someone else between the check and the rename is
// undone, and that file stays where they put it.
static Commit RenameOver(const PlatFile* file, const PlatReplace* replace)
{
    int folder = (int)file->folder;
#ifdef RENAME_EXCHANGE
    if (renameat2(folder, replace->tempName, folder, file->name, RENAME_EXCHANGE) == 0) {
        struct stat displaced;
        if (fstatat(folder, replace->tempName, &displaced, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(&displaced, &file->id)) {
            unlinkat(folder, replace->tempName, 0);
            return COMMIT_DONE;
        }
        if (renameat2(folder, replace->tempName, folder, file->name, RENAME_EXCHANGE) == 0) {
            return COMMIT_FAILED;
        }
        return COMMIT_KEEP_TEMPORARY;  // both names stay as they are; the other file is not ours to remove
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return COMMIT_FAILED;
    }
#endif
    return renameat(folder, replace->tempName, folder, file->name) == 0 ? COMMIT_DONE : COMMIT_FAILED;
}

// Flushes what was written to `fd` to the disk, its size and attributes
// included.
static int Flush(int fd)
{
    if (PlatFaultHit(PLAT_FAULT_FLUSH)) {
        return 0;
    }
    int result;
    do {
        result = fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

// Flushes the folder's entries: through the folder itself where it could be
// opened for reading, else through its whole file system, which the
// original's own descriptor reaches.
static int FlushFolder(const PlatFile* file)
{
    if (file->folderFlushable) {
        return Flush((int)file->folder);
    }
    if (PlatFaultHit(PLAT_FAULT_FLUSH)) {
        return 0;
    }
#ifdef __linux__
    return syncfs((int)file->handle) == 0;
#else
    sync();
    return 1;
#endif
}

// Rewrites the original in place from the complete temporary file (on the
// disk already), truncates it and flushes it: its owner, links and
// attributes stay as they were.
static Commit CopyInPlace(const PlatFile* file, const PlatReplace* replace)
{
    int original = openat((int)file->folder, file->name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (original < 0) {
        return COMMIT_FAILED;
    }
    if (fstat(original, &status) != 0 || !SameFile(&status, &file->id) || !StillTheFileRead(file)) {
        close(original);
        return COMMIT_FAILED;
    }
    char* block = (char*)TrackedAlloc(PLAT_WRITE_BLOCK);
    if (block == nullptr) {
        close(original);
        return COMMIT_FAILED;
    }
    // From the first write on, only the temporary file is sure to be whole;
    // it stays unless the original is on the disk, complete.
    int ok = 1;
    for (int64_t at = 0; ok && at < replace->written;) {
        ssize_t got = pread((int)replace->handle, block, PLAT_WRITE_BLOCK, at);
        ok = got > 0 && pwrite(original, block, (size_t)got, at) == got;
        at += got;
    }
    TrackedFree(block);
    ok = ok && ftruncate(original, replace->written) == 0 && Flush(original);
    ok = close(original) == 0 && ok;
    return ok ? COMMIT_DONE : COMMIT_KEEP_TEMPORARY;
}

// The temporary file, complete and with the original's owner, permissions
// and attributes, is flushed before it takes the original's place, and the
// folder after; rewritten in place, the original is flushed before the
// temporary copy goes. So a power cut at any moment leaves the photo as it
// was or as it will be, and the success line follows only when it is on
// the disk.
int PlatReplaceCommit(PlatReplace* replace, PlatFile* file)
{
    PlatRunRaceHook();
    int temp = (int)replace->handle;
    int inPlace = 0;
    Commit result = COMMIT_FAILED;
    if (PlatBeginCommit()) {
        if (!PlatFaultHit(PLAT_FAULT_REPLACE)) {
            // A file with several names keeps them only when rewritten in place.
            inPlace = file->links != 1 || !KeepWhatTheOriginalHas(file, temp);
            if (Flush(temp)) {
                if (inPlace) {
                    result = CopyInPlace(file, replace);
                } else if (StillTheFileRead(file)) {
                    // A delayed write error shows up at the close.
                    result = close(temp) == 0 ? RenameOver(file, replace) : COMMIT_FAILED;
                    temp = -1;
                    if (result == COMMIT_DONE && !FlushFolder(file)) {
                        result = COMMIT_KEEP_TEMPORARY;  // in place, not known to be on the disk
                    }
                }
            }
        }
        PlatEndCommit();
    }
    if (temp >= 0) {
        close(temp);
    }
    replace->handle = -1;
    // After a rename the temporary name is gone; after an in-place rewrite
    // the temporary file has done its job.
    if (result == COMMIT_FAILED || (result == COMMIT_DONE && inPlace)) {
        unlinkat((int)file->folder, replace->tempName, 0);
    }
    ReleaseReplace(replace);
    return result == COMMIT_DONE;
}

void PlatReplaceAbort(PlatReplace* replace, PlatFile* file)
{
    if (replace->handle >= 0) {
        close((int)replace->handle);
    }
    if (replace->tempName != nullptr) {
        unlinkat((int)file->folder, replace->tempName, 0);
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
