// Track.h - assertion reports, the tracked allocator and the tracked text
// builder: the bottom layer, which every other part may use and which uses
// nothing of the tool's own.
//
// Every dynamic buffer of the tool comes from TrackedAlloc and goes back
// through TrackedFree; a fixed table records each live block, so releasing
// a block that was never handed out is noticed and reported. Failures are
// written as a message line and a two-line assertion report to the report
// stream (standard output unless a front end chooses otherwise); callers
// learn of them only from the result (null or -1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ReportAssertion - writes "ASSERTION FAILED ( cond )" and
// "in \"source\" : line", each ended by a line feed. Forward slashes of
// `sourcePath` are written as backslashes.
void ReportAssertion(const char* conditionText, const char* sourcePath, int line);

// Checks a condition that should never be false; when it is, reports it with
// the condition's text and the check's place, and carries on. (A debugger
// stops at every report with a breakpoint on ReportAssertion.)
#define MV_CHECK(cond)                                  \
    do {                                                \
        if (!(cond)) {                                  \
            ReportAssertion(#cond, __FILE__, __LINE__); \
        }                                               \
    } while (0)
// Reports a failure that the library has just met (condition text "0").
#define MV_REPORT_FAILURE() ReportAssertion("0", __FILE__, __LINE__)

// Where message lines and assertion reports go; null means standard output.
extern FILE* g_reportStream;
// ReportLine - writes `text` and a line feed to the report stream.
void ReportLine(const char* text);

// The tracking table: one slot per live block, first fit from slot 0.
constexpr int TRACK_SLOT_COUNT = 100000;

// TrackRegister - stores `block` in the first empty slot; with no slot free,
// reports "Error : Alloc check num over" and stores nothing.
void TrackRegister(void* block);
// TrackUnregister - empties the slot that holds `block`. Returns 1, or 0
// after reporting "Error : No Malloc Free" when no slot holds it.
int TrackUnregister(void* block);
// TrackedAlloc - a block of `size` bytes (content undefined; 0 bytes gives a
// valid, distinct block), or null after reporting "Malloc Error".
void* TrackedAlloc(size_t size);
// TrackedFree - releases a block from TrackedAlloc; null does nothing. A
// block that no slot holds is reported and not handed to the allocator.
void TrackedFree(void* block);
// TrackLiveCount - number of registered blocks (for leak checks).
int TrackLiveCount();

// FormatText - a tracked block holding the printf-style formatting of the
// arguments, sized from what goes into it; null when no block could be had.
// The caller releases it with TrackedFree.
char* FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
