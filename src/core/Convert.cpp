// Convert.cpp - the per-file step of the drop pass and of a run.
#include "core/Convert.h"

#include <cstring>

#include "core/Catalogue.h"
#include "core/Strip.h"
#include "platform/Platform.h"
#include "support/Track.h"

std::atomic<int> g_cancel{0};

static int LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

// Whether `text` (n bytes) equals the lower-case word `word`, letters in
// either case.
static int EqualsFolded(const char* text, const char* word, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (LowerAscii(text[i]) != word[i]) {
            return 0;
        }
    }
    return 1;
}

//----------------------------------------------------------------------------
// IsJpegCandidate - attributes first, then the name's ending, then the
// recycle-bin test: a drive's recycle bin is "X:\$Recycle.Bin\...", so the
// word stands at positions 4 to 10; no other position is examined.
int IsJpegCandidate(const char* path)
{
    if (PlatGetFileAttributes(path) & JPEG_REJECT_ATTRIBUTES) {
        return 0;
    }
    size_t n = strlen(path);
    if (n < 5) {
        return 0;
    }
    int jpg = EqualsFolded(path + n - 4, ".jpg", 4);
    int jpeg = n >= 5 && EqualsFolded(path + n - 5, ".jpeg", 5);
    if (!jpg && !jpeg) {
        return 0;
    }
    if (n <= 10) {
        return 1;
    }
    return !EqualsFolded(path + 4, "recycle", 7);
}

int ListCandidate(const char* path)
{
    if (g_cancel.load()) {
        return 0;
    }
    LogTick();
    if (IsJpegCandidate(path)) {
        AppendLog(path);
        AppendLog("\r\n");
    }
    return 1;
}

//----------------------------------------------------------------------------
// ConvertFile - one file of a run. A failure on one file is logged (or
// shown by the rewrite) and never stops the walk.
int ConvertFile(const char* path)
{
    if (g_cancel.load()) {
        return 0;
    }
    LogTick();
    if (!IsJpegCandidate(path)) {
        return 1;
    }
    unsigned char* buffer = nullptr;
    int32_t size = LoadWholeFile(path, &buffer);
    if (size < 0) {
        AppendReport(MSG_CANT_READ, path);
        return 1;
    }
    if (size < 6) {
        AppendReport(MSG_TOO_SMALL, path);
    } else if (buffer[0] != 0xFF || buffer[1] != 0xD8) {
        AppendReport(MSG_HEADER_BROKEN, path);
    } else if (HasRemovableSegment(size, buffer)) {
        RewriteStripped(size, path, buffer);
    } else {
        AppendReport(g_allAppMode.load() ? MSG_NO_APP : MSG_NO_XMP, path);
    }
    TrackedFree(buffer);
    return 1;
}
