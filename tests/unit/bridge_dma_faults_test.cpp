// Bridge hardware that would break the DMA channel's invariants gets a code
// instead: channel blocks that the bridge places outside the window, and a
// channel whose engine never ends when its stream controller goes.
#include <cstdint>
#include <vector>

#include "bridge_dma_stream_support.h"

namespace {

using nVOAPALS100::tStatus;

class BridgeDmaFaults : public kelvo_test::DmaStreamTest {};

TEST_F(BridgeDmaFaults, ChannelBlocksOutsideTheWindowAreRefusedWithACode) {
    constexpr std::uint32_t kDescription = sim::BridgeRegisters::kDefaultCoreDescription;
    struct Row {
        const char* what;
        std::uint32_t dmaBase;
        std::uint32_t coreDescription;
        std::uint32_t channel;
        std::int64_t code;
    } const rows[] = {
        {"the default place", sim::BridgeRegisters::kDefaultDmaBase, kDescription, 1, 0},
        {"a base reading all ones", 0xFFFFFFFFu, kDescription, 0, tStatus::kNotAccessible},
        {"a base whose second block wraps to 0 in 32 bits", 0xFFFFFF00u, kDescription, 1,
         tStatus::kNotAccessible},
        {"the last block of the window", sim::Module::kBar0Size - 0x200, kDescription, 1, 0},
        {"a block one past it", sim::Module::kBar0Size - 0x100, kDescription, 1, tStatus::kNotAccessible},
        {"blocks of 32 KiB (a core description of all ones): the first fits", 0xF8000u, 0xFFFFFFFFu, 0, 0},
        {"blocks of 32 KiB: the second lies past the end", 0xF8000u, 0xFFFFFFFFu, 1, tStatus::kNotAccessible},
    };
    auto c = channel(1); // its maps; its own controller sits at the default place
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        module->bridgeRegisters().setDmaBase(row.dmaBase);
        module->bridgeRegisters().setCoreDescription(row.coreDescription);
        std::uint64_t address = 0, size = 0;
        tStatus located;
        EXPECT_EQ(kelvo_driver::nVOAPAL000::tBrixelDMAChannel::locateRegisters(window, row.channel, address,
                                                                               size, located),
                  row.code == 0);
        EXPECT_EQ(located.getCode(), row.code);
        const std::size_t errors = module->deviceErrorCount();
        tStatus status;
        {
            brixeltools::BrixelDMAStreamController stream(window, c->channelMap, c->circuit, row.channel,
                                                          status);
        }
        EXPECT_EQ(status.getCode(), row.code);
        EXPECT_EQ(module->deviceErrorCount(), errors) << "no access outside the bridge's blocks";
        module->bridgeRegisters().setCoreDescription(kDescription);
        module->bridgeRegisters().setDmaBase(sim::BridgeRegisters::kDefaultDmaBase);
    }
}

TEST_F(BridgeDmaFaults, AStreamControllerGoingWhileItsChannelStillTransfersResetsIt) {
    auto c = channel(0);                 // its maps
    module->dma(0).setNeverStarts(true); // the engine takes no link: the driver's flag alone says it runs
    sim::LatchBlock& block = module->bridgeRegisters().channel(0);
    tStatus status;
    {
        brixeltools::BrixelDMAStreamController stream(window, c->channelMap, c->circuit, 0, status);
        stream.tBrixelDMAChannel::start({0x1000, 0x40}, false);
        ASSERT_TRUE(stream.isTransferInProgress());
        block.clearTrace();
    }
    EXPECT_TRUE(status.isSuccess());
    // The engine's reset: mode 1, stop, mode 2.
    EXPECT_EQ(block.writtenValues(0x54), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(block.writtenValues(0x58), (std::vector<std::uint64_t>{2}));
    module->dma(0).setNeverStarts(false);
}

} // namespace
