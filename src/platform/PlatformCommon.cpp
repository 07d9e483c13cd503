// PlatformCommon.cpp - what both platform implementations share: the
// fault-injection seam, the temporary file's name and the write blocks.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/Platform.h"
#include "support/Track.h"

// Per kind: calls left until the failing one (0 = off).
static std::atomic<int> s_faultCountdown[PLAT_FAULT_COUNT];

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

char* PlatJoinText(const char* first, const char* second, unsigned number)
{
    char tail[16] = "";
    if (number > 0) {
        snprintf(tail, sizeof(tail), "%u", number);
    }
    size_t length = strlen(first) + strlen(second) + strlen(tail);
    char* joined = (char*)TrackedAlloc(length + 1);
    if (joined != nullptr) {
        snprintf(joined, length + 1, "%s%s%s", first, second, tail);
    }
    return joined;
}

// Blocks of 64 KiB: one huge write per file is several times slower. After
// a short first block the blocks end on the file's 64 KiB boundaries, so no
// page is written in two parts.
uint32_t PlatNextWriteBlock(int64_t written, uint32_t left)
{
    uint32_t room = PLAT_WRITE_BLOCK - (uint32_t)(written % PLAT_WRITE_BLOCK);
    return left < room ? left : room;
}
