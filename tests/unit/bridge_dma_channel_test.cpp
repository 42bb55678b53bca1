// The bridge DMA channel's register sequences and the simulated engine that
// walks the links in step mode.
#include <cstdint>
#include <cstring>
#include <vector>

#include "bridge/brixel_dma_channel.h"
#include "bridge/brixel_sgl.h"
#include "bridge_dma_support.h"
#include "platform/dma_map.h"

namespace {

using kelvo_driver::nVOAPAL000::tBrixelDMAChannel;
using kelvo_driver::nVOAPAL000::tBrixelSGL;
using kelvo_driver::nVOAPAL000::tDMAMapCore;
using kelvo_driver::nVOAPAL000::tPageList;
using kelvo_driver::nVOAPAL000::tStandardDMAMap;
using nVOAPALS100::tStatus;

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

// A finite chain over kernel pages, run by the engine of a channel.
class BridgeDmaEngine : public BridgeDmaChannel {
protected:
    struct Run {
        tPageList pages;
        tStandardDMAMap* map = nullptr;
        tBrixelSGL chain;
        std::uint8_t* memory = nullptr;
    };
    void build(Run& run, std::uint32_t channel, std::size_t bytes, std::uint32_t linkSize = 4096) {
        tStatus status;
        const std::uint64_t pages = (bytes + 4095) / 4096;
        run.pages.handle = nVOKAL220_tPageList_createFromAllocation(pages, 0);
        run.pages.size = pages * 4096;
        run.memory = kal::pagelists::memory(run.pages.handle);
        run.map = new (status, false) tStandardDMAMap(config, status);
        run.map->load(run.pages, 0, bytes,
                      channel == 0 ? tDMAMapCore::kDeviceToHost : tDMAMapCore::kHostToDevice, status);
        run.map->resetSGLIterator();
        run.chain.initialize(config, linkSize, status);
        run.chain.addTransfer(*run.map, status);
        ASSERT_TRUE(status.isSuccess());
        run.chain.makeFinite();
    }
    void release(Run& run) {
        run.map->unload();
        kelvo_driver::nVOAPAL000::deleteObject(run.map);
    }
};

TEST_F(BridgeDmaEngine, HostToDeviceMovesOnlyWhatTheAdditiveCountAllowsAtOnce) {
    sim::DmaEngine& engine = module->dma(1);
    Run run;
    build(run, 1, 10000);
    const auto data = kelvo_test::pattern(10000, 3);
    std::memcpy(run.memory, data.data(), data.size());
    tBrixelDMAChannel channel(window, 1);
    channel.start(run.chain.getLinkInformation(), true);
    engine.streamCommand(0x100);
    engine.addAllowance(4000); // credits not started: nothing moves on Solstra channel 1
    EXPECT_EQ(engine.sunkBytes(), 0u);
    engine.creditCommand(1u << 16);
    struct Step {
        std::uint32_t allow;
        std::uint64_t total;
    };
    for (const Step& s : {Step{0, 4000}, Step{5000, 9000}, Step{5000, 10000}}) {
        engine.addAllowance(s.allow);
        EXPECT_EQ(engine.sunkBytes(), s.total);
        EXPECT_EQ(channel.getTransferCount(), s.total);
    }
    EXPECT_EQ(engine.sunk(), data);
    EXPECT_FALSE(engine.running());
    channel.reset();
    release(run);
}

} // namespace
