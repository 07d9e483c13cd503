// Strip.h - finding and removing APP segments in the run that directly
// follows a JPEG's start-of-image marker.
//
// Layout read here: FF D8, then segments of FF, a marker byte (E0..EF for
// APP0..APP15), a big-endian 16-bit length L that counts itself and the
// payload, and L - 2 payload bytes; the whole segment is L + 2 bytes. Only
// that leading run of APP segments is looked at: everything from the first
// other marker on is copied unchanged, never parsed.
#pragma once

#include <atomic>
#include <cstdint>

// Mode of the current run: 0 removes the APP segments that hold an XMP
// packet ("xmpmeta" in their payload), 1 removes every APP segment of the
// leading run except an Adobe APP14 segment, which describes the colours of
// the image data rather than the photo.
extern std::atomic<int> g_allAppMode;
// Bytes removed in the current run, and whether any file was rewritten.
extern std::atomic<int32_t> g_totalRemoved;
extern std::atomic<int> g_anyConverted;

// FindBytes - smallest offset n >= 0 with n + len <= count at which the len
// bytes of `needle` stand in `haystack`; -1 when there is none (count < len,
// a negative count included).
int32_t FindBytes(const unsigned char* haystack, int32_t count, const char* needle, int32_t len);

// HasRemovableSegment - 1 when the file's leading APP run holds a segment
// that the current mode removes. `size` must be above 5.
int HasRemovableSegment(int32_t size, const unsigned char* data);

// The output of a strip, as consecutive byte ranges of the input handed to
// a writer; the writer answers 1 when it took the bytes.
typedef int (*StripWriter)(void* context, const unsigned char* bytes, int32_t count);

// StripSegments - hands the file without its removable APP segments to
// `write`, in order, and stores the number of bytes left out in `*removed`.
// Returns 1 when every write succeeded and something followed the leading
// run; 0 when a write failed or the file ends with its APP run (nothing to
// write after it). Reads no byte outside data[0..size).
int StripSegments(int32_t size, const unsigned char* data, StripWriter write, void* context, int32_t* removed);

// RewriteStripped - rewrites the file at `path` from `data` without its
// removable APP segments and reports the outcome: success lines in the log,
// failures in an unowned message box. The file is replaced only when the
// whole new content was written; otherwise it stays byte-identical.
void RewriteStripped(int32_t size, const char* path, const unsigned char* data);
