// Stand-in clocks.
#include <chrono>

#include "nVOKAL.h"

extern "C" int64_t nVOKAL110_getTimerCount(void) noexcept {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
