// The bridge's DMA data path over the engine in step mode: link chains, registers, controllers, streams.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
#include <numeric>
#include <thread>

#include "bridge/dma_controllers.h"
#include "bridge_test_support.h"
#include "fatal_hook_capture.h"
#include "regs/front_end_accessors.h"

namespace {

using namespace brixeltools;
using namespace kelvo_driver::nVOAPAL000;
using namespace kelvo_test;
using nVOAPALS100::tStatus;
using Bytes = std::vector<std::uint8_t>;
using Trace = std::vector<ChipAccess>;

constexpr std::int64_t k806F = KELVO_STATUS_UNSUPPORTED_OPERATION;
constexpr std::int64_t k807C = KELVO_STATUS_STREAM_STOP_TIMED_OUT;
constexpr std::int64_t kInvalid = tStatus::kInvalidParameter;
constexpr std::uint64_t kData = 0x7000000000ULL; // data addresses the decoder never reads
// The header's flags as the bridge reads them, stated here rather than taken from the driver.
constexpr std::uint32_t kLastLinkFlag = 1u << 31;
constexpr std::uint32_t kTwoLinkRingFlag = 1u << 30;

struct DecodedEntry {
    bool selfConfig;
    std::uint32_t word0, word1; // the byte count or data; 0 or the control word
    std::uint64_t address;
    bool operator==(const DecodedEntry&) const = default;
};
struct DecodedLink {
    std::uint64_t address;
    std::uint32_t nextSize, flags;
    std::uint64_t nextAddress;
    std::vector<DecodedEntry> entries;
};

// Up to maxLinks links from start, until a last link or a next size of 0, read by bus address.
std::vector<DecodedLink> decodeChain(void* pciHandle, tLinkInformation start, std::size_t maxLinks) {
    std::vector<DecodedLink> links;
    std::uint64_t address = start.address;
    std::uint32_t size = start.size;
    while (links.size() < maxLinks && size != 0) {
        Bytes bytes(size);
        if (!kal::dma::read(pciHandle, address, bytes.data(), size)) {
            ADD_FAILURE() << "link at " << address << " not readable";
            break;
        }
        const auto load = [&bytes]<typename T>(std::uint32_t at, T value) {
            std::memcpy(&value, &bytes[at], sizeof value);
            return value;
        };
        DecodedLink link{address, load(0, 0u), load(4, 0u), load(8, std::uint64_t{0}), {}};
        for (std::uint32_t at = 16; at + 8 <= size;) {
            const bool selfConfig = load(at + 4, 0u) != 0;
            link.entries.push_back({selfConfig, load(at, 0u), load(at + 4, 0u),
                                    selfConfig ? 0 : load(at + 8, std::uint64_t{0})});
            at += selfConfig ? 8 : 16;
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

// One DMA channel's controllers (circuit, stream, SGL) as the driver builds them.
struct DmaChannel {
    DmaChannel(const tBridgeWindow& window, sim::Module& module, const tDMAConfiguration& config,
               std::uint32_t n, std::uint32_t linkSize, voquantasharedsource::FrontEndAccessorInterface& bar)
        : channelRegion(window.base + module.bridgeRegisters().channelBase(n), 0xA8),
          channelMap(channelRegion),
          circuitMap(&bar,
                     static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + sim::Module::kStreamCircuitBase +
                                                n * sim::Module::kStreamCircuitStride),
                     0, 0x1000),
          circuit(&circuitMap) {
        stream.reset(new (status, false) BrixelDMAStreamController(window, channelMap, circuit, n, status));
        if (status.isFatal()) {
            return; // as the DMA controller set: nothing more is built
        }
        sgl.reset(new (status, false) SGLController(config, linkSize, getDMAChannelTransferDirection(n),
                                                    status, stream.get()));
    }
    ~DmaChannel() {
        sgl.reset(); // stops the stream
        if (stream) {
            stream->disableInterrupt();
        }
    }

    tStatus status; // of the construction
    tPCIMemorySpaceAccessorDebug<false> channelRegion;
    DMAChannelRegMap channelMap;
    kelvo_regmaps::tStreamCircuitRegMap circuitMap;
    StreamCircuit circuit;
    std::unique_ptr<BrixelDMAStreamController> stream;
    std::unique_ptr<SGLController> sgl;
};

// Page-aligned memory (size a multiple of pages) registered as the calling thread's user memory.
struct UserMemory {
    explicit UserMemory(std::size_t size)
        : size(size), memory(static_cast<std::uint8_t*>(std::aligned_alloc(4096, size)), &std::free) {
        std::memset(data(), 0, size);
        scope.add(data(), size);
    }
    std::uint8_t* data() const { return memory.get(); }
    std::uint64_t address() const { return kal::usermem::address(data()); }
    Bytes bytes(std::size_t from, std::size_t to) const { return Bytes(data() + from, data() + to); }

    std::size_t size;
    std::unique_ptr<std::uint8_t, decltype(&std::free)> memory;
    kal::usermem::Scope scope;
};

Bytes pattern(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [x = seed * 2654435761u + 1]() mutable {
        return static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    });
    return bytes;
}

// A module with 64-bit DMA, BAR 0 mapped and both engines in step mode; checks for leftovers.
class DmaBoardTest : public DmaModuleTest {
protected:
    void SetUp() override {
        DmaModuleTest::SetUp();
        ASSERT_EQ(nVOKAL220_pciSetDMAMask(info.pciHandle, ~0ULL), 0);
        config.type = tDMAConfiguration::kDMAType64Bit;
        config.deviceInfo = &info;
        tStatus status;
        device = new (status, false) tPCIDevice(info, status);
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
        deleteObject(device);
        for (std::uint32_t n = 0; n < 2; ++n) {
            EXPECT_TRUE(module->dma(n).faults().empty()) << ::testing::PrintToString(module->dma(n).faults());
        }
        DmaModuleTest::TearDown();
    }
    std::unique_ptr<DmaChannel> channel(std::uint32_t n, std::uint32_t linkSize = 4096) {
        auto c = std::make_unique<DmaChannel>(window, *module, config, n, linkSize, barAccessor);
        EXPECT_TRUE(c->status.isSuccess());
        return c;
    }
    static std::int64_t add(DmaChannel& c, std::uint32_t type, std::uint64_t address, std::uint64_t size,
                            std::uint32_t repeat = 1, std::int64_t direction = -1) {
        const tUserBuffer buffer(0, address, size);
        const auto to = direction < 0 ? c.sgl->direction() : static_cast<std::uint32_t>(direction);
        return codeOf([&](tStatus& s) { c.sgl->addTransfer(type, buffer, to, repeat, s); });
    }
    static std::int64_t start(DmaChannel& c) {
        return codeOf([&](tStatus& s) { c.sgl->commitAndStart(true, s); });
    }
    std::unique_ptr<DmaChannel> running(std::uint32_t type, std::uint64_t address, std::uint64_t size,
                                        std::uint32_t linkSize = 4096) {
        auto c = channel(0, linkSize);
        EXPECT_EQ(add(*c, type, address, size), 0);
        EXPECT_EQ(start(*c), 0);
        return c;
    }
    void feed(const Bytes& data, std::size_t size) {
        module->dma(0).inject(data.data(), size);
        module->dma(0).runUntilBlocked();
    }

    tPCIDevice* device = nullptr;
    void* bar = nullptr;
    tBridgeWindow window{};
    voquantasharedsource::tPCIMemorySpace barRegion;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter barAccessor{&barRegion};
    tDMAConfiguration config;
};

class BridgeSgl : public DmaBoardTest {
protected:
    // A chain of links of linkSize bytes with transfers of 16 bytes each at kData + i * 0x1000.
    std::unique_ptr<tBrixelSGL> chainOf(std::uint32_t linkSize, std::uint32_t transfers = 0) {
        auto chain = std::make_unique<tBrixelSGL>();
        tStatus status;
        chain->initialize(config, linkSize, status);
        for (std::uint32_t i = 0; i < transfers; ++i) {
            chain->appendTransfer(kData + i * 0x1000ULL, 16, status, false);
        }
        EXPECT_TRUE(status.isSuccess());
        return chain;
    }
    std::vector<DecodedLink> decode(const tBrixelSGL& chain, std::size_t maxLinks) {
        return decodeChain(info.pciHandle, chain.getLinkInformation(), maxLinks);
    }
    // Transfer indices of the entries of decoded links, in walk order.
    static std::vector<std::uint32_t> indices(const std::vector<DecodedLink>& links) {
        std::vector<std::uint32_t> out;
        for (const auto& link : links) {
            for (const auto& entry : link.entries) {
                out.push_back(static_cast<std::uint32_t>((entry.address - kData) / 0x1000));
            }
        }
        return out;
    }
};

TEST_F(BridgeSgl, SelfConfigurationEntriesReplicateTheirDatumAndCodeTheirSize) {
    struct Row {
        std::uint32_t depth, data, offset, word0, word1;
    };
    const Row rows[] = {
        {1, 0xAB, 0x100, 0xABABABAB, 0x80000100},  {2, 0x1234, 0x10, 0x12341234, 0x88000010},
        {2, 0xFFFF, 0x10, 0xFFFFFFFF, 0x88000010}, {4, 0xDEADBEEF, 0x7FFFFFC, 0xDEADBEEF, 0x97FFFFFC},
        {3, 0x5, 0x20, 0x5, 0x98000020}, // reserved size code
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.depth);
        auto chain = chainOf(4096);
        tStatus status;
        std::uint32_t at = 0;
        chain->appendSelfConfig(row.offset, row.data, row.depth, status, false, at);
        EXPECT_EQ(at, 16u);
        chain->makeFinite();
        const auto links = decode(*chain, 4);
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].entries, (std::vector<DecodedEntry>{{true, row.word0, row.word1, 0}}));
    }
}

TEST_F(BridgeSgl, EntriesFillALinkAndThenStartTheNext) {
    struct Row {
        std::uint32_t linkSize, transfers, selfConfigs;
        std::vector<std::size_t> entriesPerLink;
    };
    const Row rows[] = {
        {4096, 300, 0, {255, 45}},
        {40, 1, 1, {2}},    // 8 bytes left after a transfer: a self-configuration entry still fits
        {40, 2, 0, {1, 1}}, // but not a second transfer
        {40, 1, 2, {2, 1}}, // nor a second self-configuration entry
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.linkSize);
        auto chain = chainOf(row.linkSize, row.transfers);
        tStatus status;
        std::uint32_t at = 0;
        for (std::uint32_t i = 0; i < row.selfConfigs; ++i) {
            chain->appendSelfConfig(0x10, 1, 4, status, false, at);
        }
        chain->makeFinite();
        const auto links = decode(*chain, 8);
        ASSERT_EQ(links.size(), row.entriesPerLink.size());
        for (std::size_t i = 0; i < links.size(); ++i) {
            EXPECT_EQ(links[i].entries.size(), row.entriesPerLink[i]) << "link " << i;
        }
        EXPECT_EQ(std::tuple(links.back().flags, links.back().nextSize, links.back().nextAddress),
                  std::tuple(kLastLinkFlag, 0u, std::uint64_t{0}));
    }
}

// Each link after the first in the next slot of the first link's page; once the page is full, in new memory.
// A reset keeps the head link, emptied, and its page; the memory after it goes, its DMA completed first.
TEST_F(BridgeSgl, LinksShareLinkMemoryInAlignedSlotsAndAResetKeepsTheFirst) {
    const std::pair<std::uint32_t, std::uint64_t> rows[] = {{1024, 1024}, {256, 512}}; // link size, slot
    for (const auto& [linkSize, slot] : rows) {
        SCOPED_TRACE(linkSize);
        auto chain = chainOf(linkSize, 1);
        const std::uint64_t first = chain->head()->linkMemory.address;
        tStatus status;
        for (std::uint64_t offset = slot; offset <= 4096; offset += slot) {
            const tBrixelSGLChunkyLink* link = chain->addLink(status);
            ASSERT_NE(link, nullptr);
            if (offset == 4096) {
                EXPECT_FALSE(link->linkMemory.address >= first && link->linkMemory.address < first + 4096);
            } else {
                EXPECT_EQ(link->linkMemory.address, first + offset);
            }
        }
        const std::size_t lists = kal::pagelists::live();
        const std::uint64_t completes = kal::dma::completeCalls();
        chain->reset();
        EXPECT_EQ(std::tuple(chain->head(), chain->head()->isEmpty()), std::tuple(chain->tail(), true));
        EXPECT_EQ(kal::dma::completeCalls() - completes, lists - kal::pagelists::live())
            << "each link memory freed completes its DMA before it is unmapped";
        EXPECT_EQ(chain->addLink(status)->linkMemory.address, first + slot);
    }
}

TEST_F(BridgeSgl, EntryBoundariesNeverCutATransferEntry) {
    auto chain = chainOf(4096);
    tStatus status;
    EXPECT_EQ(chain->appendTransfer(kData, 0, status, false), nullptr); // a zero-byte transfer: refused
    EXPECT_EQ(status.getCode(), kInvalid);
    EXPECT_TRUE(chain->head()->isEmpty());
    status.clear();
    std::uint32_t at = 0;
    chain->appendTransfer(kData, 16, status, false);              // entry offsets 0..15
    chain->appendSelfConfig(0, 0, 1, status, false, at);          // 16..23: its low seven bytes all 0
    chain->appendTransfer(0x100000000ULL * 3, 16, status, false); // 24..39, address above 4 GB
    const tBrixelSGLChunkyLink& link = *chain->head();
    const std::uint32_t rows[][2] = {{0, 0},   {8, 0},   {12, 0},  {16, 16},
                                     {24, 24}, {32, 24}, {36, 24}, {40, 40}};
    for (const auto& row : rows) {
        EXPECT_EQ(link.findEntryBoundary(row[0]), row[1]) << row[0];
    }
}

// Made continuous again: with nothing appended since, one into the ring's second link, one into a fresh one.
TEST_F(BridgeSgl, AOneLinkChainMadeContinuousRepeatsItsEntriesOverTwoLinks) {
    struct Row {
        bool mark, again;
        std::uint32_t appended;
        bool fresh;
        std::uint32_t entries, tailBytes; // transfers before; the second link's size made continuous once
    };
    // The last row's last whole copy fills the tail exactly.
    const Row rows[] = {{true, false, 0, false, 3, 96}, {false, false, 0, false, 3, 96},
                        {true, true, 0, false, 3, 0},   {true, true, 1, false, 3, 0},
                        {true, true, 1, true, 3, 0},    {true, false, 0, false, 2, 128}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.mark << row.again << row.appended << row.fresh << row.entries);
        auto chain = chainOf(128, row.entries); // 16 bytes each
        tStatus status;
        chain->makeContinuous(row.mark, status);
        if (row.appended != 0) {
            chain->appendTransfer(kData + 3 * 0x1000ULL, 16, status, row.fresh);
        }
        if (row.again) {
            chain->makeContinuous(true, status);
        }
        ASSERT_TRUE(status.isSuccess());
        const auto links = decode(*chain, 2); // the ring's two links
        ASSERT_EQ(links.size(), 2u);
        if (!row.again) {
            EXPECT_EQ(
                std::tuple(links[0].nextSize, links[1].nextSize, links[1].nextAddress, links[0].flags,
                           links[1].flags),
                std::tuple(row.tailBytes, 128u, links[0].address, 0u, row.mark ? kTwoLinkRingFlag : 0u));
        }
        const std::vector<std::uint32_t> walked = indices(links);
        ASSERT_EQ(walked.size() % (row.entries + row.appended), 0u);
        for (std::size_t i = 0; i < walked.size(); ++i) {
            EXPECT_EQ(walked[i], i % (row.entries + row.appended)) << "entry " << i;
        }
    }
}

TEST_F(BridgeSgl, BalancingSpreadsTheTailsShortfallBeforeTheRingCloses) {
    auto chain = chainOf(4096, 255 + 255 + 10);
    ASSERT_EQ(codeOf([&](tStatus& s) { chain->makeContinuous(true, s); }), 0);
    const auto links = decode(*chain, 3);
    ASSERT_EQ(links.size(), 3u);
    // Links of 2768, 2800 and 2800 bytes; three links: no two-link mark.
    EXPECT_EQ(std::tuple(links[0].entries.size(), links[1].entries.size(), links[2].entries.size(),
                         links[2].nextAddress, links[2].flags),
              std::tuple(std::size_t{172}, std::size_t{174}, std::size_t{174}, links[0].address, 0u));
    std::vector<std::uint32_t> expected(520);
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(indices(links), expected);
}

// A loaded map that reports fixed segments (sizes no real buffer here has).
class FixedSegments : public tDMAMapCore {
public:
    FixedSegments(const tDMAConfiguration& c, std::vector<tSegment> segments)
        : tDMAMapCore(c), segments_(std::move(segments)) {}
    void allocate(std::uint64_t, tStatus&) override {}
    void free() override {}
    void prepareForDMA() override {}
    void completeDMA(std::uint64_t, std::uint64_t) override {}
    std::uint64_t numSGLSegments() override { return segments_.size(); }
    void resetSGLIterator() override { next_ = 0; }
    bool moreSGLSegments() override { return next_ < segments_.size(); }
    tSegment nextSGLSegment() override { return moreSGLSegments() ? segments_[next_++] : tSegment{0, 0}; }

private:
    std::vector<tSegment> segments_;
    std::size_t next_ = 0;
};

TEST_F(BridgeSgl, SegmentsOfTwoGibibytesOrMoreAreSplitNotTruncated) {
    struct Row {
        std::uint64_t size;
        std::vector<std::uint32_t> counts;
    };
    const Row rows[] = {{0x7FFFFFFFULL, {0x7FFFFFFF}},
                        {0x80000000ULL, {0x80000000}},
                        {0x100000000ULL, {0x80000000, 0x80000000}},
                        {0x140000123ULL, {0x80000000, 0x80000000, 0x40000123}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        FixedSegments map(config, {{kData, row.size}});
        auto chain = chainOf(4096);
        tStatus status;
        chain->addTransfer(map, status);
        chain->makeFinite();
        std::vector<DecodedEntry> expected;
        for (std::uint64_t address = kData; std::uint32_t count : row.counts) {
            expected.push_back({false, count, 0, address});
            address += count;
        }
        const auto links = decode(*chain, 2);
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].entries, expected);
    }
}

using BridgeDmaRegisters = DmaBoardTest;

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
        FatalHookCapture fatal;
        channel.configureProgressNotification(row.type, row.interval, row.doorbell, row.data, row.push);
        EXPECT_EQ(fatal.count(), row.writes.empty() ? 1 : 0);
        if (!row.writes.empty()) {
            EXPECT_EQ(accessesOf(block, true), row.writes);
        }
        channel.reset();
    }
}

TEST_F(BridgeDmaRegisters, AStartTheMaskAndANotifyTargetWriteTheirRegistersAndARebindResetsTheNewBlock) {
    // Blocks of full size, and one too small for the transfer count (0xA0): an invariant.
    const std::pair<std::uint64_t, int> rows[] = {{0x100, 0}, {0x60, 1}};
    sim::BridgeRegisters& bridge = module->bridgeRegisters();
    module->dma(0).setNeverStarts(true); // the links named do not exist
    module->dma(1).setNeverStarts(true);
    for (const auto& [size, invariants] : rows) {
        tBrixelDMAChannel channel(window, 1);
        bridge.channel(1).clearTrace();
        channel.start({0x2000, 0x20}, false);
        channel.setInterruptEnable(0x02000000);
        channel.setInterruptEnable(0x02000000); // set twice: written once
        channel.setInterruptEnable(0);          // off again: the link mode kept
        channel.setInterruptEnable(0x02000000);
        channel.setTransferCountNotification(0x123456789); // a byte-wait target: 64 bits
        EXPECT_EQ(
            accessesOf(bridge.channel(1), true),
            (Trace{W64(0x48, 0x2000), W32(0x50, 0x20), W32(0x58, 0x1), W32(0x54, 0x02000002), W32(0x54, 0x2),
                   W32(0x54, 0x02000002), W64(0x90, 0x123456789), W32(0x58, 0x02000000)}));
        bridge.channel(0).clearTrace();
        bridge.channel(1).clearTrace();
        FatalHookCapture fatal;
        channel.rebind(window.base + bridge.channelBase(0), size);
        channel.setInterruptEnable(0); // cached 0: nothing written
        channel.start({0x3000, 0x40}, true);
        channel.getTransferCount();
        EXPECT_EQ(fatal.count(), invariants);
        EXPECT_EQ(accessesOf(bridge.channel(0), true),
                  (Trace{W32(0x54, 1), W32(0x58, 2), W32(0x54, 2), W64(0x48, 0x3000), W32(0x50, 0x40),
                         W32(0x58, 5)}));
        EXPECT_TRUE(bridge.channel(1).trace().empty());
        channel.reset();
        channel.rebind(window.base + bridge.channelBase(1), 0x100); // the old block idle again
    }
}

// Bit 5 of the core description (64-bit addressing) picks the device's DMA type and its mask, and
// bits 15 and 14 of the DMA configuration follow it; bit 31 is always set.
TEST_F(BridgeDmaRegisters, DmaConfigurationFollowsTheBridgesAddressWidth) {
    // The register before (bits 31, 15 and 14: all clear, one clear, all set, only they clear, all ones) and
    // its write (0: none), on a bridge with 64-bit addressing, then on one without.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> rows[] = {
        {{0, 0x8000C000}, {0x80008000, 0x8000C000}, {0x8000C000, 0}, {0x7FFF3FFF, 0xFFFFFFFF}, {~0u, 0}},
        {{0, 0x80000000}, {0x8000C000, 0x80000000}, {0x80000000, 0}, {~0u, 0xFFFF3FFF}}};
    tPCIMemorySpaceAccessorDebug<false> region(window.base, 0x518);
    tBrixelWithOffset<0u> bridge(region);
    sim::LatchBlock& hbrcr = module->bridgeRegisters().hbrcr();
    for (const bool wide : {true, false}) {
        module->bridgeRegisters().setCoreDescription(sim::BridgeRegisters::kDefaultCoreDescription &
                                                     ~(wide ? 0u : 1u << 5));
        for (const auto& [before, written] : rows[wide ? 0 : 1]) {
            SCOPED_TRACE(::testing::Message() << (wide ? "64-bit, " : "32-bit, ") << std::hex << before);
            hbrcr.setLatch(0, 4, before);
            hbrcr.clearTrace();
            EXPECT_EQ(codeOf([&](tStatus& s) { qeldma::configureDMA(bridge, *device, s); }), 0);
            EXPECT_EQ(hbrcr.writtenValues(0),
                      written ? std::vector<std::uint64_t>{written} : std::vector<std::uint64_t>{});
            EXPECT_EQ(std::pair(device->getDMAConfiguration().type, kal::pci::dmaMask(info.pciHandle)),
                      wide ? std::pair(tDMAConfiguration::kDMAType64Bit, std::uint64_t{~0ULL})
                           : std::pair(tDMAConfiguration::kDMAType32Bit, std::uint64_t{0xFFFFFFFF}));
        }
    }
}

class BridgeDmaStream : public DmaBoardTest {};

TEST_F(BridgeDmaStream, TransfersAreCheckedBeforeAnythingIsLocked) {
    kal::pagelists::setFragmented(true);
    UserMemory user(64 * 4096);
    auto c = channel(0);
    struct Row {
        const char* what;
        std::uint64_t address, size;
        std::uint32_t repeat;
        std::int64_t direction, code;
    };
    const std::uint64_t a = user.address();
    const Row rows[] = {
        {"repeat 0", a, 4096, 0, -1, KELVO_STATUS_REPEAT_COUNT_ZERO},
        {"host to device on channel 0", a, 4096, 1, 0, k806F},
        {"either as a transfer's direction", a, 4096, 1, 2, k806F},
        {"size 0", a, 0, 1, -1, kInvalid},
        {"above 2^40 bytes", a, (1ULL << 40) + 1, 1, -1, kInvalid},
        {"a range that wraps", ~0ULL - 4095, 8192, 1, -1, kInvalid},
        {"more repeats than entries allowed", a, 4096, (1u << 20) + 1, -1, kInvalid},
        {"64 segments 2^15 times", a, 64 * 4096, 1u << 15, -1, kInvalid},
        {"pages not the caller's", a + 64 * 4096, 4096, 1, -1, tStatus::kPageLockFailed},
    };
    const std::size_t lists = kal::pagelists::live();
    for (const Row& row : rows) {
        const std::int64_t code = add(*c, kSGLTypeFinite, row.address, row.size, row.repeat, row.direction);
        EXPECT_EQ(std::tuple(code, c->sgl->entryCount(kSGLTypeFinite), kal::pagelists::live()),
                  std::tuple(row.code, std::uint64_t{0}, lists))
            << row.what;
    }
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 64 * 4096, 1u << 14), 0);
    EXPECT_EQ(c->sgl->entryCount(kSGLTypeFinite), 1u << 20);
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), kInvalid); // the list is full
}

// An addition refused for want of memory takes back all it took: its record, locked pages, map, and
// the links and link memory it appended (32 pages, an entry each: 3 to a 64-byte link, 8 links a page).
TEST_F(BridgeDmaStream, AnAdditionOutOfMemoryLeavesNothingBehind) {
    kal::pagelists::setFragmented(true);
    UserMemory user(32 * 4096);
    auto c = channel(0, 64);
    struct Row {
        const char* what;
        std::function<void()> fail;
        std::uint32_t type;
        std::int64_t code;
    };
    using namespace kal::faults;
    const Row rows[] = {
        {"the record", [] { kal::memory::failNth(1); }, kSGLTypeFinite, tStatus::kOutOfMemory},
        {"the page list", [] { failNth(kPageList, 1); }, kSGLTypeFinite, tStatus::kPageLockFailed},
        {"the map's load", [] { failNth(kSGL, 1); }, kSGLTypeFinite, tStatus::kOutOfMemory},
        {"finite link memory", [] { failNth(kPageList, 2); }, kSGLTypeFinite, tStatus::kOutOfMemory},
        {"continuous link memory", [] { failNth(kPageList, 2); }, kSGLTypeContinuous, tStatus::kOutOfMemory},
    };
    const auto& pair = c->sgl->getSGL();
    const auto state = [&] {
        return std::tuple(kal::live::now(), pair.finiteSGLRef.tail(), pair.finiteSGLRef.tail()->used,
                          pair.continuousSGLRef.tail(), pair.continuousSGLRef.tail()->used,
                          c->sgl->isEmpty());
    };
    for (const Row& row : rows) {
        const auto before = state();
        row.fail();
        EXPECT_EQ(add(*c, row.type, user.address(), user.size), row.code) << row.what;
        kal::faults::clear();
        kal::memory::clearFaults();
        EXPECT_TRUE(state() == before) << row.what << ": " << kal::live::describe(kal::live::now());
    }
}

TEST_F(BridgeDmaStream, CommitShapesTheListsByWhatTheyHold) {
    UserMemory user(4096);
    constexpr std::uint32_t kCommit = 2; // among the types: a commit there
    struct Row {
        const char* what;
        std::vector<std::uint32_t> types;
        std::uint32_t linkSize;
        std::vector<std::uint32_t> flags; // of the links walked from the head, ring once round
        std::size_t finiteLinks;          // before the ring's head (finite into the ring)
        bool disconnected = false;        // the finite list disconnected from the ring after the commit
    };
    const Row rows[] = {
        {"finite alone", {0, 0}, 4096, {kLastLinkFlag}, 0},
        {"finite grown after a commit: a new last link", {0, kCommit, 0}, 4096, {0, kLastLinkFlag}, 0},
        {"continuous alone", {1, 1, 1}, 64, {0, kTwoLinkRingFlag}, 0},
        {"finite into the ring", {0, 1, 1, 1}, 64, {0, 0, 0}, 1},
        {"finite of two links into the ring", {0, 0, 0, 0, 1, 1, 1}, 64, {0, 0, 0, 0}, 2},
        {"finite of two links disconnected: its tail ends the walk",
         {0, 0, 0, 0, 1, 1, 1},
         64,
         {0, kLastLinkFlag},
         0,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto c = channel(0, row.linkSize);
        for (std::uint32_t type : row.types) {
            const auto commit = [&](tStatus& s) { c->sgl->commit(s); };
            ASSERT_EQ(type == kCommit ? codeOf(commit) : add(*c, type, user.address(), 4096), 0);
        }
        ASSERT_EQ(codeOf([&](tStatus& s) { c->sgl->commit(s); }), 0);
        if (row.disconnected) {
            c->sgl->getSGL().finiteSGLRef.disconnect();
            EXPECT_FALSE(c->sgl->getSGL().isConnected());
        }
        const auto links = decodeChain(info.pciHandle, c->sgl->getSGL(), row.flags.size() + 1);
        ASSERT_GE(links.size(), row.flags.size());
        for (std::size_t i = 0; i < row.flags.size(); ++i) {
            EXPECT_EQ(links[i].flags, row.flags[i]) << i;
            EXPECT_TRUE(links[i].flags != kLastLinkFlag || links[i].nextSize + links[i].nextAddress == 0)
                << i << ": a last link names no next one";
        }
        if (const std::size_t ring = row.finiteLinks; ring != 0) { // the ring's head, where the ring closes
            EXPECT_EQ(links[ring].address,
                      c->sgl->getSGL().continuousSGLRef.getHeadOfList()->linkMemory.address);
            EXPECT_EQ(links[ring + 2].address, links[ring].address);
        }
    }
}

TEST_F(BridgeDmaStream, ListKindRulesAnswerPlainErrorsAndStartRunsTheChannelBeforeTheCircuit) {
    UserMemory user(4096);
    auto c = channel(0);
    const std::uint64_t a = user.address();
    EXPECT_EQ(add(*c, kSGLTypeContinuous, a, 4096), 0);
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), kInvalid); // finite after continuous
    tStatus status;
    c->sgl->clearTransfers(status);
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), 0);
    EXPECT_EQ(add(*c, kSGLTypeContinuous, a, 4096), 0);
    ASSERT_EQ(codeOf([&](tStatus& s) { c->sgl->commit(s); }), 0);
    EXPECT_EQ(add(*c, kSGLTypeContinuous, a, 4096), kInvalid); // after a connecting commit
    const std::uint64_t fences = kal::dma::prepareCalls();
    EXPECT_EQ(codeOf([&](tStatus& s) { c->sgl->commit(s); }), 0); // unchanged: nothing
    EXPECT_EQ(kal::dma::prepareCalls(), fences);
    c->sgl->clearTransfers(status);
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), 0);
    c->sgl->cleanup(status);
    const auto& sgl = c->sgl->getSGL(); // empty, one link left
    EXPECT_EQ(std::tuple(sgl.isEmpty(), sgl.finiteSGLRef.head()), std::tuple(true, sgl.finiteSGLRef.tail()));
    EXPECT_EQ(codeOf([&](tStatus& s) { c->sgl->commitAndStart(true, s); }), kInvalid); // nothing to start
    // A start runs the channel before the circuit, a stop the reverse.
    ASSERT_EQ(add(*c, kSGLTypeFinite, user.address(), 4096), 0);
    sim::LatchBlock& block = module->bridgeRegisters().channel(0);
    block.clearTrace();
    ASSERT_EQ(start(*c), 0);
    tStatus failed;
    KELVO_SET_STATUS(failed, tStatus::kOutOfMemory);
    EXPECT_EQ(c->stream->getTransferCount(failed), 0u);
    c->stream->getCleanupOperation()->cleanup(failed);
    EXPECT_TRUE(c->stream->isTransferInProgress());
    const std::size_t commands = module->dma(0).streamCommands().size();
    EXPECT_EQ(codeOf([&](tStatus& s) { c->stream->getCleanupOperation()->cleanup(s); }), 0);
    EXPECT_EQ(std::tuple(module->dma(0).streamCommands().size(), block.writtenValues(0x58),
                         c->stream->isTransferInProgress()), // 0x800 first
              std::tuple(commands + 1, std::vector<std::uint64_t>{0x5, 0x2}, false));
    // A channel that never starts is stopped again.
    module->dma(0).setNeverStarts(true);
    // Each round of the start's wait reads the clock three times (the deadline, an interval's start and
    // end): at a read step of 12.5 ms it looks at the deadline at 12.5 ms, exactly 50 ms (not passed yet)
    // and 87.5 ms, reading the status after each; the stop's wait reads it once.
    kal::clock::ScopedStepped stepped(12500000);
    const std::size_t reads = block.readCount(0x60);
    EXPECT_EQ(start(*c), KELVO_STATUS_CHANNEL_START_TIMED_OUT);
    EXPECT_EQ(std::tuple(block.readCount(0x60) - reads, block.writtenValues(0x58),
                         c->stream->isTransferInProgress()),
              std::tuple(std::size_t{3 + 1}, std::vector<std::uint64_t>{0x5, 0x2, 0x5, 0x2}, false));
    // A controller going while its channel still transfers by the driver's flag alone resets the engine:
    // mode 1, stop, mode 2.
    c->sgl.reset();
    c->stream->tBrixelDMAChannel::start({0x1000, 0x40}, false);
    block.clearTrace();
    c->stream.reset();
    EXPECT_EQ(std::pair(block.writtenValues(0x54), block.writtenValues(0x58)),
              std::pair(std::vector<std::uint64_t>{1, 2}, std::vector<std::uint64_t>{2}));
}

// The start's commands and waits; a stop has nothing to do once data transfer is off.
TEST_F(BridgeDmaStream, StreamCircuitCommandsComeInTheirOrder) {
    enum Fault { kNone, kNeverEnables, kDropsDataTransfer, kNeverResets };
    struct Row {
        const char* what;
        bool flag;
        Fault fault;
        std::int64_t startCode, stopCode;
        std::vector<std::uint32_t> commands; // the last 0x800 of kDropsDataTransfer is the circuit's own
    };
    const Row rows[] = {
        {"flag set", true, kNone, 0, 0, {0x4, 0x1, 0x100, 0x800}},
        {"flag clear", false, kNone, 0, 0, {0x4, 0x2, 0x100, 0x800}},
        {"never enabled", true, kNeverEnables, k807C, 0, {0x4, 0x1, 0x100}},
        {"data transfer dropped by the circuit", true, kDropsDataTransfer, 0, 0, {0x4, 0x1, 0x100, 0x800}},
        {"the reset never comes", true, kNeverResets, 0, k807C, {0x4, 0x1, 0x100, 0x800}},
    };
    sim::DmaEngine& engine = module->dma(0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        engine.setStreamNeverEnables(row.fault == kNeverEnables);
        auto c = channel(0);
        const std::size_t before = engine.streamCommands().size();
        EXPECT_EQ(codeOf([&](tStatus& s) { c->circuit.start(row.flag, s); }), row.startCode);
        EXPECT_EQ(c->circuit.isStarted(), row.startCode == 0);
        if (row.startCode == 0) {
            EXPECT_EQ(codeOf([&](tStatus& s) { c->circuit.start(row.flag, s); }),
                      KELVO_STATUS_STREAM_CIRCUIT_STARTED);
        }
        if (row.fault == kDropsDataTransfer) {
            engine.streamCommand(0x800);
        }
        engine.setStreamNeverResets(row.fault == kNeverResets);
        EXPECT_EQ(codeOf([&](tStatus& s) { c->circuit.stop(s); }), row.stopCode);
        engine.setStreamNeverResets(false);
        EXPECT_EQ(c->circuit.isStarted(), row.stopCode != 0);
        const auto all = engine.streamCommands();
        EXPECT_EQ(std::vector<std::uint32_t>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
                  row.commands);
    }
    engine.setStreamNeverEnables(false);
}

TEST_F(BridgeDmaStream, AFifoResetStrobesTwiceTenMillisecondsApart) {
    kal::clock::ScopedStepped stepped(1000); // time-outs pass by sleeps and clock reads (1 us each)
    kelvo_regmaps::tKelvoStreamControlRegMap map(
        &barAccessor, static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + module->streamControlOffset()),
        0, 0x80);
    tStatus fifo;
    kelvo_driver::MeasureFifoController controller(map.MeasureStreamCircuitFifoReset, fifo);
    sim::Block* control = module->nisoFpga().find("stream-control");
    control->clearTrace();
    const std::uint64_t before = tTimebasePrecise::now();
    controller.reset(fifo);
    controller.getCleanupOperation()->cleanup(fifo);
    EXPECT_TRUE(fifo.isSuccess());
    EXPECT_EQ(control->writtenValues(0x0), (std::vector<std::uint64_t>{1, 1, 1, 1}));
    // 10 ms of the stand-in clock between the two strobes of each reset.
    EXPECT_GE(nVOAPAL200_convertTime(tTimebasePrecise::now() - before, tTimebasePrecise::getUnit(),
                                     nVOAPAL200_kMicroseconds),
              2 * 10000u);
}

TEST_F(BridgeDmaStream, NothingCommittedMovesWhileTheStreamRuns) {
    kal::pagelists::setFragmented(true); // one entry per page: the ring is the buffer, once
    UserMemory user(8 * 4096);
    const auto data = pattern(8 * 4096, 9);
    auto c = running(kSGLTypeContinuous, user.address(), 4 * 4096, 64);
    // Adding while running takes fresh links; the ring keeps running.
    ASSERT_EQ(add(*c, kSGLTypeContinuous, user.address() + 4 * 4096, 4 * 4096), 0);
    feed(data, 6 * 4096);
    Bytes expected(8 * 4096, 0);
    std::copy(data.begin() + 4 * 4096, data.begin() + 6 * 4096, expected.begin()); // round two
    std::copy(data.begin() + 2 * 4096, data.begin() + 4 * 4096, expected.begin() + 2 * 4096);
    EXPECT_EQ(user.bytes(0, 8 * 4096), expected);
    ASSERT_EQ(codeOf([&](tStatus& s) { c->stream->stop(s); }), 0);
    ASSERT_EQ(start(*c), 0);
    for (const auto& link : decodeChain(info.pciHandle, c->sgl->getSGL(), 3)) {
        EXPECT_EQ(link.flags, 0u); // three links now: the old two-link mark is gone
    }
    feed(data, 8 * 4096);
    EXPECT_EQ(user.bytes(0, 8 * 4096), data);
}

// Both cleanups report a stop that times out; the SGL controller's then resets the channel, drops the lists.
TEST_F(BridgeDmaStream, ACleanupWhoseStopFailsReportsIt) {
    kal::clock::ScopedStepped stepped(1000); // time-outs pass by sleeps and clock reads (1 us each)
    UserMemory user(4096);
    for (bool sgl : {true, false}) {
        SCOPED_TRACE(sgl);
        auto c = running(kSGLTypeFinite, user.address(), 4096);
        tStatus status;
        module->dma(0).setNeverEnds(true);
        sgl ? c->sgl->cleanup(status) : c->stream->getCleanupOperation()->cleanup(status);
        module->dma(0).setNeverEnds(false);
        EXPECT_EQ(std::tuple(status.getCode(), c->stream->isTransferInProgress(), c->sgl->isEmpty()),
                  std::tuple(k807C, !sgl, sgl));
    }
}

// A clear out of memory for the fresh head links reports it; only what is added next runs.
TEST_F(BridgeDmaStream, AClearOutOfMemoryLeavesListsThatStartAgain) {
    UserMemory user(2 * 4096);
    const auto data = pattern(4096, 5);
    for (std::uint64_t n : {1, 2}) { // the finite list's head link, the continuous list's
        SCOPED_TRACE(n);
        std::fill(user.data(), user.data() + user.size, 0);
        auto c = channel(0);
        ASSERT_EQ(add(*c, kSGLTypeContinuous, user.address(), 4096), 0);
        kal::faults::failNth(kal::faults::kPageList, n);
        EXPECT_EQ(codeOf([&](tStatus& s) { c->sgl->clearTransfers(s); }), tStatus::kOutOfMemory);
        kal::faults::clear();
        ASSERT_EQ(add(*c, kSGLTypeContinuous, user.address() + 4096, 4096), 0);
        ASSERT_EQ(start(*c), 0);
        feed(data, data.size());
        EXPECT_EQ(user.bytes(4096, 8192), data);
        EXPECT_EQ(std::count(user.data(), user.data() + 4096, 0), 4096)
            << "the cleared buffer is not written";
    }
}

TEST_F(BridgeDmaStream, ChannelBlocksOutsideTheWindowAreRefusedWithACode) {
    constexpr std::uint32_t kDescription = sim::BridgeRegisters::kDefaultCoreDescription,
                            kBase = sim::BridgeRegisters::kDefaultDmaBase;
    constexpr std::int64_t kOutside = tStatus::kNotAccessible;
    struct Row {
        const char* what;
        std::uint32_t dmaBase, coreDescription;
        std::uint64_t channel;
        std::int64_t code;
    } const rows[] = {
        {"the default place", kBase, kDescription, 1, 0},
        {"a base reading all ones", 0xFFFFFFFFu, kDescription, 0, kOutside},
        {"a base whose second block wraps to 0 in 32 bits", 0xFFFFFF00u, kDescription, 1, kOutside},
        {"the last block of the window", sim::Module::kBar0Size - 0x200, kDescription, 1, 0},
        {"a block one past it", sim::Module::kBar0Size - 0x100, kDescription, 1, kOutside},
        {"blocks of 32 KiB (a core description of all ones): the first fits", 0xF8000u, 0xFFFFFFFFu, 0, 0},
        {"blocks of 32 KiB: the second lies past the end", 0xF8000u, 0xFFFFFFFFu, 1, kOutside},
        {"channel 0x4000 (past 14 bits), its 1-byte block inside", kBase, kDescription & ~0xF0000u, 0x4000,
         kOutside},
        {"a channel number past 32 bits (channel 0 truncated)", kBase, kDescription, std::uint64_t{1} << 32,
         tStatus::kUnsupportedValue},
    };
    auto c = channel(1); // its maps; its own controller sits at the default place
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        module->bridgeRegisters().setDmaBase(row.dmaBase);
        module->bridgeRegisters().setCoreDescription(row.coreDescription);
        const std::size_t errors = module->deviceErrorCount();
        tStatus status;
        { BrixelDMAStreamController stream(window, c->channelMap, c->circuit, row.channel, status); }
        EXPECT_EQ(status.getCode(), row.code);
        EXPECT_EQ(module->deviceErrorCount(), errors) << "no access outside the bridge's blocks";
        module->bridgeRegisters().setCoreDescription(kDescription);
        module->bridgeRegisters().setDmaBase(kBase);
    }
}

TEST_F(BridgeDmaStream, AddClearCommitStartAndStopRaceFromSeveralThreads) {
    UserMemory user(32 * 4096);
    auto c = channel(0, 256);
    sim::DmaEngine& engine = module->dma(0);
    engine.setStepMode(false);
    engine.setProducer([](std::uint8_t* into, std::size_t size) {
        std::fill(into, into + size, 0x5A);
        return size;
    });
    const std::function<void(tStatus&, int)> operations[] = {
        [&](tStatus& s, int i) {
            const tUserBuffer buffer(0, user.address() + i % 8 * 4096ULL, 4096 * (1 + i % 3));
            c->sgl->addTransfer(i % 2 == 0 ? kSGLTypeContinuous : kSGLTypeFinite, buffer, 1, 1, s);
        },
        [&](tStatus& s, int) { c->sgl->clearTransfers(s); },
        [&](tStatus& s, int) { c->sgl->commitAndStart(true, s); },
        [&](tStatus& s, int) { c->stream->stop(s); },
    };
    std::latch go(std::size(operations));
    std::atomic<int> ok{0};
    {
        std::vector<std::jthread> threads; // joined at the end of the block
        for (const auto& operation : operations) {
            threads.emplace_back([&, operation] {
                kal::usermem::Scope scope;
                scope.add(user.data(), user.size);
                go.arrive_and_wait();
                for (int i = 0; i < 60; ++i) {
                    tStatus status;
                    operation(status, i);
                    ok += status.isSuccess() ? 1 : 0;
                }
            });
        }
    }
    EXPECT_EQ(codeOf([&](tStatus& s) { c->stream->stop(s); }), 0);
    engine.setStepMode(true);
    engine.setProducer(nullptr);
    EXPECT_GT(ok.load(), 0);
    EXPECT_FALSE(c->stream->isTransferInProgress());
}

// One link of eight 1000-byte entries, each in a page of its own far from the others on the bus: a burst
// stops at the entry reaching an armed notify-at count, at the bytes the device has, and at a refused entry.
class BridgeDmaEngine : public DmaBoardTest {};

TEST_F(BridgeDmaEngine, ABurstEndsWhereAnEntryByEntryWalkWouldStop) {
    constexpr std::uint32_t kEntries = 8, kEntry = 1000, kLinkSize = 16 + 16 * kEntries;
    struct Case {
        const char* what;
        std::uint64_t notifyAt; // 0: not armed
        int unmapped;           // the entry whose address no page holds, or -1
        std::size_t queued, leftQueued;
        std::uint64_t countAtEvent, finalCount; // at the event (0: none), at the end
    };
    const Case cases[] = {
        {"nothing armed: every entry moves", 0, -1, 8000, 0, 0, 8000},
        {"notify-at inside the third entry: the event comes after it", 2500, -1, 8000, 0, 3000, 8000},
        {"notify-at at an entry's end", 4000, -1, 8000, 0, 4000, 8000},
        {"an unmapped fifth entry: four move, its bytes are lost", 0, 4, 8000, 3000, 0, 4000},
        {"a short queue: the walk waits inside the third entry", 0, -1, 2500, 0, 0, 2500},
    };
    kal::pagelists::setFragmented(true);
    nVOKAL_tHandle pages = nVOKAL220_tPageList_createFromAllocation(1 + kEntries, 0);
    kal::pagelists::setFragmented(false);
    ASSERT_NE(pages, nullptr);
    std::uint8_t* memory = kal::pagelists::memory(pages);
    sim::DmaEngine& engine = module->dma(0);
    const Bytes data = pattern(kEntries * kEntry, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint64_t> link = {std::uint64_t{kLastLinkFlag} << 32, 0}; // its header: no next link
        for (std::uint32_t i = 0; i < kEntries; ++i) { // transfer entries: the byte count, then the address
            link.push_back(kEntry);
            link.push_back(static_cast<int>(i) == c.unmapped ? 0x700000000000ULL
                                                             : kal::pagelists::physicalAddress(pages, 1 + i));
        }
        std::memset(memory, 0, (1 + kEntries) * 4096);
        std::memcpy(memory, link.data(), kLinkSize);
        engine.inject(data.data(), c.queued);
        engine.setControl(c.notifyAt != 0 ? sim::DmaEngine::kNotifyAtEnable : 0);
        engine.streamCommand(0x100);
        engine.start(kal::pagelists::physicalAddress(pages, 0), kLinkSize);
        if (c.notifyAt != 0) {
            engine.arm(c.notifyAt);
        }
        const std::uint64_t events = engine.notifyEvents();
        std::uint64_t atEvent = 0;
        while (engine.step() == 1) {
            if (atEvent == 0 && engine.notifyEvents() != events) {
                atEvent = engine.transferCount();
            }
        }
        EXPECT_EQ(
            std::tuple(atEvent, engine.transferCount(), engine.queuedBytes(), engine.faults().size()),
            std::tuple(c.countAtEvent, c.finalCount, c.leftQueued, std::size_t{c.unmapped < 0 ? 0u : 1u}));
        Bytes moved(data.size(), 0); // the first finalCount bytes, entry after entry
        std::copy_n(data.begin(), c.finalCount, moved.begin());
        for (std::uint32_t i = 0; i < kEntries; ++i) {
            const auto entry = moved.begin() + i * kEntry;
            EXPECT_TRUE(std::equal(entry, entry + kEntry, memory + (1 + i) * 4096)) << "entry " << i;
        }
        engine.stop();
        engine.resetFifo();
        engine.clearFaults();
        kal::dma::clearFaults();
    }
    nVOKAL220_tPageList_destroy(pages);
}

} // namespace
