// PlatformCommon.cpp - what both platform implementations share: the test
// seams, the write blocks and the report of a failed load.
#include <atomic>

#include "platform/Platform.h"
#include "support/Track.h"

// Per kind: calls left until the failing one (0 = off).
static std::atomic<int> s_faultCountdown[PLAT_FAULT_COUNT];
static std::atomic<PlatRaceHook> s_raceHook{nullptr};

void PlatSetFault(int kind, int nth)
{
    s_faultCountdown[kind].store(nth);
}

int PlatFaultHit(int kind)
{
    int left = s_faultCountdown[kind].load();
    if (left <= 0) {
        return 0;
    }
    s_faultCountdown[kind].store(left - 1);
    return left == 1;
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
    file->name = nullptr;
    file->id.volume = file->id.file[0] = file->id.file[1] = 0;
    file->size = file->modified = 0;
    file->mode = file->owner = file->group = file->links = 0;
    file->writable = 0;
}

int32_t PlatFailLoad(const char* message)
{
    ReportLine(message);
    MV_REPORT_FAILURE();
    return -1;
}
