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
using tSpi = brixeltools::tBrixelConfigPortSPIWithOffset<0u>;
using tWindow = brixeltools::tBrixelConfigPortWindowWithOffset<0u>;
using tSwitched = brixeltools::tSwitchedBrixelBimRegMapWithOffset<0u>;

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

TEST_F(BridgeMaps, CoreMapReadOnlyRegistersAreReachedOnlyWithBit30) {
    kelvo_test::tRegion regionB = region(0, 0x518);
    tCore core(regionB);
    tStatus status;
    uint64_t value = 1;
    core.refresh(0xC000000C, status, 0);
    core.get(0xC000000C, value, status, 0);
    EXPECT_EQ(value, sim::BridgeRegisters::kDefaultCoreDescription);
    EXPECT_EQ(core.Signature.readRegister(status), sim::BridgeRegisters::kSignature);
    EXPECT_TRUE(status.isSuccess());

    core.get(0x8000000C, value, status, 0);
    EXPECT_EQ(status.getCode(), kUnknownId);
    EXPECT_EQ(value, 0u);
    for (uint32_t id : {0x4C00000Cu, 0xC000000Cu}) {
        tStatus rejected;
        core.set(id, 1, rejected, 0);
        EXPECT_EQ(rejected.getCode(), kUnknownId);
    }
    EXPECT_EQ(core.COREDR.softCopy, sim::BridgeRegisters::kDefaultCoreDescription) << "unchanged";
    tStatus flushed;
    core.flush(0xC0000000, true, flushed, 0);
    EXPECT_EQ(flushed.getCode(), kUnknownId);
    // A write-only register: get answers the soft copy, read and refresh reject it.
    tStatus wo;
    core.set(0x80000440, 0x9, wo, 0);
    core.get(0x80000440, value, wo, 0);
    EXPECT_EQ(value, 0x9u);
    for (uint32_t id : {0x80000440u, 0x20000440u}) {
        tStatus read;
        core.read(id, value, read, 0);
        EXPECT_EQ(read.getCode(), kUnknownId);
        EXPECT_EQ(value, 0u);
    }
    // Read-only registers of the core: refresh by a field identifier (carrying bit 30) works.
    regs().setFpgaLoadStatus(0x1A4);
    tStatus refreshed;
    core.refresh(0x44000448, refreshed, 0);
    EXPECT_TRUE(refreshed.isSuccess());
    EXPECT_EQ(core.FPGALoadStatusRegister.softCopy, 0x1A4u);
    // The register-level read of a polled register answers the soft copy on a failed status.
    regs().setFpgaLoadStatus(0x4);
    tStatus failed;
    KELVO_SET_STATUS(failed, -50400);
    EXPECT_EQ(core.FPGALoadStatusRegister.readRegister(failed), 0x1A4u);
    tStatus ok;
    EXPECT_EQ(core.FPGALoadStatusRegister.readRegister(ok), 0x4u);
}

TEST_F(BridgeMaps, CoreMapLoadingDataPortWritesItsWidthAndClearsItsSoftCopy) {
    kelvo_test::tRegion regionB = region(0, 0x518);
    tCore core(regionB);
    sim::LatchBlock& loading = regs().fpgaLoading();
    loading.clearTrace();
    tStatus status;
    core.write(0x00000460, 0xA5, false, status, 0);
    uint64_t value = 1;
    core.get(0x80000460, value, status, 0);
    EXPECT_EQ(value, 0u) << "a strobe leaves nothing in the soft copy";
    core.write(0x00000460, 0, false, status, 0); // clean, and 0 already: nothing
    core.write(0x00000460, 0, true, status, 0);
    core.FPGABusLoadingDataRegister64.writeRegister(0x0123456789ABCDEFull, status, true);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(core.FPGABusLoadingDataRegister64.softCopy, 0u);
    EXPECT_EQ(core.FPGABusLoadingDataRegister64.dirty, 0u);
    EXPECT_EQ(writesOf(loading),
              (std::vector<Write>{{0x20, 1, 0xA5}, {0x20, 1, 0x00}, {0x20, 8, 0x0123456789ABCDEFull}}));
}

TEST_F(BridgeMaps, CoreMapFlushWritesTheWholeRegisterOnlyWhenDirty) {
    kelvo_test::tRegion regionB = region(0, 0x518);
    tCore core(regionB);
    sim::Block& hbrcr = regs().hbrcr();
    tStatus status;
    core.set(0x000000A4, 0x5, status, 0);
    core.set(0x3E0000A4, 7, status, 0); // a one-bit field of the core takes any non-zero value
    hbrcr.clearTrace();
    core.flush(0x3E0000A4, false, status, 0); // by a field: the whole register
    core.flush(0x3E0000A4, false, status, 0); // clean now: nothing
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(writesOf(hbrcr), (std::vector<Write>{{0, 4, 0x80000005}}));

    uint32_t count = 1;
    arm::FieldType types[2] = {};
    uint64_t masks[2] = {};
    tStatus small;
    core.getRegisterFormat(0x80000058, count, types, masks, small);
    EXPECT_EQ(small.getCode(), kBufferTooSmall);
    EXPECT_EQ(count, 1u);
    tStatus missing;
    count = 2;
    core.getRegisterFormat(0x80000448, count, types, masks, missing);
    EXPECT_EQ(missing.getCode(), kNotImplemented);
    EXPECT_EQ(count, 0u);
}

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

TEST_F(BridgeMaps, ConfigPortFieldsAreCutToTheirWidth) {
    kelvo_test::tRegion regionSpi = region(0x580, 0x10);
    tSpi spi(regionSpi);
    tStatus status;
    spi.set(0x00000000, 0x1FF, status, 0);
    EXPECT_EQ(spi.BusSettingsRegister.softCopy, 0xFFu);
    EXPECT_EQ(spi.BusSettingsRegister.dirty, 1u);
    spi.BusSettingsRegister.flush(status, false);
    spi.set(0x00000000, 0x1FF, status, 0);
    EXPECT_EQ(spi.BusSettingsRegister.dirty, 0u) << "the same value again changes nothing";
    spi.set(0x06000004, 0xFF, status, 0);
    spi.set(0x06000000, 0xFF, status, 0);
    EXPECT_EQ(spi.ReadModeRegister.softCopy, 0x7F000000u);
    EXPECT_EQ(spi.BusSettingsRegister.softCopy, 0x3F0000FFu);
    regs().spi().clearTrace();
    spi.write(0x0200000C, 0x1AB, false, status, 0);
    EXPECT_EQ(writesOf(regs().spi()), (std::vector<Write>{{0xC, 4, 0x00AB0000}}));
    tStatus flush;
    spi.flush(0x80000010, true, flush, 0);
    EXPECT_EQ(flush.getCode(), kUnknownId);

    kelvo_test::tRegion regionWindow = region(0, 0xE4);
    tWindow window(regionWindow);
    uint64_t value = 0;
    window.read(0x800000C0, value, status, 0);
    window.get(0x040000C0, value, status, 0);
    EXPECT_EQ(value, sim::BridgeCore::kWindowOffset >> 8);
    window.set(0x040000C0, 0x123456, status, 0);
    EXPECT_EQ(window.WindowRegisterC0.softCopy, 0x1234560Cu) << "bits 0-7 kept";
    EXPECT_TRUE(status.isSuccess());
}

TEST_F(BridgeMaps, SwitchedMapWholeMapOrderIsItsRecordOrder) {
    kelvo_test::tRegion regionA = region(0, 0x704);
    tSwitched switched(regionA);
    sim::SwitchedBusInterface& bim = module->switchedBim();
    tStatus status;
    uint64_t value = 3;
    switched.set(0x80000680, 0x00500000, status, 0);
    switched.get(0x80000680, value, status, 0);
    EXPECT_EQ(value, 0x00500000u);
    for (bool viaRefresh : {false, true}) {
        tStatus rejected;
        if (viaRefresh) {
            switched.refresh(0x80000680, rejected, 0);
        } else {
            switched.read(0x80000680, value, rejected, 0);
        }
        EXPECT_EQ(rejected.getCode(), kUnknownId);
    }
    for (uint32_t id : {0x80000694u, 0x40000694u}) {
        tStatus rejected;
        switched.flush(id, true, rejected, 0);
        EXPECT_EQ(rejected.getCode(), kUnknownId);
    }

    bim.clearTrace();
    switched.refreshRegMap(status);
    EXPECT_EQ(readOffsets(bim),
              (std::vector<uint64_t>{0x44, 0x88, 0x8C, 0x94, 0x98, 0xA4, 0x00, 0x04, 0x100}));
    switched.markDirtyRegMap();
    bim.clearTrace();
    switched.flushRegMap(false, status);
    std::vector<uint64_t> written;
    for (const Write& w : writesOf(bim)) {
        written.push_back(w.offset);
    }
    EXPECT_EQ(written, (std::vector<uint64_t>{0x44, 0x80, 0x88, 0x8C, 0x98, 0xA4, 0x04}));

    // The start bits leave the soft copy after a successful write of the command.
    switched.write(0x04000688, 2, false, status, 0);
    switched.write(0x06000688, 0x1FF, false, status, 0);
    EXPECT_EQ(switched.ConfigControlReg.softCopy, 0xFF000200u);
    switched.write(0x06000688, 0x10, false, status, 0);
    switched.write(0x00000688, 1, false, status, 0);
    EXPECT_EQ(bim.writtenValues(0x88).back(), 0x10000201u);
    EXPECT_EQ(switched.ConfigControlReg.softCopy & 3u, 0u);
    EXPECT_EQ(bim.portTrace().size(), 1u) << "one port write";
    EXPECT_TRUE(status.isSuccess());
}

} // namespace
