// Strip.cpp - the APP-run scan and the rewrite without removable segments.
#include "core/Strip.h"

#include <cstring>

#include "core/Catalogue.h"
#include "platform/Platform.h"
#include "platform/Ui.h"
#include "support/Track.h"

std::atomic<int> g_allAppMode{0};
std::atomic<int32_t> g_totalRemoved{0};
std::atomic<int> g_anyConverted{0};

static const char XMP_SIGNATURE[] = "xmpmeta";
constexpr int32_t XMP_SIGNATURE_LENGTH = 7;
static_assert(sizeof(XMP_SIGNATURE) == XMP_SIGNATURE_LENGTH + 1, "no terminator in the search");

constexpr unsigned char MARKER_PREFIX = 0xFF;
constexpr unsigned char MARKER_APP0 = 0xE0;   // first APP marker
constexpr unsigned char MARKER_APP14 = 0xEE;  // Adobe's colour segment
constexpr unsigned char MARKER_APP15 = 0xEF;  // last APP marker

//----------------------------------------------------------------------------
// FindBytes - plain forward scan, four bytes compared at a time, then the
// remaining one to three bytes of the needle.
int32_t FindBytes(const unsigned char* haystack, int32_t count, const char* needle, int32_t len)
{
    if (len < 0 || count < len) {
        return -1;
    }
    const unsigned char* want = (const unsigned char*)needle;
    int32_t whole = len & ~3;
    for (int32_t n = 0; n <= count - len; n++) {
        const unsigned char* at = haystack + n;
        int32_t i = 0;
        while (i < whole && memcmp(at + i, want + i, 4) == 0) {
            i += 4;
        }
        if (i < whole) {
            continue;
        }
        while (i < len && at[i] == want[i]) {
            i++;
        }
        if (i == len) {
            return n;
        }
    }
    return -1;
}

//----------------------------------------------------------------------------
// Helpers for one segment at data[p], with n bytes remaining from p.

// An APP marker: FF followed by E0..EF. The caller has checked n >= 2.
static int IsAppMarker(const unsigned char* at)
{
    return at[0] == MARKER_PREFIX && at[1] >= MARKER_APP0 && at[1] <= MARKER_APP15;
}

// The segment's length field, or -1 when the segment is not whole: its two
// length bytes missing, L below 2 (a length counts itself, so a smaller one
// is damage), or L + 2 bytes running past the end of the data.
static int32_t WholeSegmentLength(const unsigned char* at, int32_t n)
{
    if (n < 4) {
        return -1;  // no byte beyond the end is read
    }
    int32_t length = (at[2] << 8) | at[3];
    if (length < 2 || n - 2 < length) {
        return -1;
    }
    return length;
}

// An Adobe APP14 segment, whole, with a payload that begins with "Adobe":
// it tells decoders how the image data's colours are transformed, so it is
// kept in every mode.
static int IsAdobeSegment(const unsigned char* at, int32_t length)
{
    return at[1] == MARKER_APP14 && length >= 7 && memcmp(at + 4, "Adobe", 5) == 0;
}

// Whether the current mode removes the whole segment at `at`.
static int IsRemovable(const unsigned char* at, int32_t length)
{
    if (g_allAppMode.load()) {
        return !IsAdobeSegment(at, length);
    }
    return FindBytes(at + 4, length - 2, XMP_SIGNATURE, XMP_SIGNATURE_LENGTH) != -1;
}

//----------------------------------------------------------------------------
// HasRemovableSegment - walks the leading APP run. In all-APP mode the first
// APP segment that is not a whole Adobe segment is enough, whatever its
// length; in XMP mode a segment that is not whole ends the scan, since the
// rewrite would copy it and everything after it unchanged.
int HasRemovableSegment(int32_t nSize, const unsigned char* data)
{
    MV_CHECK(nSize > 5);
    int32_t p = 2;  // just past FF D8
    int32_t n = nSize - 2;
    while (n >= 2 && IsAppMarker(data + p)) {
        int32_t length = WholeSegmentLength(data + p, n);
        if (g_allAppMode.load()) {
            if (length < 0 || !IsAdobeSegment(data + p, length)) {
                return 1;
            }
        } else {
            if (length < 0) {
                return 0;
            }
            if (IsRemovable(data + p, length)) {
                return 1;
            }
        }
        p += length + 2;
        n -= length + 2;
    }
    return 0;
}

//----------------------------------------------------------------------------
// StripSegments - the output is the input with the removed segments cut
// out, so it is a few long ranges of the input; each is handed over whole.
int StripSegments(int32_t size, const unsigned char* data, StripWriter write, void* context, int32_t* removed)
{
    int32_t kept = 0;  // start of the range not yet written
    int32_t p = 2;
    int32_t n = size - 2;
    int32_t dropped = 0;
    *removed = 0;
    while (n >= 4 && IsAppMarker(data + p)) {
        int32_t length = WholeSegmentLength(data + p, n);
        if (length < 0) {
            break;  // this segment and all after it are copied unchanged
        }
        if (IsRemovable(data + p, length)) {
            if (p > kept && !write(context, data + kept, p - kept)) {
                return 0;
            }
            kept = p + length + 2;
            dropped += length + 2;
        }
        p += length + 2;
        n -= length + 2;
    }
    // A file that ends with its APP run leaves nothing after it: counted as
    // a failed (empty) write, so the file keeps its content.
    if (n == 0) {
        return 0;
    }
    if (!write(context, data + kept, size - kept)) {
        return 0;
    }
    *removed = dropped;
    return 1;
}

static int WriteToReplacement(void* context, const unsigned char* bytes, int32_t count)
{
    return PlatReplaceWrite((PlatReplace*)context, bytes, count);
}

//----------------------------------------------------------------------------
// RewriteStripped - writes the new content to a temporary file beside the
// original and puts it in the original's place only when all of it was
// written, so a failure, a full disk or a stop midway never damages a photo.
void RewriteStripped(int32_t nSize, const char* path, const unsigned char* data)
{
    if (!PlatPathExists(path)) {
        MV_REPORT_FAILURE();
        AppendLog(Msg(MSG_FILE_VANISHED));
        AppendLog(path);
        return;
    }
    PlatReplace replace;
    if (!PlatReplaceBegin(path, &replace)) {
        ShowError(nullptr, MSG_CANT_OPEN, path, "");
        return;
    }
    MV_CHECK(nSize > 5);
    int32_t removed = 0;
    if (!StripSegments(nSize, data, WriteToReplacement, &replace, &removed)) {
        PlatReplaceAbort(&replace);
        ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path, "\r\n");
        return;
    }
    if (!PlatReplaceCommit(&replace, path)) {
        ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path, "\r\n");
        return;
    }
    AppendReport(g_allAppMode.load() ? MSG_APP_REMOVED : MSG_XMP_REMOVED, path);
    AppendByteCount(0, removed);
    // The run's total saturates instead of overflowing its signed 32 bits.
    int32_t total = g_totalRemoved.load();
    g_totalRemoved.store(removed > INT32_MAX - total ? INT32_MAX : total + removed);
    g_anyConverted.store(1);
}
