// Walk.h - a recursive, depth-first walk over a file or folder tree with a
// callback per file.
#pragma once

// Walk results.
constexpr int WALK_OK = 0;           // no callback said stop, every folder could be listed
constexpr int WALK_NO_CALLBACK = 1;  // the callback was null; nothing was looked at
constexpr int WALK_INVALID = 2;      // a folder (the path given, or one below it) could not be listed
constexpr int WALK_STOPPED = 3;      // a callback answered zero

// A walk callback: takes one path (valid during the call only), answers
// nonzero to go on or zero to stop the walk.
typedef int (*WalkCallback)(const char* path);

// WalkPath - hands `path` to `callback` when it names a file; when it names
// a folder (with or without a trailing separator), walks every entry in
// enumeration order, subfolders depth first. Only "." and ".." are skipped.
// Links are followed, but each folder is entered at most once per walk,
// whatever the number of paths (links) that lead to it, so a link back
// into a folder being walked, or a farm of links, costs nothing. Every
// enumeration is closed and every block released on every way out.
int WalkPath(const char* path, WalkCallback callback);
