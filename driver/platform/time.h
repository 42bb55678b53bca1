// Time units, clocks and timeouts.
#pragma once

#include <stdint.h>

extern "C" {
// The efficient timebase's clock (the kernel layer's timer count).
int64_t nVOAPAL200_getTimerCount();
}
