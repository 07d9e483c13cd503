// Copy.cpp - the copy's format and the judgement of a photo against it.
#include "platform/Copy.h"

#include <cstring>

#include "support/Hash.h"

static const char TAIL_START[8] = {'M', 'L', 'V', 'X', 'C', 'O', 'P', 'Y'};
static const char TAIL_END[8] = {'M', 'L', 'V', 'X', 'D', 'O', 'N', 'E'};
constexpr uint32_t COPY_FORMAT = 1;
constexpr int64_t RECORD_HASH_AT = 72;  // the record's hash covers everything before it
static const unsigned char SOI[2] = {0xFF, 0xD8};

static void Put(unsigned char* at, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; i++) {
        at[i] = (unsigned char)(value >> (8 * i));
    }
}

static uint64_t Get(const unsigned char* at, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; i--) {
        value = (value << 8) | at[i];
    }
    return value;
}

//----------------------------------------------------------------------------
static int64_t CeilDiv(int64_t value, int64_t by)
{
    return (value + by - 1) / by;
}

int64_t CopyRegions(int64_t oldSize, int64_t newSize)
{
    return CeilDiv(newSize, COPY_REGION) + (oldSize > newSize ? CeilDiv(oldSize, COPY_REGION) - newSize / COPY_REGION : 0);
}

int64_t CopyRegionEnd(int64_t at, int64_t oldSize, int64_t newSize)
{
    int64_t end = (at / COPY_REGION + 1) * COPY_REGION;
    if (at < newSize && newSize < end) {
        end = newSize;
    }
    return end < oldSize ? end : oldSize;
}

uint64_t CopyRegionHash(const unsigned char* bytes, int64_t at, int64_t end)
{
    HashState state;
    HashBegin(&state);
    if (at == 0 && end >= 2) {
        HashAdd(&state, SOI, 2);
        at = 2;
    }
    HashAdd(&state, bytes + at, (size_t)(end - at));
    return HashEnd(&state);
}

int64_t CopyRecordBytes(int64_t oldSize, int64_t newSize, uint32_t nameLength)
{
    return (int64_t)nameLength + 8 * CopyRegions(oldSize, newSize) + COPY_TAIL_BYTES;
}

struct RecordSink {
    PlatSink sink;
    void* context;
    HashState hash;  // of the record so far
};

static int Hand(RecordSink* out, const unsigned char* bytes, int64_t count)
{
    HashAdd(&out->hash, bytes, (size_t)count);
    return out->sink(out->context, bytes, (int32_t)count);
}

int CopyWriteRecord(const CopyRecord* record, const unsigned char* old, uint64_t newHash, PlatSink sink,
                    void* context)
{
    RecordSink out = {sink, context, {}};
    HashBegin(&out.hash);
    if (!Hand(&out, (const unsigned char*)record->name, record->nameLength)) {
        return 0;
    }
    // The fingerprints, a few hundred at a time.
    unsigned char block[4096];
    int64_t used = 0;
    for (int64_t at = 0, end; at < record->oldSize; at = end) {
        end = CopyRegionEnd(at, record->oldSize, record->newSize);
        Put(block + used, CopyRegionHash(old, at, end), 8);
        used += 8;
        if (used == (int64_t)sizeof(block) || end == record->oldSize) {
            if (!Hand(&out, block, used)) {
                return 0;
            }
            used = 0;
        }
    }
    unsigned char tail[COPY_TAIL_BYTES];
    memcpy(tail, TAIL_START, 8);
    Put(tail + 8, COPY_FORMAT, 4);
    Put(tail + 12, (uint64_t)COPY_REGION, 4);
    Put(tail + 16, record->id.volume, 8);
    Put(tail + 24, record->id.file[0], 8);
    Put(tail + 32, record->id.file[1], 8);
    Put(tail + 40, (uint64_t)record->oldSize, 8);
    Put(tail + 48, (uint64_t)record->newSize, 8);
    Put(tail + 56, record->nameLength, 4);
    Put(tail + 60, (uint64_t)record->regions, 4);
    Put(tail + 64, newHash, 8);
    HashAdd(&out.hash, tail, RECORD_HASH_AT);
    Put(tail + RECORD_HASH_AT, HashEnd(&out.hash), 8);
    memcpy(tail + 80, TAIL_END, 8);
    return sink(context, tail, (int32_t)COPY_TAIL_BYTES);
}

// A name that stays inside the copy's folder: not empty, no separator, no
// terminator inside, not "." or "..".
static int IsPlainName(const char* name, uint32_t length)
{
    if (length == 0 || length > PLAT_NAME_BYTES || (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')))) {
        return 0;
    }
    for (uint32_t i = 0; i < length; i++) {
        if (name[i] == '\0' || PlatIsSeparator(name[i]) || name[i] == ':') {
            return 0;
        }
    }
    return 1;
}

int CopyParse(const unsigned char* bytes, int64_t size, CopyRecord* record)
{
    if (size < COPY_TAIL_BYTES) {
        return 0;
    }
    const unsigned char* tail = bytes + size - COPY_TAIL_BYTES;
    if (memcmp(tail, TAIL_START, 8) != 0 || memcmp(tail + 80, TAIL_END, 8) != 0 || Get(tail + 8, 4) != COPY_FORMAT ||
        Get(tail + 12, 4) != (uint64_t)COPY_REGION) {
        return 0;
    }
    // Every length is checked against the bytes there are before it is used.
    uint64_t oldSize = Get(tail + 40, 8), newSize = Get(tail + 48, 8);
    uint32_t nameLength = (uint32_t)Get(tail + 56, 4);
    uint64_t regions = Get(tail + 60, 4);
    if (oldSize > (uint64_t)INT32_MAX || newSize > oldSize || newSize < 2 || nameLength > PLAT_NAME_BYTES ||
        regions != (uint64_t)CopyRegions((int64_t)oldSize, (int64_t)newSize) ||
        (int64_t)newSize + CopyRecordBytes((int64_t)oldSize, (int64_t)newSize, nameLength) != size) {
        return 0;
    }
    const unsigned char* name = bytes + newSize;
    if (memcmp(bytes, SOI, 2) != 0 || !IsPlainName((const char*)name, nameLength) ||
        HashBytes(name, (size_t)(size - (int64_t)newSize - COPY_TAIL_BYTES + RECORD_HASH_AT)) !=
            Get(tail + RECORD_HASH_AT, 8) ||
        HashBytes(bytes, (size_t)newSize) != Get(tail + 64, 8)) {
        return 0;
    }
    record->id.volume = Get(tail + 16, 8);
    record->id.file[0] = Get(tail + 24, 8);
    record->id.file[1] = Get(tail + 32, 8);
    record->oldSize = (int64_t)oldSize;
    record->newSize = (int64_t)newSize;
    record->name = (const char*)name;
    record->nameLength = nameLength;
    record->regions = (int64_t)regions;
    record->fingerprints = name + nameLength;
    return 1;
}

//----------------------------------------------------------------------------
// Region by region: new when it equals the new content there, old when its
// fingerprint is the old one's (a region before the first removed segment
// is both). The header counts as FF D8 when it is 00 00, and then the photo
// is not yet whole, whatever its regions are.
int CopyJudge(const unsigned char* photo, int64_t photoSize, const CopyRecord* record, const unsigned char* newBytes)
{
    int64_t oldSize = record->oldSize, newSize = record->newSize;
    if ((photoSize != oldSize && photoSize != newSize) || photoSize < 2) {
        return COPY_PHOTO_CHANGED;
    }
    int poisoned = photo[0] == 0 && photo[1] == 0;
    if (!poisoned && memcmp(photo, SOI, 2) != 0) {
        return COPY_PHOTO_CHANGED;
    }
    int allOld = photoSize == oldSize && !poisoned;
    int allNew = photoSize == newSize && !poisoned;
    const unsigned char* fingerprint = record->fingerprints;
    for (int64_t at = 0; at < oldSize; at = CopyRegionEnd(at, oldSize, newSize), fingerprint += 8) {
        if (at >= photoSize) {
            break;  // cut off at the new size: only old regions lay there
        }
        int64_t end = CopyRegionEnd(at, oldSize, newSize);
        int64_t skip = at == 0 ? 2 : 0;  // the header, judged above
        int isNew = end <= newSize && memcmp(photo + at + skip, newBytes + at + skip, (size_t)(end - at - skip)) == 0;
        int isOld = CopyRegionHash(photo, at, end) == Get(fingerprint, 8);
        if (!isNew && !isOld) {
            return COPY_PHOTO_CHANGED;
        }
        allOld = allOld && isOld;
        allNew = allNew && isNew;
    }
    return allNew ? COPY_PHOTO_NEW : allOld ? COPY_PHOTO_OLD : COPY_PHOTO_MIXED;
}
