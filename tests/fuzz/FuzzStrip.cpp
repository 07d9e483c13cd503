// FuzzStrip.cpp - libFuzzer target for the APP-run scan and the strip, in
// both modes, over arbitrary bytes after FF D8: the strip's output and count
// against an independent reading of the leading run, and the scan against
// the strip.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/Strip.h"

#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            fprintf(stderr, "invariant failed: %s (line %d)\n", #cond, __LINE__); \
            abort();                                                               \
        }                                                                          \
    } while (0)

static int Collect(void* context, const unsigned char* bytes, int32_t count)
{
    CHECK(count > 0);
    ((std::string*)context)->append((const char*)bytes, (size_t)count);
    return 1;
}

// The file as the format reads it: whole APP segments after FF D8, up to the
// first pair that is not an APP marker or the first length below 2 or past
// the end; each is dropped (XMP mode: it holds "xmpmeta"; all-APP mode: it
// is not Adobe's colour segment) or kept, the rest is copied. `*end` is
// where the run ends.
static std::string Expected(const unsigned char* data, int32_t size, int allApp, int32_t* removed, int64_t* end)
{
    std::string out((const char*)data, 2);
    int64_t p = 2;
    *removed = 0;
    while (p + 4 <= size && data[p] == 0xFF && data[p + 1] >= 0xE0 && data[p + 1] <= 0xEF) {
        int64_t n = ((data[p + 2] << 8) | data[p + 3]) + 2;
        if (n < 4 || p + n > size) {
            break;
        }
        const unsigned char* segment = data + p;
        bool adobe = segment[1] == 0xEE && n >= 9 && memcmp(segment + 4, "Adobe", 5) == 0;
        if (allApp ? !adobe : memmem(segment + 4, (size_t)(n - 4), "xmpmeta", 7) != nullptr) {
            *removed += (int32_t)n;
        } else {
            out.append((const char*)segment, (size_t)n);
        }
        p += n;
    }
    *end = p;
    return out.append((const char*)data + p, (size_t)(size - p));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t count)
{
    if (count < 4 || count > 1 << 24) {
        return 0;
    }
    // An exact-size copy behind FF D8, so any read past the end is caught.
    size_t size = count + 2;
    unsigned char* data = (unsigned char*)malloc(size);
    data[0] = 0xFF;
    data[1] = 0xD8;
    memcpy(data + 2, bytes, count);
    for (int allApp = 0; allApp <= 1; allApp++) {
        std::string out;
        int32_t removed = StripSegments((int32_t)size, data, allApp, Collect, &out), expected;
        int64_t end;
        std::string want = Expected(data, (int32_t)size, allApp, &expected, &end);
        CHECK(HasRemovableSegment((int32_t)size, data, allApp) == (expected > 0));
        if (removed < 0) {
            CHECK(end == (int64_t)size);  // a faultless writer fails only when nothing follows the run
        } else {
            CHECK(removed == expected && out == want);
        }
    }
    free(data);
    return 0;
}
