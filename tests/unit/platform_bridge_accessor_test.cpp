// The bridge accessor, the vendor capability walk and the geographic address over the simulated bridge.
#include "bridge/brixel.h"
#include "bridge_test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tBrixel;
using kelvo_driver::nVOAPAL000::tGeographicAddress;
using kelvo_driver::nVOAPAL000::tVOCapabilityBrixelAccessor;
using nVOAPALS100::tStatus;

constexpr uint32_t kSlot = 7;
constexpr uint32_t kDisabledCPWBSR = 0x400C;

class BridgeAccessor : public kelvo_test::SimulatedBarTest {
protected:
    void SetUp() override {
        SimulatedBarTest::SetUp();
        module->bridge().setSlot(kSlot);
    }

    // What the device object does: head set-up, then the walk for the geographic address.
    uint32_t lookup(tStatus& status, tGeographicAddress&& geo = {}) { return lookup(status, geo); }
    uint32_t lookup(tStatus& status, tGeographicAddress& geo) {
        tBrixel brixel(*device, bar);
        tVOCapabilityBrixelAccessor accessor(brixel, status);
        accessor.getCapability(geo, status);
        expectWindowRegistersRestored(0);
        return geo.value();
    }
    sim::Block& block(const char* name) { return *module->bar0().find(name); }
    // The bridge is left as it was found, also by every lookup: window disabled, page as before.
    void expectWindowRegistersRestored(uint32_t page) {
        EXPECT_EQ(module->bridge().cpwbsr(), kDisabledCPWBSR);
        EXPECT_EQ(module->bridge().pageRegister(), page);
    }
};

TEST_F(BridgeAccessor, PagedReadsWriteThePageRegisterOnlyOnAPageChange) {
    tStatus status;
    tBrixel brixel(*device, bar);
    brixel.saveWindowRegisters();
    brixel.setSpace(tBrixel::kSpaceConfigPortWindow, status);
    ASSERT_TRUE(status.isSuccess());
    sim::Block& page = block("cpw-page");
    page.clearTrace();
    EXPECT_EQ(brixel.read32(tBrixel::kCapabilityDirectoryPointer), sim::BridgeCore::kDirectory);
    EXPECT_EQ(page.writeCount(0), 0u) << "offset in the current page";
    EXPECT_EQ(brixel.read32(0x10004), 0x11111111u);
    EXPECT_EQ(brixel.read16(0x10008), 0x1111u);
    EXPECT_EQ(brixel.read8(0x1000C), 0x11u);
    EXPECT_EQ(page.writtenValues(0), std::vector<uint64_t>{0x10000}) << "another page: written once";

    // Direct space reads window 0 as it is.
    brixel.setSpace(tBrixel::kSpaceDirect, status);
    EXPECT_EQ(brixel.read32(0xC0), kDisabledCPWBSR | 0x80u);
    brixel.restoreWindowRegisters();
    EXPECT_EQ(brixel.currentPage(), 0u);
    expectWindowRegistersRestored(0);

    brixel.setSpace(static_cast<tBrixel::tSpace>(2), status);
    EXPECT_EQ(brixel.space(), tBrixel::kSpaceDirect) << "space unchanged";
}

// Next pointers: absolute, the upper half from the word before, relative; a fourth mode, a relative 0, a
// circle and a missing entry end the walk.
TEST_F(BridgeAccessor, TheWalkFollowsEachNextPointerModeAndStopsOnACorruptList) {
    const uint16_t geoID = sim::BridgeCore::kGeographicAddressID;
    constexpr int64_t kUnsupportedFormat = tStatus::kUnsupportedFormat,
                      kUnexpected = tStatus::kUnexpectedKernelResult;
    const struct {
        const char* what;
        uint32_t head;
        int64_t code;
        std::vector<sim::VendorCapability> list;
        std::vector<std::pair<uint32_t, uint32_t>> words = {};
    } cases[] = {
        {"absolute", 0x200, 0, {{0x200, 0x1111, 0x0300 | 0, {}}, {0x300, geoID, 0, {}}}},
        {"upper half",
         0x10000,
         0,
         {{0x10000, 0x1111, 0x0080 | 1, {}}, {0x20080, geoID, 0, {}}},
         {{0xFFFC, 0x20000}}},
        {"relative", 0x10000, 0, {{0x10000, 0x1111, 0x0100 | 2, {}}, {0x10100, geoID, 0, {}}}},
        {"mode 3", 0x10000, kUnsupportedFormat, {{0x10000, 0x1111, 0x0100 | 3, {}}, {0x10100, geoID, 0, {}}}},
        {"relative 0", 0x10000, kUnexpected, {{0x10000, 0x1111, 0x0000 | 2, {}}, {0x10100, geoID, 0, {}}}},
        {"not in the list", 0x400, tStatus::kNotAccessible, {{0x400, 0x1111, 0x0000, {}}}},
        {"circular", 0x400, kUnexpected, {{0x400, 0x1111, 0x0500, {}}, {0x500, 0x2222, 0x0400, {}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        module->bridge().setCapabilities(c.list, c.head);
        for (const auto& [address, value] : c.words) {
            module->bridge().setWord(address, value);
        }
        block("cpw-window").clearTrace();
        tStatus status;
        EXPECT_EQ(lookup(status), c.code == 0 ? kSlot : tGeographicAddress::kNoValue);
        EXPECT_EQ(status.getCode(), c.code);
    }
    EXPECT_EQ(block("cpw-window").readCount(0x400) + block("cpw-window").readCount(0x500),
              kelvo_driver::nVOAPAL000::tVOCapabilityPCIAccessor::kWalkLimit)
        << "the circle: one header read per step";
}

TEST_F(BridgeAccessor, DirectoryAndListHeadMustBeAlignedAndPresent) {
    const uint32_t directory = sim::BridgeCore::kDirectory, head = sim::BridgeCore::kDefaultListHead;
    const struct {
        uint32_t address, value, restored;
    } cases[] = {
        {0x0C, 0, directory},     // no directory
        {0x0C, 0x102, directory}, // misaligned directory
        {0x100, 0, 1},            // the directory selects register 0x10, which is 0
        {0x14, 0x10002, head},
    };
    for (const auto& c : cases) {
        module->bridge().setWord(c.address, c.value);
        tStatus status;
        EXPECT_EQ(lookup(status), tGeographicAddress::kNoValue);
        EXPECT_EQ(status.getCode(), tStatus::kNotImplemented) << c.address;
        module->bridge().setWord(c.address, c.restored);
    }
    // Register 0x10 is the head when the directory's bit 0 is clear.
    module->bridge().setWord(0x100, 0);
    module->bridge().setWord(0x10, head);
    tStatus status;
    EXPECT_EQ(lookup(status), kSlot);
}

TEST_F(BridgeAccessor, GeographicAddressIsReadWhereTheCapabilityNamesIt) {
    const struct {
        sim::GeographicRegister reg;
        uint32_t slot;
    } cases[] = {
        {{1, 0x0100, 2, 4}, 21},   // 16-bit register in window 0
        {{1, 0x0104, 1, 2}, 30},   // 8-bit register in window 0
        {{4, 0x30010, 3, 27}, 19}, // 32-bit in the bridge space, bits 27-31
        {{4, 0x20042, 2, 0}, 31},  // 16-bit at a half-word address
    };
    for (const auto& c : cases) {
        module->bridge().setGeographicRegister(c.reg);
        module->bridge().setSlot(c.slot);
        tStatus status;
        EXPECT_EQ(lookup(status), c.slot) << c.reg.address;
        EXPECT_TRUE(status.isSuccess());
    }
    EXPECT_EQ(module->bar0().find("pxi-geographic"), nullptr);

    // Space 0: nothing read, yet the offset is recorded.
    module->bridge().setGeographicRegister({0, 0x20040, 3, 3});
    tStatus status;
    tGeographicAddress geo;
    EXPECT_EQ(lookup(status, geo), tGeographicAddress::kNoValue);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(geo.startingOffset(), sim::BridgeCore::kDefaultListHead + 0x80);
    lookup(status, geo); // the next walk starts after it: no second geographic capability
    EXPECT_EQ(status.getCode(), tStatus::kNotAccessible);

    // A space the bridge does not have, and a register outside window 0.
    module->bridge().setGeographicRegister({5, 0x20040, 3, 3});
    EXPECT_EQ(lookup(status = tStatus()), tGeographicAddress::kNoValue);
    EXPECT_EQ(status.getCode(), tStatus::kInvalidParameter);
    module->bridge().setWord(sim::BridgeCore::kDefaultListHead + 0x84, 0x200000);
    module->bridge().setWord(sim::BridgeCore::kDefaultListHead + 0x88, 0x00000301);
    EXPECT_EQ(lookup(status = tStatus()), tGeographicAddress::kNoValue);
    EXPECT_EQ(status.getCode(), tStatus::kUnexpectedKernelResult);
}

} // namespace
