// FuzzStrip.cpp - libFuzzer target for the APP-run scan and the strip, in
// both modes, over arbitrary bytes after FF D8. The strip's output is taken
// as the ranges of the input that it hands over, and checked against an
// independent reading of the leading APP run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/Strip.h"

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "invariant failed: %s (line %d)\n", #cond, __LINE__); \
            abort();                                                  \
        }                                                             \
    } while (0)

struct Range {
    int32_t start;
    int32_t count;
};

struct Collected {
    const unsigned char* base;
    std::vector<Range> ranges;
};

static int Collect(void* context, const unsigned char* bytes, int32_t count)
{
    Collected* out = (Collected*)context;
    out->ranges.push_back({(int32_t)(bytes - out->base), count});
    return 1;
}

// The leading run as the file format defines it: whole APP segments after
// FF D8, up to the first byte pair that is not an APP marker or the first
// segment whose length is below 2 or runs past the end.
struct Seg {
    int32_t start;
    int32_t size;
};

static std::vector<Seg> LeadingRun(const unsigned char* data, int32_t size)
{
    std::vector<Seg> run;
    int64_t p = 2;
    while (p + 4 <= size && data[p] == 0xFF && data[p + 1] >= 0xE0 && data[p + 1] <= 0xEF) {
        int64_t length = (data[p + 2] << 8) | data[p + 3];
        if (length < 2 || p + 2 + length > size) {
            break;
        }
        run.push_back({(int32_t)p, (int32_t)(length + 2)});
        p += length + 2;
    }
    return run;
}

static bool HasXmp(const unsigned char* segment, int32_t size)
{
    return memmem(segment + 4, (size_t)(size - 4), "xmpmeta", 7) != nullptr;
}

static bool IsAdobe(const unsigned char* segment, int32_t size)
{
    return segment[1] == 0xEE && size >= 9 && memcmp(segment + 4, "Adobe", 5) == 0;
}

static void CheckMode(int allApp, const unsigned char* data, int32_t size)
{
    int removable = HasRemovableSegment(size, data, allApp);
    Collected out{data, {}};
    int32_t removed = StripSegments(size, data, allApp, Collect, &out);
    int ok = removed >= 0;
    std::vector<Seg> run = LeadingRun(data, size);
    int32_t runEnd = run.empty() ? 2 : run.back().start + run.back().size;

    if (!ok) {
        // Only a file that ends with its APP run fails with a faultless writer.
        CHECK(runEnd == size);
        return;
    }
    // The ranges are in order, cover byte 0 and the end, and every gap
    // between them is a sequence of whole segments of the leading run.
    CHECK(!out.ranges.empty());
    CHECK(out.ranges.front().start == 0);
    CHECK(out.ranges.back().start + out.ranges.back().count == size);
    int32_t written = 0;
    size_t next = 0;  // index into run
    int32_t at = 0;
    std::vector<bool> dropped(run.size(), false);
    for (const Range& range : out.ranges) {
        CHECK(range.count > 0);
        CHECK(range.start >= at);
        int32_t gapEnd = range.start;
        while (at < gapEnd) {  // walk the gap segment by segment
            while (next < run.size() && run[next].start < at) {
                next++;
            }
            CHECK(next < run.size() && run[next].start == at);
            dropped[next] = true;
            at += run[next].size;
            CHECK(at <= runEnd);  // nothing at or after the first non-APP marker is cut
        }
        at = range.start + range.count;
        written += range.count;
    }
    CHECK(removed == size - written);
    for (size_t i = 0; i < run.size(); i++) {
        const unsigned char* segment = data + run[i].start;
        if (!allApp) {
            CHECK(dropped[i] == HasXmp(segment, run[i].size));
        } else if (!dropped[i]) {
            CHECK(IsAdobe(segment, run[i].size));
        }
    }
    // The scan and the strip agree, in both modes.
    CHECK(removable == (removed > 0));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t count)
{
    if (count + 2 > 1 << 24) {
        return 0;
    }
    // An exact-size copy behind FF D8, so any read past the end is caught.
    size_t size = count + 2;
    unsigned char* data = (unsigned char*)malloc(size);
    data[0] = 0xFF;
    data[1] = 0xD8;
    if (count > 0) {
        memcpy(data + 2, bytes, count);
    }
    if (size > 5) {
        CheckMode(0, data, (int32_t)size);
        CheckMode(1, data, (int32_t)size);
    }
    free(data);
    return 0;
}
