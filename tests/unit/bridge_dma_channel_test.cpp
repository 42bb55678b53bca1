// The bridge DMA channel's register sequences.
#include <cstdint>
#include <vector>

#include "bridge/brixel_dma_channel.h"
#include "bridge_dma_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tBrixelDMAChannel;

using Writes = std::vector<std::pair<std::uint64_t, std::uint64_t>>; // offset, value

class BridgeDmaChannel : public kelvo_test::DmaBoardTest {
protected:
    sim::LatchBlock& block(std::uint32_t n) { return module->bridgeRegisters().channel(n); }
    Writes writes(std::uint32_t n) {
        Writes out;
        for (const sim::Access& a : block(n).trace()) {
            if (a.write) {
                out.emplace_back(a.offset, a.value);
            }
        }
        return out;
    }
};

TEST_F(BridgeDmaChannel, OperationsWriteTheirRegisterSequences) {
    struct Row {
        const char* what;
        void (*run)(tBrixelDMAChannel&);
        Writes expected;
    };
    const Row rows[] = {
        {"start with the flag",
         [](tBrixelDMAChannel& c) {
             c.start({0x123456789000ULL, 0x40}, true);
         },
         {{0x48, 0x123456789000ULL}, {0x50, 0x40}, {0x58, 0x5}}},
        {"start without it",
         [](tBrixelDMAChannel& c) {
             c.start({0x2000, 0x20}, false);
         },
         {{0x48, 0x2000}, {0x50, 0x20}, {0x58, 0x1}}},
        {"same interrupt mask twice",
         [](tBrixelDMAChannel& c) {
             c.setInterruptEnable(0x02000000);
             c.setInterruptEnable(0x02000000);
         },
         {{0x54, 0x02000002}}},
        {"mask off again keeps the mode",
         [](tBrixelDMAChannel& c) {
             c.setInterruptEnable(0x02000000);
             c.setInterruptEnable(0);
         },
         {{0x54, 0x02000002}, {0x54, 0x2}}},
        {"mask 0 after a reset", [](tBrixelDMAChannel& c) { c.setInterruptEnable(0); }, {}},
        {"notification",
         [](tBrixelDMAChannel& c) { c.setTransferCountNotification(0x1234); },
         {{0x90, 0x1234}, {0x58, 0x02000000}}},
        {"deactivate", [](tBrixelDMAChannel& c) { c.deactivate(); }, {{0x58, 0x2}}},
    };
    module->dma(1).setNeverStarts(true); // the links named do not exist
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tBrixelDMAChannel channel(window, 1);
        block(1).clearTrace();
        row.run(channel);
        EXPECT_EQ(writes(1), row.expected);
        channel.reset();
    }
}

TEST_F(BridgeDmaChannel, OnlyAnEndBitClearsTheTransferInProgress) {
    struct Row {
        std::uint32_t word;
        bool stillInProgress;
    };
    for (const Row& row :
         {Row{0x4001, true}, Row{0x8001, false}, Row{0x04000001, false}, Row{0x08000001, false}}) {
        tBrixelDMAChannel channel(window, 1);
        module->dma(1).setNeverStarts(true);
        channel.start({0x1000, 0x20}, true);
        channel.handleInterruptStatus(row.word);
        EXPECT_EQ(channel.isTransferInProgress(), row.stillInProgress) << std::hex << row.word;
        channel.reset();
        module->dma(1).setNeverStarts(false);
    }
}

} // namespace
