// Stand-in clocks and sleep: one stand-in time base that can run faster than
// real time (kal::clock::setScale).
#include <atomic>
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

// Outside stepped time a read takes no lock: what it needs (stepped, scale,
// the bases) is published under the lock with the sequence odd while it
// changes, and a read that saw the sequence move tries again, as a kernel
// reads its clock under a sequence count. Stepped time is read under the lock
// (each read may move it on); switching it on moves the sequence.
struct ClockState {
    std::mutex lock;
    std::atomic<std::uint64_t> sequence{0};
    std::atomic<bool> stepped{false}; // time moves only by sleeps (and reads)
    std::atomic<double> scale{1.0};
    std::atomic<Real::rep> realBase{Real::now().time_since_epoch().count()};
    // Stand-in time at realBase: starts at the real monotonic time, like an uptime.
    std::atomic<std::uint64_t> virtualBase{static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Real::duration(realBase.load())).count())};
    std::atomic<std::uint64_t> lastReturned{0};
    // Time of day at the stand-in time todBase (taken from the system clock at start).
    std::uint64_t todBaseNs = virtualBase.load();
    std::uint64_t todAtBaseUs =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    std::optional<std::pair<std::uint32_t, std::uint32_t>> fixedTimeOfDay;
    std::vector<kal::clock::SleepRecord> sleeps;
    std::uint64_t readStepNs = 0; // stepped: what each read of the time adds
};

ClockState& state() {
    static ClockState* s = new ClockState; // lives for the whole process (used from thread exits)
    return *s;
}

// Never answers less than an earlier answer.
std::uint64_t answer(ClockState& s, std::uint64_t now) {
    std::uint64_t last = s.lastReturned.load(std::memory_order_relaxed);
    while (now > last && !s.lastReturned.compare_exchange_weak(last, now, std::memory_order_relaxed)) {
    }
    return std::max(now, last);
}

std::uint64_t realTime(Real::rep realBase, std::uint64_t virtualBase, double scale) {
    const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          Real::now() - Real::time_point(Real::duration(realBase)))
                          .count();
    if (scale == 1.0) {
        return virtualBase + static_cast<std::uint64_t>(real);
    }
    return virtualBase + static_cast<std::uint64_t>(std::llround(static_cast<double>(real) * scale));
}

// Outside stepped time: the time, without the lock; false in stepped time.
bool readUnstepped(ClockState& s, std::uint64_t& now) {
    for (;;) {
        const std::uint64_t before = s.sequence.load(std::memory_order_acquire);
        if ((before & 1) != 0) {
            continue;
        }
        // Acquire: a value a change stored shows its odd sequence to the check below.
        const bool stepped = s.stepped.load(std::memory_order_acquire);
        const double scale = s.scale.load(std::memory_order_acquire);
        const Real::rep realBase = s.realBase.load(std::memory_order_acquire);
        const std::uint64_t virtualBase = s.virtualBase.load(std::memory_order_acquire);
        if (s.sequence.load(std::memory_order_relaxed) != before) {
            continue;
        }
        if (stepped) {
            return false;
        }
        now = answer(s, realTime(realBase, virtualBase, scale));
        return true;
    }
}

// Under the lock: changes what unlocked reads use (the change stores with
// release, after the odd sequence).
template <typename Change> void publish(ClockState& s, Change change) {
    const std::uint64_t sequence = s.sequence.load(std::memory_order_relaxed);
    s.sequence.store(sequence + 1, std::memory_order_relaxed);
    change();
    s.sequence.store(sequence + 2, std::memory_order_release);
}

std::uint64_t nowLocked(ClockState& s) {
    if (s.stepped.load(std::memory_order_relaxed)) {
        return answer(s, s.virtualBase.load(std::memory_order_relaxed));
    }
    return answer(s, realTime(s.realBase.load(std::memory_order_relaxed),
                              s.virtualBase.load(std::memory_order_relaxed),
                              s.scale.load(std::memory_order_relaxed)));
}

// A read of the time by the kernel-layer operations: in stepped time with a
// read step, the next read answers that much later.
std::uint64_t readLocked(ClockState& s) {
    const std::uint64_t now = nowLocked(s);
    if (s.stepped.load(std::memory_order_relaxed)) {
        s.virtualBase.store(now + s.readStepNs, std::memory_order_release);
    }
    return now;
}

std::uint64_t readNs() {
    auto& s = state();
    std::uint64_t now = 0;
    if (readUnstepped(s, now)) {
        return now;
    }
    std::lock_guard g(s.lock);
    return readLocked(s);
}

} // namespace

namespace kal::detail {

std::uint64_t nowNs() {
    auto& s = state();
    std::uint64_t now = 0;
    if (readUnstepped(s, now)) {
        return now;
    }
    std::lock_guard g(s.lock);
    return nowLocked(s);
}

std::chrono::nanoseconds realFor(std::uint64_t virtualNs) {
    auto& s = state();
    const double scale = s.scale.load();
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
        publish(s, [&] {
            s.virtualBase.store(now, std::memory_order_release);
            s.realBase.store(Real::now().time_since_epoch().count(), std::memory_order_release);
            s.scale.store(factor, std::memory_order_release);
        });
    }
    kal::detail::wakeAllChannels();
}

void setStepped(bool on, std::uint64_t readStepNs) {
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        const std::uint64_t now = nowLocked(s);
        publish(s, [&] {
            s.virtualBase.store(now, std::memory_order_release);
            s.realBase.store(Real::now().time_since_epoch().count(), std::memory_order_release);
            s.stepped.store(on, std::memory_order_release);
        });
        s.readStepNs = on ? readStepNs : 0;
    }
    kal::detail::wakeAllChannels();
}

bool stepped() {
    auto& s = state();
    return s.stepped.load();
}

double scale() {
    auto& s = state();
    return s.scale.load();
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
        stepped = s.stepped.load(std::memory_order_relaxed);
        if (stepped) {
            // A zero sleep still lets time pass (a microsecond), as a yield does.
            const std::uint64_t us = microseconds == 0 ? 1 : microseconds;
            s.virtualBase.store(nowLocked(s) + us * 1000, std::memory_order_release);
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
