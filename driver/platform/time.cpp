#include "platform/time.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace {

// The timebases' resolutions, set once per process (first use). Concurrent
// first users store the same values; atomics keep that well defined.
uint32_t gEfficientUnit = 0;
uint64_t gEfficientResolution = 0;
uint32_t gPreciseUnit = 0;
uint64_t gPreciseResolution = 0;
uint32_t gResolutionsSet = 0;

void ensureResolutions() {
    if (__atomic_load_n(&gResolutionsSet, __ATOMIC_ACQUIRE) == 0) {
        nVOAPAL200_initializeTimerResolutions();
    }
}

constexpr uint64_t kFractionPerMicrosecond = 18446744073709ULL; // 2^64 / 10^6, truncated
constexpr uint64_t kSecondsFrom1904To1970 = 2082844800ULL;

} // namespace

extern "C" uint64_t nVOAPAL200_convertTime(uint64_t value, uint32_t fromUnit, uint32_t toUnit) {
    VOSDBG_ASSERT_F(fromUnit <= nVOAPAL200_kHours, "Conversion unit is out of range (%lu)",
                    static_cast<unsigned long>(fromUnit));
    VOSDBG_ASSERT_F(toUnit <= nVOAPAL200_kHours, "Conversion unit is out of range (%lu)",
                    static_cast<unsigned long>(toUnit));
    if (fromUnit > nVOAPAL200_kHours || toUnit > nVOAPAL200_kHours) {
        return 0;
    }
    uint32_t unit = fromUnit;
    while (unit > toUnit) { // to a smaller unit
        value *= unit >= nVOAPAL200_kMinutes ? 60 : 1000;
        --unit;
    }
    while (unit < toUnit) { // to a larger unit
        value /= unit >= nVOAPAL200_kSeconds ? 60 : 1000;
        ++unit;
    }
    return value;
}

extern "C" void nVOAPAL200_initializeTimerResolutions() {
    const uint32_t efficient = static_cast<uint32_t>(nVOKAL100_getTimerInterval());
    const uint64_t precise = nVOAPAL200_convertTime(1, nVOAPAL200_kNanoseconds, nVOAPAL200_kNanoseconds);
    if (efficient == 0 || precise == 0) {
        vosdbg_printf("Timer resolution wrong, efficient: %lu, precise: %lu\n",
                      static_cast<unsigned long>(efficient), static_cast<unsigned long>(precise));
        VOSDBG_ASSERT(efficient != 0 && precise != 0);
        return;
    }
    __atomic_store_n(&gEfficientUnit, nVOAPAL200_kMicroseconds, __ATOMIC_RELAXED);
    __atomic_store_n(&gEfficientResolution, efficient, __ATOMIC_RELAXED);
    __atomic_store_n(&gPreciseUnit, nVOAPAL200_kNanoseconds, __ATOMIC_RELAXED);
    __atomic_store_n(&gPreciseResolution, precise, __ATOMIC_RELAXED);
    __atomic_store_n(&gResolutionsSet, 1, __ATOMIC_RELEASE);
}

extern "C" int64_t nVOAPAL200_getTimerCount() {
    return nVOKAL110_getTimerCount();
}

extern "C" nVOAPAL200_tAbsoluteTime* nVOAPAL200_getAbsoluteTime(nVOAPAL200_tAbsoluteTime* result) {
    VOSDBG_ASSERT(result != nullptr);
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
    nVOKAL100_getTimeOfDay(&seconds, &microseconds);
    result->fraction = static_cast<uint64_t>(microseconds) * kFractionPerMicrosecond;
    result->seconds = static_cast<uint64_t>(seconds) + kSecondsFrom1904To1970;
    return result;
}

namespace kelvo_driver::nVOAPAL000 {

uint32_t tTimebasePrecise::getUnit() {
    ensureResolutions();
    return __atomic_load_n(&gPreciseUnit, __ATOMIC_RELAXED);
}
uint64_t tTimebasePrecise::getResolution() {
    ensureResolutions();
    return __atomic_load_n(&gPreciseResolution, __ATOMIC_RELAXED);
}
uint64_t tTimebasePrecise::now() {
    return nVOKAL1_getMonotonicCounter() * getResolution();
}

uint32_t tTimebaseEfficient::getUnit() {
    ensureResolutions();
    return __atomic_load_n(&gEfficientUnit, __ATOMIC_RELAXED);
}
uint64_t tTimebaseEfficient::getResolution() {
    ensureResolutions();
    return __atomic_load_n(&gEfficientResolution, __ATOMIC_RELAXED);
}
uint64_t tTimebaseEfficient::now() {
    return static_cast<uint64_t>(nVOKAL110_getTimerCount()) * getResolution();
}

void tTimeWasterSleep::wasteTime(uint64_t remaining, uint32_t unit) {
    // Whole milliseconds (truncating), as a 32-bit microsecond count; a long
    // remainder sleeps the longest such count and is checked again.
    constexpr uint64_t kMaxMilliseconds = UINT32_MAX / 1000;
    uint64_t milliseconds = nVOAPAL200_convertTime(remaining, unit, nVOAPAL200_kMilliseconds);
    if (milliseconds > kMaxMilliseconds) {
        milliseconds = kMaxMilliseconds;
    }
    nVOKAL250_sleepTimeout(static_cast<uint32_t>(milliseconds * 1000));
}

void timeoutNotSet() {
    VOSDBG_FAIL("timeout not set!");
}

void sleepMicroseconds(uint32_t microseconds) {
    tTimeout<tTimeWasterSleep, tTimebasePrecise> timeout(microseconds, nVOAPAL200_kMicroseconds);
    timeout.waitForTimeout();
}

} // namespace kelvo_driver::nVOAPAL000
