// The simulated FPGAs: the isolation link's fault knobs and an FPGA that
// answers only once configured, driven by raw BAR accesses as the hardware
// would see them.
#include <stdexcept>
#include <string>

#include "kelvo/product_ids.h"
#include "nVOKAL.h"
#include "regs_sim_support.h"
#include "sim.h"
#include "test_support.h"

namespace {

using sim::IsolationLink;

class SimFpga : public kelvo_test::LeakCheckedTest {
protected:
    // BAR 0 access at a non-isolated FPGA offset.
    uint32_t nisoRead(kelvo_test::SimBoard& b, uint64_t offset) { return b.fpgaRegion.read32(offset); }
    void nisoWrite(kelvo_test::SimBoard& b, uint64_t offset, uint32_t v) { b.fpgaRegion.write32(offset, v); }
};

TEST_F(SimFpga, KnobsMakeTheLinkSlowSilentNeverReadyOrFailing) {
    kelvo_test::SimBoard b;
    const uint64_t status = b.module->linkOffset() + IsolationLink::kStatus;
    const uint64_t address = b.module->linkOffset() + IsolationLink::kAddress;

    b.link().setSlow(2, 3);
    nisoWrite(b, address, 0x10);
    EXPECT_EQ(nisoRead(b, status), 0u);
    EXPECT_EQ(nisoRead(b, status), 0u);
    EXPECT_EQ(nisoRead(b, status), IsolationLink::kReadyBit) << "ready after two status reads";
    EXPECT_EQ(nisoRead(b, status), IsolationLink::kReadyBit | IsolationLink::kResponseBit)
        << "the response once three status reads have passed";
    b.link().setSlow(0, 0);

    b.link().setNeverAnswers(true);
    nisoWrite(b, address, 0x10);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(nisoRead(b, status), IsolationLink::kReadyBit);
    }
    b.link().setNeverAnswers(false);

    b.link().setNeverReady(true);
    EXPECT_EQ(nisoRead(b, status), 0u);
    nisoWrite(b, address, 0x10);
    EXPECT_EQ(b.link().accessesWhileBusy(), 1u) << "an access the driver should not have started";
    b.link().setNeverReady(false);

    b.link().setError(true);
    EXPECT_EQ(nisoRead(b, status) & IsolationLink::kErrorBit, IsolationLink::kErrorBit);
    b.link().setWord10(0xAB);
    EXPECT_EQ(nisoRead(b, b.module->linkOffset() + IsolationLink::kWord10), 0xABu);
    nisoWrite(b, status, 0);
    EXPECT_EQ(b.module->deviceErrorCount(), 1u) << "the status register is read-only";
}

} // namespace

namespace {

// An FPGA answers only while it holds an image of its own: unconfigured, its
// space (the board signature too) reads all ones and drops writes; once
// configured, its board signature register holds the board's signature.
TEST_F(SimFpga, AnFpgaAnswersOnlyOnceConfigured) {
    struct Case {
        const char* board;
        uint32_t target;
        uint64_t signatureOffset;
        uint32_t signature;
    };
    const Case cases[] = {
        {"solstra", 0, 0x20, KELVO_SOLSTRA_BOARD_SIGNATURE},
        {"duskmere-a", 0, 0x8020, KELVO_DUSKMERE_BOARD_SIGNATURE},
        {"solstra", 1, 0x20, KELVO_SOLSTRA_BOARD_SIGNATURE},
        {"duskmere-b", 1, 0x20, KELVO_DUSKMERE_BOARD_SIGNATURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.board) + " target " + std::to_string(c.target));
        kelvo_test::SimBoard b(c.board);
        sim::FpgaLoader& loader = b.module->bridgeRegisters().fpgaLoading();
        sim::FpgaSpace& fpga = c.target == 0 ? b.niso() : b.iso();
        sim::FpgaSpace& other = c.target == 0 ? b.iso() : b.niso();
        EXPECT_EQ(fpga.read32(c.signatureOffset), c.signature) << "plugged directly: loaded";
        loader.setConfigured(c.target, false);
        fpga.write32(0x1000, 0x1234);
        EXPECT_EQ(fpga.read32(0x1000), 0xFFFFFFFFu);
        EXPECT_EQ(fpga.read32(c.signatureOffset), 0xFFFFFFFFu);
        EXPECT_EQ(fpga.peek(0x1000), 0u) << "the write was dropped";
        EXPECT_EQ(fpga.unconfiguredAccesses(), 3u);
        other.write32(0x1000, 0x77);
        EXPECT_EQ(other.read32(0x1000), 0x77u) << "the other FPGA keeps answering";
        fpga.poke(c.signatureOffset, 0);
        loader.setConfigured(c.target, true);
        EXPECT_EQ(fpga.read32(c.signatureOffset), c.signature);
        fpga.write32(0x1000, 0x1234);
        EXPECT_EQ(fpga.read32(0x1000), 0x1234u);
        EXPECT_EQ(b.module->deviceErrorCount(), 0u);
    }
}

} // namespace
