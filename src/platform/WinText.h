// WinText.h - where the tool's UTF-8 meets Windows' UTF-16 (Windows only).
//
// Inside the tool every text and path is UTF-8. Only the Windows layers
// see UTF-16: the platform layer when it calls the system, the dialog when
// it hands text to its controls, the console front end when it reads its
// command line and writes to a console. They all convert here, with the
// system's own MultiByteToWideChar and WideCharToMultiByte, so no name is
// ever passed through the ANSI code page (whose "best fit" turns ¥ or ＼
// into a backslash and ．． into "..").
//
// The blocks come from the process heap, not the tracked allocator: the
// interface thread converts the log's text while the worker, which owns
// the tracked allocator's table, goes on. WinFree releases them.
#pragma once

#include <windows.h>

// WinWiden - the UTF-16 form of the UTF-8 text `text`; null when `text` is
// not valid UTF-8 (nothing that is not UTF-8 reaches the system) or no
// block could be had.
wchar_t* WinWiden(const char* text);

// WinWidenLossy - the same, each byte that is not UTF-8 as U+FFFD; null
// only when no block could be had.
wchar_t* WinWidenLossy(const char* text);

// WinNarrow - the UTF-8 form of the UTF-16 text `text`. A unit that is not
// valid UTF-16 (an unpaired surrogate) becomes U+FFFD; `*exact` (when not
// null) is then 0, else 1. Null when no block could be had.
char* WinNarrow(const wchar_t* text, int* exact);

// WinNarrowInto - the same into `buffer` (`capacity` bytes, terminator
// included). 1 when it fitted; 0 when not, and the buffer is then empty.
int WinNarrowInto(const wchar_t* text, char* buffer, int capacity, int* exact);

// WinSystemPath - a path inside the tool as the system's wide file calls
// take it: UTF-16, each '/' as '\', and an absolute drive path or UNC path
// in its long form ("\\?\C:\..." and "\\?\UNC\server\share\..."), so that
// paths of any length work and the system changes nothing in them. Other
// paths (relative, already in a long or device form) are passed as they
// are. Null when `path` is not UTF-8.
wchar_t* WinSystemPath(const char* path);

// WinFullPath - a dropped or named path as it enters the drop list, in
// UTF-8 and in the form a user writes ("C:\...", "\\server\share\..."),
// every name in it kept exactly, trailing dots and spaces and reserved
// device names included. A relative or drive-relative path is made full
// from the current folder (of that drive), '/' read as '\' and "." and
// ".." resolved, never above the drive or the share. A long-form path
// ("\\?\C:\...", "\\?\UNC\...") is taken as it stands, less the prefix;
// "\\?\Volume{...}\..." as it is; "\\.\C:\..." as the same path
// without the prefix. Null for anything that is not an item: another
// device path, a long-form path that is not full, a name that does not
// convert exactly (a lone surrogate), a name with a ':' (a stream).
char* WinFullPath(const wchar_t* path);

// WinIsRoot - whether an item from WinFullPath is the root folder of a
// drive or a volume: "C:\", "\\?\Volume{...}\". A share's root
// ("\\server\share\") is a folder like any other.
int WinIsRoot(const char* path);

// WinWriteInPieces - writes `units` UTF-16 units through `write` (which
// answers 1 and the units it took, as WriteConsoleW does) in pieces of at
// most WIN_WRITE_PIECE units that never split a surrogate pair, each
// piece taken up again where a write took less: a console before Windows
// 8 refuses a write above about 26,000 units, for lack of console heap.
// 1 when every unit was written; 0 when a write failed or took nothing.
constexpr DWORD WIN_WRITE_PIECE = 8192;
typedef int (*WinWriter)(void* context, const wchar_t* units, DWORD count, DWORD* written);
int WinWriteInPieces(const wchar_t* text, size_t units, WinWriter write, void* context);

// WinFree - releases a block from the functions above; null does nothing.
void WinFree(void* block);
