// Convert.h - the per-file step: which files are candidates, listing them,
// and converting one file (load, checks, rewrite) with its log line.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

// Attribute bits that disqualify a file. A failed query has them all set.
constexpr uint32_t JPEG_REJECT_ATTRIBUTES = PLAT_ATTR_HIDDEN | PLAT_ATTR_SYSTEM | PLAT_ATTR_DIRECTORY |
                                            PLAT_ATTR_TEMPORARY | PLAT_ATTR_OFFLINE | PLAT_ATTR_ENCRYPTED;

// IsJpegCandidate - 1 when `path` is a plain file named *.jpg or *.jpeg
// (any case) outside a drive's recycle bin.
int IsJpegCandidate(const char* path);

// ListCandidate - the drop pass's step: logs `path` when it is a candidate.
void ListCandidate(const char* path);

// ConvertFile - a run's step: loads, checks and converts one candidate in
// the given mode and logs the outcome (or shows the rewrite's error box).
// Returns the bytes removed when the file was rewritten, else -1.
int32_t ConvertFile(const char* path, int allApp);

// RewriteStripped - rewrites the loaded file in hand (`file`, whose whole
// content is data[0..size)) without the segments the mode removes, and
// reports the outcome: success lines in the log, failures in an unowned
// message box. The file is replaced only when the whole new content was
// written and it is still the file that was read; otherwise it stays
// byte-identical. Returns the bytes removed, or -1 on failure.
int32_t RewriteStripped(int32_t size, const char* path, const unsigned char* data, int allApp, PlatFile* file);
