// The poller on a fake clock.
#include "framework/poller.h"
#include "framework/timeout_handler.h"
#include "regs_sim_support.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;

// A clock in microseconds that moves only when a wait spends time: timebase and waster at once.
struct FakeClock {
    static inline uint64_t time = 0;
    static inline std::vector<uint64_t> waits; // as asked (each timeout waits one resolution more)
    static void reset() {
        time = 0;
        waits.clear();
    }
    static uint32_t getUnit() { return nVOAPAL200_kMicroseconds; }
    static uint64_t getResolution() { return 1; }
    static uint64_t now() { return time; }
    static void wasteTime(uint64_t remaining, uint32_t unit) {
        EXPECT_EQ(unit, nVOAPAL200_kMicroseconds);
        waits.push_back(remaining - 1);
        time += remaining;
    }
};
using FakePoller = orut::Poller<kelvo_driver::nVOAPAL000::tTimeout<FakeClock, FakeClock>>;

constexpr int32_t kTimeoutCode = KELVO_STATUS_MEASURE_UNIT_TIMED_OUT;

// A register whose value changes at a given time; records when it was read.
struct FakeRegister {
    uint32_t before = 0, after = 0;
    uint64_t changesAt = UINT64_MAX;
    uint64_t readCost = 0; // clock advance per read
    size_t failOnRead = SIZE_MAX;
    std::vector<uint64_t> readTimes;

    uint32_t read(tStatus& status) {
        readTimes.push_back(FakeClock::time);
        const uint32_t value = FakeClock::time >= changesAt ? after : before;
        FakeClock::time += readCost;
        if (readTimes.size() == failOnRead) {
            KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        }
        return value;
    }
};

using FrameworkPoller = kelvo_test::LeakCheckedTest;

TEST_F(FrameworkPoller, IntervalDoublesToTheMaximumAndOneReadFollowsTheDeadline) {
    const struct {
        uint32_t minimum, maximum, timeout;
        bool useTimeout;
        uint64_t changesAt, readCost;
        int64_t code;
        std::vector<uint64_t> waits;
        size_t reads;
        uint64_t lastRead;
    } cases[] = {
        // The deadline is the timeout plus one resolution after the start; the late read counts.
        {20, 500, 2000, true, UINT64_MAX, 0, kTimeoutCode, {20, 40, 80, 160, 320, 500, 500, 500}, 9, 2128},
        {20, 500, 2000, true, 2100, 0, 0, {20, 40, 80, 160, 320, 500, 500, 500}, 9, 2128},
        {20, 0, 30, true, UINT64_MAX, 3, kTimeoutCode, {}, 12, 33}, // back to back, the clock moved by reads
        {1000, 10000, 100, false, 10000000, 0, 0, {}, 0, 0},        // no deadline at all
    };
    for (const auto& c : cases) {
        FakeClock::reset();
        FakeRegister reg;
        reg.after = 1;
        reg.changesAt = c.changesAt;
        reg.readCost = c.readCost;
        FakePoller poller(c.minimum, c.maximum, kTimeoutCode);
        tStatus status;
        poller.poll(reg, &FakeRegister::read, 1, 1, c.timeout, c.useTimeout, FakePoller::kEqual, status);
        EXPECT_EQ(status.getCode(), c.code) << c.timeout;
        if (!c.useTimeout) {
            EXPECT_GE(FakeClock::time, c.changesAt);
            EXPECT_EQ(FakeClock::waits.back(), c.maximum);
            continue;
        }
        EXPECT_EQ(FakeClock::waits, c.waits) << c.timeout;
        EXPECT_EQ(reg.readTimes.size(), c.reads) << c.timeout;
        EXPECT_EQ(reg.readTimes.back(), c.lastRead) << c.timeout;
        EXPECT_LE(reg.readTimes[reg.readTimes.size() - 2], c.timeout + 1ull) << "one read past the deadline";
    }
}

// Each condition tests the masked value: one that holds at the first read needs no wait at all, one that does
// not lets the wait reach its deadline ("any bit set" is checked by the DMA stream and sequencer level tests
// that wait on it). At the deadline the handler's checker decides; a failing getter or a condition the poller
// does not know ends the wait at once, without it.
TEST_F(FrameworkPoller, EachConditionTestsTheMaskedValueAndTheHandlerDecidesAtTheDeadline) {
    const int32_t handlerCode = KELVO_STATUS_STREAM_STOP_TIMED_OUT;
    const struct {
        int64_t fault;
        size_t failOnRead;
        uint32_t condition;
        int64_t code;
        size_t reads; // 0: not counted
        int checks;
        uint32_t mask = 1, expected = 1, value = 0;
    } cases[] = {
        {0, SIZE_MAX, FakePoller::kEqual, handlerCode, 0, 1}, // not the poller's own code
        {KELVO_STATUS_NON_ISOLATED_SIGNATURE, SIZE_MAX, FakePoller::kEqual,
         KELVO_STATUS_NON_ISOLATED_SIGNATURE, 0, 1},
        {0, 3, FakePoller::kEqual, tStatus::kNotAccessible, 3, 0},
        {0, SIZE_MAX, 4, tStatus::kInvalidParameter, 1, 0},
        {0, SIZE_MAX, FakePoller::kAllBitsSet, 0, 1, 0, 0x6, 0, 0x7},
        {0, SIZE_MAX, FakePoller::kAllBitsSet, handlerCode, 0, 1, 0x6, 0, 0x4},
        {0, SIZE_MAX, FakePoller::kNoBitSet, 0, 1, 0, 0x6, 0, 0x9},
        {0, SIZE_MAX, FakePoller::kNoBitSet, handlerCode, 0, 1, 0x6, 0, 0x4},
        {0, SIZE_MAX, FakePoller::kEqual, 0, 1, 0, 0xF0, 0x30, 0x3F},
        {0, SIZE_MAX, FakePoller::kEqual, handlerCode, 0, 1, 0xF0, 0x30, 0x20},
        {0, SIZE_MAX, FakePoller::kEqual, 0, 1, 0, 0xFFFFFFFF, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        FakeClock::reset();
        kelvo_test::CountingChecker checker;
        checker.code = c.fault;
        kdut::CheckHardwareStateTimeoutHandler handler(checker, handlerCode);
        FakePoller poller(10, 100, kTimeoutCode, &handler);
        FakeRegister reg;
        reg.before = c.value;
        reg.failOnRead = c.failOnRead;
        tStatus status;
        poller.poll(reg, &FakeRegister::read, c.expected, c.mask, 500, true,
                    static_cast<FakePoller::PollCondition>(c.condition), status);
        EXPECT_EQ(status.getCode(), c.code);
        EXPECT_EQ(checker.calls, c.checks);
        if (c.reads != 0) {
            EXPECT_EQ(reg.readTimes.size(), c.reads);
            EXPECT_EQ(FakeClock::waits.size(), c.reads - 1) << "no wait after the last read";
        }
    }
}

} // namespace
