// PathList.h - paths handed to the window from outside: on the program's
// command line, as Explorer writes it for a drop on the program's icon,
// "Send to" and a shortcut, and by a second copy to the running one, as a
// path list: NUL-ended UTF-16 paths, then one more NUL (the form of a
// drop's file list). Plain text work, so that it is tested on every
// platform.
#pragma once

#include <cstddef>
#include <cstdint>

// MendRootQuotes - `line` (a whole command line, program name first) with
// each quoted argument that ends in a backslash closed at its quote.
// Explorer writes a drive's root as "D:\", in which the command line's
// rules read \" as a quote inside the argument, so that the argument runs
// on into the next ones; each such odd run of backslashes before a quote
// that ends an argument gets one backslash more. `out` holds at least
// 2 * wcslen(line) + 1 units. Answers the units written, terminator aside.
size_t MendRootQuotes(const wchar_t* line, wchar_t* out);

// The largest path list a running copy takes: far beyond the 32,767
// characters of a command line, even with each path made full.
constexpr size_t PATH_LIST_MAX_BYTES = 16u << 20;

// PathListUnits - the UTF-16 units of the path list in `data` (`bytes`
// long), the final NUL included; 0 when it is not one: an odd size, larger
// than PATH_LIST_MAX_BYTES, no path in it, an empty path, or not ended by
// a NUL after its last path's NUL.
size_t PathListUnits(const void* data, size_t bytes);
