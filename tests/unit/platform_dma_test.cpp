// DMA buffers, the standard map and the direct map with its bounce buffer.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "pci_test_support.h"
#include "platform/dma_configuration.h"
#include "platform/dma_map.h"
#include "status_code.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;
using Segments = std::vector<tDMAMapCore::tSegment>;

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t k4G = 0x100000000ULL;

class PlatformDma : public kelvo_test::DmaModuleTest {
protected:
    void configure(tDMAConfiguration::tDMAType type) {
        ASSERT_EQ(nVOKAL220_pciSetDMAMask(info.pciHandle,
                                          type == tDMAConfiguration::kDMAType64Bit ? ~0ULL : 0xFFFFFFFFULL),
                  0);
        config_.type = type;
        config_.deviceInfo = &info;
    }
    void makePages(tPageList& pages, std::uint64_t count) {
        pages.handle = nVOKAL220_tPageList_createFromAllocation(count, 0);
        ASSERT_NE(pages.handle, nullptr);
        pages.size = count * kPage;
    }
    static Segments segmentsOf(tDMAMapCore& map) {
        Segments list;
        map.resetSGLIterator();
        while (map.moreSGLSegments()) {
            list.push_back(map.nextSGLSegment());
        }
        const auto past = map.nextSGLSegment();
        EXPECT_EQ(std::tuple(list.size(), past.address, past.size), std::tuple(map.numSGLSegments(), 0u, 0u));
        return list;
    }

    tDMAConfiguration config_;
};

TEST_F(PlatformDma, BufferRequestsThatCannotBeHonouredChangeNothing) {
    const auto allocate = [&](tPageList& into, std::uint64_t size, std::uint64_t alignment) {
        return kelvo_test::codeOf(
            [&](tStatus& s) { config_.allocateDMABuffer(into, size, 0, s, alignment); });
    };
    tPageList buffer;
    EXPECT_EQ(allocate(buffer, kPage, kPage), tStatus::kNotImplemented);

    configure(tDMAConfiguration::kDMAType64Bit);
    kal::pagelists::setPlacement(kal::pagelists::Placement::above4G);
    ASSERT_EQ(allocate(buffer, kPage, kPage), 0);
    EXPECT_GE(kal::pagelists::physicalAddress(buffer.handle, 0), k4G) << "a 64-bit device takes any memory";
    nVOKAL_tHandle held = buffer.handle;
    EXPECT_EQ(allocate(buffer, kPage, kPage), tStatus::kInvalidParameter)
        << "a record that holds pages is not overwritten";
    EXPECT_EQ(buffer.handle, held);
    EXPECT_EQ(kal::pagelists::live(), listsAtStart_ + 1);

    tPageList other;
    for (const auto& [size, alignment] :
         {std::pair<std::uint64_t, std::uint64_t>{kPage, 0}, {kPage, 3}, {kPage, 2 * kPage}, {0, kPage}}) {
        EXPECT_EQ(allocate(other, size, alignment), tStatus::kInvalidParameter) << size << " " << alignment;
        EXPECT_TRUE(other.isEmpty());
    }
    config_.freeDMABuffer(buffer);
}

// Pages above 4 GB bounce for a 32-bit device, both ways, up to the bytes moved; runs of a scattered list
// bounce as one entry, and for a 64-bit device each segment is the run of its own place.
TEST_F(PlatformDma, DirectMapBouncesThroughABufferThatGrowsOnlyWhenALoadNeedsMore) {
    constexpr auto k32 = tDMAConfiguration::kDMAType32Bit, k64 = tDMAConfiguration::kDMAType64Bit;
    constexpr auto kToDevice = tDMAMapCore::kHostToDevice, kToHost = tDMAMapCore::kDeviceToHost;
    configure(k32);
    kal::pagelists::setPlacement(kal::pagelists::Placement::above4G);
    tPageList pages, scattered;
    makePages(pages, 4);
    kal::pagelists::setFragmented(true);
    makePages(scattered, 4);
    const struct {
        tDMAConfiguration::tDMAType type;
        bool scattered;
        tDMAMapCore::tDMADirection direction;
        // seen: the bytes that reach the other side; entries: the bounce entries
        std::uint64_t offset, size, moved, seen, bouncePages, entries;
    } cases[] = {
        {k32, false, kToDevice, 100, 2 * kPage, 0, 2 * kPage, 2, 1},
        {k32, false, kToHost, 100, 4 * kPage - 100, kPage + 10, kPage + 10, 4, 1},
        {k32, false, kToHost, 2 * kPage, 10, tDMAMapCore::kAllBytes, 10, 4, 1}, // the buffer stays
        {k64, true, kToDevice, 100, 3 * kPage, 0, 3 * kPage, 4, 0},
        {k32, true, kToDevice, 100, 3 * kPage, 0, 3 * kPage, 4, 1},
        {k32, true, kToHost, 100, 3 * kPage, tDMAMapCore::kAllBytes, 3 * kPage, 4, 1},
    };
    tStatus status;
    tDirectDMAMap map(config_, status);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.scattered << " " << c.size);
        configure(c.type);
        const tPageList& list = c.scattered ? scattered : pages;
        std::uint8_t* memory = kal::pagelists::memory(list.handle);
        const bool toDevice = c.direction == kToDevice;
        std::vector<std::uint8_t> data(c.size), seen(c.size, 0);
        std::iota(data.begin(), data.end(), std::uint8_t{1});
        std::memcpy(memory + c.offset, toDevice ? data.data() : seen.data(), c.size);
        map.load(list, c.offset, c.size, c.direction, status);
        ASSERT_TRUE(status.isSuccess());
        EXPECT_EQ(std::tuple(map.bounceBuffer().size, map.bounceEntryCount()),
                  std::tuple(c.bouncePages * kPage, c.entries));
        map.prepareForDMA();
        std::uint64_t at = 0;
        for (const auto& s : segmentsOf(map)) {
            ASSERT_LE(at + s.size, c.size);
            EXPECT_TRUE(toDevice ? kal::dma::read(info.pciHandle, s.address, seen.data() + at, s.size)
                                 : kal::dma::write(info.pciHandle, s.address, data.data() + at, s.size));
            at += s.size;
        }
        map.completeDMA(c.moved);
        if (!toDevice) {
            std::memcpy(seen.data(), memory + c.offset, c.size);
        }
        std::fill(data.begin() + c.seen, data.end(), 0);
        EXPECT_EQ(seen, data);
        map.unload();
    }
    EXPECT_DEATH(map.load(pages, 10, 4 * kPage, kToDevice, status), "offset <= pageList.size");

    tDirectDMAMap other(config_, status);
    kal::faults::failNth(kal::faults::kPageList, 1);
    other.load(pages, 0, kPage, tDMAMapCore::kHostToDevice, status);
    EXPECT_EQ(
        std::make_tuple(status.getCode(), other.isLoaded(), other.numSGLSegments(), other.bounceEntryCount()),
        std::make_tuple(int64_t{tStatus::kOutOfMemory}, false, 0u, 0u));
}

TEST_F(PlatformDma, StandardMapSizesItsListAndReachesTheDeviceBelowItsMask) {
    configure(tDMAConfiguration::kDMAType32Bit);
    kal::pagelists::setPlacement(kal::pagelists::Placement::above4G);
    kal::pagelists::setFragmented(true);
    tStatus status;
    tStandardDMAMap map(config_, status);
    const auto capacity = [&](std::uint64_t segments) {
        return map.allocate(segments, status), map.capacity();
    };
    EXPECT_EQ(capacity(1), 1u) << "a new map makes its list even for one segment";
    EXPECT_EQ(capacity(2), 2u) << "ceil(2 / page) + 1";
    EXPECT_EQ(capacity(0), 2u) << "never shrinks";

    tPageList pages;
    makePages(pages, 3);
    map.load(pages, 50, 2 * kPage, tDMAMapCore::kHostToDevice, status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(map.capacity(), 3u) << "grown to the transfer";
    const Segments segments = segmentsOf(map);
    ASSERT_EQ(segments.size(), 3u);
    for (const auto& s : segments) {
        EXPECT_LE(s.address + s.size, k4G) << "bus addresses honour the 32-bit mask";
    }
    map.prepareForDMA();
    map.completeDMA(0);
    const auto completes = kal::dma::completeCalls();
    map.completeDMA(tDMAMapCore::kAllBytes);
    EXPECT_EQ(kal::dma::completeCalls(), completes + 1) << "a byte count of 0 completes nothing";
    map.unload();
    map.load(pages, 0, 1, tDMAMapCore::kHostToDevice, status);
    map.prepareForDMA();
    map.completeDMA(tDMAMapCore::kAllBytes);
    EXPECT_EQ(kal::dma::completeCalls(), completes + 2) << "a one-byte map is mapped too";
    EXPECT_DEATH(map.load(pages, 0, 1, tDMAMapCore::kHostToDevice, status), "ASSERT.!loaded_.");
    map.unload();
    map.free();
}

// A gathering access moves its runs in order up to the first refused one, which moves nothing (not even
// a start joining the run before it in memory) and is recorded once; empty runs count as moved.
TEST_F(PlatformDma, AGatheringAccessStopsAtItsFirstRefusedRun) {
    configure(tDMAConfiguration::kDMAType64Bit);
    kal::pagelists::setFragmented(true);
    tPageList pages;
    makePages(pages, 3);
    std::uint8_t* memory = kal::pagelists::memory(pages.handle);
    struct At { // a run by page and offset; page 3: no page holds it
        std::uint64_t page, offset;
        std::size_t size;
    };
    const struct {
        const char* what;
        std::size_t moved;
        std::vector<At> runs;
    } cases[] = {
        {"runs apart on the bus, an empty one", 4, {{1, 4000, 96}, {2, 0, 0}, {2, 0, 100}, {0, 8, 8}}},
        {"an unmapped run ends it, the next untouched", 1, {{0, 0, 16}, {3, 0, 16}, {1, 0, 16}}},
        {"a run off its page moves none of its start", 1, {{1, kPage - 100, 100}, {2, 0, kPage + 50}}},
    };
    std::vector<std::uint8_t> source(2 * kPage);
    std::generate(source.begin(), source.end(),
                  [i = 0]() mutable { return static_cast<std::uint8_t>(i++ % 251 + 1); });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<kal::dma::Run> runs;
        std::vector<std::uint8_t> expected(3 * kPage, 0);
        std::size_t from = 0, movedBytes = 0;
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            const At& at = c.runs[i];
            runs.push_back({at.page < 3 ? kal::pagelists::physicalAddress(pages.handle, at.page) + at.offset
                                        : 0x700000000000ULL,
                            at.size});
            if (i < c.moved) {
                std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(from), at.size,
                            expected.begin() + static_cast<std::ptrdiff_t>(at.page * kPage + at.offset));
                movedBytes = from + at.size;
            }
            from += at.size;
        }
        std::memset(memory, 0, 3 * kPage);
        EXPECT_EQ(kal::dma::write(info.pciHandle, runs.data(), runs.size(), source.data()), c.moved);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), memory));
        std::vector<std::uint8_t> back(source.size(), 0), backExpected(back);
        std::copy_n(source.begin(), movedBytes, backExpected.begin());
        EXPECT_EQ(kal::dma::read(info.pciHandle, runs.data(), runs.size(), back.data()), c.moved);
        EXPECT_EQ(kal::dma::faults().size(), c.moved < runs.size() ? 2u : 0u)
            << "each direction recorded once";
        EXPECT_EQ(back, backExpected);
        kal::dma::clearFaults();
    }
}

} // namespace
