// Copy.h - the copy that a rewrite in place keeps beside a photo until the
// photo is whole again: its format, and how a photo is judged against it.
// Bytes in, fields and verdicts out: no files, no system calls, so that the
// fuzzer can reach every byte of it.
//
// A copy is the photo's new content followed by its record:
//   - the photo's name in its folder (UTF-8, no terminator);
//   - one fingerprint per region of the old content (64-bit hashes);
//   - the tail, COPY_TAIL_BYTES long, all numbers little-endian:
//        0  "MLVXCOPY"
//        8  u32 format (1), u32 region size (COPY_REGION)
//       16  u64 volume, u64 file[0], u64 file[1]: the photo's identity
//       40  i64 old size, i64 new size
//       56  u32 name length, u32 number of regions
//       64  u64 hash of the new content
//       72  u64 hash of the record up to here (name, fingerprints, tail)
//       80  "MLVXDONE"
// The regions cut the old content at every multiple of COPY_REGION and at
// the new size. A rewrite in place never writes past the new size, so a
// region before it holds, after an interruption at any moment, the old
// bytes or the new ones, and a region after it the old bytes or nothing.
// The first two bytes are FF D8 in both; the rewrite keeps them 00 00
// until the photo is whole again, and the fingerprints read them as FF D8.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

constexpr int64_t COPY_REGION = 4096;
constexpr int64_t COPY_TAIL_BYTES = 88;

// What a copy's record holds; pointers into the copy's bytes.
struct CopyRecord {
    PlatFileId id;       // the photo's
    int64_t oldSize;     // the photo before the rewrite
    int64_t newSize;     // and after it: the bytes before the record
    const char* name;    // the photo's name in its folder
    uint32_t nameLength;
    int64_t regions;
    const unsigned char* fingerprints;  // 8 bytes a region
};

// CopyRegions - how many regions an old content of `oldSize` bytes has
// when the new one has `newSize` (newSize <= oldSize).
int64_t CopyRegions(int64_t oldSize, int64_t newSize);
// CopyRegionEnd - where the region that begins at `at` ends.
int64_t CopyRegionEnd(int64_t at, int64_t oldSize, int64_t newSize);
// CopyRegionHash - the fingerprint of bytes[at..end), the first two bytes
// of the file read as FF D8.
uint64_t CopyRegionHash(const unsigned char* bytes, int64_t at, int64_t end);
// CopyRecordBytes - the size of the record after the new content.
int64_t CopyRecordBytes(int64_t oldSize, int64_t newSize, uint32_t nameLength);

// CopyWriteRecord - hands the record of `record` (whose fingerprints are
// computed here from `old`, the old content) to `sink`, in pieces; 1 when
// the sink took all of it. `newHash` is the HashBytes of the new content.
int CopyWriteRecord(const CopyRecord* record, const unsigned char* old, uint64_t newHash, PlatSink sink,
                    void* context);

// CopyParse - 1 when `bytes` (`size` of them) are a copy that proves
// itself: a whole tail, lengths that add up to `size` exactly, a plain
// name (no separator, not "." or ".."), the record's own hash and the new
// content's hash; `record` then points into `bytes`. 0 otherwise.
int CopyParse(const unsigned char* bytes, int64_t size, CopyRecord* record);

// What a photo is, against its copy.
enum CopyVerdict {
    COPY_PHOTO_OLD,      // exactly the old content: the rewrite never began
    COPY_PHOTO_NEW,      // exactly the new content: it ended
    COPY_PHOTO_MIXED,    // every region old or new, the header maybe 00 00: put it together
    COPY_PHOTO_CHANGED   // anything else: changed since, and never touched
};

// CopyJudge - the verdict on the photo's bytes (`photoSize` of them)
// against `record` and the copy's new content `newBytes`.
int CopyJudge(const unsigned char* photo, int64_t photoSize, const CopyRecord* record, const unsigned char* newBytes);
