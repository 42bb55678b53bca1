// Stand-in clocks and sleep: one stand-in time base that can run faster than
// real time (kal::clock::setScale).
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "nVOKAL.h"

namespace {

using Real = std::chrono::steady_clock;

constexpr std::uint64_t kTimerIntervalMicroseconds = 1000; // a 1 kHz tick
constexpr std::size_t kSleepLogLimit = 65536;

struct ClockState {
    std::mutex lock;
    double scale = 1.0;
    Real::time_point realBase = Real::now();
    // Stand-in time at realBase: starts at the real monotonic time, like an uptime.
    std::uint64_t virtualBase = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(realBase.time_since_epoch()).count());
    std::uint64_t lastReturned = 0;
    // Time of day at the stand-in time todBase (taken from the system clock at start).
    std::uint64_t todBaseNs = virtualBase;
    std::uint64_t todAtBaseUs =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    std::optional<std::pair<std::uint32_t, std::uint32_t>> fixedTimeOfDay;
    std::vector<kal::clock::SleepRecord> sleeps;
    bool stepped = false;         // time moves only by sleeps (and reads)
    std::uint64_t readStepNs = 0; // stepped: what each read of the time adds
};

ClockState& state() {
    static ClockState* s = new ClockState; // lives for the whole process (used from thread exits)
    return *s;
}

std::uint64_t nowLocked(ClockState& s) {
    if (s.stepped) {
        s.lastReturned = std::max(s.lastReturned, s.virtualBase);
        return s.lastReturned;
    }
    const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(Real::now() - s.realBase).count();
    const std::uint64_t now =
        s.virtualBase + static_cast<std::uint64_t>(std::llround(static_cast<double>(real) * s.scale));
    if (now > s.lastReturned) {
        s.lastReturned = now;
    }
    return s.lastReturned;
}

// A read of the time by the kernel-layer operations: in stepped time with a
// read step, the next read answers that much later.
std::uint64_t readLocked(ClockState& s) {
    const std::uint64_t now = nowLocked(s);
    if (s.stepped) {
        s.virtualBase = now + s.readStepNs;
    }
    return now;
}

std::uint64_t readNs() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return readLocked(s);
}

} // namespace

namespace kal::detail {

std::uint64_t nowNs() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return nowLocked(s);
}

std::chrono::nanoseconds realFor(std::uint64_t virtualNs) {
    auto& s = state();
    double scale;
    {
        std::lock_guard g(s.lock);
        scale = s.scale;
    }
    const double real = static_cast<double>(virtualNs) / scale;
    constexpr double kMax = 3600e9; // an hour; callers re-check anyway
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(real < kMax ? real : kMax)));
}

} // namespace kal::detail

namespace kal::clock {

void setScale(double factor) {
    if (!(factor > 0.0) || !std::isfinite(factor)) {
        KAL_FAIL("kal::clock::setScale needs a positive, finite factor");
    }
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        const std::uint64_t now = nowLocked(s);
        s.virtualBase = now;
        s.realBase = Real::now();
        s.scale = factor;
    }
    kal::detail::wakeAllChannels();
}

void setStepped(bool on, std::uint64_t readStepNs) {
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        s.virtualBase = nowLocked(s);
        s.realBase = Real::now();
        s.stepped = on;
        s.readStepNs = on ? readStepNs : 0;
    }
    kal::detail::wakeAllChannels();
}

bool stepped() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.stepped;
}

double scale() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.scale;
}

void setTimeOfDay(std::uint32_t seconds, std::uint32_t microseconds) {
    if (microseconds > 999999) {
        KAL_FAIL("kal::clock::setTimeOfDay: microseconds must be below 1000000");
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    s.fixedTimeOfDay = std::make_pair(seconds, microseconds);
}

void clearTimeOfDay() {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.fixedTimeOfDay.reset();
}

std::vector<SleepRecord> sleepLog() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.sleeps;
}

void clearSleepLog() {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.sleeps.clear();
}

} // namespace kal::clock

extern "C" uint64_t nVOKAL1_getMonotonicCounter(void) noexcept {
    return readNs();
}

extern "C" uint64_t nVOKAL100_getTimerInterval(void) noexcept {
    return kTimerIntervalMicroseconds;
}

extern "C" int64_t nVOKAL110_getTimerCount(void) noexcept {
    return static_cast<int64_t>(readNs() / 1000 / kTimerIntervalMicroseconds);
}

extern "C" void nVOKAL100_getTimeOfDay(uint32_t* seconds, uint32_t* microseconds) noexcept {
    if (seconds == nullptr || microseconds == nullptr) {
        KAL_FAIL("nVOKAL100_getTimeOfDay with a null result pointer");
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    if (s.fixedTimeOfDay) {
        *seconds = s.fixedTimeOfDay->first;
        *microseconds = s.fixedTimeOfDay->second;
        return;
    }
    const std::uint64_t us = s.todAtBaseUs + (readLocked(s) - s.todBaseNs) / 1000;
    *seconds = static_cast<uint32_t>(us / 1000000);
    *microseconds = static_cast<uint32_t>(us % 1000000);
}

extern "C" void nVOKAL250_sleepTimeout(uint32_t microseconds) noexcept {
    kal::exec::assertMayBlock("nVOKAL250_sleepTimeout");
    auto& me = kal::detail::self();
    bool stepped = false;
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        if (s.sleeps.size() >= kSleepLogLimit) { // keeps a long-running host bounded
            s.sleeps.erase(s.sleeps.begin(), s.sleeps.begin() + kSleepLogLimit / 2);
        }
        s.sleeps.push_back({me.id, microseconds});
        stepped = s.stepped;
        if (stepped) {
            // A zero sleep still lets time pass (a microsecond), as a yield does.
            const std::uint64_t us = microseconds == 0 ? 1 : microseconds;
            s.virtualBase = nowLocked(s) + us * 1000;
        }
    }
    if (stepped) {
        kal::detail::wakeAllChannels(); // timed waits see the new time
        std::this_thread::yield();
        return;
    }
    if (microseconds == 0) {
        std::this_thread::yield();
        return;
    }
    const std::uint64_t deadline = kal::detail::nowNs() + static_cast<std::uint64_t>(microseconds) * 1000;
    auto& channel = kal::detail::channelFor(&me);
    std::unique_lock guard(channel.lock);
    kal::detail::blockOn(
        channel, guard, [] { return false; }, &deadline, false, kal::detail::Blocked::sleep);
}
