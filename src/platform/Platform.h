// Platform.h - the operating-system services that the cleaning core, the
// support library and the worker need, declared once. PlatformWin32.cpp is
// the product's implementation; PlatformPosix.cpp stands in for it on Linux,
// where the core is unit-tested, fuzzed and benchmarked.
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
constexpr uint32_t PLAT_ATTR_OFFLINE = 0x1000;
constexpr uint32_t PLAT_ATTR_ENCRYPTED = 0x4000;
// What a failed attribute query returns: every bit set, so the directory
// bit and every rejection bit read as set.
constexpr uint32_t PLAT_ATTR_INVALID = 0xFFFFFFFFu;

// The character that separates folders in a path.
#ifdef _WIN32
constexpr char PLAT_SEPARATOR = '\\';
#else
constexpr char PLAT_SEPARATOR = '/';
#endif

//----------------------------------------------------------------------------
// PlatGetFileAttributes - attribute bits of `path`, PLAT_ATTR_INVALID when it
// cannot be queried. POSIX: the directory bit from stat (links followed),
// hidden when the last name starts with '.', read-only without write
// permission for anyone.
uint32_t PlatGetFileAttributes(const char* path);

// PlatPathExists - 1 when a file or folder exists at `path`, else 0.
int PlatPathExists(const char* path);

//----------------------------------------------------------------------------
// Folder enumeration, find-first/next/close style.
//
// A find record holds one entry: its attribute bits (only the directory bit
// is meaningful on every platform) and its name without any folder part.
constexpr int PLAT_NAME_CAPACITY = 260;
struct PlatFindRecord {
    uint32_t attributes;
    char name[PLAT_NAME_CAPACITY];
};

// Identity of a folder (volume and file number), for noticing that a link
// leads back into a folder that is already being walked.
struct PlatFolderId {
    uint64_t volume;
    uint64_t file;
};

// PlatFindFirst - opens the enumeration of `pattern` (a folder path followed
// by the separator and '*') and fills `record` with the first entry.
// Returns the enumeration handle, or null on failure (including nothing to
// enumerate, an entry name that does not fit the record, and an injected
// fault).
void* PlatFindFirst(const char* pattern, PlatFindRecord* record);
// PlatFindNext - the next entry; 0 at the end of the listing or on any error.
int PlatFindNext(void* find, PlatFindRecord* record);
// PlatFindClose - ends an enumeration opened by PlatFindFirst.
void PlatFindClose(void* find);
// PlatGetFolderId - identity of the folder at `path`; 1 on success, 0 when
// it cannot be determined.
int PlatGetFolderId(const char* path, PlatFolderId* id);

//----------------------------------------------------------------------------
// Safe replacement of a file's content.
//
// The new content goes to a temporary file in the original's folder, which
// takes the original's place only when every byte was written. Until
// PlatReplaceCommit succeeds the original is never touched; on every failure
// the temporary file is removed.
struct PlatReplace {
    intptr_t handle;   // the temporary file, open for writing
    char* tempPath;    // tracked block: the temporary file's path
    char* targetPath;  // tracked block: the file to replace (links resolved)
    uint32_t mode;     // POSIX: the original's permission bits
    uint32_t owner;    // POSIX: the original's owner and group
    uint32_t group;
    int64_t written;   // bytes written to the temporary file so far
};

// PlatReplaceBegin - proves that `path` may be written (Windows: opens it
// for writing without truncating it, which a read-only or locked file
// refuses; POSIX: the permission check of such an open, a file without any
// write bit counting as read-only), then creates the temporary file. 1 on
// success; 0 when the original may not be written or the temporary file
// cannot be created (nothing is left behind then).
int PlatReplaceBegin(const char* path, PlatReplace* replace);
// PlatReplaceWrite - appends `size` bytes (size >= 1) to the temporary file,
// in blocks of at most 64 KiB that end on 64 KiB boundaries of the file.
// 1 when every byte was written.
int PlatReplaceWrite(PlatReplace* replace, const void* data, int32_t size);
// PlatReplaceCommit - closes the temporary file, gives it the original's
// permissions and puts it in the original's place. 1 on success; on failure
// the temporary file is removed and the original is unchanged.
int PlatReplaceCommit(PlatReplace* replace, const char* path);
// PlatReplaceAbort - closes and removes the temporary file.
void PlatReplaceAbort(PlatReplace* replace);

//----------------------------------------------------------------------------
// Shared by the implementations (PlatformCommon.cpp).

// The temporary file is the original's path followed by this suffix (and a
// number when that name is taken). It never ends in .jpg, so a walk in
// progress in the same folder never takes it for a photo.
#define PLAT_TEMP_SUFFIX ".marlovex~"
constexpr uint32_t PLAT_WRITE_BLOCK = 65536;

// PlatJoinText - a tracked block holding `first`, `second` and, when not 0,
// `number` in decimal; null when no block could be had.
char* PlatJoinText(const char* first, const char* second, unsigned number);
// PlatNextWriteBlock - size of the next write of `left` bytes to a file that
// holds `written` bytes: at most 64 KiB, ending on a 64 KiB boundary.
uint32_t PlatNextWriteBlock(int64_t written, uint32_t left);

//----------------------------------------------------------------------------
// Odds and ends.

// PlatSleep - suspends the calling thread.
void PlatSleep(int milliseconds);
// PlatTickCount - milliseconds from an arbitrary start, on a clock that
// only moves forward; wraps around after 49.7 days, so only differences of
// two readings mean anything.
uint32_t PlatTickCount();
// PlatBreakIfDebugging - debug builds only: breaks into a debugger when one
// is attached; otherwise, and in release builds, does nothing.
void PlatBreakIfDebugging();

//----------------------------------------------------------------------------
// Fault injection, for tests: the Nth call of a kind from now on fails as if
// the operating system had refused it (N = 1 fails the very next call).
// 0 switches the kind off. Counting is per kind.
enum PlatFault {
    PLAT_FAULT_OPEN = 0,  // opening the original for writing, creating the temporary file
    PLAT_FAULT_WRITE,     // one PlatReplaceWrite call
    PLAT_FAULT_REPLACE,   // putting the temporary file in the original's place
    PLAT_FAULT_FIND,      // opening a folder enumeration
    PLAT_FAULT_READ_OPEN, // opening a file for reading (LoadWholeFile)
    PLAT_FAULT_READ,      // reading a file whole: fewer bytes arrive (LoadWholeFile)
    PLAT_FAULT_COUNT
};
void PlatSetFault(int kind, int nth);
// PlatFaultHit - counts one call of `kind`; 1 when that call is to fail.
int PlatFaultHit(int kind);
