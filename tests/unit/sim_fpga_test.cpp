// The simulated FPGAs: the non-isolated register space in BAR 0, the isolated
// one behind the isolation link, and the link's handshake and fault knobs,
// driven by raw BAR accesses as the hardware would see them.
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

TEST_F(SimFpga, BothSpacesAreBackingStoresThatBlocksCanOverride) {
    kelvo_test::SimBoard b;
    EXPECT_GE(b.module->barSize(0), 0x40000u);
    EXPECT_EQ(nisoRead(b, 0x1000), 0u) << "a register never written reads 0";
    nisoWrite(b, 0x1000, 0x12345678);
    nisoWrite(b, 0x1FFFC, 0xCAFE);
    EXPECT_EQ(nisoRead(b, 0x1000), 0x12345678u);
    EXPECT_EQ(nisoRead(b, 0x1FFFC), 0xCAFEu);
    EXPECT_EQ(b.niso().peek(0x1000), 0x12345678u);
    EXPECT_EQ(b.niso().writtenValues(0x1000), std::vector<uint64_t>{0x12345678u});

    // A block that computes its value overrides the store at its range only.
    class Counter : public sim::Block {
    public:
        Counter() : Block("counter", 8, sim::kWidth32) {}
        uint32_t reads = 0;

    protected:
        uint64_t onRead(uint64_t, uint32_t) override { return ++reads; }
        void onWrite(uint64_t, uint32_t, uint64_t) override {}
    };
    auto& counter = b.niso().add<Counter>(0x3000);
    nisoWrite(b, 0x3000, 77);
    EXPECT_EQ(nisoRead(b, 0x3000), 1u);
    EXPECT_EQ(nisoRead(b, 0x3004), 2u);
    EXPECT_EQ(nisoRead(b, 0x3008), 0u) << "past the block: the store again";
    EXPECT_EQ(counter.readCount(0x0), 1u);
    EXPECT_EQ(b.niso().readCount(0x3000), 1u) << "the space traces what its blocks take";
    EXPECT_THROW(b.niso().add<Counter>(0x3004), std::logic_error) << "overlap";

    b.iso().write32(0x3FFFC, 5);
    EXPECT_EQ(b.iso().read32(0x3FFFC), 5u);
    EXPECT_EQ(b.module->deviceErrorCount(), 0u);
}

TEST_F(SimFpga, TheLinkSitsWhereEachBoardsDriverLooksForIt) {
    kelvo_test::SimBoard solstra("solstra");
    EXPECT_EQ(solstra.module->linkOffset(), 0x200u);
    EXPECT_EQ(solstra.niso().find("isolation-link"), &solstra.link());

    kelvo_test::SimBoard duskmere("duskmere-b");
    EXPECT_EQ(duskmere.module->linkOffset(), 0xC120u);
    // The sequencer's view of the same channel block (0x2120) is a register space of its own.
    nisoWrite(duskmere, 0x2120, 0x80000010);
    EXPECT_EQ(nisoRead(duskmere, 0x2128), 0u) << "0x2120 is plain storage, no handshake";
    EXPECT_EQ(duskmere.link().isolatedWrites() + duskmere.link().isolatedReads(), 0u);
    EXPECT_EQ(nisoRead(duskmere, 0xC128) & IsolationLink::kReadyBit, IsolationLink::kReadyBit);
}

TEST_F(SimFpga, HandshakeCarriesWritesAndReadsToTheIsolatedSpace) {
    kelvo_test::SimBoard b;
    const uint64_t w = b.module->linkOffset();
    EXPECT_EQ(nisoRead(b, w + IsolationLink::kStatus), IsolationLink::kReadyBit);

    nisoWrite(b, w + IsolationLink::kWriteData, 0xA5A5);
    nisoWrite(b, w + IsolationLink::kAddress, 0x80000000u | 0x1234C);
    EXPECT_EQ(b.iso().peek(0x1234C), 0xA5A5u);

    b.iso().poke(0x40, 0x5151);
    nisoWrite(b, w + IsolationLink::kAddress, 0x40);
    EXPECT_EQ(nisoRead(b, w + IsolationLink::kStatus),
              IsolationLink::kReadyBit | IsolationLink::kResponseBit);
    EXPECT_EQ(nisoRead(b, w + IsolationLink::kReadData), 0x5151u);
    // A new address clears the response.
    nisoWrite(b, w + IsolationLink::kWriteData, 1);
    nisoWrite(b, w + IsolationLink::kAddress, 0x80000044u);
    EXPECT_EQ(nisoRead(b, w + IsolationLink::kStatus) & IsolationLink::kResponseBit, 0u);
    EXPECT_EQ(b.link().isolatedReads(), 1u);
    EXPECT_EQ(b.link().isolatedWrites(), 2u);
    // Bits above the 18-bit offset do not reach the isolated side.
    nisoWrite(b, w + IsolationLink::kAddress, 0x7FFC0000u | 0x40);
    EXPECT_EQ(nisoRead(b, w + IsolationLink::kReadData), 0x5151u);
    EXPECT_EQ(b.module->deviceErrorCount(), 0u);
}

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
