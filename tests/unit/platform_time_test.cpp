// Time units, timebases, timeouts and sleeping, the checked narrowing, the fixed-point shift.

#include "nVOKAL.h"
#include "platform/fixedpoint.h"
#include "platform/memory.h"
#include "platform/safecast.h"
#include "platform/time.h"
#include "test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;

std::vector<uint32_t> mySleeps() {
    return kelvo_test::sleepsOf(nVOKAL100_getThreadID());
}

TEST(PlatformTime, ConversionsWalkTheUnitsAndTruncateAtEachStep) {
    const struct {
        uint64_t value;
        uint32_t from, to;
        uint64_t expected;
    } cases[] = {
        {59, nVOAPAL200_kSeconds, nVOAPAL200_kMinutes, 0},
        {2, nVOAPAL200_kHours, nVOAPAL200_kPicoseconds, 7200000000000000ull},
        {7199999999999999ull, nVOAPAL200_kPicoseconds, nVOAPAL200_kHours, 1}, // each step truncates
        {42, nVOAPAL200_kMinutes, nVOAPAL200_kMinutes, 42},
        {1, nVOAPAL200_kMinutes, nVOAPAL200_kSeconds, 60},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nVOAPAL200_convertTime(c.value, c.from, c.to), c.expected)
            << c.value << " " << c.from << "->" << c.to;
    }
}

TEST(PlatformTimeDeathTest, UnitsAboveHoursAreAnInvariantFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kal::log::setEcho(true);
    EXPECT_DEATH(nVOAPAL200_convertTime(1, 7, nVOAPAL200_kSeconds),
                 "Conversion unit is out of range \\(7\\)");
    EXPECT_DEATH((tTimeout<tTimeWasterSpin, tTimebasePrecise>()).waitForTimeout(), "timeout not set!");
    kal::log::setEcho(false);
}

TEST(PlatformTime, TimebasesAndTheResolutionAddedToEveryTimeout) {
    tTimeout<tTimeWasterSpin, tTimebaseEfficient> coarse(1, nVOAPAL200_kMicroseconds);
    EXPECT_EQ(coarse.getTimeoutValue(), 1u + nVOKAL100_getTimerInterval());
    tTimeout<tTimeWasterSpin, tTimebasePrecise> huge(UINT64_MAX, nVOAPAL200_kNanoseconds);
    EXPECT_EQ(huge.getTimeoutValue(), UINT64_MAX) << "the resolution is not added past the top";

    kal::clock::ScopedStepped stepped(1000); // the spin: every clock read a microsecond later
    const uint64_t before = nVOKAL1_getMonotonicCounter();
    const int64_t ticksBefore = nVOAPAL200_getTimerCount();
    kal::clock::clearSleepLog();
    coarse.start();
    coarse.waitForTimeout();
    EXPECT_TRUE(coarse.hasExpired());
    EXPECT_GE(nVOAPAL200_getTimerCount(), ticksBefore + 1);
    EXPECT_GE(nVOKAL1_getMonotonicCounter() - before, 1000u);
    EXPECT_TRUE(mySleeps().empty()) << "the spinning waster never sleeps";
}

TEST(PlatformTime, SleepsWaitAtLeastTheTimeInWholeMilliseconds) {
    kal::clock::ScopedStepped stepped; // each sleep moves the clock on by its length
    kal::clock::clearSleepLog();
    uint64_t before = nVOKAL1_getMonotonicCounter();
    kelvo_driver::nVOAPAL000::sleepMicroseconds(0);
    EXPECT_GE(nVOKAL1_getMonotonicCounter() - before, 1u);
    for (uint32_t sleep : mySleeps()) {
        EXPECT_EQ(sleep, 0u) << "less than a millisecond left sleeps 0";
    }

    kal::clock::clearSleepLog();
    before = nVOKAL1_getMonotonicCounter();
    kelvo_driver::nVOAPAL000::sleepMicroseconds(1500);
    EXPECT_GE(nVOKAL1_getMonotonicCounter() - before, 1500001u) << "1500 us and one resolution";
    const auto sleeps = mySleeps();
    ASSERT_GE(sleeps.size(), 2u);
    for (std::size_t i = 0; i < sleeps.size(); ++i) {
        EXPECT_EQ(sleeps[i], i == 0 ? 1000u : 0u) << "one millisecond first, then zeros: sleep " << i;
    }
}

TEST(PlatformMemoryHelpers, SafeCastAndCopy) {
    tStatus status;
    EXPECT_EQ(orut::safeCast(0xFFFFFFFFull, status), 0xFFFFFFFFu);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(orut::safeCast(0x100000000ull, status), 0u);
    EXPECT_EQ(status.getCode(), tStatus::kUnsupportedValue);
    EXPECT_EQ(orut::safeCast(5, status), 0u) << "a fatal status gives 0";

    nVOAPAL200_copyMemory(nullptr, nullptr, 0); // no bytes: null pointers are fine
}

// The 128-bit shift against the compiler's 128-bit integers (negative counts shift left).
TEST(PlatformMemoryHelpers, FixedPointShiftsAcrossTheWordBoundary) {
    using Value = votypes::FixedPoint128<64, true>;
    const Value values[] = {{0x0123456789ABCDEFull, 0x8000000000000002ull}, {0xFEDCBA9876543211ull, 0x21ull}};
    const int32_t counts[] = {0, 1, 4, 63, 64, 65, 127, 128, 1000, -1, -4, -63, -64, -65, -127, -128, -1000};
    for (const Value& value : values) {
        const unsigned __int128 bits = (static_cast<unsigned __int128>(value.high) << 64) | value.low;
        for (const bool signExtend : {true, false}) {
            const bool fill = signExtend && value.isNegative();
            for (const int32_t count : counts) {
                unsigned __int128 expected = 0;
                if (count > 127) {
                    expected = fill ? ~static_cast<unsigned __int128>(0) : 0;
                } else if (count >= 0) {
                    expected = fill ? static_cast<unsigned __int128>(static_cast<__int128>(bits) >> count)
                                    : bits >> count;
                } else if (count >= -127) {
                    expected = bits << -count;
                }
                Value shifted = value;
                shifted.RightShift(count, signExtend);
                EXPECT_EQ(shifted.low, static_cast<uint64_t>(expected)) << count << " " << signExtend;
                EXPECT_EQ(shifted.high, static_cast<uint64_t>(expected >> 64)) << count << " " << signExtend;
            }
        }
    }
}

} // namespace
