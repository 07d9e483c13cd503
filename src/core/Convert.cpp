// Convert.cpp - the per-file step of the drop pass and of a run.
#include "core/Convert.h"

#include <cstring>

#include "core/Catalogue.h"
#include "core/Strip.h"
#include "support/Track.h"

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
    int jpeg = EqualsFolded(path + n - 5, ".jpeg", 5);
    if (!jpg && !jpeg) {
        return 0;
    }
    if (n <= 10) {
        return 1;
    }
    return !EqualsFolded(path + 4, "recycle", 7);
}

void ListCandidate(const char* path)
{
    if (IsJpegCandidate(path)) {
        AppendLog(path);
        AppendLog("\r\n");
    }
}

//----------------------------------------------------------------------------
static int WriteToReplacement(void* context, const unsigned char* bytes, int32_t count)
{
    return PlatReplaceWrite((PlatReplace*)context, bytes, count);
}

// RewriteStripped - writes the new content to a temporary file beside the
// original and puts it in the original's place only when all of it was
// written, so a failure, a full disk or a stop midway never damages a photo.
int32_t RewriteStripped(int32_t nSize, const char* path, const unsigned char* data, int allApp, PlatFile* file)
{
    if (!PlatPathExists(path)) {
        MV_REPORT_FAILURE();
        AppendLog(Msg(MSG_FILE_VANISHED));
        AppendLog(path);
        return -1;
    }
    PlatReplace replace;
    if (!PlatReplaceBegin(file, &replace)) {
        ShowError(nullptr, MSG_CANT_OPEN, path, "");
        return -1;
    }
    MV_CHECK(nSize > 5);
    int32_t removed = StripSegments(nSize, data, allApp, WriteToReplacement, &replace);
    if (removed < 0) {
        PlatReplaceAbort(&replace, file);
        ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path, "\r\n");
        return -1;
    }
    if (!PlatReplaceCommit(&replace, file)) {
        ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path, "\r\n");
        return -1;
    }
    AppendReport(allApp ? MSG_APP_REMOVED : MSG_XMP_REMOVED, path);
    AppendByteCount(0, removed);
    return removed;
}

//----------------------------------------------------------------------------
// ConvertFile - one file of a run. A failure on one file is logged (or
// shown by the rewrite) and never stops the walk.
int32_t ConvertFile(const char* path, int allApp)
{
    if (!IsJpegCandidate(path)) {
        return -1;
    }
    PlatFile file;
    unsigned char* buffer = nullptr;
    int32_t size = PlatLoadWholeFile(path, &file, &buffer);
    if (size < 0) {
        AppendReport(MSG_CANT_READ, path);
        return -1;
    }
    int32_t removed = -1;
    if (size < 6) {
        AppendReport(MSG_TOO_SMALL, path);
    } else if (buffer[0] != 0xFF || buffer[1] != 0xD8) {
        AppendReport(MSG_HEADER_BROKEN, path);
    } else if (HasRemovableSegment(size, buffer, allApp)) {
        removed = RewriteStripped(size, path, buffer, allApp, &file);
    } else {
        AppendReport(allApp ? MSG_NO_APP : MSG_NO_XMP, path);
    }
    PlatCloseFile(&file);
    TrackedFree(buffer);
    return removed;
}
