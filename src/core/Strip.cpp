// Strip.cpp - the APP-run scan and the strip.
#include "core/Strip.h"

#include <cstring>

#include "support/Track.h"

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
// NextAppSegment - the segment at data[p] of the leading APP run: its whole
// size L + 2 in `*segmentSize` and 1 when it is a whole APP segment; 0 when
// the run ends at p. The run ends at anything that is not FF E0..FF EF, and
// also at a damaged segment: fewer than 4 bytes left (no length field), a
// length below 2 (a length counts itself), or L + 2 bytes running past the
// end. A damaged segment is never cut: it and everything after it are
// copied unchanged, so the scan and the strip both stop there and agree
// that nothing from it on is removable. No byte at or past `size` is read.
static int NextAppSegment(const unsigned char* data, int32_t size, int32_t p, int32_t* segmentSize)
{
    int32_t left = size - p;
    if (left < 4 || data[p] != MARKER_PREFIX || data[p + 1] < MARKER_APP0 || data[p + 1] > MARKER_APP15) {
        return 0;
    }
    int32_t length = (data[p + 2] << 8) | data[p + 3];
    if (length < 2 || length > left - 2) {
        return 0;
    }
    *segmentSize = length + 2;
    return 1;
}

// An Adobe APP14 segment whose payload begins with "Adobe" (7 = the length
// field and those five bytes): it tells decoders how the image data's
// colours are transformed, so it is kept in every mode.
static int IsAdobeSegment(const unsigned char* segment, int32_t segmentSize)
{
    return segment[1] == MARKER_APP14 && segmentSize - 2 >= 7 && memcmp(segment + 4, "Adobe", 5) == 0;
}

// Whether the mode removes the whole segment at `segment`.
static int IsRemovable(const unsigned char* segment, int32_t segmentSize, int allApp)
{
    if (allApp) {
        return !IsAdobeSegment(segment, segmentSize);
    }
    return FindBytes(segment + 4, segmentSize - 4, XMP_SIGNATURE, XMP_SIGNATURE_LENGTH) != -1;
}

//----------------------------------------------------------------------------
int HasRemovableSegment(int32_t nSize, const unsigned char* data, int allApp)
{
    MV_CHECK(nSize > 5);
    int32_t segmentSize = 0;
    for (int32_t p = 2; NextAppSegment(data, nSize, p, &segmentSize); p += segmentSize) {
        if (IsRemovable(data + p, segmentSize, allApp)) {
            return 1;
        }
    }
    return 0;
}

//----------------------------------------------------------------------------
// StripSegments - the output is the input with the removed segments cut
// out, so it is a few long ranges of the input; each is handed over whole.
int32_t StripSegments(int32_t size, const unsigned char* data, int allApp, StripWriter write, void* context)
{
    int32_t kept = 0;  // start of the range not yet written
    int32_t removed = 0;
    int32_t p = 2;
    int32_t segmentSize = 0;
    for (; NextAppSegment(data, size, p, &segmentSize); p += segmentSize) {
        if (IsRemovable(data + p, segmentSize, allApp)) {
            if (p > kept && !write(context, data + kept, p - kept)) {
                return -1;
            }
            kept = p + segmentSize;
            removed += segmentSize;
        }
    }
    // A file that ends with its APP run leaves nothing after it: counted as
    // a failed (empty) write, so the file keeps its content.
    if (p == size) {
        return -1;
    }
    if (!write(context, data + kept, size - kept)) {
        return -1;
    }
    return removed;
}
