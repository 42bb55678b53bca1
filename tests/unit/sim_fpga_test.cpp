// The simulated FPGAs: an FPGA answers only once configured.
#include <string>

#include "kelvo/product_ids.h"
#include "regs_sim_support.h"
#include "sim.h"
#include "test_support.h"

namespace {

using SimFpga = kelvo_test::LeakCheckedTest;

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
