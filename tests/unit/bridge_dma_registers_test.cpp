// Bridge DMA registers as the driver writes them, read from the simulated
// module's traces: a channel's progress notification and its move to another
// register block, and the bridge's DMA configuration bits.
#include "bridge/dma_controllers.h"
#include "bridge_dma_support.h"
#include "bridge_test_support.h"
#include "fatal_hook_capture.h"

namespace {

using kelvo_driver::nVOAPAL000::tBrixelDMAChannel;
using kelvo_test::W32, kelvo_test::W64;
using Trace = std::vector<kelvo_test::ChipAccess>;
using BridgeDmaRegisters = kelvo_test::DmaBoardTest;

TEST_F(BridgeDmaRegisters, ProgressNotificationWritesOnlyTheRegistersItsTypeNames) {
    const Trace both = {W32(0x30, 8), W64(0x20, 8), W32(0x34, 9), W64(0x28, 16), W32(0x54, 0x770003)};
    struct Row {
        std::uint32_t control, type, interval; // ChannelControl before; the call
        std::uint64_t doorbell;
        std::uint32_t data;
        std::uint64_t push;
        Trace writes; // empty: an invariant stops the call
    } const rows[] = {
        // Every n links: the push, the doorbell; a doorbell alone; both (appendable: 3); a new type.
        {2, 0x070000, 4, 0, 0, 0x1000, {W32(0x30, 4), W64(0x28, 0x1000), W32(0x54, 0x070002)}},
        {2, 0x700000, 2, 0x4000, 7, 0, {W32(0x30, 2), W64(0x20, 0x4000), W32(0x34, 7), W32(0x54, 0x700002)}},
        {2, 0x800000, 0, 0x1001, 5, 0, {W64(0x20, 0x1001), W32(0x34, 5), W32(0x54, 0x800002)}},
        {3, 0x770000, 8, 8, 9, 16, both},
        {0x02F70802, 0x800, 0, 0, 0, 0, {W32(0x54, 0x02000802)}},
        // Interval 0; doorbell every n appendable links, no push; doorbell at 0; misaligned push, doorbell.
        {2, 0x040000, 0, 0, 0, 0x1000, {}},
        {3, 0x400000, 1, 0x1000, 0, 0, {}},
        {2, 0x800000, 0, 0, 0, 0, {}},
        {2, 0x070000, 1, 0, 0, 0x1004, {}},
        {2, 0xA00000, 0, 0x1004, 0, 0, {}},
    };
    sim::LatchBlock& block = module->bridgeRegisters().channel(1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        tBrixelDMAChannel channel(window, 1);
        block.setLatch(0x54, 4, row.control);
        block.clearTrace();
        kelvo_test::FatalHookCapture fatal;
        channel.configureProgressNotification(row.type, row.interval, row.doorbell, row.data, row.push);
        EXPECT_EQ(fatal.count(), row.writes.empty() ? 1 : 0);
        if (!row.writes.empty()) {
            EXPECT_EQ(kelvo_test::accessesOf(block, true), row.writes);
        }
        channel.reset();
    }
}

TEST_F(BridgeDmaRegisters, ARebindResetsTheNewBlockAndForgetsTheOld) {
    // Blocks of full size, and one too small for the transfer count (0xA0): an invariant.
    const std::pair<std::uint64_t, int> rows[] = {{0x100, 0}, {0x60, 1}};
    sim::BridgeRegisters& bridge = module->bridgeRegisters();
    module->dma(0).setNeverStarts(true); // the links named do not exist
    module->dma(1).setNeverStarts(true);
    for (const auto& [size, invariants] : rows) {
        tBrixelDMAChannel channel(window, 1);
        channel.start({0x2000, 0x20}, false);
        channel.setInterruptEnable(0x02000000);
        bridge.channel(0).clearTrace();
        bridge.channel(1).clearTrace();
        kelvo_test::FatalHookCapture fatal;
        channel.rebind(window.base + bridge.channelBase(0), size);
        channel.setInterruptEnable(0); // cached 0: nothing written
        channel.start({0x3000, 0x40}, true);
        channel.getTransferCount();
        EXPECT_EQ(fatal.count(), invariants);
        EXPECT_EQ(kelvo_test::accessesOf(bridge.channel(0), true),
                  (Trace{W32(0x54, 1), W32(0x58, 2), W32(0x54, 2), W64(0x48, 0x3000), W32(0x50, 0x40),
                         W32(0x58, 5)}));
        EXPECT_TRUE(bridge.channel(1).trace().empty());
        channel.reset();
        channel.rebind(window.base + bridge.channelBase(1), 0x100); // the old block idle again
    }
}

TEST_F(BridgeDmaRegisters, DmaConfigurationWritesItsRegisterOnlyWhenABitChanges) {
    // Bits 31, 15 and 14: all clear, one clear, all set, only they clear, all ones; what is written (0:
    // nothing).
    const std::uint32_t rows[][2] = {
        {0, 0x8000C000}, {0x80008000, 0x8000C000}, {0x8000C000, 0}, {0x7FFF3FFF, 0xFFFFFFFF}, {~0u, 0}};
    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false> region(window.base, 0x518);
    brixeltools::tBrixelWithOffset<0u> bridge(region);
    sim::LatchBlock& hbrcr = module->bridgeRegisters().hbrcr();
    for (const auto& [before, written] : rows) {
        hbrcr.setLatch(0, 4, before);
        hbrcr.clearTrace();
        nVOAPALS100::tStatus status;
        qeldma::configureDMA(bridge, *device, status);
        EXPECT_TRUE(status.isSuccess());
        EXPECT_EQ(hbrcr.writtenValues(0),
                  written ? std::vector<std::uint64_t>{written} : std::vector<std::uint64_t>{})
            << before;
    }
}

} // namespace
