// Scatter-gather link chains, checked by decoding the link memory as the
// bridge reads it.
#include <cstdint>
#include <vector>

#include "bridge/brixel_sgl.h"
#include "bridge_dma_support.h"

namespace {

using kelvo_driver::nVOAPAL000::kHeaderLastLink;
using kelvo_driver::nVOAPAL000::kHeaderTwoLinkRing;
using kelvo_driver::nVOAPAL000::tBrixelSGL;
using kelvo_driver::nVOAPAL000::tBrixelSGLChunkyLink;
using kelvo_test::decodeChain;
using kelvo_test::DecodedLink;
using nVOAPALS100::tStatus;

constexpr std::uint64_t kData = 0x7000000000ULL; // data addresses the decoder never reads

class BridgeSgl : public kelvo_test::DmaTest {
protected:
    void init(tBrixelSGL& chain, std::uint32_t linkSize) {
        tStatus status;
        chain.initialize(config, linkSize, status);
        ASSERT_TRUE(status.isSuccess());
    }
    // Appends transfers of 16 bytes each at kData + i * 0x1000, i from first.
    static void transfers(tBrixelSGL& chain, std::uint32_t first, std::uint32_t count) {
        tStatus status;
        for (std::uint32_t i = first; i < first + count; ++i) {
            chain.appendTransfer(kData + i * 0x1000ULL, 16, status, false);
        }
        ASSERT_TRUE(status.isSuccess());
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
        {1, 0xAB, 0x100, 0xABABABAB, 0x80000100},
        {2, 0x1234, 0x10, 0x12341234, 0x88000010},
        {4, 0xDEADBEEF, 0x7FFFFFC, 0xDEADBEEF, 0x97FFFFFC},
        {3, 0x5, 0x20, 0x5, 0x98000020}, // reserved size code
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.depth);
        tBrixelSGL chain;
        init(chain, 4096);
        tStatus status;
        std::uint32_t at = 0;
        chain.appendSelfConfig(row.offset, row.data, row.depth, status, false, at);
        EXPECT_EQ(at, 16u);
        chain.makeFinite();
        const auto links = decode(chain, 4);
        ASSERT_EQ(links.size(), 1u);
        ASSERT_EQ(links[0].entries.size(), 1u);
        EXPECT_TRUE(links[0].entries[0].selfConfig);
        EXPECT_EQ(links[0].entries[0].word0, row.word0);
        EXPECT_EQ(links[0].entries[0].word1, row.word1);
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
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.linkSize);
        tBrixelSGL chain;
        init(chain, row.linkSize);
        transfers(chain, 0, row.transfers);
        tStatus status;
        std::uint32_t at = 0;
        for (std::uint32_t i = 0; i < row.selfConfigs; ++i) {
            chain.appendSelfConfig(0x10, 1, 4, status, false, at);
        }
        chain.makeFinite();
        const auto links = decode(chain, 8);
        ASSERT_EQ(links.size(), row.entriesPerLink.size());
        for (std::size_t i = 0; i < links.size(); ++i) {
            EXPECT_EQ(links[i].entries.size(), row.entriesPerLink[i]) << "link " << i;
        }
        EXPECT_EQ(links.back().flags, kHeaderLastLink);
    }
}

TEST_F(BridgeSgl, AZeroByteTransferIsRefusedAndChangesNothing) {
    tBrixelSGL chain;
    init(chain, 4096);
    tStatus status;
    EXPECT_EQ(chain.appendTransfer(kData, 0, status, false), nullptr);
    EXPECT_EQ(status.getCode(), tStatus::kInvalidParameter);
    EXPECT_TRUE(chain.head()->isEmpty());
}

TEST_F(BridgeSgl, LinksShareLinkMemoryInAlignedSlots) {
    struct Row {
        std::uint32_t linkSize;
        std::vector<std::uint64_t> offsets; // of each link from the first link's address; ~0: new memory
    };
    const Row rows[] = {
        {1024, {0, 1024, 2048, 3072, ~0ULL}},
        {256, {0, 512, 1024, 1536, 2048, 2560, 3072, 3584, ~0ULL}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.linkSize);
        tBrixelSGL chain;
        init(chain, row.linkSize);
        const std::uint64_t first = chain.head()->linkMemory.address;
        for (std::size_t i = 1; i < row.offsets.size(); ++i) {
            tStatus status;
            tBrixelSGLChunkyLink* link = chain.addLink(status);
            ASSERT_NE(link, nullptr);
            if (row.offsets[i] == ~0ULL) {
                EXPECT_FALSE(link->linkMemory.address >= first && link->linkMemory.address < first + 4096);
            } else {
                EXPECT_EQ(link->linkMemory.address, first + row.offsets[i]);
            }
        }
    }
}

TEST_F(BridgeSgl, EntryBoundariesNeverCutATransferEntry) {
    tBrixelSGL chain;
    init(chain, 4096);
    tStatus status;
    std::uint32_t at = 0;
    chain.appendTransfer(kData, 16, status, false);              // entry offsets 0..15
    chain.appendSelfConfig(0x10, 1, 4, status, false, at);       // 16..23
    chain.appendTransfer(0x100000000ULL * 3, 16, status, false); // 24..39, address above 4 GB
    const tBrixelSGLChunkyLink& link = *chain.head();
    const std::uint32_t rows[][2] = {{0, 0},   {8, 0},   {12, 0},  {16, 16},
                                     {24, 24}, {32, 24}, {36, 24}, {40, 40}};
    for (const auto& row : rows) {
        EXPECT_EQ(link.findEntryBoundary(row[0]), row[1]) << row[0];
    }
}

TEST_F(BridgeSgl, AOneLinkChainMadeContinuousRepeatsItsEntriesOverTwoLinks) {
    for (bool mark : {true, false}) {
        SCOPED_TRACE(mark);
        tBrixelSGL chain;
        init(chain, 128);
        transfers(chain, 0, 3); // 48 bytes of entries
        tStatus status;
        chain.makeContinuous(mark, status);
        ASSERT_TRUE(status.isSuccess());
        const auto links = decode(chain, 3);
        ASSERT_EQ(links.size(), 3u);
        EXPECT_EQ(links[0].size, 128u);
        EXPECT_EQ(links[0].nextSize, 16u + 80);
        EXPECT_EQ(links[1].nextSize, 128u);
        EXPECT_EQ(links[0].nextAddress, links[1].address);
        EXPECT_EQ(links[1].nextAddress, links[0].address);
        EXPECT_EQ(links[0].flags, 0u);
        EXPECT_EQ(links[1].flags, mark ? kHeaderTwoLinkRing : 0u);
        EXPECT_EQ(links[2].address, links[0].address);
        const std::vector<DecodedLink> ring(links.begin(), links.begin() + 2);
        EXPECT_EQ(indices(ring), (std::vector<std::uint32_t>{0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}));
    }
}

TEST_F(BridgeSgl, BalancingSpreadsTheTailsShortfallBeforeTheRingCloses) {
    tBrixelSGL chain;
    init(chain, 4096);
    transfers(chain, 0, 255 + 255 + 10);
    tStatus status;
    chain.makeContinuous(true, status);
    ASSERT_TRUE(status.isSuccess());
    const auto links = decode(chain, 3);
    ASSERT_EQ(links.size(), 3u);
    EXPECT_EQ(16 + 16 * links[0].entries.size(), 2768u);
    EXPECT_EQ(16 + 16 * links[1].entries.size(), 2800u);
    EXPECT_EQ(16 + 16 * links[2].entries.size(), 2800u);
    EXPECT_EQ(links[2].nextAddress, links[0].address);
    EXPECT_EQ(links[2].flags, 0u); // three links: no two-link mark
    std::vector<std::uint32_t> expected(520);
    for (std::uint32_t i = 0; i < 520; ++i) {
        expected[i] = i;
    }
    EXPECT_EQ(indices(links), expected);
}

// A loaded map that reports fixed segments (sizes no real buffer here has).
class FixedSegments : public kelvo_driver::nVOAPAL000::tDMAMapCore {
public:
    FixedSegments(const kelvo_driver::nVOAPAL000::tDMAConfiguration& c, std::vector<tSegment> segments)
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
    const Row rows[] = {
        {0x7FFFFFFFULL, {0x7FFFFFFF}},
        {0x80000000ULL, {0x80000000}},
        {0x100000000ULL, {0x80000000, 0x80000000}},
        {0x140000123ULL, {0x80000000, 0x80000000, 0x40000123}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        FixedSegments map(config, {{kData, row.size}});
        tBrixelSGL chain;
        init(chain, 4096);
        tStatus status;
        chain.addTransfer(map, status);
        chain.makeFinite();
        const auto links = decode(chain, 2);
        ASSERT_EQ(links.size(), 1u);
        ASSERT_EQ(links[0].entries.size(), row.counts.size());
        std::uint64_t address = kData;
        for (std::size_t i = 0; i < row.counts.size(); ++i) {
            EXPECT_EQ(links[0].entries[i].word0, row.counts[i]);
            EXPECT_EQ(links[0].entries[i].address, address);
            address += row.counts[i];
        }
    }
}

} // namespace
