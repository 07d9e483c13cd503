// Strip.h - finding and removing APP segments in the run that directly
// follows a JPEG's start-of-image marker: byte logic only, no files, no
// log, no shared state.
//
// Layout read here: FF D8, then segments of FF, a marker byte (E0..EF for
// APP0..APP15), a big-endian 16-bit length L that counts itself and the
// payload, and L - 2 payload bytes; the whole segment is L + 2 bytes. Only
// that leading run of APP segments is looked at: everything from the first
// other marker on is copied unchanged, never parsed.
//
// Two modes: XMP mode (allApp 0) removes the APP segments that hold an XMP
// packet ("xmpmeta" in their payload); all-APP mode (allApp 1) removes
// every APP segment of the leading run except an Adobe APP14 segment, which
// describes the colours of the image data rather than the photo.
#pragma once

#include <cstdint>

// FindBytes - smallest offset n >= 0 with n + len <= count at which the len
// bytes of `needle` stand in `haystack`; -1 when there is none (count < len,
// a negative count included).
int32_t FindBytes(const unsigned char* haystack, int32_t count, const char* needle, int32_t len);

// HasRemovableSegment - 1 when the file's leading APP run holds a segment
// that the mode removes, that is when StripSegments would remove something.
// `size` must be above 5.
int HasRemovableSegment(int32_t size, const unsigned char* data, int allApp);

// The output of a strip, as consecutive byte ranges of the input handed to
// a writer; the writer answers 1 when it took the bytes.
typedef int (*StripWriter)(void* context, const unsigned char* bytes, int32_t count);

// StripSegments - hands the file without the segments the mode removes to
// `write`, in order, and returns the number of bytes left out. Returns -1
// when a write failed or the file ends with its APP run (nothing to write
// after it). Reads no byte outside data[0..size).
int32_t StripSegments(int32_t size, const unsigned char* data, int allApp, StripWriter write, void* context);
