// Platform.h - the operating-system services that the cleaning core, the
// walk and the worker need, declared once. PlatformWin32.cpp is the
// product's implementation; PlatformPosix.cpp stands in for it on Linux,
// where the core is unit-tested, fuzzed and benchmarked. Every system call
// of those parts is made here; this layer itself uses only the tracked
// memory and reports below it (support/Track.h).
//
// Everything here is a plain function with an integer result; nothing throws.
#pragma once

#include <cstdint>

// File attribute bits, with the values Windows gives them.
constexpr uint32_t PLAT_ATTR_READONLY = 0x1;
constexpr uint32_t PLAT_ATTR_HIDDEN = 0x2;
constexpr uint32_t PLAT_ATTR_SYSTEM = 0x4;
constexpr uint32_t PLAT_ATTR_DIRECTORY = 0x10;
constexpr uint32_t PLAT_ATTR_TEMPORARY = 0x100;
// A junction or a symbolic link (Windows: a reparse point of one of those
// two kinds; POSIX: a symbolic link), in a find record.
constexpr uint32_t PLAT_ATTR_LINK = 0x400;
constexpr uint32_t PLAT_ATTR_OFFLINE = 0x1000;
constexpr uint32_t PLAT_ATTR_ENCRYPTED = 0x4000;
// What a failed attribute query returns: every bit set, so the directory
// bit and every rejection bit read as set.
constexpr uint32_t PLAT_ATTR_INVALID = 0xFFFFFFFFu;

// Paths and names are UTF-8 on every platform, of any length. The longest
// name a folder entry can have: 255 UTF-16 units on Windows, each of which
// takes at most 3 bytes of UTF-8 (a pair of surrogates, 4 bytes for two
// units), and 255 bytes on Linux.
constexpr uint32_t PLAT_NAME_BYTES = 765;

// The character that separates folders in the paths the tool builds.
#ifdef _WIN32
constexpr char PLAT_SEPARATOR = '\\';
#else
constexpr char PLAT_SEPARATOR = '/';
#endif

// PlatIsSeparator - whether `c` separates folders: on Windows '\\' and '/'
// alike, as the system takes both; elsewhere '/'.
constexpr int PlatIsSeparator(char c)
{
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

//----------------------------------------------------------------------------
// PlatGetFileAttributes - attribute bits of `path`, PLAT_ATTR_INVALID when it
// cannot be queried. POSIX: the directory bit from stat (links followed),
// hidden when the last name starts with '.', read-only without write
// permission for anyone.
uint32_t PlatGetFileAttributes(const char* path);

// PlatPathExists - 1 when a file or folder exists at `path`, else 0.
int PlatPathExists(const char* path);

// PlatIsRootFolder - whether a dropped item names the root folder of a
// drive or a volume, which is never walked. Windows: "C:\" and
// "\\?\Volume{...}\", the forms the drop list gives every way of
// writing them (WinFullPath). POSIX: the root itself, however written
// ("/", "//", "/."); any other folder, "/ab" among them, is walked.
int PlatIsRootFolder(const char* path);

//----------------------------------------------------------------------------
// Folder enumeration, find-first/next/close style.
//
// A find record holds one entry: its attribute bits (only the directory and
// link bits are meaningful on every platform) and its name without any
// folder part.
//
// Windows: a name that the system gives in a form UTF-8 cannot hold (an
// unpaired surrogate) is handed on with U+FFFD in its place. Such a path
// names nothing, so a folder of that name cannot be listed; a file of that
// name keeps, for the attribute query, the attributes it was listed with,
// so that it is still a candidate and its load fails ("Can't read: ")
// rather than its being passed over without a word.
struct PlatFindRecord {
    uint32_t attributes;
    char name[PLAT_NAME_BYTES + 1];  // UTF-8; + 1: the terminator
};

// Identity of a file or folder: POSIX device and inode (in file[0]);
// Windows volume serial number and 128-bit file id, or the 64-bit file
// index where the system has no 128-bit id (in file[0], file[1] 0).
struct PlatFileId {
    uint64_t volume;
    uint64_t file[2];
};

// PlatFindFirst - opens the enumeration of `pattern` (a folder path followed
// by the separator and '*') and fills `record` with the first entry.
// Returns the enumeration handle, or null on failure (including nothing to
// enumerate, an entry name that does not fit the record, and an injected
// fault).
void* PlatFindFirst(const char* pattern, PlatFindRecord* record);
// PlatFindNext - the next entry: 1 with it in `record`, 0 at the end of the
// listing, -1 when the listing failed before its end (a share that went
// away, a name that cannot be held, an injected fault): the folder's other
// entries are unknown.
int PlatFindNext(void* find, PlatFindRecord* record);
// PlatFindClose - ends an enumeration opened by PlatFindFirst.
void PlatFindClose(void* find);
// PlatGetFolderId - identity of the folder at `path`; 1 on success, 0 when
// it cannot be determined. Some network and virtual file systems give
// every folder the file id 0: an id of 0 (whatever the volume) is unknown.
int PlatGetFolderId(const char* path, PlatFileId* id);
// PlatFolderFinalPath - the folder's path with every link on the way
// resolved, in a tracked block; null when it cannot be had.
char* PlatFolderFinalPath(const char* path);

//----------------------------------------------------------------------------
// The file in hand: read, checked and replaced as one file.
//
// A path is looked up once. POSIX: a final link is resolved once, then the
// containing folder is opened and every later step (the read, the checks,
// the temporary file, the replacement) goes through that folder and the
// entry's name, never the path again, so a file or folder swapped for a
// link meanwhile cannot redirect the rewrite. Windows: the file stays open
// from the read until the replacement, and other programs may not write to
// it meanwhile; it is replaced only while its name still leads to it,
// unchanged.
struct PlatFile {
    intptr_t folder;    // POSIX: the containing folder, open; -1 when none
    intptr_t handle;    // the file, open for reading (Windows: and for writing
                        // when `writable`); -1 when none
    char* path;         // tracked block: the path that names it (POSIX: a
                        // final link resolved; Windows: as given)
    char* entry;        // tracked block, POSIX: its name in `folder`
    PlatFileId id;      // the file read: POSIX device and inode; Windows
                        // volume and file id
    int64_t size;       // its size and modification time when it was read
    int64_t modified;   // (POSIX: ns; Windows: the last-write time)
    uint32_t mode;      // POSIX: permission bits, owner and group
    uint32_t owner;
    uint32_t group;
    uint32_t links;     // its number of names
    int writable;       // Windows: opened with write access (else it may not be written)
    int folderFlushable;  // POSIX: the folder was opened for reading, so it can be flushed
    int throughLink;    // Windows: its path reaches it through a link
};

// PlatLoadWholeFile - opens the file at `path` without blocking and without
// following a final link a second time, and reads it whole into a tracked
// block of exactly its size, stored in `*buffer`; returns the size, with
// the file left open in `file` for a replacement (PlatCloseFile closes it).
// Returns -1 after a message line and a report on any failure: not a
// regular file (a folder, FIFO, socket or device, which are never read),
// cannot open, 2 GiB or more, no block, fewer or more bytes than its size
// said. Then nothing stays open or registered and `*buffer` is untouched.
int32_t PlatLoadWholeFile(const char* path, PlatFile* file, unsigned char** buffer);
// PlatCloseFile - closes what PlatLoadWholeFile left open; safe to call twice.
void PlatCloseFile(PlatFile* file);

//----------------------------------------------------------------------------
// Safe replacement of the file in hand.
//
// The new content goes to a temporary file in the photo's folder, which no
// other program can open and which goes with the program if it ends before
// the commit (POSIX: a file without a name, where the file system has them;
// Windows: marked to go when its handle closes). It takes the photo's place
// only when every byte was written and flushed and the photo is still the
// file that was read (same identity, size and modification time);
// otherwise the photo stays as it was and the temporary file goes.
//
// The photo is replaced where that keeps what it has: POSIX, its owner,
// group, permissions and extended attributes (POSIX ACLs included), set on
// the new file, which then swaps names with it in one step; Windows,
// ReplaceFileW, which keeps its attributes, creation time, security and
// streams. Where that cannot be done (a photo with several names, a photo
// reached through a link on Windows, another user's photo cleaned by its
// group, a replacement the system refuses), the photo is rewritten in
// place, keeping its identity, from the new bytes in memory, never from
// what the file system hands back. Beside it lies, from before its first
// byte is overwritten until it is whole again, a flushed copy of its new
// content with a record (platform/Copy.h): the next run that meets the
// photo, or the copy, puts the photo together from it if a kill or a power
// cut interrupted the rewrite.
//
// Leftovers keep names that the walk never takes for a photo, derived from
// the photo's identity ("c" the new content or its copy, "b" the original
// that Windows' replacement keeps aside until it is done): POSIX
// ".marlovex-c<inode>~", Windows "~marlovex-c<id>.tmp"; where that name is
// taken, ".marlovex-N~" and "~marlovexN.tmp", N drawn at random.
struct PlatReplace {
    intptr_t handle;    // the temporary file, open for writing; -1 when none
    char* entry;        // tracked block, POSIX: its name in the folder; null while it has none
    char* path;         // tracked block, Windows: its path
    char* aside;        // tracked block, Windows: where the replacement sets the original aside
    int64_t written;    // bytes written to it so far
    int removeOnClose;  // Windows: the system removes it when its handle closes
};

// The new content, as the commit may need it more than once: the old bytes
// (to fingerprint) and a way to hand the new bytes over again, in order.
typedef int (*PlatSink)(void* context, const unsigned char* bytes, int32_t count);
struct PlatContent {
    const unsigned char* old;  // the file as read, `oldSize` bytes
    int32_t oldSize;
    // Hands the new content to `sink`, in order, from memory; 1 when the
    // sink took all of it.
    int (*produce)(void* source, PlatSink sink, void* sinkContext);
    void* source;
};

// PlatReplaceBegin - proves that the file in hand may be written (POSIX:
// the permission check of an open for writing, a file without any write
// bit counting as read-only even for root; Windows: it was opened with
// write access), then creates the temporary file. 1 on success; 0 when the
// original may not be written or the temporary file cannot be created
// (nothing is left behind then).
int PlatReplaceBegin(PlatFile* file, PlatReplace* replace);
// PlatReplaceWrite - appends `size` bytes (size >= 1) to the temporary file,
// in blocks of at most 64 KiB that end on 64 KiB boundaries of the file.
// 1 when every byte was written.
int PlatReplaceWrite(PlatReplace* replace, const void* data, int32_t size);
// PlatReplaceCommit - puts the temporary file's content (`content`'s new
// bytes) in the photo's place (see above), durably, and closes `file`:
// once this returns 1 the new content is on the disk under the photo's
// name. 0 on failure: the photo is untouched and the temporary file gone
// (a flush of the temporary file that fails counts as a failed write),
// except where the photo was cleaned but is not known to be on the disk,
// or was left mixed, or the system failed half-way through a replacement:
// then the complete new content stays beside it (and, Windows, the
// original that the replacement had set aside).
int PlatReplaceCommit(PlatReplace* replace, PlatFile* file, const PlatContent* content);
// PlatReplaceAbort - closes and removes the temporary file.
void PlatReplaceAbort(PlatReplace* replace, PlatFile* file);

//----------------------------------------------------------------------------
// Leftovers of an interrupted rewrite (see above), and the repair.

enum PlatLeftoverKind {
    PLAT_LEFTOVER_NONE,   // none, or it cannot be read
    PLAT_LEFTOVER_BUSY,   // another copy of the program holds it: left alone
    PLAT_LEFTOVER_PLAIN,  // no record: new content, whole or in part, or what a swap left
    PLAT_LEFTOVER_COPY    // a copy with a record that proves itself
};

struct PlatLeftover {
    int kind;
    intptr_t folder;    // POSIX: its folder, open; -1 when none
    intptr_t handle;    // it, open and locked; -1 when none
    char* path;         // tracked block: its path, for the log
    char* entry;        // tracked block, POSIX: its name in `folder`
    unsigned char* bytes;  // tracked block: its whole content
    int32_t size;
    PlatFileId id;      // its own identity
    int named;          // its name is derived from an identity: `namedId`
    PlatFileId namedId;
};

// PlatIsLeftoverPath - 1 when the last part of `path` is a leftover's name.
int PlatIsLeftoverPath(const char* path);
// PlatFindLeftover - the leftover whose name is derived from the identity
// of the file in hand, opened, locked and read; its kind.
int PlatFindLeftover(const PlatFile* file, PlatLeftover* leftover);
// PlatOpenLeftover - the leftover at `path` (a name the walk met), the same.
int PlatOpenLeftover(const char* path, PlatLeftover* leftover);
// PlatLeftoverPhotoPath - for a copy, the path of the photo its record
// names: the copy's folder and the photo's name; tracked block, or null.
char* PlatLeftoverPhotoPath(const PlatLeftover* leftover);
// PlatLeftoverOrphaned - for a leftover without a record: 1 when no photo
// of the identity its name is derived from is in its folder (it may then
// hold another program's save that a swap displaced), or when it is that
// photo itself as it was before its name was given to the new content.
int PlatLeftoverOrphaned(const PlatLeftover* leftover);
// PlatCopyRecordMax - the most bytes a copy's record can add after new
// content of `newSize` bytes for a photo of `oldSize`.
int64_t PlatCopyRecordMax(int64_t oldSize, int64_t newSize);

enum PlatRepairResult {
    PLAT_REPAIR_REMOVED,   // the photo was whole (old or new): the copy went
    PLAT_REPAIR_DONE,      // the photo was put together from the copy, on the disk; the copy went
    PLAT_REPAIR_KEPT,      // the photo is not this copy's or was changed since: both untouched
    PLAT_REPAIR_FAILED     // a write or flush failed: the copy stays beside the photo
};
// PlatRepair - judges the file in hand (its bytes as read, `size`) against
// the copy `leftover` and acts on the verdict: PLAT_REPAIR_*.
int PlatRepair(PlatFile* file, const unsigned char* bytes, int32_t size, PlatLeftover* leftover);
// PlatRemoveLeftover - removes the leftover (still the file read); 1 on success.
int PlatRemoveLeftover(PlatLeftover* leftover);
// PlatCloseLeftover - closes it and releases its blocks; safe to call twice.
void PlatCloseLeftover(PlatLeftover* leftover);

//----------------------------------------------------------------------------
// Shared by the implementations (PlatformCommon.cpp).

constexpr uint32_t PLAT_WRITE_BLOCK = 65536;
// PlatNextWriteBlock - size of the next write of `left` bytes to a file that
// holds `written` bytes: at most 64 KiB, ending on a 64 KiB boundary.
uint32_t PlatNextWriteBlock(int64_t written, uint32_t left);
// PlatInitFile - a file in hand with nothing open.
void PlatInitFile(PlatFile* file);
// PlatFailLoad - the message line and report of a failed load, then -1.
int32_t PlatFailLoad(const char* message);
// PlatTemporaryNumber - the number of the next temporary name to try,
// drawn at random from 32 bits (`entropy` is the platform's contribution),
// so that leftovers of earlier runs never use up the names; in a fixed
// sequence when a test asked for one (PlatSetTemporaryNumbers).
uint32_t PlatTemporaryNumber(uint64_t entropy);
// Tries at most this many names before creating a temporary file fails.
constexpr int PLAT_TEMPORARY_TRIES = 100;

//----------------------------------------------------------------------------
// Abandoning the file in hand. When the program must end soon (its window
// was closed or the session ends, and the file in hand takes too long),
// PlatSetAbandoned(1) makes every later write to a temporary file fail and
// keeps a rewrite or a commit that has not begun from beginning, so the
// rewrite ends at once with the original untouched and its temporary file
// removed; a commit already under way is finished. PlatCommitting says
// whether one is. PlatSetAbandoned(0) undoes it (for tests).
void PlatSetAbandoned(int abandoned);
int PlatAbandoned();
int PlatCommitting();
// For the implementations: the commit's start and end, around the steps
// that must not be cut short. PlatBeginCommit answers 0 when the file in
// hand was abandoned, and the commit is then not made.
int PlatBeginCommit();
void PlatEndCommit();

//----------------------------------------------------------------------------
// Odds and ends.

// PlatSleep - suspends the calling thread.
void PlatSleep(int milliseconds);
// PlatTickCount - milliseconds from an arbitrary start, on a clock that
// only moves forward; wraps around after 49.7 days, so only differences of
// two readings mean anything.
uint32_t PlatTickCount();

//----------------------------------------------------------------------------
// Test seams.
//
// Fault injection: the Nth call of a kind from now on fails as if the
// operating system had refused it (N = 1 fails the very next call); N = -1
// fails every call from now on. 0 switches the kind off. Counting is per
// kind.
enum PlatFault {
    PLAT_FAULT_OPEN = 0,  // proving the original writable, creating the temporary file
    PLAT_FAULT_WRITE,     // one PlatReplaceWrite call
    PLAT_FAULT_REPLACE,   // one attempt to put the temporary file in the photo's place: refused,
                          // the photo untouched
    PLAT_FAULT_FIND,      // opening a folder enumeration
    PLAT_FAULT_FIND_NEXT, // one PlatFindNext, failing before the listing's end
    PLAT_FAULT_NO_ID,     // a folder's identity: its file id answered as 0
    PLAT_FAULT_READ_OPEN, // opening a file for reading (PlatLoadWholeFile)
    PLAT_FAULT_READ,      // reading a file whole: fewer bytes arrive (PlatLoadWholeFile)
    PLAT_FAULT_FLUSH,     // one flush to the disk (a file, a folder, a file system)
    PLAT_FAULT_READ_OTHER,  // reading a leftover whole: zeros arrive, not the bytes written
    PLAT_FAULT_ASIDE,     // Windows: a replacement fails half-way, the photo under the backup
                          // name (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
    PLAT_FAULT_GONE,      // Windows: a replacement fails half-way, the photo removed (error
                          // 1176 as Wine gives it), while the program still holds it
    PLAT_FAULT_NAMED,     // POSIX: creating a temporary file without a name, refused as by a file
                          // system without such files, so that it is named at once
    PLAT_FAULT_KILL,      // one step of a rewrite (PlatStep): the process ends there at once,
                          // as a kill ends it, with nothing cleaned up
    PLAT_FAULT_SYSTEM_LINK,  // POSIX: one listed subfolder comes as Windows lists the junctions it
                             // keeps for old names in a profile: a link, hidden and system
    PLAT_FAULT_COUNT
};
void PlatSetFault(int kind, int nth);
// PlatFaultHit - counts one call of `kind`; 1 when that call is to fail.
int PlatFaultHit(int kind);
// PlatStep - for the implementations: one step of a rewrite (each block
// written, each flush, each name given or taken), where the kill seam ends
// the process with status PLAT_KILLED_STATUS.
void PlatStep();
constexpr int PLAT_KILLED_STATUS = 86;

// The race hook: called before every check that the photo is still the file
// read which precedes a change to it (each attempt to replace it, after any
// wait for a scanner; the rewrite in place); lets a test swap, grow or move
// the photo at the worst moment. Null (the default) does nothing.
typedef void (*PlatRaceHook)();
void PlatSetRaceHook(PlatRaceHook hook);
void PlatRunRaceHook();

// PlatSetTemporaryNumbers - the temporary names' numbers from now on are
// `first`, first + 1, ...; 0 goes back to numbers drawn at random.
void PlatSetTemporaryNumbers(uint32_t first);
