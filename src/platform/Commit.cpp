// Commit.cpp - the rewrite's commit and the repair, written once for every
// system: the order of the steps, the choice between replacing the photo
// and rewriting it in place, what is kept after each failure, the copy
// that lies beside a photo while it is rewritten in place, and the repair
// that a later run makes from that copy. Each system supplies the steps
// themselves (Backend.h).
//
// Whatever moment the program is ended at, the photo's name holds its old
// bytes or its new ones, except while it is rewritten in place (or, on
// Windows, inside the system's own two-step replacement): then a complete,
// flushed copy of the new content, with a record that proves it
// (platform/Copy.h), lies beside it under the name derived from its
// identity, and the next run that meets the photo or the copy puts the
// photo together again.
#include <cstring>

#include "platform/Backend.h"
#include "platform/Copy.h"
#include "support/Hash.h"
#include "support/Track.h"

// What became of a commit.
enum Commit {
    COMMIT_DONE,    // the new content is in the photo's place, on the disk
    COMMIT_FAILED,  // the photo is untouched; the temporary file goes
    COMMIT_KEPT     // the photo was cleaned but is not known to be on the disk, or is mixed,
                    // or was set aside by the system: what holds the new content stays
};

static void InitReplace(PlatReplace* replace)
{
    replace->handle = -1;
    replace->entry = nullptr;
    replace->path = nullptr;
    replace->aside = nullptr;
    replace->written = 0;
    replace->removeOnClose = 0;
}

static void ReleaseReplace(PlatReplace* replace)
{
    TrackedFree(replace->entry);
    TrackedFree(replace->path);
    TrackedFree(replace->aside);
    replace->entry = replace->path = replace->aside = nullptr;
    replace->handle = -1;
}

static int CreateTemp(PlatFile* file, PlatReplace* replace)
{
    InitReplace(replace);
    if (!BackCreateTemp(file, replace)) {
        ReleaseReplace(replace);
        return 0;
    }
    PlatStep();
    return 1;
}

int PlatReplaceBegin(PlatFile* file, PlatReplace* replace)
{
    InitReplace(replace);
    return !PlatAbandoned() && !PlatFaultHit(PLAT_FAULT_OPEN) && BackMayWrite(file) && CreateTemp(file, replace);
}

// Appends to the temporary file in blocks that end on 64 KiB boundaries of
// the file.
static int WriteBlocks(PlatReplace* replace, const unsigned char* at, uint32_t left)
{
    while (left > 0) {
        uint32_t block = PlatNextWriteBlock(replace->written, left);
        PlatStep();
        if (!BackWriteAt(replace->handle, replace->written, at, block)) {
            return 0;
        }
        at += block;
        left -= block;
        replace->written += block;
    }
    return 1;
}

int PlatReplaceWrite(PlatReplace* replace, const void* data, int32_t size)
{
    return size > 0 && !PlatAbandoned() && !PlatFaultHit(PLAT_FAULT_WRITE) &&
           WriteBlocks(replace, (const unsigned char*)data, (uint32_t)size);
}

// The commit's own writes: a commit under way is finished even when the
// file in hand was abandoned meanwhile.
static int WriteToTemp(void* context, const unsigned char* bytes, int32_t count)
{
    return count > 0 && !PlatFaultHit(PLAT_FAULT_WRITE) && WriteBlocks((PlatReplace*)context, bytes, (uint32_t)count);
}

static int HashSink(void* context, const unsigned char* bytes, int32_t count)
{
    HashAdd((HashState*)context, bytes, (size_t)count);
    return 1;
}

//----------------------------------------------------------------------------
// The rewrite in place, from new content in memory: first the header
// becomes 00 00, so that until the photo is whole again nothing takes it
// for a photo to clean (a run that meets it by another of its names,
// another copy of the program); then every byte after the header, in the
// same 64 KiB blocks as a temporary file; the end; a flush; the header; a
// flush. The copy beside it holds the new content all the while.
static const unsigned char HEADER[2] = {0xFF, 0xD8};
static const unsigned char HEADER_HELD[2] = {0x00, 0x00};

struct InPlace {
    intptr_t handle;
    int64_t at;  // the next byte of the new content
};

static int WriteInPlace(void* context, const unsigned char* bytes, int32_t count)
{
    InPlace* place = (InPlace*)context;
    while (count > 0 && place->at < 2) {  // the header comes last
        place->at++;
        bytes++;
        count--;
    }
    while (count > 0) {
        uint32_t block = PlatNextWriteBlock(place->at, (uint32_t)count);
        PlatStep();
        if (!BackWriteAt(place->handle, place->at, bytes, block)) {
            return 0;
        }
        place->at += block;
        bytes += block;
        count -= (int32_t)block;
    }
    return 1;
}

static Commit RewriteInPlace(intptr_t photo, int (*produce)(void*, PlatSink, void*), void* source, int64_t newSize)
{
    PlatStep();
    if (!BackWriteAt(photo, 0, HEADER_HELD, 2)) {
        return COMMIT_KEPT;  // whether it landed is unknown: the copy stays
    }
    InPlace place = {photo, 0};
    int ok = produce(source, WriteInPlace, &place) && place.at == newSize;
    if (ok) {
        PlatStep();
        ok = BackTruncate(photo, newSize);
    }
    if (ok) {
        PlatStep();
        ok = BackFlush(photo);
    }
    if (ok) {
        PlatStep();
        ok = BackWriteAt(photo, 0, HEADER, 2);
    }
    if (ok) {
        PlatStep();
        ok = BackFlush(photo);
    }
    return ok ? COMMIT_DONE : COMMIT_KEPT;
}

// The copy's record after the new content in the temporary file, through
// `write`.
static int AppendRecord(PlatReplace* replace, const PlatFile* file, const PlatContent* content, PlatSink write)
{
    CopyRecord record;
    record.id = file->id;
    record.oldSize = content->oldSize;
    record.newSize = replace->written;
    record.name = BackEntryName(file);
    record.nameLength = record.name ? (uint32_t)strlen(record.name) : 0;
    record.regions = CopyRegions(record.oldSize, record.newSize);
    record.fingerprints = nullptr;
    HashState newHash;
    HashBegin(&newHash);
    return record.nameLength > 0 && record.nameLength <= PLAT_NAME_BYTES && record.newSize <= record.oldSize &&
           content->produce(content->source, HashSink, &newHash) &&
           CopyWriteRecord(&record, content->old, HashEnd(&newHash), write, replace);
}

// The copy is the temporary file, holding the complete new content, with
// its record after it, on the disk.
static int FinishCopy(PlatReplace* replace, const PlatFile* file, const PlatContent* content, PlatSink write)
{
    if (!AppendRecord(replace, file, content, write)) {
        return 0;
    }
    PlatStep();
    return BackFlush(replace->handle);
}

// In place: the finished copy gets its lasting name, and its folder's entry
// reaches the disk, before the photo's first byte is overwritten.
static Commit RewriteWithCopy(PlatFile* file, PlatReplace* replace, const PlatContent* content, int64_t newSize)
{
    PlatStep();
    if (!BackNameCopy(file, replace)) {
        return COMMIT_FAILED;
    }
    PlatRunRaceHook();
    intptr_t photo = BackOpenForWriting(file);
    if (photo == -1) {
        return COMMIT_FAILED;
    }
    Commit result = RewriteInPlace(photo, content->produce, content->source, newSize);
    BackCloseForWriting(file, photo);
    return result;
}

// The photo replaced, by each system's own strategy. A replacement that the
// system refuses with the photo untouched is followed by the rewrite in
// place, from a fresh copy, never by a rename that would lose what the
// replacement keeps.
static Commit Replace(PlatFile* file, PlatReplace* replace, const PlatContent* content)
{
    int swap = BackSwap(file, replace);
    if (swap == SWAP_DONE) {
        PlatStep();
        return BackSettleSwap(file, replace) ? COMMIT_DONE : COMMIT_KEPT;
    }
    if (swap == SWAP_REFUSED) {
        return COMMIT_FAILED;
    }
    if (swap == SWAP_TANGLED || (swap == SWAP_HALFWAY && BackRecoverHalfway(file, replace) != RECOVERED_UNTOUCHED)) {
        return COMMIT_KEPT;
    }
    BackRemoveTemp(file, replace);
    ReleaseReplace(replace);
    if (!CreateTemp(file, replace) || !content->produce(content->source, WriteToTemp, replace)) {
        return COMMIT_FAILED;
    }
    int64_t newSize = replace->written;
    if (!FinishCopy(replace, file, content, WriteToTemp)) {
        return COMMIT_FAILED;
    }
    return RewriteWithCopy(file, replace, content, newSize);
}

static int WriteBeforeCommit(void* context, const unsigned char* bytes, int32_t count)
{
    return PlatReplaceWrite((PlatReplace*)context, bytes, count);
}

// The photo is replaced where that keeps what it has, else rewritten in
// place. The temporary file is made ready first, where a close may still
// abandon the file in hand: it gets what the photo has, or the copy's
// record, and reaches the disk. Then the commit, which is always finished.
int PlatReplaceCommit(PlatReplace* replace, PlatFile* file, const PlatContent* content)
{
    Commit result = COMMIT_FAILED;
    int inPlace = file->links != 1 || file->throughLink || !BackKeepAttributes(file, replace);
    int64_t newSize = replace->written;
    int ready;
    if (inPlace) {
        ready = FinishCopy(replace, file, content, WriteBeforeCommit);
    } else {
        PlatStep();
        ready = BackFlush(replace->handle);
    }
    if (ready && PlatBeginCommit()) {
        result = inPlace ? RewriteWithCopy(file, replace, content, newSize) : Replace(file, replace, content);
        if (result == COMMIT_DONE) {
            PlatStep();  // in place, the copy has done its job (a replacement leaves nothing)
            BackRemoveTemp(file, replace);
        }
        PlatEndCommit();
    }
    if (result == COMMIT_KEPT) {
        BackKeepTemp(replace);
    } else {
        BackRemoveTemp(file, replace);
    }
    ReleaseReplace(replace);
    PlatCloseFile(file);
    return result == COMMIT_DONE;
}

void PlatReplaceAbort(PlatReplace* replace, PlatFile* file)
{
    BackRemoveTemp(file, replace);
    ReleaseReplace(replace);
}

//----------------------------------------------------------------------------
// Leftovers and the repair.

static void InitLeftover(PlatLeftover* leftover)
{
    memset(leftover, 0, sizeof(*leftover));
    leftover->kind = PLAT_LEFTOVER_NONE;
    leftover->folder = -1;
    leftover->handle = -1;
}

static int OpenAndRead(PlatLeftover* leftover)
{
    int kind = BackOpenLeftover(leftover);
    if (kind == PLAT_LEFTOVER_PLAIN) {
        leftover->named = BackNamedIdentity(BackLastName(leftover->path), &leftover->namedId);
        leftover->namedId.volume = leftover->id.volume;  // one folder, one volume
        CopyRecord record;
        if (CopyParse(leftover->bytes, leftover->size, &record)) {
            kind = PLAT_LEFTOVER_COPY;
        }
    }
    return leftover->kind = kind;
}

int PlatIsLeftoverPath(const char* path)
{
    return BackIsLeftoverName(BackLastName(path));
}

int PlatFindLeftover(const PlatFile* file, PlatLeftover* leftover)
{
    InitLeftover(leftover);
    char* name = BackLeftoverName(&file->id, 'c');
    int kind = name && BackPlaceLeftover(file, name, nullptr, leftover) ? OpenAndRead(leftover) : PLAT_LEFTOVER_NONE;
    TrackedFree(name);
    return kind;
}

int PlatOpenLeftover(const char* path, PlatLeftover* leftover)
{
    InitLeftover(leftover);
    return BackPlaceLeftover(nullptr, nullptr, path, leftover) ? OpenAndRead(leftover) : PLAT_LEFTOVER_NONE;
}

char* PlatLeftoverPhotoPath(const PlatLeftover* leftover)
{
    CopyRecord record;
    if (leftover->kind != PLAT_LEFTOVER_COPY || !CopyParse(leftover->bytes, leftover->size, &record)) {
        return nullptr;
    }
    int folderLength = (int)(BackLastName(leftover->path) - leftover->path);
    return FormatText("%.*s%.*s", folderLength, leftover->path, (int)record.nameLength, record.name);
}

int PlatLeftoverOrphaned(const PlatLeftover* leftover)
{
    if (leftover->kind != PLAT_LEFTOVER_PLAIN || !leftover->named) {
        return 0;
    }
    if (BackSameFile(&leftover->id, &leftover->namedId)) {
        return 1;  // the photo itself, as it was before the new content took its name
    }
    // Whether a photo of that identity is in the folder; leftovers aside.
    int folderLength = (int)(BackLastName(leftover->path) - leftover->path);
    char* pattern = FormatText("%.*s*", folderLength, leftover->path);
    PlatFindRecord* record = (PlatFindRecord*)TrackedAlloc(sizeof(PlatFindRecord));
    void* find = pattern && record ? PlatFindFirst(pattern, record) : nullptr;
    int orphaned = find != nullptr;
    for (int more = orphaned; more > 0 && orphaned; more = PlatFindNext(find, record)) {
        if (!(record->attributes & PLAT_ATTR_DIRECTORY) && !BackIsLeftoverName(record->name)) {
            char* path = FormatText("%.*s%s", folderLength, leftover->path, record->name);
            PlatFileId id;
            orphaned = !(path && BackIdentityAt(path, &id) && BackSameFile(&id, &leftover->namedId));
            TrackedFree(path);
        }
    }
    if (find != nullptr) {
        PlatFindClose(find);
    }
    TrackedFree(record);
    TrackedFree(pattern);
    return orphaned;
}

int64_t PlatCopyRecordMax(int64_t oldSize, int64_t newSize)
{
    return CopyRecordBytes(oldSize, newSize, PLAT_NAME_BYTES);
}

// The new content as one block, for the rewrite in place.
struct Block {
    const unsigned char* bytes;
    int32_t size;
};

static int ProduceBlock(void* source, PlatSink sink, void* context)
{
    Block* block = (Block*)source;
    return sink(context, block->bytes, block->size);
}

int PlatRepair(PlatFile* file, const unsigned char* bytes, int32_t size, PlatLeftover* leftover)
{
    CopyRecord record;
    if (leftover->kind != PLAT_LEFTOVER_COPY || !CopyParse(leftover->bytes, leftover->size, &record) ||
        !BackSameFile(&record.id, &file->id)) {
        return PLAT_REPAIR_KEPT;
    }
    int verdict = CopyJudge(bytes, size, &record, leftover->bytes);
    if (verdict == COPY_PHOTO_CHANGED) {
        return PLAT_REPAIR_KEPT;
    }
    if (verdict != COPY_PHOTO_MIXED) {
        PlatStep();
        BackRemoveLeftover(leftover);
        return PLAT_REPAIR_REMOVED;
    }
    // Mixed: put together as a rewrite in place does, from the copy, which
    // stays until the photo is whole on the disk. A close that abandons the
    // file in hand keeps the repair from beginning, never cuts it short.
    int result = PLAT_REPAIR_FAILED;
    if (PlatBeginCommit()) {
        PlatRunRaceHook();
        intptr_t photo = BackMayWrite(file) ? BackOpenForWriting(file) : -1;
        if (photo != -1) {
            Block block = {leftover->bytes, (int32_t)record.newSize};
            if (RewriteInPlace(photo, ProduceBlock, &block, record.newSize) == COMMIT_DONE) {
                PlatStep();
                BackRemoveLeftover(leftover);
                result = PLAT_REPAIR_DONE;
            }
            BackCloseForWriting(file, photo);
        }
        PlatEndCommit();
    }
    return result;
}

int PlatRemoveLeftover(PlatLeftover* leftover)
{
    PlatStep();
    return BackRemoveLeftover(leftover);
}

void PlatCloseLeftover(PlatLeftover* leftover)
{
    BackCloseLeftover(leftover);
    TrackedFree(leftover->bytes);
    TrackedFree(leftover->path);
    TrackedFree(leftover->entry);
    leftover->bytes = nullptr;
    leftover->path = leftover->entry = nullptr;
    leftover->kind = PLAT_LEFTOVER_NONE;
}
