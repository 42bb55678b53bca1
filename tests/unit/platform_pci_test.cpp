// The PCI device: slot path, capabilities, link, bus properties, window maps, the accessor.
#include "pci_test_support.h"
#include "platform/pci_memory_accessor.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;

class PlatformPci : public kelvo_test::LeakCheckedTest {
protected:
    void TearDown() override {
        for (const auto& m : bus.modules()) {
            EXPECT_EQ(m->deviceErrorCount(), 0u) << ::testing::PrintToString(m->deviceErrors());
        }
        LeakCheckedTest::TearDown();
    }
    std::string slotPathOf(const auto& where) {
        tStatus status;
        return tPCIDevice(kelvo_test::deviceInfoOf(where), status).slotPath();
    }

    sim::Bus bus;
};

TEST_F(PlatformPci, SlotPathFollowsNestedBridgesAndCountsRoots) {
    EXPECT_EQ(slotPathOf(*bus.plug("solstra")), "0000:00:08:00");
    EXPECT_EQ(slotPathOf(*bus.plug("duskmere-a")), "0000:00:10:00");
    EXPECT_EQ(slotPathOf(*bus.plug("duskmere-b", {}, {0, false})), "0000:00:18")
        << "behind no bridge on bus 0";
    auto other = bus.plug("solstra", {}, {3, true});
    EXPECT_EQ(slotPathOf(*other), "0003:00:08:00");
    kal::pci::setKnobs(other->pciHandle(), {.unknownDomain = true});
    EXPECT_EQ(slotPathOf(*other), "0000:00:08:00") << "an unknown domain counts as 0";

    // A switch below a root port on buses 0x10-0x12, then a second root's bridge on bus 0x12.
    const nVOKAL_tPCIBridgeRecord extra[] = {
        {0, 0x1C, 0, 0x10, 0x12, 7}, // root port
        {0x10, 0, 0, 0x11, 0x12, 7}, // switch upstream port
        {0x11, 3, 1, 0x12, 0x12, 7}, // switch downstream port
        {0x12, 2, 0, 0x41, 0x41, 7}, // bridge of the second root
        {0, 0x1C, 0, 0x41, 0x41, 6}, // another domain: ignored
    };
    for (const auto& b : extra) {
        kal::pci::addBridge(b);
    }
    const auto module =
        std::make_shared<sim::Module>("solstra", *sim::boardIdentity("solstra"), sim::ModuleOptions{});
    const std::pair<kal::pci::Location, const char*> cases[] = {{{7, 0x12, 0, 0}, "0007:00:E0:00:19:00"},
                                                                {{7, 0x41, 5, 2}, "0007:01:10:2A"}};
    for (const auto& [where, path] : cases) {
        const nVOKAL_tHandle handle = kal::pci::plug(module, where);
        EXPECT_EQ(slotPathOf(handle), path);
        kal::pci::unplug(handle);
    }
    for (const auto& b : extra) {
        kal::pci::removeBridge(b);
    }
}

TEST_F(PlatformPci, PCIExpressFunctionPublishesSixteenBusProperties) {
    auto m = bus.plug("duskmere-b");
    m->config().setLink({3, 8, 2, 4});
    tStatus status;
    tPCIDevice device(kelvo_test::deviceInfoOf(*m), status);
    device.initialize(0, status);
    EXPECT_EQ(device.deviceInfo().owner, &device);
    device.buildBusProperties();
    std::string texts;
    for (tProperty* const* list = device.getBusProperties(); *list != nullptr; ++list) {
        const tProperty& p = **list; // a text (85), an int32 (50) or an int64
        const int64_t number =
            p.typeCode == 50 ? static_cast<int32_t>(p.value) : static_cast<int64_t>(p.value);
        const std::string value =
            p.typeCode == 85 ? reinterpret_cast<const char*>(p.value) : std::to_string(number);
        texts += p.name + ("=" + value) + " ";
    }
    using std::to_string;
    EXPECT_EQ(texts, "busType=" + to_string(0x20706369) + " busSubType=" + to_string(0x70636965) +
                         " pciBusNumber=1 pciDeviceNumber=0 pciFunctionNumber=0 pciVendorID=" +
                         to_string(KELVO_PCI_VENDOR_ID) + " pciDeviceID=" + to_string(KELVO_PCI_DEVICE_ID) +
                         " pciSubsystemVendorID=" + to_string(KELVO_PCI_SUBSYSTEM_VENDOR_ID) +
                         " pciSubsystemID=" + to_string(KELVO_SUBSYSTEM_ID_DUSKMERE_B) +
                         " pciRevision=2 numaNode=-1 pciSlotPath=0000:00:08:00 pcieMaxLinkWidth=8 "
                         "pcieLinkWidth=4 pcieMaxTransferRate=3 pcieTransferRate=2 ");
}

TEST_F(PlatformPci, CapabilityLookupWalksTheChain) {
    auto m = bus.plug("solstra");
    const auto info = kelvo_test::deviceInfoOf(*m);
    using Found = std::pair<uint8_t, int64_t>; // the offset and the status code
    const auto find = [&](uint8_t id) {
        tStatus status;
        return Found{nVOAPAL200_pciFindCapability(id, info, status), status.getCode()}; // left to right
    };
    EXPECT_EQ((std::vector<Found>{find(0x05), find(0x10), find(0x11)}),
              (std::vector<Found>{{0x50, 0}, {0x70, 0}, {0, tStatus::kNotAccessible}}));

    // Status bit 4 clear: only the fallback place, named by the byte at 0x0F (48 is below 64, though a
    // PCI Express ID is put there; 0x50 is MSI).
    m->config().setCapabilityListBit(false);
    m->config().poke(0x30, 1, 0x10);
    EXPECT_EQ(find(0x05), Found(0, tStatus::kNotAccessible));
    for (const auto& [byte, at] : {std::pair{0x70 / 4, 0x70}, {0x0C, 0}, {0x50 / 4, 0}}) {
        m->config().poke(0x0F, 1, byte);
        EXPECT_EQ(find(0x10), Found(at, at != 0 ? 0 : tStatus::kNotAccessible)) << byte;
    }
    // Only the PCI Express lookups that found nothing in the list wrote 0x5A5A at offset 0.
    EXPECT_EQ(m->config().writtenValues(0), std::vector<uint64_t>(3, 0x5A5A));

    m->config().setCapabilityListBit(true);
    m->config().removePcieCapability();
    m->config().makeCapabilityListCircular();
    const size_t reads = m->config().readCount(0x40);
    EXPECT_EQ(find(0x11), Found(0, tStatus::kUnexpectedKernelResult)) << "a circular list";
    EXPECT_EQ(m->config().readCount(0x40) - reads, 24u) << "48 steps over a two-entry circle";
}

// No readable link: a plain PCI function (12 properties); a failed link word zeroes its own pair.
TEST_F(PlatformPci, ALinkThatCannotBeReadLeavesItsFieldsAtZero) {
    constexpr uint32_t kCapability = sim::PciConfigSpace::kPcieOffset;
    constexpr int64_t kFailed = tStatus::kUnexpectedKernelResult;
    const struct {
        const char* what;
        bool noPcie = false, circular = false;
        uint32_t failAt = 0; // a config offset whose reads fail
        int64_t code = 0;
        uint8_t maxSpeed = 0, maxWidth = 0, speed = 0, width = 0;
    } cases[] = {
        {"no PCI Express capability", true},
        {"the capability's reads fail", false, false, kCapability},
        {"an endless list without the capability", true, true},
        {"the link status read fails", false, false, kCapability + 18, kFailed, 3, 8},
        {"the link capabilities read fails", false, false, kCapability + 12, kFailed, 0, 0, 2, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto m = bus.plug("solstra");
        m->config().setLink({3, 8, 2, 4});
        if (c.noPcie) {
            m->config().removePcieCapability();
        }
        if (c.circular) {
            m->config().makeCapabilityListCircular();
        }
        if (c.failAt != 0) {
            m->config().failReadsAt(c.failAt);
        }
        tStatus status;
        tPCIDevice device(kelvo_test::deviceInfoOf(*m), status);
        device.initialize(0, status);
        EXPECT_EQ(status.getCode(), c.code);
        const nVOAPAL200_tDeviceInfo& i = device.deviceInfo();
        EXPECT_EQ(
            (std::vector<int>{i.pcieMaxLinkSpeed, i.pcieMaxLinkWidth, i.pcieLinkSpeed, i.pcieLinkWidth}),
            (std::vector<int>{c.maxSpeed, c.maxWidth, c.speed, c.width}));
        device.buildBusProperties();
        const uint32_t count = c.width != 0 ? 16 : 12;
        EXPECT_EQ(device.busPropertyCount(), count);
        EXPECT_EQ(device.getBusProperties()[count], nullptr);
        EXPECT_EQ(device.getBusProperties()[1]->value, c.width != 0 ? 0x70636965u : 0x20706369u);
    }
}

// A second memory window: BAR 0 from the timing chip on.
nVOAPAL200_tDeviceInfo twoWindowsOf(sim::Module& m) {
    nVOAPAL200_tDeviceInfo info = kelvo_test::deviceInfoOf(m);
    const uint64_t timingChip = m.bar0().baseOf("timing-chip");
    info.memoryWindows[1] = {info.memoryWindows[0].base + timingChip, 0x10000, 0};
    info.numberOfMemoryWindows = 2;
    return info;
}

// A range maps from base + offset, caching modes 1 and 2 as asked, others as 0.
TEST_F(PlatformPci, MemoryWindowRangeMappings) {
    auto m = bus.plug("solstra");
    const nVOAPAL200_tDeviceInfo info = twoWindowsOf(*m);
    const struct {
        uint8_t window;
        const char* block; // at the range's start
        uint32_t asked, mode;
        bool refused;
        int64_t before, code;
    } cases[] = {
        {0, "cpw-page", 1, 1, false, 0, 0},    {1, "timing-chip", 2, 2, false, 0, 0},
        {0, "timing-chip", 7, 0, false, 0, 0}, {0, "cpw-page", 1, 0, true, 0, tStatus::kOutOfMemory},
        {0, "cpw-page", 1, 0, false, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.block) + " through window " + std::to_string(c.window));
        kal::pci::setKnobs(m->pciHandle(), {.refuseMapping = c.refused});
        tStatus status;
        tPCIDevice device(info, status);
        KELVO_SET_STATUS(status, c.before);
        tPhysicalKVAMap map;
        const uint64_t offset =
            info.memoryWindows[0].base + m->bar0().baseOf(c.block) - info.memoryWindows[c.window].base;
        device.mapMemoryWindowRange(c.window, offset, 0x100, map, status, c.asked);
        EXPECT_EQ(status.getCode(), c.code);
        ASSERT_EQ(map.mapping() != nullptr, c.code == 0);
        if (c.code == 0) {
            EXPECT_EQ(kal::pci::cachingMode(map.mapping()), c.mode);
            EXPECT_EQ(map.cachingMode, c.mode) << "unmapped with the mode it was made with";
            const size_t reads = m->bar0().find(c.block)->readCount(0);
            tPCIMemorySpaceAccessor(reinterpret_cast<uintptr_t>(map.mapping()), 0x100).read32(0);
            EXPECT_EQ(m->bar0().find(c.block)->readCount(0), reads + 1);
        }
    }
}

// Whole pages into a user map, cacheable for mode 1 only; an unaligned start is refused. A whole window maps
// with caching mode 1 or 0, and may be mapped twice at once.
TEST_F(PlatformPci, MemoryWindowToUserAndWholeWindowMappings) {
    auto m = bus.plug("solstra");
    const nVOAPAL200_tDeviceInfo info = twoWindowsOf(*m);
    const uint64_t page = nVOKAL100_getPageSize();
    const struct {
        uint8_t window;
        uint64_t offset, size;
        uint32_t mode;
        int64_t before, code;
        uint64_t pages;
        uint32_t cached;
    } cases[] = {
        {0, 0, page, 1, 0, 0, 1, 1},   {1, 2 * page, page + 1, 0, 0, 0, 2, 0},
        {0, page, 1, 2, 0, 0, 1, 0},   {1, 0x10, 0x10, 0, 0, tStatus::kInvalidParameter, 0, 0},
        {0, 0, page, 1, -1, -1, 0, 0},
    };
    tStatus built;
    tPCIDevice device(info, built);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.window) + " at " + std::to_string(c.offset));
        tStatus status;
        KELVO_SET_STATUS(status, c.before);
        void* kernelMap = kal::usermaps::create(4 * page, 3, 0x7000000);
        tUserMemoryMap map(0, kernelMap, 0);
        device.mapMemoryWindowToUser(c.window, c.offset, c.size, map, status, c.mode);
        EXPECT_EQ(status.getCode(), c.code);
        const auto mapped = kal::usermaps::mappings(kernelMap);
        kal::usermaps::destroy(kernelMap);
        ASSERT_EQ(mapped.size(), c.pages != 0 ? 1u : 0u);
        for (const auto& got : mapped) {
            EXPECT_EQ(std::make_tuple(got.physicalAddress, got.pageCount, got.cached),
                      std::make_tuple(info.memoryWindows[c.window].base + c.offset, c.pages, c.cached));
        }
    }
    const std::pair<uint32_t, uint32_t> whole[] = {{0, 0}, {1, 1}, {2, 0}, {3, 0}}; // asked, made
    for (const auto& [asked, mode] : whole) {
        void* first = device.mapMemoryWindow(0, built, asked);
        void* second = device.mapMemoryWindow(0, built, asked);
        ASSERT_TRUE(built.isSuccess());
        EXPECT_NE(first, second);
        EXPECT_EQ(kal::pci::cachingMode(first), mode) << asked;
        device.unmapMemoryWindow(0, first, asked); // the stand-in halts on another mode
        device.unmapMemoryWindow(0, second, asked);
    }
    device.unmapMemoryWindow(0, nullptr, 0);
    void* kernelMap = kal::usermaps::create(4 * page, 3, 0x7000000);
    tUserMemoryMap map(0, kernelMap, 0);
    kal::log::setEcho(true);
    EXPECT_DEATH(device.mapMemoryWindowToUser(1, 0x10000 - page, page + 1, map, built, 0),
                 "range outside the memory window");
    kal::log::setEcho(false);
    kal::usermaps::destroy(kernelMap);
}

TEST_F(PlatformPci, AccessorKeepsEveryAccessInsideTheRegion) {
    // 0xE4 bytes at an address that nothing maps: every access below stops at the bounds check.
    const tPCIMemorySpaceAccessor region(0x1000, 0xE4);
    EXPECT_TRUE(region.contains(0xE2, 2));
    EXPECT_FALSE(tPCIMemorySpaceAccessor().contains(0, 1)) << "a region not located holds nothing";

    kal::log::setEcho(true);
    EXPECT_DEATH(region.read16(0xE3), "Attempt to read out of bounds");
    EXPECT_DEATH(region.read32(0xE1), "Attempt to read out of bounds");
    EXPECT_DEATH(region.read8(0xE4), "Attempt to read out of bounds");
    EXPECT_DEATH(region.write32(~0ULL - 1, 0), "Attempt to write out of bounds");
    EXPECT_DEATH(region.write64(0xE0, 0), "Attempt to write out of bounds");
    kal::log::setEcho(false);
}

} // namespace
