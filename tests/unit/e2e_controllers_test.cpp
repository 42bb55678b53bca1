// Temperature and power allocation end to end: a client of the C API on a
// module at level 19, whose codes reach the non-isolated controllers (the
// cooling override: the life-cycle tests).
#include <cmath>
#include <cstdint>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::statusOf;

constexpr int32_t kReadingInvalid = static_cast<int32_t>(0xBFFA4329u);
constexpr int32_t kBudgetExceeded = static_cast<int32_t>(0xBFFA40A9u);

using EndToEndControllers = kelvo_test::HostedTest;

// A reading that never becomes valid: the time-out's code, and the last
// reading still answered.
TEST_F(EndToEndControllers, ATemperatureThatNeverBecomesValid) {
    const int index = add("solstra", [](sim::Module& m) { m.vrefTemperature()->setNeverValid(true); });
    const auto out = answer<kelvo_corran_readTemperatureSensor_out>(
        open(index), KELVO_IOCTL_corran_readTemperatureSensor, kelvo_corran_readTemperatureSensor_in{0, 0});
    EXPECT_EQ(out.temperature, 0x0B2C);
    EXPECT_EQ(out.status, kReadingInvalid);
}

// Before the channel's reservation every request answers so; after it the
// staged power counts against the budget, a commit makes it the actual one
// and a discard drops only what was staged since.
TEST_F(EndToEndControllers, PowerAllocationNeedsTheChannelsReservation) {
    enum Op { kStage, kCommit, kDiscard, kActual, kReserve };
    const int32_t notReserved = KELVO_STATUS_CHANNEL_NOT_RESERVED;
    const struct {
        const char* what;
        Op op;
        uint8_t channel;
        uint32_t power; // staged, or the actual one answered
        int32_t status;
    } steps[] = {
        {"stage", kStage, 0, 1000, notReserved},
        {"commit", kCommit, 0, 0, notReserved},
        {"discard", kDiscard, 0, 0, notReserved},
        {"actual", kActual, 0, 0, notReserved},
        {"reserve", kReserve, 0, 0, 0},
        {"channel 1", kStage, 1, 1000, KELVO_STATUS_INVALID_CHANNEL},
        {"the whole budget", kStage, 0, 225000000, 0},
        {"commit", kCommit, 0, 0, 0},
        {"actual", kActual, 0, 225000000, 0},
        {"one more microwatt", kStage, 0, 225000001, kBudgetExceeded},
        {"a decrease", kStage, 0, 25000000, 0},
        {"discarded", kDiscard, 0, 0, 0},
        {"still the whole budget", kActual, 0, 225000000, 0},
    };
    const int index = add("solstra");
    const int handle = open(index);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const kelvo_corran_commitPowerAllocation_in in{step.channel, {}, 0};
        switch (step.op) {
        case kStage: {
            const auto out = answer<kelvo_corran_stagePowerAllocation_out>(
                handle, KELVO_IOCTL_corran_stagePowerAllocation,
                kelvo_corran_stagePowerAllocation_in{step.channel, {}, step.power, 0});
            EXPECT_EQ(out.result, 0u);
            EXPECT_EQ(out.status, step.status);
            break;
        }
        case kActual: {
            const auto out = answer<kelvo_corran_getActualPowerAllocation_out>(
                handle, KELVO_IOCTL_corran_getActualPowerAllocation,
                kelvo_corran_getActualPowerAllocation_in{step.channel, {}, 0});
            EXPECT_EQ(out.powerMicrowatts, step.power);
            EXPECT_EQ(out.status, step.status);
            break;
        }
        case kCommit:
            EXPECT_EQ(statusOf(handle, KELVO_IOCTL_corran_commitPowerAllocation, in), step.status);
            break;
        case kDiscard:
            EXPECT_EQ(statusOf(handle, KELVO_IOCTL_corran_discardPowerAllocation, in), step.status);
            break;
        case kReserve:
            EXPECT_EQ(reserveAll(handle), step.status);
            break;
        }
    }
}

} // namespace

namespace {

TEST(HostClockScale, OnlyAFiniteFactorAboveZeroIsTaken) {
    const double before = kal::clock::scale();
    for (double bad : {0.0, -1.0, std::nan(""), 1e300}) {
        EXPECT_EQ(kelvo_host_set_clock_scale(bad), KELVO_E_INVALID) << bad;
        EXPECT_EQ(kal::clock::scale(), before);
    }
    EXPECT_EQ(kelvo_host_set_clock_scale(250.0), 0);
    EXPECT_EQ(kal::clock::scale(), 250.0);
    kal::clock::setScale(before);
}

} // namespace
