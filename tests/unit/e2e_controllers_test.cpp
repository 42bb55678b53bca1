// Cooling, temperature and power allocation end to end: a client of the C API
// on a module at level 19, whose codes reach the non-isolated controllers.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::statusOf;

constexpr int32_t kInvalidSensor = static_cast<int32_t>(0xBFFA4300u);
constexpr int32_t kReadingInvalid = static_cast<int32_t>(0xBFFA4329u);
constexpr int32_t kBudgetExceeded = static_cast<int32_t>(0xBFFA40A9u);

class EndToEndControllers : public kelvo_test::HostedTest {
protected:
    static int add(const char* board, const std::function<void(sim::Module&)>& prepare = {}) {
        const int index = HostedTest::add(board, prepare);
        EXPECT_EQ(levelOf(index), 19u);
        return index;
    }
    static uint32_t coolingMode(int handle) {
        const auto out = answer<kelvo_voquantaPXICooling_getCoolingMode_out>(
            handle, KELVO_IOCTL_voquantaPXICooling_getCoolingMode, kelvo_status_record{0});
        EXPECT_EQ(out.status, 0);
        return out.coolingMode;
    }

    kal::clock::ScopedScale fast_{1000};
};

TEST_F(EndToEndControllers, AnOverrideWinsOverTheCoolingService) {
    struct Board {
        const char* name;
        uint32_t requested;
    };
    for (const Board board : {Board{"solstra", 0x41000030}, Board{"duskmere-a", 0x20}}) {
        SCOPED_TRACE(board.name);
        const int index = add(board.name);
        const int instrument = open(index);
        const int service = kelvo_open("nPXICOOLING_17_2_pxiCooling", static_cast<unsigned>(index));
        EXPECT_EQ(coolingMode(instrument), 16u) << "the device's record starts at mode 16";
        for (int handle : {instrument, service}) {
            const auto requested = answer<kelvo_pxiCooling_getRequestedCoolingMode_out>(
                handle, KELVO_IOCTL_pxiCooling_getRequestedCoolingMode, kelvo_status_record{0});
            EXPECT_EQ(requested.coolingMode, board.requested);
            EXPECT_EQ(requested.status, 0);
        }
        // The service's plain request applies while no override is in force.
        EXPECT_EQ(statusOf(service, KELVO_IOCTL_pxiCooling_setCoolingMode,
                           kelvo_pxiCooling_setCoolingMode_in{24, 0}),
                  0);
        EXPECT_EQ(coolingMode(instrument), 24u);
        EXPECT_EQ(statusOf(instrument, KELVO_IOCTL_voquantaPXICooling_overrideCoolingMode,
                           kelvo_voquantaPXICooling_overrideCoolingMode_in{40, 0}),
                  0);
        EXPECT_EQ(statusOf(service, KELVO_IOCTL_pxiCooling_setCoolingMode,
                           kelvo_pxiCooling_setCoolingMode_in{50, 0}),
                  0)
            << "the dropped request still succeeds";
        EXPECT_EQ(coolingMode(instrument), 40u) << "the override stays";
        remove(index);
    }
}

TEST_F(EndToEndControllers, TheTemperatureSensor) {
    struct Case {
        const char* what;
        const char* board;
        std::function<void(sim::Module&)> prepare;
        uint32_t sensor;
        uint16_t temperature;
        int32_t status;
    };
    const Case cases[] = {
        {"Solstra's Vref reading", "solstra", {}, 0, 0x0B2C, 0},
        {"sensor 1", "solstra", {}, 1, 0, kInvalidSensor},
        {"a reading that never becomes valid", "solstra",
         [](sim::Module& m) { m.vrefTemperature()->setNeverValid(true); }, 0, 0x0B2C, kReadingInvalid},
        {"Duskmere has no sensor to read", "duskmere-b", {}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int index = add(c.board, c.prepare);
        const int handle = open(index);
        sim::Module& m = *kelvo_host::module(static_cast<unsigned>(index));
        m.nisoFpga().clearTrace();
        const auto out = answer<kelvo_corran_readTemperatureSensor_out>(
            handle, KELVO_IOCTL_corran_readTemperatureSensor,
            kelvo_corran_readTemperatureSensor_in{c.sensor, 0});
        EXPECT_EQ(out.temperature, c.temperature);
        EXPECT_EQ(out.status, c.status);
        const size_t reads = m.nisoFpga().trace().size();
        EXPECT_EQ(reads != 0, c.sensor == 0 && std::string(c.board) == "solstra") << reads;
        remove(index);
    }
}

TEST_F(EndToEndControllers, TemperatureRequestsFromSeveralThreads) {
    const int index = add("solstra");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            const int handle = open(index);
            for (int i = 0; i < 20; ++i) {
                const auto out = answer<kelvo_corran_readTemperatureSensor_out>(
                    handle, KELVO_IOCTL_corran_readTemperatureSensor,
                    kelvo_corran_readTemperatureSensor_in{0, 0});
                wrong += out.status != 0 || out.temperature != 0x0B2C ? 1 : 0;
            }
            kelvo_close(handle);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(EndToEndControllers, PowerAllocationNeedsTheChannelsReservation) {
    struct Step {
        const char* what;
        uint32_t code;
        uint8_t channel;
        uint32_t power;
        uint32_t result;
        int32_t status;
    };
    const uint32_t stage = KELVO_IOCTL_corran_stagePowerAllocation;
    const uint32_t commit = KELVO_IOCTL_corran_commitPowerAllocation;
    const uint32_t discard = KELVO_IOCTL_corran_discardPowerAllocation;
    const uint32_t actual = KELVO_IOCTL_corran_getActualPowerAllocation;
    const int32_t notReserved = KELVO_STATUS_CHANNEL_NOT_RESERVED;
    const std::vector<Step> before = {
        {"stage", stage, 0, 1000, 0, notReserved},
        {"commit", commit, 0, 0, 0, notReserved},
        {"discard", discard, 0, 0, 0, notReserved},
        {"actual", actual, 0, 0, 0, notReserved},
    };
    const std::vector<Step> after = {
        {"channel 1", stage, 1, 1000, 0, KELVO_STATUS_INVALID_CHANNEL},
        {"the whole budget", stage, 0, 225000000, 0, 0},
        {"commit", commit, 0, 0, 0, 0},
        {"actual", actual, 0, 0, 225000000, 0},
        {"one more microwatt", stage, 0, 225000001, 0, kBudgetExceeded},
        {"a decrease", stage, 0, 25000000, 0, 0},
        {"discarded", discard, 0, 0, 0, 0},
        {"still the whole budget", actual, 0, 0, 225000000, 0},
    };
    const int index = add("solstra");
    const int handle = open(index);
    auto run = [handle](const Step& step) {
        SCOPED_TRACE(step.what);
        uint32_t result = 0;
        int32_t status = 0;
        if (step.code == KELVO_IOCTL_corran_stagePowerAllocation) {
            const auto out = answer<kelvo_corran_stagePowerAllocation_out>(
                handle, step.code, kelvo_corran_stagePowerAllocation_in{step.channel, {}, step.power, 0});
            result = out.result;
            status = out.status;
        } else if (step.code == KELVO_IOCTL_corran_getActualPowerAllocation) {
            const auto out = answer<kelvo_corran_getActualPowerAllocation_out>(
                handle, step.code, kelvo_corran_getActualPowerAllocation_in{step.channel, {}, 0});
            result = out.powerMicrowatts;
            status = out.status;
        } else {
            status = statusOf(handle, step.code, kelvo_corran_commitPowerAllocation_in{step.channel, {}, 0});
        }
        EXPECT_EQ(result, step.result);
        EXPECT_EQ(status, step.status);
    };
    for (const Step& step : before) {
        run(step);
    }
    EXPECT_EQ(reserveAll(handle), 0);
    for (const Step& step : after) {
        run(step);
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
