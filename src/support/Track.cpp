// Track.cpp - assertion reports, the tracked allocator and whole-file loading.
#include "support/Track.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

FILE* g_reportStream = nullptr;
void* g_trackSlots[TRACK_SLOT_COUNT];

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
// The tracking table. Only the worker thread allocates, so no lock is taken.
void TrackRegister(void* block)
{
    for (int i = 0; i < TRACK_SLOT_COUNT; i++) {
        if (g_trackSlots[i] == nullptr) {
            g_trackSlots[i] = block;
            return;
        }
    }
    ReportLine("Error : Alloc check num over");
    MV_REPORT_FAILURE();
}

int TrackUnregister(void* block)
{
    for (int i = 0; i < TRACK_SLOT_COUNT; i++) {
        if (g_trackSlots[i] == block) {
            g_trackSlots[i] = nullptr;
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
    for (int i = 0; i < TRACK_SLOT_COUNT; i++) {
        live += g_trackSlots[i] != nullptr;
    }
    return live;
}

//----------------------------------------------------------------------------
// File size and whole-file loading.
int32_t GetFileSizeByName(const char* path)
{
#ifdef _WIN32
    struct __stat64 status;
    int ok = _stat64(path, &status) == 0;
#else
    struct stat status;
    int ok = stat(path, &status) == 0;
#endif
    // Sizes are signed 32-bit counts: a file of 2 GiB or more has no size
    // that the callers could use.
    if (!ok || status.st_size < 0 || status.st_size > INT32_MAX) {
        ReportLine("Can't Get File Size");
        MV_REPORT_FAILURE();
        return -1;
    }
    return (int32_t)status.st_size;
}

int32_t LoadWholeFile(const char* path, unsigned char** buffer)
{
    int32_t size = GetFileSizeByName(path);
    if (size < 0) {
        return -1;
    }
    unsigned char* block = (unsigned char*)TrackedAlloc((size_t)size);
    if (block == nullptr) {
        return -1;  // TrackedAlloc has reported it
    }
    FILE* file = PlatFaultHit(PLAT_FAULT_READ_OPEN) ? nullptr : fopen(path, "rb");
    if (file == nullptr) {
        ReportLine("Can't Open File");
        MV_REPORT_FAILURE();
        TrackedFree(block);
        return -1;
    }
    // The caller rewrites the file from this block, so it must hold exactly
    // the file: a short read (the file shrank, or reading failed) and a file
    // that grew since its size was taken are both failures.
    int complete = size == 0 || fread(block, (size_t)size, 1, file) == 1;
    if (complete && fgetc(file) != EOF) {
        complete = 0;
    }
    if (complete && PlatFaultHit(PLAT_FAULT_READ)) {
        complete = 0;
    }
    fclose(file);
    if (!complete) {
        ReportLine("Can't Read File");
        MV_REPORT_FAILURE();
        TrackedFree(block);
        return -1;
    }
    *buffer = block;
    return size;
}
