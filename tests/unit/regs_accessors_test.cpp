// The PCI memory-space adapter and the device-window adapters.

#include "regs_fake_accessor.h"
#include "regs_sim_support.h"
#include "status_code.h"

namespace {

using kelvo_test::codeOf;
using nVOAPALS100::tStatus;
using voquantasharedsource::FrontEndAccessorToDeviceWindowAdapter;
using voquantasharedsource::MemorySpaceAccessorToMemoryWindowAdapter;

class Accessors : public kelvo_test::LeakCheckedTest {};

// Each range (offset, size) refused both ways, the caller's bytes left as they were.
template <class Adapter>
void expectRefused(Adapter& adapter, std::initializer_list<std::pair<uint64_t, uint64_t>> ranges) {
    constexpr int64_t kRefused = KELVO_STATUS_INVALID_PARAMETER;
    for (const auto& range : ranges) {
        const uint64_t offset = range.first, size = range.second;
        SCOPED_TRACE(std::to_string(offset) + "+" + std::to_string(size));
        uint8_t bytes[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(std::pair(codeOf([&](tStatus& s) { adapter.read(offset, size, bytes, s); }),
                            codeOf([&](tStatus& s) { adapter.write(bytes, offset, size, s); })),
                  std::pair(kRefused, kRefused));
        EXPECT_EQ(bytes[0], 0xEE);
    }
}

// The non-isolated window adapter over the PCI adapter: neither touches anything outside its range.
TEST_F(Accessors, NisoWindowAdapterMovesWholeWordsOnlyOverAPciAdapterBoundToItsRegion) {
    kelvo_test::SimBoard b;
    MemorySpaceAccessorToMemoryWindowAdapter adapter(&b.fpgaRegion, 0x8000);
    EXPECT_EQ(adapter.getSizeInBytes(), 0x8000u);
    b.niso().poke(4, 0x44332211);
    b.niso().poke(8, 0x88776655);
    std::vector<uint8_t> bytes(12, 0xEE);
    EXPECT_EQ(codeOf([&](tStatus& s) { adapter.read(4, 8, bytes.data(), s); }), 0);
    EXPECT_EQ(bytes,
              (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0xEE, 0xEE, 0xEE, 0xEE}))
        << "two words and not one more";
    tStatus s;
    const uint8_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    adapter.write(out, 0x7FF8, 8, s);
    EXPECT_EQ(std::make_pair(b.niso().peek(0x7FF8), b.niso().peek(0x7FFC)),
              std::make_pair(0x04030201u, 0x08070605u));
    b.niso().poke(0x18, 0xCAFE);
    adapter.write(out, 0x10, 8, s);
    EXPECT_EQ(b.niso().peek(0x18), 0xCAFEu) << "the word after the range is untouched";

    b.niso().clearTrace();
    expectRefused(adapter, {{2, 8}, {4, 6}, {0x7FFC, 8}, {~0ull - 3, 8}, {3, 0}});
    EXPECT_EQ(codeOf([&](tStatus& s) { adapter.read(8, 0, nullptr, s); }), 0) << "0 bytes, aligned: nothing";
    tStatus outside;
    EXPECT_EQ(b.fpga.read32(0x1FFFE, outside), 0xFFFFFFFFu);
    EXPECT_EQ(outside.getCode(), KELVO_STATUS_NOT_ACCESSIBLE);
    EXPECT_EQ(codeOf([&](tStatus& s) { b.fpga.write32(0x20000, 1, s); }), KELVO_STATUS_NOT_ACCESSIBLE);
    EXPECT_TRUE(b.niso().trace().empty());
}

TEST_F(Accessors, IsoWindowAdapterTakesOneAlignedRegisterPerCall) {
    kelvo_test::FakeAccessor inner;
    inner.memory[0x10] = 0xA1B2C3D4;
    FrontEndAccessorToDeviceWindowAdapter adapter(&inner, 0x8000);
    uint8_t bytes[8] = {};
    EXPECT_EQ(codeOf([&](tStatus& s) { adapter.read(0x10, 4, bytes, s); }), 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 8),
              (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 0, 0, 0, 0}));
    tStatus s;
    const uint8_t out[4] = {0x78, 0x56, 0x34, 0x12};
    adapter.write(out, 0x7FFC, 4, s);
    EXPECT_EQ(inner.memory[0x7FFC], 0x12345678u);

    inner.log.clear();
    expectRefused(adapter, {{0x10, 8}, {0x10, 0}, {0x12, 4}, {0x8000, 4}, {0x100000000ull, 4}});
    EXPECT_TRUE(inner.log.empty());

    // A failed read leaves the caller's bytes as they were.
    uint8_t keep[4] = {9, 9, 9, 9};
    inner.failNext(1);
    EXPECT_EQ(codeOf([&](tStatus& s) { adapter.read(0x10, 4, keep, s); }), -50400);
    EXPECT_EQ(keep[0], 9);
}

// The per-channel accessor: the provider's base ORed into every offset, both ways.
TEST_F(Accessors, ChannelAccessorOrsTheChannelBaseIntoEveryOffset) {
    struct Provider : voquantasharedsource::ChannelBaseProviderInterface {
        uint32_t getChannelBase(uint32_t channel, voquantasharedsource::FrontEndAccessorInterface*) override {
            return channel << 12;
        }
    } provider;
    struct Case {
        uint32_t channel, offset, seen;
    };
    for (const Case c : {Case{.channel = 0, .offset = 0x10, .seen = 0x10},
                         Case{.channel = 3, .offset = 0x24, .seen = 0x3024},
                         Case{.channel = 1, .offset = 0x1004, .seen = 0x1004}}) {
        kelvo_test::FakeAccessor inner;
        voquantasharedsource::ChannelBasedFrontEndAccessor accessor(c.channel, &inner, provider);
        tStatus s;
        accessor.write32(c.offset, 0xA5, s);
        EXPECT_EQ(accessor.read32(c.offset, s), 0xA5u) << c.channel;
        EXPECT_EQ(inner.offsets('W'), std::vector<uint32_t>{c.seen}) << c.channel;
        EXPECT_EQ(inner.offsets('R'), std::vector<uint32_t>{c.seen}) << c.channel;
    }
}

} // namespace
