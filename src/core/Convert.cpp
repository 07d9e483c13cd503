// Convert.cpp - the per-file step of the drop pass and of a run.
#include "core/Convert.h"

#include <cstring>

#include "core/Catalogue.h"
#include "core/Log.h"
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
// recycle-bin test (InDriveRecycleBin).

// A drive's recycle bin is "X:\$Recycle.Bin\...", so the word stands at
// positions 4 to 10 of the path; no other position is examined. On Linux
// the rule matches nothing real: the desktop's Trash is a folder like any
// other, and its photos are candidates.
static int InDriveRecycleBin(const char* path, size_t length)
{
    return length > 10 && EqualsFolded(path + 4, "recycle", 7);
}

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
    return !InDriveRecycleBin(path, n);
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

// The new content once more, from the file in memory: the strip is a pure
// function of the bytes, so it gives the same bytes every time. A photo
// rewritten in place is written from it, never from what a file system
// hands back.
struct Stripped {
    int32_t size;
    const unsigned char* data;
    int allApp;
};

static int ProduceStripped(void* source, PlatSink sink, void* context)
{
    const Stripped* stripped = (const Stripped*)source;
    return StripSegments(stripped->size, stripped->data, stripped->allApp, sink, context) >= 0;
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
    Stripped stripped = {nSize, data, allApp};
    PlatContent content = {data, nSize, ProduceStripped, &stripped};
    if (!PlatReplaceCommit(&replace, file, &content)) {
        ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path, "\r\n");
        return -1;
    }
    AppendReport(allApp ? MSG_APP_REMOVED : MSG_XMP_REMOVED, path);
    AppendByteCount(0, removed);
    return removed;
}

//----------------------------------------------------------------------------
// Leftovers of an interrupted rewrite.

// Whether the bytes handed over begin like `bytes`, over the length the two
// have in common, and how many there were.
struct Prefix {
    const unsigned char* bytes;
    int32_t size;
    int64_t length;
    int equal;
};

static int ComparePrefix(void* context, const unsigned char* bytes, int32_t count)
{
    Prefix* prefix = (Prefix*)context;
    int64_t common = prefix->size - prefix->length;
    common = common < count ? common : count;
    if (common > 0 && memcmp(prefix->bytes + prefix->length, bytes, (size_t)common) != 0) {
        prefix->equal = 0;
    }
    prefix->length += count;
    return 1;
}

// A leftover without a record holds nothing that the photo cannot give
// again when it is the photo's new content in one of the modes, whole or
// cut short, or whole with no more after it than a copy's record: what an
// interrupted rewrite leaves before the photo is touched.
static int HoldsNothingNeeded(const PlatLeftover* leftover, const unsigned char* data, int32_t size)
{
    if (size < 6 || data[0] != 0xFF || data[1] != 0xD8) {
        return 0;
    }
    for (int allApp = 0; allApp <= 1; allApp++) {
        Prefix prefix = {leftover->bytes, leftover->size, 0, 1};
        if (StripSegments(size, data, allApp, ComparePrefix, &prefix) >= 0 && prefix.equal &&
            (leftover->size <= prefix.length || leftover->size - prefix.length <= PlatCopyRecordMax(size, prefix.length))) {
            return 1;
        }
    }
    return 0;
}

// The repair from a copy, and its line. The photo is read again once it
// was put together. 1 when the photo's step goes on; 0 when the photo is
// to be left as it is (a copy that does not fit it, a failed repair).
static int Repair(const char* path, PlatFile* file, unsigned char** buffer, int32_t* size, PlatLeftover* leftover)
{
    int result = PlatRepair(file, *buffer, *size, leftover);
    if (result == PLAT_REPAIR_KEPT) {
        AppendReport(MSG_LEFTOVER_KEPT, leftover->path);
        return 0;
    }
    if (result == PLAT_REPAIR_FAILED) {
        ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path, "\r\n");
        return 0;
    }
    if (result == PLAT_REPAIR_DONE) {
        AppendReport(MSG_REPAIRED, path);
        PlatCloseFile(file);
        TrackedFree(*buffer);
        *buffer = nullptr;
        *size = PlatLoadWholeFile(path, file, buffer);
        if (*size < 0) {
            AppendReport(MSG_CANT_READ, path);
            return 0;
        }
    }
    return 1;
}

// Before anything else is done with a photo, the leftover that an
// interrupted rewrite of it may have left beside it is settled: a copy puts
// it together, or keeps it as it is when it was changed since; new content
// that the photo can give again goes; anything else stays, reported.
static int SettleLeftover(const char* path, PlatFile* file, unsigned char** buffer, int32_t* size)
{
    PlatLeftover leftover;
    int kind = PlatFindLeftover(file, &leftover);
    int goOn = 1;
    if (kind == PLAT_LEFTOVER_PLAIN && HoldsNothingNeeded(&leftover, *buffer, *size)) {
        PlatRemoveLeftover(&leftover);
    } else if (kind == PLAT_LEFTOVER_PLAIN) {
        AppendReport(MSG_LEFTOVER_KEPT, leftover.path);
    } else if (kind == PLAT_LEFTOVER_COPY) {
        goOn = Repair(path, file, buffer, size, &leftover);
    }
    PlatCloseLeftover(&leftover);
    return goOn;
}

// A leftover that the walk met. A copy is settled here as its photo's step
// would settle it (the photo may come later in the walk, or have been met
// by another of its names); one without a record is its photo's to settle,
// unless no photo beside it can give it again: then it is reported.
static void MeetLeftover(const char* path)
{
    PlatLeftover leftover;
    int kind = PlatOpenLeftover(path, &leftover);
    if (kind == PLAT_LEFTOVER_COPY) {
        char* photoPath = PlatLeftoverPhotoPath(&leftover);
        PlatFile file;
        PlatInitFile(&file);
        unsigned char* buffer = nullptr;
        int32_t size = photoPath && PlatPathExists(photoPath) ? PlatLoadWholeFile(photoPath, &file, &buffer) : -1;
        if (size < 0) {
            AppendReport(MSG_LEFTOVER_KEPT, path);
        } else {
            Repair(photoPath, &file, &buffer, &size, &leftover);
        }
        PlatCloseFile(&file);
        TrackedFree(buffer);
        TrackedFree(photoPath);
    } else if (kind == PLAT_LEFTOVER_PLAIN && PlatLeftoverOrphaned(&leftover)) {
        AppendReport(MSG_LEFTOVER_KEPT, path);
    }
    PlatCloseLeftover(&leftover);
}

//----------------------------------------------------------------------------
// ConvertFile - one file of a run. A failure on one file is logged (or
// shown by the rewrite) and never stops the walk.
int32_t ConvertFile(const char* path, int allApp)
{
    if (PlatIsLeftoverPath(path)) {
        MeetLeftover(path);
        return -1;
    }
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
    if (!SettleLeftover(path, &file, &buffer, &size)) {
        // left as it is; the line was given
    } else if (size < 6) {
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
