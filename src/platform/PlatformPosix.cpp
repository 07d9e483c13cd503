// PlatformPosix.cpp - the platform layer on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

#include "platform/Backend.h"
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

// Every name after the first '/' is empty, "." or "..", each of which
// stays at the root.
int PlatIsRootFolder(const char* path)
{
    if (path[0] != '/') {
        return 0;
    }
    for (const char* name = path + 1; *name != '\0';) {
        size_t length = strcspn(name, "/");
        if (length > 2 || (length > 0 && strspn(name, ".") < length)) {
            return 0;
        }
        name += length + (name[length] == '/');
    }
    return 1;
}

//----------------------------------------------------------------------------
// Enumeration: the pattern is "folder/*"; the folder is opened with opendir
// and each entry's directory bit comes from stat (links followed), as
// Windows reports the bit of a link to a folder. FillRecord: 1 with an
// entry, 0 at the end, -1 when reading the folder failed.
static int FillRecord(DIR* folder, PlatFindRecord* record, int fail)
{
    errno = fail ? EIO : 0;
    struct dirent* entry = fail ? nullptr : readdir(folder);
    if (entry == nullptr) {
        return errno == 0 ? 0 : -1;
    }
    size_t length = strlen(entry->d_name);
    if (length >= sizeof(record->name)) {
        return -1;  // cannot be held
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
    if (entry->d_type == DT_LNK) {
        record->attributes |= PLAT_ATTR_LINK;
    }
    if ((record->attributes & PLAT_ATTR_DIRECTORY) && strcmp(entry->d_name, ".") != 0 &&
        strcmp(entry->d_name, "..") != 0 && PlatFaultHit(PLAT_FAULT_SYSTEM_LINK)) {
        record->attributes |= PLAT_ATTR_LINK | PLAT_ATTR_HIDDEN | PLAT_ATTR_SYSTEM;
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
    if (FillRecord(handle, record, 0) <= 0) {
        closedir(handle);
        return nullptr;
    }
    return handle;
}

int PlatFindNext(void* find, PlatFindRecord* record)
{
    return FillRecord((DIR*)find, record, PlatFaultHit(PLAT_FAULT_FIND_NEXT));
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
    id->file[0] = PlatFaultHit(PLAT_FAULT_NO_ID) ? 0 : (uint64_t)status.st_ino;
    id->file[1] = 0;
    return 1;
}

char* PlatFolderFinalPath(const char* path)
{
    char* resolved = realpath(path, nullptr);
    char* final = resolved ? FormatText("%s", resolved) : nullptr;
    free(resolved);
    return final;
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
    TrackedFree(file->path);
    TrackedFree(file->entry);
    file->handle = file->folder = -1;
    file->path = file->entry = nullptr;
}

static int64_t ModifiedNs(const struct stat* status)
{
    return (int64_t)status->st_mtim.tv_sec * 1000000000 + status->st_mtim.tv_nsec;
}

static int SameFile(const struct stat* status, const PlatFileId* id)
{
    return (uint64_t)status->st_dev == id->volume && (uint64_t)status->st_ino == id->file[0];
}

// Splits `path` into its folder, opened (for reading, or where it may be
// entered but not listed, as a path), and its last name. 1 on success.
static int OpenFolder(const char* path, intptr_t* folderHandle, char** entry, int* flushable)
{
    const char* slash = strrchr(path, '/');
    char* folder = slash == nullptr ? FormatText(".") : FormatText("%.*s", slash == path ? 1 : (int)(slash - path), path);
    *entry = FormatText("%s", slash == nullptr ? path : slash + 1);
    if (folder == nullptr || *entry == nullptr || (*entry)[0] == '\0') {
        TrackedFree(folder);
        return 0;
    }
    // A folder that may be entered but not listed (mode 711 or 733 for the
    // user) cannot be opened for reading; a path descriptor still reaches
    // its entries, and the folder's entries are then flushed through its
    // file system.
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *flushable = fd >= 0;
#ifdef O_PATH
    if (fd < 0 && errno == EACCES) {
        fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
#endif
    TrackedFree(folder);
    *folderHandle = fd;
    return fd >= 0;
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
    file->path = FormatText("%s", path);
    free(resolved);
    return file->path != nullptr && OpenFolder(file->path, &file->folder, &file->entry, &file->folderFlushable);
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
    if (!OpenFolderOf(path, file) || fstatat((int)file->folder, file->entry, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
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
                 : openat((int)file->folder, file->entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
// The steps of the commit (Backend.h), through the folder and name of the
// file in hand.

int BackMayWrite(const PlatFile* file)
{
    // The permission check that opening it for writing would make (a
    // read-only file system and immutable files included). A file without
    // any write permission counts as read-only even for root, as the
    // read-only attribute does on Windows.
    return (file->mode & 0222) != 0 && faccessat((int)file->folder, file->entry, W_OK, AT_EACCESS) == 0;
}

// Whether the entry is still the file that was read, unchanged: the same
// identity, size and modification time. A photo that was swapped for
// another file or a link, or that another program is still writing or has
// saved again, is not replaced.
int BackStillTheFileRead(const PlatFile* file)
{
    struct stat entry;
    struct stat now;
    return fstatat((int)file->folder, file->entry, &entry, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(&entry, &file->id) &&
           fstat((int)file->handle, &now) == 0 && now.st_size == file->size && ModifiedNs(&now) == file->modified;
}

// The device number of a removable disk may differ from one mount to the
// next; the identities compared always belong to files of one folder.
int BackSameFile(const PlatFileId* a, const PlatFileId* b)
{
    return a->file[0] == b->file[0] && a->file[1] == b->file[1];
}

const char* BackEntryName(const PlatFile* file)
{
    return file->entry;
}

void BackKillProcess()
{
    _exit(PLAT_KILLED_STATUS);
}

static const char LEFTOVER_PREFIX[] = ".marlovex-";

char* BackLeftoverName(const PlatFileId* id, char kind)
{
    return FormatText("%s%c%llx~", LEFTOVER_PREFIX, kind, (unsigned long long)id->file[0]);
}

int BackIsLeftoverName(const char* name)
{
    size_t length = strlen(name);
    size_t prefix = sizeof(LEFTOVER_PREFIX) - 1;
    return length > prefix + 1 && strncmp(name, LEFTOVER_PREFIX, prefix) == 0 && name[length - 1] == '~';
}

int BackNamedIdentity(const char* name, PlatFileId* id)
{
    size_t prefix = sizeof(LEFTOVER_PREFIX) - 1;
    if (!BackIsLeftoverName(name) || (name[prefix] != 'c' && name[prefix] != 'b')) {
        return 0;
    }
    uint64_t value = 0;
    const char* at = name + prefix + 1;
    int digits = 0;
    for (; *at != '~'; at++, digits++) {
        int digit = *at >= '0' && *at <= '9' ? *at - '0' : *at >= 'a' && *at <= 'f' ? *at - 'a' + 10 : -1;
        if (digit < 0 || digits == 16) {
            return 0;
        }
        value = (value << 4) | (uint64_t)digit;
    }
    id->volume = 0;
    id->file[0] = value;
    id->file[1] = 0;
    return digits > 0 && at[1] == '\0';
}

// Takes the lock that tells other copies of the program that this file is
// in use; a file system without locks has nothing to tell them with.
static int Lock(int fd)
{
    return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

// A random name the walk never takes for a photo.
static char* RandomName()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t entropy = ((uint64_t)now.tv_nsec << 20) ^ (uint64_t)now.tv_sec ^ ((uint64_t)getpid() << 40);
    return FormatText("%s%u~", LEFTOVER_PREFIX, (unsigned)PlatTemporaryNumber(entropy));
}

// A file without a name goes with the program, whatever ends it, and is
// given one only at the commit. Where the file system has no such files,
// the temporary file is named at once: after the photo's identity where
// that name is free (the next run that meets the photo removes it if the
// program is killed), else at random.
int BackCreateTemp(PlatFile* file, PlatReplace* replace)
{
    int folder = (int)file->folder;
#ifdef O_TMPFILE
    if (PlatFaultHit(PLAT_FAULT_OPEN)) {
        return 0;
    }
    int fd = PlatFaultHit(PLAT_FAULT_NAMED) ? -1 : openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        Lock(fd);
        replace->handle = fd;
        return 1;
    }
#endif
    for (int tries = 0; tries < PLAT_TEMPORARY_TRIES; tries++) {
        char* name = tries == 0 ? BackLeftoverName(&file->id, 'c') : RandomName();
        if (name == nullptr) {
            return 0;
        }
        int fd = -1;
        if (PlatFaultHit(PLAT_FAULT_OPEN)) {
            errno = EACCES;  // a refusal, never taken for a name that is in use
        } else {
            fd = openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }
        if (fd >= 0) {
            Lock(fd);
            replace->handle = fd;
            replace->entry = name;
            return 1;
        }
        TrackedFree(name);
        if (errno != EEXIST) {
            break;
        }
    }
    return 0;
}

int BackWriteAt(intptr_t handle, int64_t at, const void* bytes, uint32_t count)
{
    const char* from = (const char*)bytes;
    while (count > 0) {
        ssize_t written = pwrite((int)handle, from, count, (off_t)at);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return 0;
        }
        from += written;
        at += written;
        count -= (uint32_t)written;
    }
    return 1;
}

// Flushes what was written to `fd` to the disk, its size and attributes
// included.
int BackFlush(intptr_t handle)
{
    if (PlatFaultHit(PLAT_FAULT_FLUSH)) {
        return 0;
    }
    int result;
    do {
        result = fsync((int)handle);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

// Flushes the folder's entries: through the folder itself where it could be
// opened for reading, else through its whole file system, which the
// original's own descriptor reaches.
static int FlushFolder(const PlatFile* file)
{
    if (file->folderFlushable) {
        return BackFlush(file->folder);
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
// bits, extended attributes. Only what differs is set: a file system
// without owners (FAT) refuses every change of owner, even to the one the
// file has.
int BackKeepAttributes(const PlatFile* file, PlatReplace* replace)
{
    int temp = (int)replace->handle;
    struct stat status;
    if (fstat(temp, &status) != 0) {
        return 0;
    }
    uid_t owner = (uint32_t)status.st_uid == file->owner ? (uid_t)-1 : (uid_t)file->owner;
    gid_t group = (uint32_t)status.st_gid == file->group ? (gid_t)-1 : (gid_t)file->group;
    if (owner != (uid_t)-1 && geteuid() != 0) {
        return 0;  // another user's photo: only they could own the new file
    }
    if ((owner != (uid_t)-1 || group != (gid_t)-1) && fchown(temp, owner, group) != 0) {
        return 0;
    }
    if ((uint32_t)(status.st_mode & 07777) != file->mode && fchmod(temp, (mode_t)file->mode) != 0) {
        return 0;
    }
    return CopyAttributes((int)file->handle, temp);
}

#ifdef O_TMPFILE
// Gives the nameless temporary file the name `name` in the folder.
static int LinkTemp(const PlatFile* file, PlatReplace* replace, char* name)
{
    int linked = linkat((int)replace->handle, "", (int)file->folder, name, AT_EMPTY_PATH) == 0;
    if (!linked && (errno == ENOENT || errno == EPERM)) {
        // Without the privilege to link by descriptor, through /proc.
        char self[64];
        snprintf(self, sizeof(self), "/proc/self/fd/%d", (int)replace->handle);
        linked = linkat(AT_FDCWD, self, (int)file->folder, name, AT_SYMLINK_FOLLOW) == 0;
    }
    if (!linked) {
        int error = errno;  // EEXIST tells a name in use
        TrackedFree(name);
        errno = error;
        return 0;
    }
    replace->entry = name;
    return 1;
}
#endif

int BackNameCopy(PlatFile* file, PlatReplace* replace)
{
    char* name = BackLeftoverName(&file->id, 'c');
    int named = 0;
    if (name != nullptr && replace->entry == nullptr) {
#ifdef O_TMPFILE
        named = LinkTemp(file, replace, name);
        name = nullptr;
#endif
    } else if (name != nullptr) {
        named = strcmp(replace->entry, name) == 0;  // named so at its creation, or the name was taken
    }
    TrackedFree(name);
    if (!named) {
        return 0;
    }
    PlatStep();
    return FlushFolder(file);
}

void BackRemoveTemp(PlatFile* file, PlatReplace* replace)
{
    if (replace->entry != nullptr) {
        unlinkat((int)file->folder, replace->entry, 0);
        TrackedFree(replace->entry);
        replace->entry = nullptr;
    }
    BackKeepTemp(replace);
}

void BackKeepTemp(PlatReplace* replace)
{
    if (replace->handle >= 0) {
        close((int)replace->handle);
        replace->handle = -1;
    }
}

// The temporary file takes the photo's name. Where the system can swap two
// names in one step, it does, and then checks that what it displaced is the
// file read: a swap by someone else between the check and the rename is
// undone, and that file stays where they put it.
int BackSwap(PlatFile* file, PlatReplace* replace)
{
    int folder = (int)file->folder;
    PlatRunRaceHook();
    if (PlatFaultHit(PLAT_FAULT_REPLACE) || !BackStillTheFileRead(file)) {
        return SWAP_REFUSED;
    }
#ifdef O_TMPFILE
    for (int tries = 0; replace->entry == nullptr; tries++) {
        char* name = tries == 0 ? BackLeftoverName(&file->id, 'c') : RandomName();
        PlatStep();
        if (name == nullptr || (!LinkTemp(file, replace, name) && (errno != EEXIST || tries >= PLAT_TEMPORARY_TRIES))) {
            return SWAP_REFUSED;
        }
    }
#endif
    // A delayed write error shows up at the close.
    PlatStep();
    int closed = close((int)replace->handle) == 0;
    replace->handle = -1;
    if (!closed) {
        return SWAP_REFUSED;
    }
    PlatStep();
#ifdef RENAME_EXCHANGE
    if (renameat2(folder, replace->entry, folder, file->entry, RENAME_EXCHANGE) == 0) {
        PlatStep();
        struct stat displaced;
        if (fstatat(folder, replace->entry, &displaced, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(&displaced, &file->id)) {
            PlatStep();
            unlinkat(folder, replace->entry, 0);
            TrackedFree(replace->entry);
            replace->entry = nullptr;
            return SWAP_DONE;
        }
        if (renameat2(folder, replace->entry, folder, file->entry, RENAME_EXCHANGE) == 0) {
            return SWAP_REFUSED;
        }
        return SWAP_TANGLED;  // both names stay as they are; the other file is not ours to remove
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return SWAP_REFUSED;
    }
#endif
    if (renameat(folder, replace->entry, folder, file->entry) != 0) {
        return SWAP_REFUSED;
    }
    TrackedFree(replace->entry);
    replace->entry = nullptr;
    return SWAP_DONE;
}

int BackSettleSwap(PlatFile* file, PlatReplace*)
{
    return FlushFolder(file);
}

int BackRecoverHalfway(PlatFile*, PlatReplace*)
{
    return RECOVERED_NOT;  // a swap here never fails half-way
}

intptr_t BackOpenForWriting(PlatFile* file)
{
    int fd = openat((int)file->folder, file->entry, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !SameFile(&status, &file->id) || !BackStillTheFileRead(file)) {
        close(fd);
        return -1;
    }
    return fd;
}

void BackCloseForWriting(PlatFile*, intptr_t handle)
{
    close((int)handle);
}

int BackTruncate(intptr_t handle, int64_t size)
{
    int result;
    do {
        result = ftruncate((int)handle, (off_t)size);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

//----------------------------------------------------------------------------
// Leftovers.

int BackPlaceLeftover(const PlatFile* file, const char* name, const char* path, PlatLeftover* leftover)
{
    if (file == nullptr) {
        int flushable;
        leftover->path = FormatText("%s", path);
        return leftover->path != nullptr && OpenFolder(path, &leftover->folder, &leftover->entry, &flushable);
    }
    const char* slash = strrchr(file->path, '/');
    int folderLength = slash == nullptr ? 0 : (int)(slash - file->path) + 1;
    leftover->folder = fcntl((int)file->folder, F_DUPFD_CLOEXEC, 0);
    leftover->entry = FormatText("%s", name);
    leftover->path = FormatText("%.*s%s", folderLength, file->path, name);
    return leftover->folder >= 0 && leftover->entry != nullptr && leftover->path != nullptr;
}

int BackOpenLeftover(PlatLeftover* leftover)
{
    int fd = openat((int)leftover->folder, leftover->entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return PLAT_LEFTOVER_NONE;
    }
    leftover->handle = fd;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > INT32_MAX) {
        return PLAT_LEFTOVER_NONE;
    }
    if (!Lock(fd)) {
        return PLAT_LEFTOVER_BUSY;
    }
    leftover->id.volume = (uint64_t)status.st_dev;
    leftover->id.file[0] = (uint64_t)status.st_ino;
    leftover->id.file[1] = 0;
    leftover->bytes = (unsigned char*)TrackedAlloc((size_t)status.st_size);
    leftover->size = (int32_t)status.st_size;
    if (leftover->bytes == nullptr || !ReadExactly(fd, leftover->bytes, leftover->size)) {
        return PLAT_LEFTOVER_NONE;
    }
    if (PlatFaultHit(PLAT_FAULT_READ_OTHER)) {
        memset(leftover->bytes, 0, (size_t)leftover->size);
    }
    return PLAT_LEFTOVER_PLAIN;
}

int BackRemoveLeftover(PlatLeftover* leftover)
{
    struct stat entry;
    if (fstatat((int)leftover->folder, leftover->entry, &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(&entry, &leftover->id) || unlinkat((int)leftover->folder, leftover->entry, 0) != 0) {
        MV_REPORT_FAILURE();
        return 0;
    }
    return 1;
}

void BackCloseLeftover(PlatLeftover* leftover)
{
    if (leftover->handle >= 0) {
        close((int)leftover->handle);
    }
    if (leftover->folder >= 0) {
        close((int)leftover->folder);
    }
    leftover->handle = leftover->folder = -1;
}

int BackIdentityAt(const char* path, PlatFileId* id)
{
    struct stat status;
    if (lstat(path, &status) != 0) {
        return 0;
    }
    id->volume = (uint64_t)status.st_dev;
    id->file[0] = (uint64_t)status.st_ino;
    id->file[1] = 0;
    return 1;
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
