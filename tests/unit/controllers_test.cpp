// The non-isolated controllers on their own and over the simulated board.
#include <cstdio>
#include <sstream>
#include <thread>

#include "controllers/channel.h"
#include "controllers/non_isolated_controllers.h"
#include "fatal_hook_capture.h"
#include "kelvo/product_ids.h"
#include "platform/cxxruntime.h"
#include "regmaps/solstra_niso_top_reg_map.h"
#include "regs_sim_support.h"
#include "status_code.h"

namespace {

using corran_shared::PowerAllocationControllerImpl;
using kelvo_test::codeOf;
using nVOAPALS100::tStatus;

using Controllers = kelvo_test::LeakCheckedTest;

TEST_F(Controllers, TheDeviceLimitIsTheValueOfTheLargestKeyAtMost48) {
    using Entries = std::vector<std::pair<uint32_t, uint32_t>>; // key, value
    const std::pair<Entries, uint32_t> cases[] = {
        {{}, 0}, {{{49, 7}, {64, 8}}, 0}, {{{16, 1}, {32, 2}, {48, 3}}, 3}, {{{0, 5}, {64, 6}}, 5}};
    for (const auto& [entries, limit] : cases) {
        corran_caps::ProductCaps caps{};
        for (const auto& [key, value] : entries) {
            caps.powerAllocationLimitA.insert(key, value);
        }
        EXPECT_EQ(kelvo_driver::NonIsolatedControllers::deviceLimitOf(caps), limit) << entries.size();
    }
}

// Steps: "s<value>=<pool answered>" stages ("!": fails over the budget), "c" commits, "d" discards.
TEST_F(Controllers, PowerAllocationStagesCommitsAndDiscardsAgainstTheBudget) {
    const struct {
        const char* what;
        uint32_t limit;
        const char* steps;
        uint32_t actual;
        int64_t pool;
    } cases[] = {
        {"an increase is reserved at once, a commit keeps it", 100, "s40=60 c", 40, 60},
        {"a discarded increase returns exactly what it reserved", 100, "s40=60 d", 0, 100},
        {"the whole pool may be staged", 100, "s100=0 c", 100, 0},
        {"exhausted: a further increase fails and reserves nothing", 100, "s100=0 c s101=0!", 100, 0},
        {"a failed stage has discarded the channel's earlier one", 100, "s30=70 s150=100! c", 0, 100},
        {"a discard after a failed stage changes nothing", 100, "s60=40 c s200=40! d", 60, 40},
        {"a decrease is given back only at the commit", 100, "s80=20 c s10=20 c", 10, 90},
        {"a discarded decrease changes nothing", 100, "s80=20 c s10=20 d", 80, 20},
        {"a second stage replaces the first", 100, "s30=70 s50=50 c", 50, 50},
        {"staging the committed value unstages the channel", 100, "s30=70 c s50=50 s30=70 c", 30, 70},
        {"commit and discard of an unstaged channel change nothing", 100, "c d", 0, 100},
        {"a limit of 0 refuses every increase", 0, "s1=0!", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tStatus built;
        PowerAllocationControllerImpl controller(c.limit, 1, built);
        ASSERT_TRUE(built.isSuccess());
        std::istringstream steps(c.steps);
        for (std::string step; steps >> step;) {
            tStatus s;
            uint32_t value = 0, pool = 0;
            if (std::sscanf(step.c_str(), "s%u=%u", &value, &pool) == 2) {
                EXPECT_EQ(controller.stagePowerAllocation(0, value, s), pool) << step;
            } else if (step == "c") {
                controller.commitPowerAllocation(0, s);
            } else {
                controller.discardPowerAllocation(0, s);
            }
            EXPECT_EQ(s.getCode(), step.back() == '!' ? KELVO_STATUS_POWER_BUDGET_EXCEEDED : 0) << step;
        }
        tStatus s;
        EXPECT_EQ(controller.getActualPowerAllocation(0, s), c.actual);
        EXPECT_EQ(controller.getDevicePowerPool(), c.pool);
        // A failed status going in: nothing happens and the answers are 0.
        tStatus failed;
        KELVO_SET_STATUS(failed, -50400);
        EXPECT_EQ(controller.stagePowerAllocation(0, 1, failed), 0u);
        EXPECT_EQ(controller.getActualPowerAllocation(0, failed), 0u);
        EXPECT_EQ(controller.getDevicePowerPool(), c.pool);
    }
    // A channel past the count (here there is none) is reported as misuse and touches nothing.
    kelvo_test::FatalHookCapture capture;
    tStatus built, s;
    PowerAllocationControllerImpl none(100, 0, built);
    EXPECT_EQ(none.stagePowerAllocation(0, 1, s), 0u);
    none.commitPowerAllocation(0, s);
    none.discardPowerAllocation(0, s);
    EXPECT_EQ(none.getActualPowerAllocation(0, s), 0u);
    EXPECT_EQ(std::tuple(capture.count(), none.getDevicePowerPool()), std::tuple(4, 100));
}

TEST_F(Controllers, PowerAllocationHoldsItsBudgetUnderManyThreads) {
    constexpr uint32_t kChannels = 4, kLimit = 1000;
    tStatus built;
    PowerAllocationControllerImpl controller(kLimit, kChannels, built);
    ASSERT_TRUE(built.isSuccess());
    for (std::vector<std::jthread> threads; threads.size() < 8;) { // joined as the loop ends
        const auto t = static_cast<uint32_t>(threads.size());
        threads.emplace_back([&controller, t] {
            for (uint32_t i = 0; i < 300; ++i) {
                tStatus s;
                const uint32_t channel = (t + i) % kChannels;
                controller.stagePowerAllocation(channel, (i * 37 + t * 11) % 400, s);
                if ((i + t) % 3 == 0) {
                    controller.discardPowerAllocation(channel, s);
                } else {
                    controller.commitPowerAllocation(channel, s);
                }
            }
        });
    }
    uint64_t committed = 0;
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        tStatus s;
        controller.discardPowerAllocation(channel, s); // a stage that a failed one left behind
        committed += controller.getActualPowerAllocation(channel, s);
    }
    EXPECT_LE(committed, kLimit);
    EXPECT_EQ(controller.getDevicePowerPool(), static_cast<int64_t>(kLimit - committed));
}

// What a plain request and an override do while no override is in force: the end-to-end tests.
TEST_F(Controllers, ACoolingOverrideStaysUntilAnotherOverride) {
    struct Request {
        uint32_t mode, overrideState, modeAfter, overrideAfter;
    };
    const std::vector<Request> cases[] = {
        {{16, 1, 16, 1}, {20, 2, 16, 1}}, // an override of the stored mode only marks it
        {{40, 1, 40, 1}, {60, 1, 60, 1}}, // a later override replaces the earlier one
        {{0x120, 1, 0x20, 1}},            // the mode is a byte
    };
    kelvo_driver::PowerController power(nullptr, nullptr, nullptr, 399, 199);
    for (const auto& requests : cases) {
        kelvo_driver::CoolingModeState state{16, 0};
        tStatus built;
        kelvo_driver::PXICoolingControllerImpl cooling(0x41000030, &state, &power, built);
        ASSERT_TRUE(built.isSuccess());
        for (const Request& r : requests) {
            EXPECT_EQ(codeOf([&](tStatus& s) { cooling.setCoolingMode(r.mode, r.overrideState, s); }), 0);
            EXPECT_EQ(cooling.getCoolingMode(), r.modeAfter) << r.mode;
            EXPECT_EQ(state.override, r.overrideAfter) << r.mode;
        }
    }
}

TEST_F(Controllers, ChannelNumbersAndBitmasks) {
    using voquantasharedsource::ChannelBitmaskBase;
    const std::pair<uint8_t, uint64_t> bitmasks[] = {{0, 1}, {3, 8}, {63, 0x8000000000000000ull}, {64, 1}};
    for (const auto& [channel, mask] : bitmasks) {
        EXPECT_EQ(ChannelBitmaskBase::convertToBitmask(channel), mask) << int(channel);
        if (channel < 64) {
            EXPECT_EQ(ChannelBitmaskBase::convertToChannelNumber(mask), channel);
        }
    }
    const std::pair<uint32_t, uint8_t> dma[] = {{0, 0}, {1, 0}, {2, 1}, {255, 127}};
    for (const auto& [channel, physical] : dma) {
        EXPECT_EQ(voquantasharedsource::toPhysicalChannelNumberChecked(channel), physical);
        EXPECT_EQ(voquantasharedsource::toPhysicalChannelNumber(channel | 0x100), physical);
    }
    voquantasharedsource::LogicalChannelBitmask logical(0b101000);
    EXPECT_EQ(logical.getFirstChannel(), 3);
    EXPECT_EQ(logical.removeFirstChannel().value, 0b100000u);
}

// The Solstra non-isolated maps over the simulated board with its board blocks.
class ControllersOnTheBoard : public kelvo_test::LeakCheckedTest {
protected:
    ControllersOnTheBoard() { b.module->enableBoard(); }
    kelvo_test::SimBoard b;
    tStatus built;
    kelvo_regmaps::tSolstraNisoTopRegMap top{&b.fpga, built};
};

// The first drive's writes: the bring-up test. The poll reads at once, then after waits of 100 us doubling up
// to 100 ms: the 11th read is at 102.3 ms, the 14th at 402.3 ms (a ceiling of 200 ms, or none, reads the 13th
// at 404.7 or 409.5 ms instead).
TEST_F(ControllersOnTheBoard, TheTransformerDriveWritesOnlyWhatChangedAndTheLinkPollWaitsDoubleFrom100Us) {
    ASSERT_TRUE(built.isSuccess());
    kelvo_driver::PowerController power(nullptr, nullptr, &top.Board.XfmrCtrlRegs, 399, 199);
    sim::TransformerBlock& xfmr = b.module->transformer();
    tStatus s;
    power.enableTransformer(s);
    xfmr.clearTrace();
    power.enableTransformer(s);
    EXPECT_EQ(std::tuple(s.getCode(), xfmr.writtenValues(0), xfmr.writtenValues(4).size(), xfmr.enabled()),
              std::tuple(0, std::vector<uint64_t>{0x0000018F, 0x8000018F}, 0u, true));

    kelvo_driver::PowerController none(nullptr, nullptr, nullptr, 399, 199);
    EXPECT_EQ(codeOf([&](tStatus& m) { none.enableTransformer(m); }), tStatus::kNotAccessible);

    // The link's answer after the command (us), the status reads until it is seen.
    const std::pair<uint64_t, size_t> cases[] = {{0, 1}, {102000, 11}, {250000, 13}, {350000, 14}};
    kal::clock::ScopedStepped stepped; // time moves only with the poll's sleeps
    sim::IsoCommBlock& block = b.module->isoComm();
    kelvo_driver::IsolationLinkRecord link(&top.Board.IsoComm);
    uint8_t command = 1;
    for (const auto& [answersAfter, reads] : cases) {
        block.setLatencies(answersAfter * 1000, 0);
        block.clearTrace();
        EXPECT_EQ(codeOf([&](tStatus& s) { link.command(command, s); }), 0);
        EXPECT_EQ(block.readCount(sim::IsoCommBlock::kStatus), reads) << answersAfter;
        command = 3 - command; // a state the link is not in
    }
}

TEST_F(ControllersOnTheBoard, TheTemperatureIsReadOnceTheReadingIsValid) {
    ASSERT_TRUE(built.isSuccess());
    nVOAPAL200_initializeCPPRunTime(kelvo_driver::kDriver.initializers,
                                    kelvo_driver::kDriver.initializerCount);
    // The register answers raw to its first read and later from then on.
    const struct {
        const char* what;
        uint64_t invalidForNs; // ~0: never valid
        uint16_t raw, later, reading;
        int64_t code;
        bool waited;
    } cases[] = {
        {"valid at once: the answer is a second read", 0, 0x0B2C, 0x0B31, 0x0B31, 0, false},
        {"valid within the window", 20000000, 0x0B2C, 0x0B2C, 0x0B2C, 0, true},
        {"bits 13 and 14 are not the reading", 0, 0x7ABC, 0x7ABC, 0x1ABC, 0, false},
        {"never valid: the time-out's code after the check, the last read", ~0ull, 0x0B2C, 0x0B2D, 0x0B2D,
         KELVO_STATUS_TEMPERATURE_READING_INVALID, true},
    };
    kal::clock::ScopedStepped stepped; // time moves only with the poll's sleeps
    const corran_caps::ProductCaps* solstra =
        corran_caps::CapsManager::getInstance().find(KELVO_SUBSYSTEM_ID_SOLSTRA);
    ASSERT_NE(solstra, nullptr);
    {
        armki::ARMDispatcher dispatcher;
        kelvo_driver::NonIsolatedRegMapsWrapper wrapper(dispatcher, &b.fpga, solstra, built);
        ASSERT_TRUE(built.isSuccess());
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            sim::VrefTemperatureBlock& vref = *b.module->vrefTemperature();
            vref.setNeverValid(c.invalidForNs == ~0ull);
            vref.setInvalidFor(c.invalidForNs == ~0ull ? 0 : c.invalidForNs);
            vref.setReading(c.raw);
            vref.setReadingAfter(1, c.later);
            vref.clearTrace();
            kelvo_test::CountingChecker checker;
            tStatus s;
            const uint16_t reading =
                kelvo_driver::TemperatureSensorControllerImpl(wrapper, checker, *solstra).readTemperature(s);
            EXPECT_EQ(std::tuple(reading, s.getCode(), vref.readCount(0) > 2, checker.calls),
                      std::tuple(c.reading, c.code, c.waited, c.code != 0 ? 1 : 0))
                << vref.readCount(0);
        }
    }
    nVOAPAL200_finalizeCPPRunTime();
}

} // namespace
