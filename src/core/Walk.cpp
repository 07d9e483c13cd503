// Walk.cpp - the recursive walk over a file or folder tree.
#include "core/Walk.h"

#include <cstring>

#include "platform/Platform.h"
#include "support/Track.h"

//----------------------------------------------------------------------------
// The folders entered so far in one walk, by identity: an open-addressing
// hash set in a tracked block. Links can make a tree reach one folder by
// many paths (a chain of folders each linking twice to the next reaches the
// last one 2^n times) or lead back into a folder being walked; each folder
// is entered once.
struct FolderSet {
    PlatFileId* slots;  // empty slots hold file 0/0
    uint32_t capacity;  // a power of two
    uint32_t count;
};

static uint32_t SlotOf(const PlatFileId* id, uint32_t capacity)
{
    uint64_t file = id->file[0] ^ (id->file[1] * 0xC2B2AE3D27D4EB4Full);
    uint64_t mixed = (file * 0x9E3779B97F4A7C15ull) ^ (id->volume + (file >> 29));
    return (uint32_t)(mixed >> 32) & (capacity - 1);
}

// A file id of 0 is no identity, whatever the volume: some file systems
// give it to every folder.
static int IsUnknown(const PlatFileId* id)
{
    return id->file[0] == 0 && id->file[1] == 0;
}

// Stores `id` unless it is there; 1 when it was new, 0 when it was there,
// -1 when no larger block could be had. An unknown identity is never
// stored, so it never makes a folder count as met already.
static int RememberFolder(FolderSet* set, const PlatFileId* id)
{
    if (set->count + 1 > set->capacity / 2) {
        uint32_t capacity = set->capacity ? set->capacity * 2 : 64;
        PlatFileId* slots = (PlatFileId*)TrackedAlloc(capacity * sizeof(PlatFileId));
        if (slots == nullptr) {
            return -1;
        }
        memset(slots, 0, capacity * sizeof(PlatFileId));
        for (uint32_t i = 0; i < set->capacity; i++) {
            if (!IsUnknown(&set->slots[i])) {
                uint32_t at = SlotOf(&set->slots[i], capacity);
                while (!IsUnknown(&slots[at])) {
                    at = (at + 1) & (capacity - 1);
                }
                slots[at] = set->slots[i];
            }
        }
        TrackedFree(set->slots);
        set->slots = slots;
        set->capacity = capacity;
    }
    if (IsUnknown(id)) {
        return 1;
    }
    uint32_t at = SlotOf(id, set->capacity);
    while (!IsUnknown(&set->slots[at])) {
        const PlatFileId* slot = &set->slots[at];
        if (slot->volume == id->volume && slot->file[0] == id->file[0] && slot->file[1] == id->file[1]) {
            return 0;
        }
        at = (at + 1) & (set->capacity - 1);
    }
    set->slots[at] = *id;
    set->count++;
    return 1;
}

// The folders being walked, innermost first. A folder whose identity is
// unknown cannot be told from one met already; it is taken for a link back
// into the walk when its final path (every link resolved) is one of
// theirs, so that a link loop ends there too.
struct Ancestor {
    const char* path;
    char* finalPath;  // tracked block, made when first needed
    Ancestor* parent;
};

static int LeadsBack(const char* path, Ancestor* parent)
{
    char* finalPath = PlatFolderFinalPath(path);
    int back = 0;
    for (Ancestor* at = parent; finalPath != nullptr && at != nullptr && !back; at = at->parent) {
        if (at->finalPath == nullptr) {
            at->finalPath = PlatFolderFinalPath(at->path);
        }
        back = at->finalPath != nullptr && strcmp(at->finalPath, finalPath) == 0;
    }
    TrackedFree(finalPath);
    return back;
}

static int WalkFolder(const char* path, WalkCallback callback, FolderSet* entered, Ancestor* parent);

//----------------------------------------------------------------------------
// The junctions Windows keeps in Documents and in a profile for the names
// of old versions ("My Music", "Application Data", ...) are links, hidden
// and system, and their listing is denied to everyone: Explorer passes
// them by, and so does the walk, without a word. Any other folder that
// cannot be listed is reported.
static int IsSystemLink(uint32_t attributes)
{
    const uint32_t all = PLAT_ATTR_DIRECTORY | PLAT_ATTR_LINK | PLAT_ATTR_HIDDEN | PLAT_ATTR_SYSTEM;
    return (attributes & all) == all;
}

// WalkEntry - one enumerated entry of the folder whose search pattern is
// `pattern`: skipped when it is "." or ".." or a system junction, walked
// when it is a folder, handed to the callback otherwise.
static int WalkEntry(const char* pattern, const PlatFindRecord* record, WalkCallback callback, FolderSet* entered,
                     Ancestor* parent)
{
    const char* name = record->name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || IsSystemLink(record->attributes)) {
        return WALK_OK;
    }
    // The entry's path is the pattern without its final '*' (so it ends in
    // the separator), the name, room for a separator and the terminator.
    size_t prefixLength = strlen(pattern) - 1;
    size_t nameLength = strlen(name);
    char* entry = (char*)TrackedAlloc(prefixLength + nameLength + 2);
    if (entry == nullptr) {
        return WALK_INVALID;
    }
    memcpy(entry, pattern, prefixLength);
    memcpy(entry + prefixLength, name, nameLength + 1);
    int result;
    if (record->attributes & PLAT_ATTR_DIRECTORY) {
        entry[prefixLength + nameLength] = PLAT_SEPARATOR;
        entry[prefixLength + nameLength + 1] = '\0';
        result = WalkFolder(entry, callback, entered, parent);
    } else {
        result = callback(entry) ? WALK_OK : WALK_STOPPED;
    }
    TrackedFree(entry);
    return result;
}

//----------------------------------------------------------------------------
// WalkFolder - WalkPath with the set of folders entered so far.
static int WalkFolder(const char* path, WalkCallback callback, FolderSet* entered, Ancestor* parent)
{
    size_t length = strlen(path);
    if (length == 0) {
        return WALK_INVALID;  // no folder has an empty name
    }
    if (!(PlatGetFileAttributes(path) & PLAT_ATTR_DIRECTORY)) {
        return callback(path) ? WALK_OK : WALK_STOPPED;
    }
    // A path whose attributes cannot be read has the directory bit set too;
    // it fails when its enumeration is opened. A folder whose identity
    // cannot be had is walked unless it leads back into the walk.
    PlatFileId id;
    if (PlatGetFolderId(path, &id) && !IsUnknown(&id)) {
        int fresh = RememberFolder(entered, &id);
        if (fresh <= 0) {
            return fresh == 0 ? WALK_OK : WALK_INVALID;  // entered already by another path
        }
    } else if (LeadsBack(path, parent)) {
        return WALK_OK;
    }
    Ancestor self = {path, nullptr, parent};

    // The pattern: the path, a separator unless it ends in one, '*'.
    char* pattern = (char*)TrackedAlloc(length + 3);
    PlatFindRecord* record = (PlatFindRecord*)TrackedAlloc(sizeof(PlatFindRecord));
    int result = WALK_INVALID;
    if (pattern != nullptr && record != nullptr) {
        memcpy(pattern, path, length);
        size_t at = length;
        if (!PlatIsSeparator(path[length - 1])) {
            pattern[at++] = PLAT_SEPARATOR;
        }
        pattern[at++] = '*';
        pattern[at] = '\0';
        void* find = PlatFindFirst(pattern, record);
        if (find != nullptr) {
            result = WalkEntry(pattern, record, callback, entered, &self);
            int more = 1;
            while (result == WALK_OK && (more = PlatFindNext(find, record)) > 0) {
                result = WalkEntry(pattern, record, callback, entered, &self);
            }
            if (more < 0 && result == WALK_OK) {
                result = WALK_INVALID;  // the rest of the folder is unknown: as a folder that cannot be listed
            }
            PlatFindClose(find);
        }
    }
    TrackedFree(self.finalPath);
    TrackedFree(record);
    TrackedFree(pattern);
    return result;
}

int WalkPath(const char* path, WalkCallback callback)
{
    if (callback == nullptr) {
        return WALK_NO_CALLBACK;
    }
    FolderSet entered = {nullptr, 0, 0};
    int result = WalkFolder(path, callback, &entered, nullptr);
    TrackedFree(entered.slots);
    return result;
}
