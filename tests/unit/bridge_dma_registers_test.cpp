// Bridge DMA registers as the driver writes them, read from the simulated
// module's traces: a channel's progress notification and its move to another
// register block, and the bridge's DMA configuration bits.
#include <cstdint>
#include <vector>

#include "bridge/dma_controllers.h"
#include "bridge_dma_support.h"
#include "bridge_test_support.h"
#include "fatal_hook_capture.h"

namespace {

using kelvo_driver::nVOAPAL000::tBrixelDMAChannel;
using kelvo_test::ChipAccess;
using nVOAPALS100::tStatus;
using Trace = std::vector<ChipAccess>;

constexpr ChipAccess R32(std::uint64_t offset, std::uint64_t value) {
    return {false, offset, 4, value};
}
constexpr ChipAccess W32(std::uint64_t offset, std::uint64_t value) {
    return {true, offset, 4, value};
}
constexpr ChipAccess W64(std::uint64_t offset, std::uint64_t value) {
    return {true, offset, 8, value};
}

class BridgeDmaRegisters : public kelvo_test::DmaBoardTest {
protected:
    sim::LatchBlock& block(std::uint32_t n) { return module->bridgeRegisters().channel(n); }
    Trace trace(const sim::Block& b) {
        Trace out;
        for (const sim::Access& a : b.trace()) {
            out.push_back({a.write, a.offset, a.width, a.value});
        }
        return out;
    }
    // Channel n's block as the driver sees it.
    std::uint64_t base(std::uint32_t n) { return window.base + module->bridgeRegisters().channelBase(n); }
};

// ChannelControl before the call, after a reset: mode 2.
constexpr std::uint32_t kReset = 0x2;

TEST_F(BridgeDmaRegisters, ProgressNotificationWritesOnlyTheRegistersItsTypeNames) {
    struct Call {
        std::uint32_t type;
        std::uint32_t interval;
        std::uint64_t doorbell;
        std::uint32_t data;
        std::uint64_t push;
    };
    struct Row {
        const char* what;
        std::uint32_t control; // ChannelControl before
        Call call;
        Trace expected; // empty: an invariant stops it
    };
    const Row rows[] = {
        {"transfer-count push every n links, 8-byte count",
         kReset,
         {0x00070000, 4, 0, 0, 0x10000},
         {R32(0x54, kReset), W32(0x30, 4), W64(0x28, 0x10000), W32(0x54, 0x00070002)}},
        {"doorbell every n links beside the push, appendable links",
         0x3,
         {0x00770000, 8, 0x20008, 0xD00DB311, 0x30000},
         {R32(0x54, 0x3), W32(0x30, 8), W64(0x20, 0x20008), W32(0x34, 0xD00DB311), W64(0x28, 0x30000),
          W32(0x54, 0x00770003)}},
        {"doorbell every n links alone",
         kReset,
         {0x00700000, 2, 0x4000, 7, 0},
         {R32(0x54, kReset), W32(0x30, 2), W64(0x20, 0x4000), W32(0x34, 7), W32(0x54, 0x00700002)}},
        {"a doorbell of bytes alone, at an odd address",
         kReset,
         {0x00800000, 0, 0x1001, 5, 0},
         {R32(0x54, kReset), W64(0x20, 0x1001), W32(0x34, 5), W32(0x54, 0x00800002)}},
        {"a new type replaces the old, keeps the mode and the interrupt enables",
         0x02F70802,
         {0x00000800, 0, 0, 0, 0},
         {R32(0x54, 0x02F70802), W32(0x54, 0x02000802)}},
        {"an interval of 0", kReset, {0x00040000, 0, 0, 0, 0x10000}, {}},
        {"a doorbell every n appendable links without the push", 0x3, {0x00400000, 1, 0x1000, 0, 0}, {}},
        {"a doorbell at address 0", kReset, {0x00800000, 0, 0, 0, 0}, {}},
        {"an 8-byte push at an address 4 bytes off", kReset, {0x00070000, 1, 0, 0, 0x10004}, {}},
        {"a doorbell of size code 2 at an address 4 bytes off", kReset, {0x00A00000, 0, 0x1004, 0, 0}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tBrixelDMAChannel channel(window, 1);
        block(1).setLatch(0x54, 4, row.control);
        block(1).clearTrace();
        kelvo_test::FatalHookCapture fatal;
        const Call& c = row.call;
        channel.configureProgressNotification(c.type, c.interval, c.doorbell, c.data, c.push);
        EXPECT_EQ(fatal.count(), row.expected.empty() ? 1 : 0);
        if (!row.expected.empty()) {
            EXPECT_EQ(trace(block(1)), row.expected);
        }
        channel.reset();
    }
}

TEST_F(BridgeDmaRegisters, ARebindResetsTheNewBlockAndLeavesTheOldOne) {
    // The engine's reset: mode 1, stop, mode 2.
    const Trace reset = {W32(0x54, 1), W32(0x58, 2), W32(0x54, 2)};
    struct Row {
        const char* what;
        std::uint64_t size;
        void (*before)(tBrixelDMAChannel&); // on channel 1's block
        void (*after)(tBrixelDMAChannel&);  // on channel 0's
        Trace channel0;
        int fatal;
    };
    const Row rows[] = {
        {"a start goes to the new block",
         0x100,
         [](tBrixelDMAChannel&) {},
         [](tBrixelDMAChannel& c) {
             c.start({0x2000, 0x20}, true);
         },
         {W32(0x54, 1), W32(0x58, 2), W32(0x54, 2), W64(0x48, 0x2000), W32(0x50, 0x20), W32(0x58, 0x5)},
         0},
        {"the transfer and the interrupt mask of the old block are forgotten", 0x100,
         [](tBrixelDMAChannel& c) {
             c.start({0x2000, 0x20}, false);
             c.setInterruptEnable(0x02000000);
         },
         [](tBrixelDMAChannel& c) {
             EXPECT_FALSE(c.isTransferInProgress());
             c.setInterruptEnable(0); // cached 0: nothing written
         },
         reset, 0},
        {"the new size bounds the accesses",
         0x60,
         [](tBrixelDMAChannel&) {},
         [](tBrixelDMAChannel& c) { c.getTransferCount(); },
         {W32(0x54, 1), W32(0x58, 2), W32(0x54, 2), {false, 0xA0, 8, 0}},
         1},
    };
    module->dma(0).setNeverStarts(true); // the links named do not exist
    module->dma(1).setNeverStarts(true);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tBrixelDMAChannel channel(window, 1);
        row.before(channel);
        block(0).clearTrace();
        block(1).clearTrace();
        kelvo_test::FatalHookCapture fatal;
        channel.rebind(base(0), row.size);
        row.after(channel);
        EXPECT_EQ(fatal.count(), row.fatal);
        EXPECT_EQ(trace(block(0)), row.channel0);
        EXPECT_EQ(trace(block(1)), Trace{});
        channel.reset();
        channel.rebind(base(1), 0x100); // the old block idle again
    }
}

TEST_F(BridgeDmaRegisters, DmaConfigurationWritesItsRegisterOnlyWhenABitChanges) {
    struct Row {
        const char* what;
        std::uint32_t before;
        std::vector<std::uint64_t> written;
    } const rows[] = {
        {"all clear", 0x00000000, {0x8000C000}},
        {"all set", 0x8000C000, {}},
        {"bit 31 clear", 0x0000C000, {0x8000C000}},
        {"bit 15 clear", 0x80004000, {0x8000C000}},
        {"bit 14 clear", 0x80008000, {0x8000C000}},
        {"only the three clear: the others are kept", 0x7FFF3FFF, {0xFFFFFFFF}},
        {"all ones", 0xFFFFFFFF, {}},
    };
    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false> region(window.base, 0x518);
    brixeltools::tBrixelWithOffset<0u> bridge(region);
    sim::LatchBlock& hbrcr = module->bridgeRegisters().hbrcr();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        hbrcr.setLatch(0, 4, row.before);
        hbrcr.clearTrace();
        tStatus status;
        qeldma::configureDMA(bridge, *device, status);
        EXPECT_TRUE(status.isSuccess());
        EXPECT_EQ(hbrcr.writtenValues(0), row.written);
        EXPECT_EQ(device->getDMAConfiguration().type,
                  kelvo_driver::nVOAPAL000::tDMAConfiguration::kDMAType64Bit);
    }
}

} // namespace
