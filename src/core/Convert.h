// Convert.h - the per-file step: which files are candidates, and the two
// walk callbacks that list them and convert them.
#pragma once

#include <atomic>

// Set when STOP was pressed; read once at the start of each callback, so a
// stop takes effect at the next file.
extern std::atomic<int> g_cancel;

// Attribute bits that disqualify a file: hidden, system, directory,
// temporary, offline, encrypted. A failed query has them all set.
constexpr unsigned JPEG_REJECT_ATTRIBUTES = 0x5116;

// IsJpegCandidate - 1 when `path` is a plain file named *.jpg or *.jpeg
// (any case) outside a drive's recycle bin.
int IsJpegCandidate(const char* path);

// ListCandidate - drop-pass callback: logs each candidate's path.
int ListCandidate(const char* path);

// ConvertFile - run callback: loads, checks and converts one candidate and
// logs the outcome. Answers 0 only when the run was stopped.
int ConvertFile(const char* path);
