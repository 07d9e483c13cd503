// FaultInject.cpp - the seam through which tests make file operations fail.
#include <atomic>

#include "platform/Platform.h"

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
