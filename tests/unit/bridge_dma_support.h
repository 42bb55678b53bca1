// Helpers for the DMA data-path tests: a plugged module with its DMA configuration, and a link-chain decoder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bridge/brixel_sgl.h"
#include "bridge/dma_stream_controller.h"
#include "bridge/sgl_controller.h"
#include "bridge/stream_controllers.h"
#include "regs/front_end_accessors.h"
#include "standin/control.h"
#include "nVOKAL.h"
#include "pci_test_support.h"
#include "bridge/brixel_dma_channel.h"
#include "platform/dma_configuration.h"
#include "platform/pci_device.h"
#include "sim/sim.h"
#include "test_support.h"

namespace kelvo_test {

// The header's flags as the bridge reads them, stated here rather than taken from the driver.
constexpr std::uint32_t kLastLinkFlag = 1u << 31;
constexpr std::uint32_t kTwoLinkRingFlag = 1u << 30;

struct DecodedEntry {
    bool selfConfig;
    std::uint32_t word0; // byte count or data
    std::uint32_t word1; // 0 or control
    std::uint64_t address;
};

struct DecodedLink {
    std::uint64_t address;
    std::uint32_t size;
    std::uint32_t nextSize;
    std::uint32_t flags;
    std::uint64_t nextAddress;
    std::vector<DecodedEntry> entries;
};

// Up to maxLinks links from start, until a last link or a next size of 0, read by bus address.
inline std::vector<DecodedLink> decodeChain(void* pciHandle, kelvo_driver::nVOAPAL000::tLinkInformation start,
                                            std::size_t maxLinks) {
    std::vector<DecodedLink> links;
    std::uint64_t address = start.address;
    std::uint32_t size = start.size;
    while (links.size() < maxLinks && size != 0) {
        std::vector<std::uint8_t> bytes(size);
        if (!kal::dma::read(pciHandle, address, bytes.data(), size)) {
            ADD_FAILURE() << "link at " << address << " not readable";
            break;
        }
        DecodedLink link{address, size, 0, 0, 0, {}};
        std::memcpy(&link.nextSize, &bytes[0], 4);
        std::memcpy(&link.flags, &bytes[4], 4);
        std::memcpy(&link.nextAddress, &bytes[8], 8);
        for (std::uint32_t at = 16; at + 8 <= size;) {
            DecodedEntry entry{};
            std::memcpy(&entry.word0, &bytes[at], 4);
            std::memcpy(&entry.word1, &bytes[at + 4], 4);
            entry.selfConfig = entry.word1 != 0;
            if (!entry.selfConfig) {
                std::memcpy(&entry.address, &bytes[at + 8], 8);
            }
            link.entries.push_back(entry);
            at += entry.selfConfig ? 8 : 16;
        }
        links.push_back(link);
        if ((link.flags & kLastLinkFlag) != 0) {
            break;
        }
        address = link.nextAddress;
        size = link.nextSize;
    }
    return links;
}

// One DMA channel's controllers (circuit, stream, SGL, FIFO) as the driver builds them.
struct DmaChannel {
    DmaChannel(const kelvo_driver::nVOAPAL000::tBridgeWindow& window, sim::Module& module,
               const kelvo_driver::nVOAPAL000::tDMAConfiguration& config, std::uint32_t n,
               std::uint32_t linkSize, voquantasharedsource::FrontEndAccessorInterface& bar)
        : channelRegion(window.base + module.bridgeRegisters().channelBase(n), 0xA8),
          channelMap(channelRegion),
          circuitMap(&bar,
                     static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + sim::Module::kStreamCircuitBase +
                                                n * sim::Module::kStreamCircuitStride),
                     0, 0x1000),
          controlMap(&bar,
                     static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + module.streamControlOffset()), 0,
                     0x80),
          circuit(&circuitMap) {
        stream.reset(new (status, false)
                         brixeltools::BrixelDMAStreamController(window, channelMap, circuit, n, status));
        if (status.isFatal()) {
            return; // as the DMA controller set: nothing more is built
        }
        sgl.reset(new (status, false) brixeltools::SGLController(
            config, linkSize, brixeltools::getDMAChannelTransferDirection(n), status, stream.get()));
        if (sgl == nullptr) {
            return;
        }
        if (n == 0) {
            fifo = std::make_unique<kelvo_driver::MeasureFifoController>(
                controlMap.MeasureStreamCircuitFifoReset, status);
        } else {
            fifo = std::make_unique<kelvo_driver::CommandFifoController>(
                controlMap.CommandStreamCircuitFifoReset, status);
        }
    }
    ~DmaChannel() {
        sgl.reset(); // stops the stream
        if (stream) {
            stream->disableInterrupt();
        }
    }

    nVOAPALS100::tStatus status; // of the construction

    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false> channelRegion;
    brixeltools::DMAChannelRegMap channelMap;
    kelvo_regmaps::tStreamCircuitRegMap circuitMap;
    kelvo_regmaps::tKelvoStreamControlRegMap controlMap;
    brixeltools::StreamCircuit circuit;
    std::unique_ptr<brixeltools::BrixelDMAStreamController> stream;
    std::unique_ptr<brixeltools::SGLController> sgl;
    std::unique_ptr<kelvo_driver::StreamCircuitFifoControllerInterface> fifo;
};

// A module with 64-bit DMA, BAR 0 mapped and both engines in step mode; checks for leftovers.
class DmaBoardTest : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        kal::pagelists::resetPlacement();
        kal::dma::clearFaults();
        listsAtStart_ = kal::pagelists::live();
        module = bus.plug("solstra");
        info = deviceInfoOf(*module);
        ASSERT_EQ(nVOKAL220_pciSetDMAMask(info.pciHandle, ~0ULL), 0);
        config.type = kelvo_driver::nVOAPAL000::tDMAConfiguration::kDMAType64Bit;
        config.deviceInfo = &info;
        nVOAPALS100::tStatus status;
        device = new (status, false) kelvo_driver::nVOAPAL000::tPCIDevice(info, status);
        bar = device->mapMemoryWindow(0, status, 0);
        ASSERT_TRUE(status.isSuccess());
        window = {reinterpret_cast<std::uintptr_t>(bar), sim::Module::kBar0Size};
        module->enableDma();
        module->dma(0).setStepMode(true);
        module->dma(1).setStepMode(true);
        barRegion = voquantasharedsource::tPCIMemorySpace(window.base, 0x40000);
    }
    void TearDown() override {
        device->unmapMemoryWindow(0, bar, 0);
        kelvo_driver::nVOAPAL000::deleteObject(device);
        for (std::uint32_t n = 0; n < 2; ++n) {
            EXPECT_TRUE(module->dma(n).faults().empty()) << ::testing::PrintToString(module->dma(n).faults());
        }
        kelvo_test::expectNoDmaLeftovers(listsAtStart_);
        module.reset();
        LeakCheckedTest::TearDown();
    }
    std::unique_ptr<DmaChannel> channel(std::uint32_t n, std::uint32_t linkSize = 4096,
                                        bool mayFail = false) {
        auto c = std::make_unique<DmaChannel>(window, *module, config, n, linkSize, barAccessor);
        EXPECT_TRUE(mayFail || c->status.isSuccess());
        return c;
    }
    // Adds a user buffer to a channel's controller; returns the code.
    static std::int64_t add(DmaChannel& c, std::uint32_t type, std::uint64_t address, std::uint64_t size,
                            std::uint32_t repeat = 1, std::int64_t direction = -1) {
        nVOAPALS100::tStatus status;
        const kelvo_driver::nVOAPAL000::tUserBuffer buffer(0, address, size);
        c.sgl->addTransfer(type, buffer,
                           direction < 0 ? c.sgl->direction() : static_cast<std::uint32_t>(direction), repeat,
                           status);
        return status.getCode();
    }

    kelvo_driver::nVOAPAL000::tPCIDevice* device = nullptr;
    void* bar = nullptr;
    kelvo_driver::nVOAPAL000::tBridgeWindow window{};
    voquantasharedsource::tPCIMemorySpace barRegion;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter barAccessor{&barRegion};
    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    nVOAPAL200_tDeviceInfo info{};
    kelvo_driver::nVOAPAL000::tDMAConfiguration config;

private:
    std::size_t listsAtStart_ = 0;
};

// Page-aligned memory registered as the calling thread's user memory.
class UserMemory {
public:
    explicit UserMemory(std::size_t size)
        : size_((size + 4095) / 4096 * 4096),
          bytes_(static_cast<std::uint8_t*>(std::aligned_alloc(4096, size_ == 0 ? 4096 : size_))) {
        std::memset(bytes_, 0, size_);
        scope_.add(bytes_, size_);
    }
    ~UserMemory() { std::free(bytes_); }
    UserMemory(const UserMemory&) = delete;
    UserMemory& operator=(const UserMemory&) = delete;
    std::uint8_t* data() const { return bytes_; }
    std::uint64_t address() const { return kal::usermem::address(bytes_); }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::uint8_t* bytes_;
    kal::usermem::Scope scope_;
};

// A pattern of size bytes that differs per seed.
inline std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

} // namespace kelvo_test
