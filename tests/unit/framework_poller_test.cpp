// The poller on a fake clock: conditions, the doubling interval, the
// deadline with its one extra read, timeout handlers and getter failures;
// and once on the stand-in's clock (scaled, so nothing waits long).
#include <cstdint>
#include <vector>

#include "control.h"
#include "framework/hardware_state_checker.h"
#include "framework/poller.h"
#include "framework/timeout_handler.h"
#include "platform/time.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tTimeout;
using nVOAPALS100::tStatus;

// A clock in microseconds that moves only when a wait spends time.
struct FakeClock {
    static inline uint64_t now = 0;
    static inline std::vector<uint64_t> waits;
    static void reset() {
        now = 0;
        waits.clear();
    }
};
struct FakeTimebase {
    static uint32_t getUnit() { return nVOAPAL200_kMicroseconds; }
    static uint64_t getResolution() { return 1; }
    static uint64_t now() { return FakeClock::now; }
};
struct FakeWaster {
    static void wasteTime(uint64_t remaining, uint32_t unit) {
        EXPECT_EQ(unit, nVOAPAL200_kMicroseconds);
        FakeClock::waits.push_back(remaining);
        FakeClock::now += remaining;
    }
};
using FakePoller = orut::Poller<tTimeout<FakeWaster, FakeTimebase>>;

constexpr int32_t kTimeoutCode = static_cast<int32_t>(0xBFFA4682u);

// A register whose value changes at a given time; records when it was read.
struct FakeRegister {
    uint32_t before = 0;
    uint32_t after = 0;
    uint64_t changesAt = UINT64_MAX;
    uint64_t readCost = 0; // clock advance per read
    size_t failOnRead = SIZE_MAX;
    std::vector<uint64_t> readTimes;

    uint32_t read(tStatus& status) {
        readTimes.push_back(FakeClock::now);
        const uint32_t value = FakeClock::now >= changesAt ? after : before;
        FakeClock::now += readCost;
        if (readTimes.size() == failOnRead) {
            KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        }
        return value;
    }
    uint32_t readWithoutStatus() {
        tStatus ignored;
        return read(ignored);
    }
};

class FrameworkPoller : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        FakeClock::reset();
    }
    // The waits in microseconds (each timeout waits one resolution more than asked).
    static std::vector<uint64_t> waits() {
        std::vector<uint64_t> result;
        for (uint64_t wait : FakeClock::waits) {
            result.push_back(wait - 1);
        }
        return result;
    }
};

TEST_F(FrameworkPoller, EachConditionTestsTheMaskedValue) {
    struct Case {
        FakePoller::PollCondition condition;
        uint32_t mask;
        uint32_t expected;
        uint32_t value;
        bool holds;
    };
    const Case cases[] = {
        {FakePoller::kAnyBitSet, 0x6, 0, 0x2, true},  {FakePoller::kAnyBitSet, 0x6, 0, 0x9, false},
        {FakePoller::kAllBitsSet, 0x6, 0, 0x7, true}, {FakePoller::kAllBitsSet, 0x6, 0, 0x4, false},
        {FakePoller::kNoBitSet, 0x6, 0, 0x9, true},   {FakePoller::kNoBitSet, 0x6, 0, 0x4, false},
        {FakePoller::kEqual, 0xF0, 0x30, 0x3F, true}, {FakePoller::kEqual, 0xF0, 0x30, 0x20, false},
        {FakePoller::kEqual, 0xFFFFFFFF, 0, 0, true},
    };
    for (const Case& c : cases) {
        FakeClock::reset();
        FakeRegister reg;
        reg.before = c.value;
        FakePoller poller(10, 100, kTimeoutCode);
        tStatus status;
        poller.poll(reg, &FakeRegister::read, c.expected, c.mask, 1000, true, c.condition, status);
        if (c.holds) {
            // Already true at the first read: no wait at all.
            EXPECT_TRUE(status.isSuccess()) << c.condition << " " << c.value;
            EXPECT_EQ(reg.readTimes.size(), 1u);
            EXPECT_TRUE(FakeClock::waits.empty());
        } else {
            EXPECT_EQ(status.getCode(), kTimeoutCode) << c.condition << " " << c.value;
        }
    }
}

TEST_F(FrameworkPoller, IntervalDoublesToTheMaximumAndOneReadFollowsTheDeadline) {
    FakeRegister reg;
    FakePoller poller(20, 500, kTimeoutCode);
    tStatus status;
    poller.poll(reg, &FakeRegister::read, 1, 0xFFFFFFFF, 2000, true, FakePoller::kEqual, status);
    EXPECT_EQ(status.getCode(), kTimeoutCode);
    EXPECT_EQ(waits(), (std::vector<uint64_t>{20, 40, 80, 160, 320, 500, 500, 500}));

    // The deadline is 2000 us (plus one resolution) after the start; exactly
    // one read happens past it, and none is followed by a further wait.
    const uint64_t deadline = 2001;
    size_t lateReads = 0;
    for (uint64_t when : reg.readTimes) {
        lateReads += when >= deadline ? 1 : 0;
    }
    EXPECT_EQ(lateReads, 1u);
    EXPECT_GE(reg.readTimes.back(), deadline);
    EXPECT_EQ(reg.readTimes.size(), FakeClock::waits.size() + 1);
    EXPECT_EQ(FakeClock::now, reg.readTimes.back());
}

TEST_F(FrameworkPoller, TheReadAfterTheDeadlineStillCounts) {
    FakeRegister reg;
    reg.after = 1;
    reg.changesAt = 2100; // after the deadline, before the last read
    FakePoller poller(20, 500, kTimeoutCode);
    tStatus status;
    poller.poll(reg, &FakeRegister::read, 1, 0xFFFFFFFF, 2000, true, FakePoller::kEqual, status);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_GE(reg.readTimes.back(), 2100u);
}

TEST_F(FrameworkPoller, MaximumIntervalZeroReadsBackToBackUntilTheDeadline) {
    FakeRegister reg;
    reg.readCost = 3; // the only thing that moves the clock
    FakePoller poller(20, 0, kTimeoutCode);
    tStatus status;
    poller.poll(reg, &FakeRegister::read, 1, 1, 30, true, FakePoller::kEqual, status);
    EXPECT_EQ(status.getCode(), kTimeoutCode);
    EXPECT_TRUE(FakeClock::waits.empty());
    // Reads at 0, 3, ..., 30 before the deadline of 31, then one at 33.
    ASSERT_EQ(reg.readTimes.size(), 12u);
    EXPECT_EQ(reg.readTimes.back(), 33u);
}

TEST_F(FrameworkPoller, WithoutTheTimeoutFlagNoTimeoutIsEverReported) {
    FakeRegister reg;
    reg.after = 1;
    reg.changesAt = 10000000; // far beyond the timeout argument
    FakePoller poller(1000, 10000, kTimeoutCode);
    tStatus status;
    poller.poll(reg, &FakeRegister::read, 1, 1, 100, false, FakePoller::kEqual, status);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_GE(FakeClock::now, 10000000u);
    EXPECT_EQ(FakeClock::waits.back() - 1, 10000u);
}

struct FakeChecker : kdut::HardwareStateCheckerInterface {
    int64_t fault = 0;
    int calls = 0;
    void checkHardwareState(tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        ++calls;
        if (fault != 0) {
            KELVO_SET_STATUS(status, fault);
        }
    }
};

TEST_F(FrameworkPoller, AtTheDeadlineTheHandlersCheckerDecides) {
    const int32_t handlerCode = static_cast<int32_t>(0xBFFA807Cu);
    FakeChecker checker;
    kdut::CheckHardwareStateTimeoutHandler handler(checker, handlerCode);
    FakePoller poller(10, 100, kTimeoutCode, &handler);

    FakeRegister healthy;
    tStatus status;
    poller.poll(healthy, &FakeRegister::read, 1, 1, 500, true, FakePoller::kEqual, status);
    EXPECT_EQ(status.getCode(), handlerCode); // not the poller's own code
    EXPECT_EQ(checker.calls, 1);

    checker.fault = kelvoDriverCode(0xBFFA467C);
    FakeRegister faulty;
    tStatus faultStatus;
    poller.poll(faulty, &FakeRegister::read, 1, 1, 500, true, FakePoller::kEqual, faultStatus);
    EXPECT_EQ(faultStatus.getCode(), kelvoDriverCode(0xBFFA467C));
    EXPECT_EQ(checker.calls, 2);
}

TEST_F(FrameworkPoller, AFailingGetterEndsTheWaitWithItsOwnError) {
    FakeChecker checker;
    kdut::CheckHardwareStateTimeoutHandler handler(checker, kTimeoutCode);
    FakePoller poller(10, 100, kTimeoutCode, &handler);
    FakeRegister reg;
    reg.failOnRead = 3;
    tStatus status;
    poller.poll(reg, &FakeRegister::read, 1, 1, 500000, true, FakePoller::kEqual, status);
    EXPECT_EQ(status.getCode(), tStatus::kNotAccessible);
    EXPECT_EQ(reg.readTimes.size(), 3u);
    EXPECT_EQ(FakeClock::waits.size(), 2u); // no wait after the failed read
    EXPECT_EQ(checker.calls, 0);

    FakeRegister other;
    tStatus invalid;
    poller.poll(other, &FakeRegister::read, 0, 0, 500, true, static_cast<FakePoller::PollCondition>(4),
                invalid);
    EXPECT_EQ(invalid.getCode(), tStatus::kInvalidParameter);
    EXPECT_EQ(other.readTimes.size(), 1u);
    EXPECT_EQ(checker.calls, 0);
}

TEST_F(FrameworkPoller, WaitForValueNoStatusWaitsWithoutDeadline) {
    FakeRegister counter;
    counter.before = 3;
    counter.after = 1;
    counter.changesAt = 40000;
    FakePoller poller(1000, 10000, kTimeoutCode);
    tStatus status;
    poller.waitForValueNoStatus(counter, &FakeRegister::readWithoutStatus, 1, 0xFFFFFFFF, status);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(waits(), (std::vector<uint64_t>{1000, 2000, 4000, 8000, 10000, 10000, 10000}));
}

// ---- on the stand-in's clock ---------------------------------------------------

struct StandInRegister {
    int reads = 0;
    uint32_t read(tStatus&) {
        ++reads;
        return 0;
    }
};

TEST_F(FrameworkPoller, SleepingPollerTimesOutOnTheStandInClock) {
    kal::clock::ScopedStepped stepped; // the sleeps move the clock on
    kal::clock::clearSleepLog();
    using SleepPoller = orut::Poller<
        tTimeout<kelvo_driver::nVOAPAL000::tTimeWasterSleep, kelvo_driver::nVOAPAL000::tTimebasePrecise>>;
    SleepPoller poller(1000, 1000, kTimeoutCode);
    StandInRegister reg;
    tStatus status;
    poller.poll(reg, &StandInRegister::read, 1, 1, 500000, true, SleepPoller::kEqual, status);
    EXPECT_EQ(status.getCode(), kTimeoutCode);
    EXPECT_GE(reg.reads, 1);
    // The waits between reads sleep whole milliseconds, never more than the interval.
    for (const auto& record : kal::clock::sleepLog()) {
        EXPECT_LE(record.microseconds, 1000u);
        EXPECT_EQ(record.microseconds % 1000, 0u);
    }
}

} // namespace
