// Walk.cpp - the recursive walk over a file or folder tree.
#include "support/Walk.h"

#include <cstring>

#include "platform/Platform.h"
#include "support/Track.h"

// The folders on the current path, innermost first, so that a link back
// into one of them is noticed instead of being walked until the path grows
// too long for the platform.
struct FolderChain {
    PlatFolderId id;
    int known;  // 0 when the folder's identity could not be determined
    const FolderChain* parent;
};

static int WalkFolder(const char* path, WalkCallback callback, const FolderChain* parent);

static int IsOnChain(const FolderChain* chain, const PlatFolderId* id)
{
    for (; chain != nullptr; chain = chain->parent) {
        if (chain->known && chain->id.volume == id->volume && chain->id.file == id->file) {
            return 1;
        }
    }
    return 0;
}

//----------------------------------------------------------------------------
// WalkEntry - one enumerated entry of the folder whose search pattern is
// `pattern`: skipped when it is "." or "..", walked when it is a folder,
// handed to the callback otherwise.
static int WalkEntry(const char* pattern, const PlatFindRecord* record, WalkCallback callback,
                     const FolderChain* chain)
{
    const char* name = record->name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return WALK_OK;
    }
    size_t patternLength = strlen(pattern);
    size_t nameLength = strlen(name);
    // The prefix is the pattern without its final '*', so it ends in the
    // separator; the entry path has room for the prefix, the name, a
    // separator and the terminator.
    char* prefix = (char*)TrackedAlloc(patternLength + 1);
    char* entry = (char*)TrackedAlloc(patternLength + nameLength + 4);
    int result = WALK_INVALID;
    if (prefix != nullptr && entry != nullptr) {
        memcpy(prefix, pattern, patternLength - 1);
        prefix[patternLength - 1] = '\0';
        memcpy(entry, prefix, patternLength - 1);
        memcpy(entry + patternLength - 1, name, nameLength + 1);
        if (record->attributes & PLAT_ATTR_DIRECTORY) {
            size_t entryLength = patternLength - 1 + nameLength;
            entry[entryLength] = PLAT_SEPARATOR;
            entry[entryLength + 1] = '\0';
            result = WalkFolder(entry, callback, chain);
        } else {
            result = callback(entry) ? WALK_OK : WALK_STOPPED;
        }
    }
    TrackedFree(entry);
    TrackedFree(prefix);
    return result;
}

//----------------------------------------------------------------------------
// WalkFolder - WalkPath with the chain of enclosing folders.
static int WalkFolder(const char* path, WalkCallback callback, const FolderChain* parent)
{
    size_t length = strlen(path);
    if (length == 0) {
        return WALK_INVALID;  // no folder has an empty name
    }
    if (!(PlatGetFileAttributes(path) & PLAT_ATTR_DIRECTORY)) {
        return callback(path) ? WALK_OK : WALK_STOPPED;
    }
    // A path whose attributes cannot be read has the directory bit set too;
    // it fails when its enumeration is opened.
    FolderChain chain;
    chain.known = PlatGetFolderId(path, &chain.id);
    chain.parent = parent;
    if (chain.known && IsOnChain(parent, &chain.id)) {
        return WALK_OK;  // a link back into an enclosing folder: already being walked
    }

    char* pattern = (char*)TrackedAlloc(length + 3);
    PlatFindRecord* record = (PlatFindRecord*)TrackedAlloc(sizeof(PlatFindRecord));
    int result = WALK_INVALID;
    if (pattern != nullptr && record != nullptr) {
        memcpy(pattern, path, length);
        size_t at = length;
        if (path[length - 1] != PLAT_SEPARATOR) {
            pattern[at++] = PLAT_SEPARATOR;
        }
        pattern[at++] = '*';
        pattern[at] = '\0';
        void* find = PlatFindFirst(pattern, record);
        if (find != nullptr) {
            result = WalkEntry(pattern, record, callback, &chain);
            while (result == WALK_OK && PlatFindNext(find, record)) {
                result = WalkEntry(pattern, record, callback, &chain);
            }
            PlatFindClose(find);
        }
    }
    TrackedFree(record);
    TrackedFree(pattern);
    return result;
}

int WalkPath(const char* path, WalkCallback callback)
{
    if (callback == nullptr) {
        return WALK_NO_CALLBACK;
    }
    return WalkFolder(path, callback, nullptr);
}
