// FuzzCopy.cpp - libFuzzer target for the copy a rewrite in place keeps
// beside a photo (platform/Copy.h). Any bytes handed to CopyParse are read
// only inside them, and a record that parses lies inside them. A copy made
// from the input (its old content, a new one cut out of it) parses back to
// what was written, and not once a byte of it is changed; a photo
// made of its regions, old and new, is judged a mix, and one with a byte
// that is neither, or of another size, changed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Copy.h"
#include "support/Hash.h"

#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            fprintf(stderr, "invariant failed: %s (line %d)\n", #cond, __LINE__); \
            abort();                                                               \
        }                                                                          \
    } while (0)

static int Collect(void* context, const unsigned char* bytes, int32_t count)
{
    ((std::string*)context)->append((const char*)bytes, (size_t)count);
    return 1;
}

static int Judge(const std::string& photo, const CopyRecord* record, const std::string& copy)
{
    // An exact-size block, so that a read past the photo's end is caught.
    unsigned char* bytes = (unsigned char*)malloc(photo.size() + 1);
    memcpy(bytes, photo.data(), photo.size());
    int verdict = CopyJudge(bytes, (int64_t)photo.size(), record, (const unsigned char*)copy.data());
    free(bytes);
    return verdict;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Whatever the bytes, parsing stays inside them.
    unsigned char* exact = (unsigned char*)malloc(size + 1);
    memcpy(exact, data, size);
    CopyRecord parsed;
    if (CopyParse(exact, (int64_t)size, &parsed)) {
        CHECK(parsed.newSize + CopyRecordBytes(parsed.oldSize, parsed.newSize, parsed.nameLength) == (int64_t)size);
        CHECK((const unsigned char*)parsed.name == exact + parsed.newSize);
    }
    free(exact);
    if (size < 8 || size > (1 << 20)) {
        return 0;
    }

    // A copy made from the input: the old content is FF D8 and the input;
    // the new one lacks a slice of it, as a strip would.
    std::string old = "\xFF\xD8" + std::string((const char*)data + 4, size - 4);
    size_t cut = 2 + (data[0] | data[1] << 8) % (old.size() - 2);
    size_t length = std::min(old.size() - cut, (size_t)(data[2] | data[3] << 8));
    std::string next = old.substr(0, cut) + old.substr(cut + length);
    CopyRecord record = {{1, {2, 3}}, (int64_t)old.size(), (int64_t)next.size(), "photo.jpg", 9,
                         CopyRegions((int64_t)old.size(), (int64_t)next.size()), nullptr};
    std::string copy = next;
    CHECK(CopyWriteRecord(&record, (const unsigned char*)old.data(), HashBytes(next.data(), next.size()), Collect,
                          &copy));
    CopyRecord back;
    CHECK(CopyParse((const unsigned char*)copy.data(), (int64_t)copy.size(), &back));
    CHECK(back.oldSize == record.oldSize && back.newSize == record.newSize && back.id.file[1] == 3 &&
          std::string(back.name, back.nameLength) == "photo.jpg");
    // A copy with one byte of its tail changed (its lengths are checked
    // before they are used), or of its content: it proves nothing.
    for (size_t at : {copy.size() - COPY_TAIL_BYTES + data[5] % COPY_TAIL_BYTES, (size_t)data[6] % next.size()}) {
        std::string damaged = copy;
        damaged[at] ^= (char)(data[7] | 1);
        unsigned char* block = (unsigned char*)malloc(damaged.size());
        memcpy(block, damaged.data(), damaged.size());
        CHECK(!CopyParse(block, (int64_t)damaged.size(), &parsed));
        free(block);
    }

    CHECK(Judge(old, &back, copy) == (old == next ? COPY_PHOTO_NEW : COPY_PHOTO_OLD));
    CHECK(Judge(next, &back, copy) == COPY_PHOTO_NEW);
    // A mix: each region old or new, as the input's bits choose, at either size.
    std::string mix = (data[2] & 1) ? old : next;
    int64_t region = 0;
    for (int64_t at = 0, end; at < (int64_t)mix.size(); at = end, region++) {
        end = CopyRegionEnd(at, record.oldSize, record.newSize);
        if (end <= record.newSize && (data[4 + region % (size - 4)] >> (region % 8) & 1)) {
            mix.replace((size_t)at, (size_t)(end - at), next, (size_t)at, (size_t)(end - at));
        }
    }
    int verdict = Judge(mix, &back, copy);
    CHECK(verdict != COPY_PHOTO_CHANGED);
    mix[0] = mix[1] = 0;  // the header held while it is rewritten
    CHECK(Judge(mix, &back, copy) == COPY_PHOTO_MIXED);
    // A byte that is neither old nor new there, or another size: changed.
    CHECK(Judge(old + "x", &back, copy) == COPY_PHOTO_CHANGED);
    if (mix.size() > 2) {
        size_t at = 2 + data[3] % (mix.size() - 2);
        unsigned char other = (unsigned char)(old[at] + 1);
        other = at < next.size() && other == (unsigned char)next[at] ? (unsigned char)(other + 1) : other;
        mix[at] = (char)other;
        CHECK(Judge(mix, &back, copy) == COPY_PHOTO_CHANGED);
    }
    return 0;
}
