// The simulated sequencer side: the execution model of the command words,
// the faults a test can see, and the latencies of the measure unit, the
// charge balancer and the ADF4002 on the stepped stand-in clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "control.h"
#include "nVOKAL.h"
#include "sequencer.h"

namespace {

constexpr uint64_t kCall = 0x1D0DFF0200000000ull;   // opcode 7, G 2
constexpr uint64_t kReturn = 0x1C0FFF0500000000ull; // opcode 7, G 5
constexpr uint64_t kMarker = 0x2000000000000000ull; // opcode 8

void sleepUs(uint32_t us) {
    nVOKAL250_sleepTimeout(us);
}

TEST(SimSequencer, ProgramsRunFromTheFifoThroughLocalRam) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint64_t>> ram; // address, word
        std::vector<uint64_t> fifo;
        std::vector<uint32_t> markers;
        std::string fault; // a part of the one fault expected, or empty
    };
    const Case cases[] = {
        {"call and return",
         {{5, kMarker | 0xA}, {6, kCall | 9}, {7, kReturn}, {9, kMarker | 0xC}, {10, kReturn}},
         {kCall | 5, kReturn, kMarker | 0xB},
         {0xA, 0xC},
         ""},
        {"a call beyond local RAM", {}, {kCall | 16384}, {}, "beyond"},
        {"running off the end of local RAM", {{16383, kMarker | 5}}, {kCall | 16383}, {5}, "beyond"},
        {"a subroutine that calls itself", {{3, kCall | 3}}, {kCall | 3}, {}, "step limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Sequencer seq;
        seq.setStepNanoseconds(0);
        for (const auto& [address, word] : c.ram) {
            seq.setRamWord(address, word);
        }
        for (uint64_t word : c.fifo) {
            seq.pushCommand(word);
        }
        EXPECT_EQ(seq.fifoFullness(), c.fifo.size());
        seq.start();
        EXPECT_EQ(seq.markers(), c.markers);
        EXPECT_EQ(seq.fifoFullness(), 0u);
        const std::vector<std::string> faults = seq.faults();
        if (c.fault.empty()) {
            EXPECT_TRUE(faults.empty());
        } else {
            ASSERT_EQ(faults.size(), 1u);
            EXPECT_NE(faults[0].find(c.fault), std::string::npos) << faults[0];
        }
    }
}

TEST(SimSequencer, TheFifoHoldsItsDepthAndTheEngineRunsOneStepPerWord) {
    kal::clock::ScopedStepped stepped;
    sim::Sequencer seq;
    for (uint32_t i = 0; i <= sim::Sequencer::kFifoDepth; ++i) {
        seq.pushCommand(kMarker | i);
    }
    EXPECT_EQ(seq.fifoFullness(), sim::Sequencer::kFifoDepth);
    ASSERT_EQ(seq.faults().size(), 1u) << "the word past the depth is lost";
    seq.setStepNanoseconds(1000);
    seq.start();
    EXPECT_EQ(seq.markers().size(), sim::Sequencer::kFifoDepth);
    EXPECT_TRUE(seq.running());
    EXPECT_EQ(seq.status(), sim::Sequencer::kRunningBit);
    sleepUs(sim::Sequencer::kFifoDepth - 1);
    EXPECT_TRUE(seq.running());
    sleepUs(1);
    EXPECT_FALSE(seq.running());
    seq.setNeverStops(true);
    EXPECT_TRUE(seq.running());
}

TEST(SimSequencer, LatenciesFollowTheClockAndTheirKnobs) {
    kal::clock::ScopedStepped stepped;
    // ADF4002: locked 1 ms after the fourth word.
    sim::Adf4002 pll;
    for (uint32_t word : {0x1F8093u, 0x1F8092u, 0x100028u}) {
        pll.shift(word);
    }
    sleepUs(5000);
    EXPECT_FALSE(pll.locked()) << "three words";
    pll.shift(0x1B01);
    sleepUs(999);
    EXPECT_FALSE(pll.locked());
    sleepUs(1);
    EXPECT_EQ(pll.status(), sim::Adf4002::kLockedBit);
    pll.setNeverLocks(true);
    EXPECT_FALSE(pll.locked());

    // Measure unit: arm, stop and abort latencies.
    sim::MeasureUnit unit;
    unit.setLatencies(300000, 200000, 100000); // nanoseconds
    unit.writePacketGenConfig(sim::MeasureUnit::kArmStrobe);
    sleepUs(299);
    EXPECT_FALSE(unit.generating());
    sleepUs(1);
    EXPECT_EQ(unit.status() & sim::MeasureUnit::kGeneratingBit, sim::MeasureUnit::kGeneratingBit);
    unit.writeControl(sim::MeasureUnit::kAbortBit);
    sleepUs(100);
    EXPECT_TRUE(unit.aborted());
    unit.writePacketGenConfig(sim::MeasureUnit::kStopStrobe);
    sleepUs(199);
    EXPECT_TRUE(unit.generating());
    sleepUs(1);
    EXPECT_FALSE(unit.generating());

    // Charge balancer: a strobe clears the loop's result until the latency passed.
    sim::ChargeBalancer balancer;
    balancer.setLatency(1000);
    balancer.setOutcome(1, sim::ChargeBalancer::Outcome::kFailed);
    balancer.writeControl(0x3);
    EXPECT_EQ(balancer.status(), 0u);
    sleepUs(1);
    EXPECT_EQ(balancer.status(), (1u << 8) | (1u << 17));
    EXPECT_EQ(balancer.offset(0), 0x1000u);
    balancer.writeControl(0x1);
    EXPECT_EQ(balancer.status(), 1u << 17) << "loop 0 starts again";
}

} // namespace
