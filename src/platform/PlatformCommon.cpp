// PlatformCommon.cpp - what both platform implementations share besides the
// commit: the test seams, the write blocks and the report of a failed load.
#include <atomic>

#include "platform/Backend.h"
#include "platform/Platform.h"
#include "support/Track.h"

// Per kind: calls left until the failing one (0 = off).
static std::atomic<int> s_faultCountdown[PLAT_FAULT_COUNT];
static std::atomic<PlatRaceHook> s_raceHook{nullptr};
// The next temporary number a test asked for (0: drawn at random), and the
// state of the random numbers.
static std::atomic<uint32_t> s_fixedTemporaryNumber{0};
static std::atomic<uint64_t> s_temporaryState{0};
// Abandoning the file in hand, and whether a commit is under way.
static std::atomic<int> s_abandoned{0};
static std::atomic<int> s_committing{0};

void PlatSetFault(int kind, int nth)
{
    s_faultCountdown[kind].store(nth);
}

int PlatFaultHit(int kind)
{
    int left = s_faultCountdown[kind].load();
    if (left <= 0) {
        return left < 0;
    }
    s_faultCountdown[kind].store(left - 1);
    return left == 1;
}

void PlatStep()
{
    if (PlatFaultHit(PLAT_FAULT_KILL)) {
        BackKillProcess();
    }
}

void PlatSetRaceHook(PlatRaceHook hook)
{
    s_raceHook.store(hook);
}

void PlatRunRaceHook()
{
    PlatRaceHook hook = s_raceHook.load();
    if (hook != nullptr) {
        hook();
    }
}

// Blocks of 64 KiB: one huge write per file is several times slower. After
// a short first block the blocks end on the file's 64 KiB boundaries, so no
// page is written in two parts.
uint32_t PlatNextWriteBlock(int64_t written, uint32_t left)
{
    uint32_t room = PLAT_WRITE_BLOCK - (uint32_t)(written % PLAT_WRITE_BLOCK);
    return left < room ? left : room;
}

// Nothing open, nothing held (INVALID_HANDLE_VALUE is -1 too).
void PlatInitFile(PlatFile* file)
{
    file->folder = -1;
    file->handle = -1;
    file->path = file->entry = nullptr;
    file->id.volume = file->id.file[0] = file->id.file[1] = 0;
    file->size = file->modified = 0;
    file->mode = file->owner = file->group = file->links = 0;
    file->writable = 0;
    file->folderFlushable = 0;
    file->throughLink = 0;
}

// splitmix64: each call moves the state on by a fixed odd step and mixes
// it, so two calls never give the same 64 bits; the entropy (a clock and
// the process id) keeps two processes apart.
uint32_t PlatTemporaryNumber(uint64_t entropy)
{
    uint32_t fixed = s_fixedTemporaryNumber.load();
    if (fixed != 0) {
        s_fixedTemporaryNumber.store(fixed + 1);
        return fixed;
    }
    uint64_t z = (s_temporaryState.fetch_add(0x9E3779B97F4A7C15ull) + 0x9E3779B97F4A7C15ull) ^ entropy;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (uint32_t)(z ^ (z >> 31));
}

void PlatSetTemporaryNumbers(uint32_t first)
{
    s_fixedTemporaryNumber.store(first);
}

void PlatSetAbandoned(int abandoned)
{
    s_abandoned.store(abandoned);
}

int PlatAbandoned()
{
    return s_abandoned.load();
}

int PlatCommitting()
{
    return s_committing.load();
}

// The flag is raised before the abandon is looked at, so the closing
// sequence, which abandons first and then looks at the flag, never misses
// a commit that began.
int PlatBeginCommit()
{
    s_committing.store(1);
    if (s_abandoned.load()) {
        s_committing.store(0);
        return 0;
    }
    return 1;
}

void PlatEndCommit()
{
    s_committing.store(0);
}

int32_t PlatFailLoad(const char* message)
{
    ReportLine(message);
    MV_REPORT_FAILURE();
    return -1;
}

const char* BackLastName(const char* path)
{
    const char* name = path;
    for (const char* at = path; *at != '\0'; at++) {
        if (PlatIsSeparator(*at)) {
            name = at + 1;
        }
    }
    return name;
}
