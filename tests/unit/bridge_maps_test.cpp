// The bridge maps over the simulated bridge: counts and versions, and the rules in which the bridge variant
// differs from the kelvo maps (widths, the read-only bit in every identifier, strobes, data ports, no
// windows).
#include <vector>

#include "bridge_test_support.h"
#include "regmaps/brixel_config_port_spi.h"
#include "regmaps/brixel_config_port_window.h"
#include "regmaps/brixel_core.h"
#include "regmaps/brixel_dma_channel.h"
#include "regmaps/brixel_switched_bim.h"

namespace {

using kelvo_test::kBufferTooSmall;
using kelvo_test::kNotImplemented;
using kelvo_test::kUnknownId;
using nVOAPALS100::tStatus;

using tCore = brixeltools::tBrixelWithOffset<0u>;
using tDma = brixeltools::tBrixelDMAChannelWithOffset<0u>;

struct Write {
    uint64_t offset;
    uint32_t width;
    uint64_t value;
    bool operator==(const Write&) const = default;
};
std::vector<Write> writesOf(const sim::Block& block) {
    std::vector<Write> writes;
    for (const sim::Access& a : block.trace()) {
        if (a.write) {
            writes.push_back({a.offset, a.width, a.value});
        }
    }
    return writes;
}
std::vector<uint64_t> readOffsets(const sim::Block& block) {
    std::vector<uint64_t> offsets;
    for (const sim::Access& a : block.trace()) {
        if (!a.write) {
            offsets.push_back(a.offset);
        }
    }
    return offsets;
}

class BridgeMaps : public kelvo_test::SimulatedBarTest {
protected:
    void SetUp() override {
        SimulatedBarTest::SetUp();
        ensureInterruptMaskRegister();
    }
    sim::BridgeRegisters& regs() { return module->bridgeRegisters(); }
};

TEST_F(BridgeMaps, DmaChannelControlGoesStraightToTheHardware) {
    const uint64_t base = regs().channelBase(1);
    EXPECT_EQ(base, 0x1100u) << "channel 1 lies one 2^8 stride above the DMA base";
    kelvo_test::tRegion regionDma = region(base, 0xA8);
    tDma dma(regionDma);
    sim::LatchBlock& channel = regs().channel(1);
    tStatus status;
    dma.write(0x20000058, 7, false, status, 0);
    dma.write(0x20000058, 0, false, status, 0);
    dma.write(0x80000058, 0x5, true, status, 0);
    EXPECT_EQ(writesOf(channel), (std::vector<Write>{{0x58, 4, 0x2}, {0x58, 4, 0}, {0x58, 4, 0x5}}));
    uint64_t value = 9;
    tStatus get;
    dma.get(0x80000058, value, get, 0);
    EXPECT_EQ(get.getCode(), kUnknownId);

    channel.setLatch(0x58, 4, 1u << 25);
    dma.read(0x26000058, value, status, 0);
    EXPECT_EQ(value, 1u);
    for (uint32_t id : {0x80000058u, 0x400000A0u}) {
        tStatus set;
        dma.set(id, 1, set, 0);
        EXPECT_EQ(set.getCode(), kUnknownId);
    }
    channel.clearTrace();
    dma.flush(0x06000058, true, status, 0);
    EXPECT_TRUE(status.isSuccess());
    dma.markDirtyRegMap();
    dma.flushRegMap(true, status);
    EXPECT_TRUE(writesOf(channel).empty());
    tStatus flushStatus;
    dma.flush(0xC0000060, true, flushStatus, 0);
    EXPECT_EQ(flushStatus.getCode(), kUnknownId);

    channel.setLatch(0x60, 4, 0x12345678);
    dma.refresh(0x5C000060, status, 0);
    EXPECT_EQ(dma.ChannelStatus.softCopy, 0x12345678u);
    tStatus refresh;
    dma.refresh(0x80000060, refresh, 0);
    EXPECT_EQ(refresh.getCode(), kUnknownId);
    channel.clearTrace();
    dma.refreshRegMap(status);
    EXPECT_EQ(readOffsets(channel), (std::vector<uint64_t>{0x60, 0xA0, 0xA4}));
}

} // namespace
