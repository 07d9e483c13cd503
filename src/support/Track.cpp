// Track.cpp - assertion reports, the tracked allocator and the text builder.
#include "support/Track.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

FILE* g_reportStream = nullptr;

static FILE* ReportStream()
{
    return g_reportStream ? g_reportStream : stdout;
}

//----------------------------------------------------------------------------
// ReportAssertion - the two-line report. The source path is recorded at build
// time relative to the project root; it is always shown with backslashes.
void ReportAssertion(const char* conditionText, const char* sourcePath, int line)
{
    FILE* out = ReportStream();
    fprintf(out, "ASSERTION FAILED ( %s )\nin \"", conditionText);
    for (const char* c = sourcePath; *c; c++) {
        fputc(*c == '/' ? '\\' : *c, out);
    }
    fprintf(out, "\" : %d\n", line);
    fflush(out);
}

void ReportLine(const char* text)
{
    fprintf(ReportStream(), "%s\n", text);
}

//----------------------------------------------------------------------------
// The tracking table, filled first fit from slot 0. Two bounds keep both
// searches short without changing which slot is taken: no slot below
// s_firstFree is empty, and no slot from s_used on is taken. A block is
// looked for from the top, where the most recent blocks are, as the tool
// releases each block soon after it took it. Only one thread at a time
// allocates (the interface thread before the worker starts, the worker
// afterwards), so no lock is taken.
static void* s_slots[TRACK_SLOT_COUNT];
static int s_firstFree;
static int s_used;

void TrackRegister(void* block)
{
    for (int i = s_firstFree; i < TRACK_SLOT_COUNT; i++) {
        if (s_slots[i] == nullptr) {
            s_slots[i] = block;
            s_firstFree = i + 1;
            s_used = i + 1 > s_used ? i + 1 : s_used;
            return;
        }
    }
    s_firstFree = TRACK_SLOT_COUNT;
    ReportLine("Error : Alloc check num over");
    MV_REPORT_FAILURE();
}

int TrackUnregister(void* block)
{
    for (int i = s_used - 1; i >= 0; i--) {
        if (s_slots[i] == block) {
            s_slots[i] = nullptr;
            s_firstFree = i < s_firstFree ? i : s_firstFree;
            while (s_used > 0 && s_slots[s_used - 1] == nullptr) {
                s_used--;
            }
            return 1;
        }
    }
    ReportLine("Error : No Malloc Free");
    MV_REPORT_FAILURE();
    return 0;
}

void* TrackedAlloc(size_t size)
{
    // malloc(0) may give null; one byte keeps every block valid and distinct.
    void* block = malloc(size ? size : 1);
    if (block == nullptr) {
        ReportLine("Malloc Error");
        MV_REPORT_FAILURE();
        return nullptr;
    }
    // When the table is full the block is still handed out, unregistered;
    // its release is then reported and the block is not freed.
    TrackRegister(block);
    return block;
}

void TrackedFree(void* block)
{
    if (block == nullptr) {
        return;
    }
    // A block that no slot holds was never handed out or is released twice:
    // giving it to free() could corrupt the heap, so it is left alone.
    if (TrackUnregister(block)) {
        free(block);
    }
}

int TrackLiveCount()
{
    int live = 0;
    for (int i = 0; i < s_used; i++) {
        live += s_slots[i] != nullptr;
    }
    return live;
}

//----------------------------------------------------------------------------
// FormatText - measures the text first, so the block is exactly its size.
char* FormatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0) {
        return nullptr;
    }
    char* text = (char*)TrackedAlloc((size_t)length + 1);
    if (text == nullptr) {
        return nullptr;
    }
    va_start(args, format);
    vsnprintf(text, (size_t)length + 1, format, args);
    va_end(args);
    return text;
}
