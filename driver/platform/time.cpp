#include "platform/time.h"

#include "nVOKAL.h"

extern "C" int64_t nVOAPAL200_getTimerCount() { return nVOKAL110_getTimerCount(); }
