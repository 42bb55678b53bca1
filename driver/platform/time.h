// Time units, clocks and timeouts.
#pragma once

#include <stdint.h>

// Time units, each 1000 (up to seconds) or 60 (above) times the one before.
enum : uint32_t {
    nVOAPAL200_kPicoseconds = 0,
    nVOAPAL200_kNanoseconds = 1,
    nVOAPAL200_kMicroseconds = 2,
    nVOAPAL200_kMilliseconds = 3,
    nVOAPAL200_kSeconds = 4,
    nVOAPAL200_kMinutes = 5,
    nVOAPAL200_kHours = 6,
    nVOAPAL200_kInvalid = 0xEFFFFFFF, // the unit of a timeout that was never set
};

// Absolute time: a fraction of a second in units of 2^-64 s and whole seconds
// since 1904-01-01 00:00:00 UTC.
struct nVOAPAL200_tAbsoluteTime {
    uint64_t fraction;
    uint64_t seconds;
};

extern "C" {
// Converts step by step through the neighbouring units (division truncates,
// multiplication is not checked for overflow). Both units must be 6 or less.
uint64_t nVOAPAL200_convertTime(uint64_t value, uint32_t fromUnit, uint32_t toUnit);
// Sets the two timebases' units and resolutions (done on first use anyway).
void nVOAPAL200_initializeTimerResolutions();
// The efficient timebase's clock (the kernel layer's timer count).
int64_t nVOAPAL200_getTimerCount();
// The time of day as an absolute time; returns result.
nVOAPAL200_tAbsoluteTime* nVOAPAL200_getAbsoluteTime(nVOAPAL200_tAbsoluteTime* result);
}

namespace kelvo_driver::nVOAPAL000 {

// The precise timebase: nanoseconds on the kernel layer's monotonic counter.
struct tTimebasePrecise {
    static uint32_t getUnit();
    static uint64_t getResolution();
    // The clock times the resolution, in the unit.
    static uint64_t now();
};

// The efficient timebase: microseconds on the kernel layer's timer count,
// one tick being the kernel layer's timer interval.
struct tTimebaseEfficient {
    static uint32_t getUnit();
    static uint64_t getResolution();
    static uint64_t now();
};

// Fills the time between two checks of a timeout: sleeps through the kernel
// layer for the remaining time rounded down to whole milliseconds.
struct tTimeWasterSleep {
    static void wasteTime(uint64_t remaining, uint32_t unit);
};

// Fills it by re-reading the clock at once.
struct tTimeWasterSpin {
    static void wasteTime(uint64_t, uint32_t) {}
};

// A deadline on a timebase. It is set (and started) with a value and a unit;
// the value is kept in the timebase's unit plus one resolution, so the wait
// is never shorter than asked. Using a timeout that was never set is an
// invariant failure.
template <typename TimeWaster, typename Timebase> class tTimeout {
public:
    tTimeout() = default;
    tTimeout(uint64_t value, uint32_t unit) { setTimeout(value, unit); }

    void setTimeout(uint64_t value, uint32_t unit) {
        const uint32_t timebaseUnit = Timebase::getUnit();
        uint64_t converted = nVOAPAL200_convertTime(value, unit, timebaseUnit);
        const uint64_t resolution = Timebase::getResolution();
        if (converted <= UINT64_MAX - resolution) {
            converted += resolution;
        }
        timeoutValue_ = converted;
        timeoutUnit_ = timebaseUnit;
        start();
    }

    // Restarts the timeout from now.
    void start() { startTime_ = Timebase::now(); }

    // Time since the start, in the timebase's unit.
    uint64_t elapsed() const {
        checkSet();
        return Timebase::now() - startTime_;
    }

    bool hasExpired() const { return elapsed() >= timeoutValue_; }

    // Returns once the timeout has expired.
    void waitForTimeout() const {
        for (;;) {
            const uint64_t spent = elapsed();
            if (spent >= timeoutValue_) {
                return;
            }
            TimeWaster::wasteTime(timeoutValue_ - spent, timeoutUnit_);
        }
    }

    uint64_t getTimeoutValue() const { return timeoutValue_; }
    uint32_t getTimeoutUnit() const { return timeoutUnit_; }

private:
    void checkSet() const;

    uint64_t timeoutValue_ = 0;
    uint32_t timeoutUnit_ = nVOAPAL200_kInvalid;
    uint64_t startTime_ = 0;
};

// Reports the use of a timeout that was never set.
void timeoutNotSet();

template <typename TimeWaster, typename Timebase> void tTimeout<TimeWaster, Timebase>::checkSet() const {
    if (timeoutUnit_ == nVOAPAL200_kInvalid) {
        timeoutNotSet();
    }
}

// Sleeps at least the given microseconds (a sleeping timeout on the precise timebase).
void sleepMicroseconds(uint32_t microseconds);

} // namespace kelvo_driver::nVOAPAL000
