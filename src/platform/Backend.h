// Backend.h - the steps that each system's half of the platform layer
// (PlatformPosix.cpp, PlatformWin32.cpp) supplies to the commit and the
// repair (Commit.cpp), which put them in order once for both systems.
// Inside the platform layer only. Each answers 1 on success and 0 on
// failure unless it says otherwise; none shows anything to the user.
#pragma once

#include "platform/Platform.h"

//----------------------------------------------------------------------------
// The file in hand.

// BackMayWrite - the photo may be written: POSIX, the permission check of
// an open for writing, a file without any write bit counting as read-only
// even for root; Windows, it was opened with write access.
int BackMayWrite(const PlatFile* file);
// BackStillTheFileRead - the photo's name still leads to the file read,
// unchanged: the same identity, size and modification time.
int BackStillTheFileRead(const PlatFile* file);
// BackSameFile - whether two identities name one file of one folder.
int BackSameFile(const PlatFileId* a, const PlatFileId* b);
// BackEntryName - the photo's name in its folder (inside `file`'s blocks).
const char* BackEntryName(const PlatFile* file);
// BackLastName - the last name of a path: what follows its last separator
// (PlatformCommon.cpp).
const char* BackLastName(const char* path);
// BackKillProcess - ends the process at once, as a kill ends it.
[[noreturn]] void BackKillProcess();

//----------------------------------------------------------------------------
// The temporary file.

// BackCreateTemp - creates it in the photo's folder so that it goes if the
// program ends before it is given a lasting name (POSIX: without a name
// where the file system allows; Windows: marked to go when its handle
// closes), locked against other copies of the program; under the name
// derived from the photo's identity where it has one at once and that
// name is free, else under a random one.
int BackCreateTemp(PlatFile* file, PlatReplace* replace);
// BackWriteAt - writes `count` bytes at offset `at` through `handle`, all
// of them.
int BackWriteAt(intptr_t handle, int64_t at, const void* bytes, uint32_t count);
// BackFlush - what was written through `handle` reaches the disk.
int BackFlush(intptr_t handle);
// BackKeepAttributes - gives the temporary file what the photo has and a
// replacement would lose (POSIX: owner, group, permissions, extended
// attributes; Windows: nothing, ReplaceFileW keeps them). 0 when that
// cannot be done: the photo is then rewritten in place.
int BackKeepAttributes(const PlatFile* file, PlatReplace* replace);
// BackNameCopy - gives the finished, flushed copy the name derived from the
// photo's identity (0 when that name is taken) and flushes the folder's
// entry, so that the copy is found after a power cut.
int BackNameCopy(PlatFile* file, PlatReplace* replace);
// BackRemoveTemp - closes the temporary file and removes it, named or not.
void BackRemoveTemp(PlatFile* file, PlatReplace* replace);
// BackKeepTemp - closes the temporary file; its name stays.
void BackKeepTemp(PlatReplace* replace);

//----------------------------------------------------------------------------
// Replacing the photo: each system's own strategy. POSIX swaps the two
// names in one step and then checks that what it displaced is the file
// read; Windows checks the photo just before each ReplaceFileW attempt.
enum BackSwapResult {
    SWAP_DONE,     // the new content has the photo's name
    SWAP_REFUSED,  // the photo is not the file read, or the swap failed: the photo untouched
    SWAP_FAILED,   // the system refused the replacement, the photo untouched: it may be
                   // rewritten in place
    SWAP_HALFWAY,  // the system failed half-way (Windows): see BackRecoverHalfway
    SWAP_TANGLED   // another program's file took part in the swap: every name stays as it is
};
int BackSwap(PlatFile* file, PlatReplace* replace);
// BackSettleSwap - after SWAP_DONE: the photo's new entry reaches the disk,
// and what the swap set aside goes.
int BackSettleSwap(PlatFile* file, PlatReplace* replace);
// After SWAP_HALFWAY, with the photo let go.
enum BackRecovery {
    RECOVERED_UNTOUCHED,  // the photo is at its name again, as read: it may be rewritten in place
    RECOVERED_MOVED,      // its name was empty: the new content took it, losing what a
                          // replacement keeps
    RECOVERED_NOT         // nothing could be put back: the temporary file and the original stay
};
int BackRecoverHalfway(PlatFile* file, PlatReplace* replace);

//----------------------------------------------------------------------------
// Rewriting the photo in place.

// BackOpenForWriting - the photo open for writing (the file in hand's own
// handle where that allows it), once it is proven to be still the file
// read, unchanged; -1 when it cannot be had or is not.
intptr_t BackOpenForWriting(PlatFile* file);
// BackCloseForWriting - lets go of what BackOpenForWriting gave.
void BackCloseForWriting(PlatFile* file, intptr_t handle);
// BackTruncate - the file behind `handle` ends at `size`.
int BackTruncate(intptr_t handle, int64_t size);

//----------------------------------------------------------------------------
// Leftovers.

// BackLeftoverName - the name derived from `id` of kind 'c' (the new
// content or its copy) or 'b' (Windows: the original set aside); tracked.
char* BackLeftoverName(const PlatFileId* id, char kind);
// BackNamedIdentity - the identity that the leftover name `name` is derived
// from (its volume left 0); 0 when the name is not derived from one.
int BackNamedIdentity(const char* name, PlatFileId* id);
// BackIsLeftoverName - whether `name` is a leftover's, derived or random.
int BackIsLeftoverName(const char* name);
// BackPlaceLeftover - where the leftover named `name` beside the file in
// hand is (`file`), or at `path` (`file` null): its folder, name and path.
int BackPlaceLeftover(const PlatFile* file, const char* name, const char* path, PlatLeftover* leftover);
// BackOpenLeftover - opens the placed leftover without following a link,
// locks it against other copies of the program and reads it whole:
// PLAT_LEFTOVER_NONE (none, or not a plain file), PLAT_LEFTOVER_BUSY (held
// by another program), or PLAT_LEFTOVER_PLAIN (read; the caller looks for
// a record).
int BackOpenLeftover(PlatLeftover* leftover);
// BackRemoveLeftover - removes the open leftover, which must still be
// the file opened.
int BackRemoveLeftover(PlatLeftover* leftover);
// BackCloseLeftover - closes what BackPlaceLeftover and BackOpenLeftover
// opened.
void BackCloseLeftover(PlatLeftover* leftover);
// BackIdentityAt - the identity of the file at `path` (a link's own).
int BackIdentityAt(const char* path, PlatFileId* id);
