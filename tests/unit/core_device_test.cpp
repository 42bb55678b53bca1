// Add device and the product device it makes, through the host's C API.

#include "core/add_device.h"
#include "core_test_levels.h"
#include "core_test_support.h"
#include "module_faults.h"

namespace {

using kelvo_driver::KelvoDevice;
using nVOAPALS100::tStatus;

class ProductDevice : public kelvo_test::HostedTest {
protected:
    // Each allocation in add device failing in turn: refused leaving nothing, or added (maybe lower, or
    // with a property missing); nothing leaks or is unregistered twice. The other kinds' creations are
    // the allocation-failure sweep's (alloc_sweep_objects_*, every board up to the top level).
    static void sweep(const std::string& board) {
        SCOPED_TRACE(board);
        kelvo_test::ScopedProductLevels levels(3); // the FPGA levels have their own sweep
        const uint64_t before = kal::memory::allocationCalls();
        const int clean = add(board);
        const uint64_t count = kal::memory::allocationCalls() - before;
        ASSERT_EQ(kelvo_host_remove_module(clean), 0);
        ASSERT_GT(count, 10u);
        int added = 0;
        int belowLevelTwo = 0;
        for (uint64_t n = 1; n <= count; ++n) {
            const kal::live::Counts live = kal::live::now();
            kal::memory::failNth(n);
            const int index = kelvo_host::addModule(board);
            kal::memory::clearFaults();
            if (index >= 0) {
                ++added;
                const auto& tracker = deviceOf(index)->getSetupTracker();
                EXPECT_TRUE(tracker.getCurrentLevel() == 3 ||
                            tracker.getStatus().getCode() == tStatus::kOutOfMemory)
                    << n;
                if (tracker.getCurrentLevel() < 2 && hasProperty(index, "modelName")) {
                    // No capabilities record: the model name is registered as the empty text.
                    ++belowLevelTwo;
                    char model[8] = {'x'};
                    EXPECT_EQ(kelvo_property_read(index, nullptr, "modelName", model, sizeof(model)), 1);
                    EXPECT_EQ(model[0], '\0');
                }
                remove(index);
            }
            EXPECT_EQ(kal::live::now(), live) << n;
        }
        EXPECT_GT(added, 0);
        EXPECT_GT(belowLevelTwo, 0);
    }

    kelvo_test::ScopedProductLevels levels_{5};
};

// The interfaces' names and the name, model and serial properties: the tool's checks (tests/tool).
TEST_F(ProductDevice, EveryBoardBecomesADeviceSetUpToLevelFive) {
    for (const auto& board : kelvo_test::boards()) {
        SCOPED_TRACE(board);
        const auto before = kal::registration::counters();
        const int index = add(board, [](sim::Module& m) { m.bridge().setSlot(7); });
        KelvoDevice* device = deviceOf(index);
        EXPECT_EQ(kal::registration::counters().addEvents - before.addEvents, 2u);
        uint32_t slot = 0;
        EXPECT_EQ(kelvo_property_read(index, nullptr, "pxiGeographicAddress", &slot, sizeof(slot)), 4);
        EXPECT_EQ(std::tuple(slot, hasProperty(index, "busType")), std::tuple(7u, true));
        EXPECT_EQ(std::tuple(device->getSetupTracker().getCurrentLevel(), device->deviceInfo().msiFlag,
                             device->deviceInfo().interruptType, device->getCoolingModeState().mode),
                  std::tuple(5u, 1u, nVOAPAL200_kInterruptTypeMSI, 16u));
        remove(index);
    }
}

TEST_F(ProductDevice, ARefusedMSIOrAMissingCapabilityListLosesOnlyWhatDependsOnIt) {
    const int line = add("duskmere-a", [](sim::Module& m) {
        kelvo_test::changePciKnobs(m, [](kal::pci::Knobs& k) { k.refuseMSI = true; });
    });
    EXPECT_EQ(std::tuple(deviceOf(line)->deviceInfo().msiFlag, deviceOf(line)->deviceInfo().interruptType),
              std::tuple(0u, nVOAPAL200_kInterruptTypeLine));
    const int bare = add("solstra", [](sim::Module& m) {
        m.bridge().setCapabilities(sim::BridgeCore::defaultCapabilities(), 0);
    });
    EXPECT_FALSE(hasProperty(bare, "pxiGeographicAddress"));
    EXPECT_EQ(textProperty(bare, "manufacturerName"), "Quillon");
}

// The nth interface (on Solstra) or property (on Duskmere B) fails: the bus properties come first, then the
// device's four.
TEST_F(ProductDevice, AFailedRegistrationUnwindsEverything) {
    const std::pair<bool, uint64_t> rows[] = {{false, 1}, {false, 2}, {true, 1}, {true, 14}, {true, 18}};
    for (const auto& [property, nth] : rows) {
        SCOPED_TRACE(std::to_string(property) + " " + std::to_string(nth));
        const auto before = kal::registration::counters();
        property ? kal::registration::failPropertyRegistration(nth)
                 : kal::registration::failInterfaceRegistration(nth);
        EXPECT_EQ(kelvo_host_add_module(property ? "duskmere-b" : "solstra"), property ? -51150 : -51352);
        kal::registration::clearFaults();
        const auto after = kal::registration::counters();
        if (!property) {
            EXPECT_EQ(after.interfaceUnregistrations - before.interfaceUnregistrations, nth - 1);
            EXPECT_EQ(after.propertyRegistrations, before.propertyRegistrations);
        }
        EXPECT_EQ(std::tuple(after.addEvents, kal::registration::liveProperties(),
                             kal::registration::liveInterfaces(), kelvo_list_devices(nullptr, 0)),
                  std::tuple(before.addEvents, 0u, 0u, 0));
    }
}

class ProductReset : public kelvo_test::HostedTest {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        index_ = add("solstra");
    }
    int64_t reset(uint32_t level, uint64_t parameters = 0) { return kdutReset(index_, level, parameters); }
    kelvo_test::ScopedProductLevels levels_{5};
    int index_ = -1;
    KelvoDevice* device() { return deviceOf(index_); }
};

// Up to level 3 here: the FPGA levels have their own sweep. A reset past the last level is refused
// and changes nothing.
TEST_F(ProductReset, ARefusedOrFailedResetLeavesTheDeviceOpenable) {
    ASSERT_EQ(reset(0), tStatus::kSetupTargetReached);
    EXPECT_EQ(device()->getKelvoHelper(), nullptr) << "level 0 keeps no helper";
    const int64_t clean = reset(3);
    const uint32_t top = levelOf(index_);
    ASSERT_GE(top, 2u);
    EXPECT_EQ(std::tuple(reset(20), levelOf(index_)), std::tuple(int64_t{tStatus::kInvalidParameter}, top));
    uint64_t calls = 0;
    for (uint64_t n = 0; n <= calls; ++n) {
        reset(0);
        const int handle = kelvo_open("smu_kelvo", index_);
        ASSERT_GE(handle, 0) << n;
        tStatus status;
        kal::memory::resetCounters();
        kal::memory::failNth(n); // 0: none, to count the reset's allocations
        device()->kdut_reset(descriptorOf(handle), 3, 0, status);
        kal::memory::clearFaults();
        calls = n == 0 ? kal::memory::allocationCalls() : calls;
        kelvo_close(handle);
        EXPECT_EQ(status.getCode(), n == 0 ? clean : tStatus::kOutOfMemory) << n;
        EXPECT_EQ((std::tuple{reset(3), levelOf(index_)}), (std::tuple{clean, top})) << n;
    }
    EXPECT_GT(calls, 2u);
}

TEST_F(ProductDevice, AnAllocationFailureAnywhereInAddDeviceUnwindsCleanly) {
    for (const auto& board : kelvo_test::boards()) {
        sweep(board);
    }
}

class AddDevice : public kelvo_test::HostedTest {};

TEST_F(AddDevice, AnyOtherIdentityOrAnUnknownBoardIsRefusedAndLeavesNothing) {
    std::vector<sim::Identity> others(4, *sim::boardIdentity("solstra"));
    others[0].subsystemID = KELVO_SUBSYSTEM_ID_Q102;
    others[1].vendorID = 0x1234;
    others[2].subsystemVendorID = 0x1234;
    others[3].deviceID = 0x7A32;
    for (const sim::Identity& identity : others) {
        kal::log::clear();
        nVOKAL_tHandle pci = nullptr;
        const int result = kelvo_host::addModule(identity, [&](sim::Module& m) { pci = m.pciHandle(); });
        EXPECT_EQ(std::tuple(result, kelvo_list_devices(nullptr, 0)), std::tuple(-51150, 0));
        EXPECT_NE(kal::log::text().find("Got a device we don't recognize. Should never happened."),
                  std::string::npos);
        EXPECT_FALSE(kal::pci::msiGranted(pci)) << "no MSI is asked for a refused module";
    }
    EXPECT_EQ(std::tuple(kal::registration::liveInterfaces(), kal::registration::liveProperties()),
              std::tuple(0u, 0u));
    // The host refuses unknown boards and devices without modules.
    EXPECT_EQ(kelvo_host_add_module("nosuchboard"), KELVO_E_INVALID);
    EXPECT_EQ(kelvo_host_add_module(nullptr), KELVO_E_INVALID);
    EXPECT_EQ(kelvo_host_remove_module(0), KELVO_E_INVALID);
}

TEST(AddDeviceDescription, TheRecordBecomesTheDescription) {
    nVOKAL_tPCIDevice record{};
    record.pciHandle = reinterpret_cast<nVOKAL_tHandle>(0x1000);
    record.busNumber = 0x1FE; // only the low 8 bits are kept
    record.revision = 0x102;
    record.lineInterrupt = 1;
    record.interruptNumber = 17;
    record.resources[0] = {0xFEED0000'0000ull, 0x100000, NVOKAL_PCI_RESOURCE_MEMORY, 0};
    record.resources[1] = {0xE000, 0x100, NVOKAL_PCI_RESOURCE_IO | NVOKAL_PCI_RESOURCE_MEMORY, 0};
    record.resources[2] = {0x12345678'9ABCDEF0ull, 0x11, 0, 0}; // neither kind: only its low words
    record.resources[4] = {0xF000, 0x40, NVOKAL_PCI_RESOURCE_IO, 0};
    nVOAPAL200_tDeviceInfo info;
    kelvo_driver::describePCIFunction(record, 0xABCD, info);
    EXPECT_STREQ(info.driverName, "vokelvo_driver");
    EXPECT_EQ(std::tuple(info.busType, info.kernelDeviceHandle, info.pciHandle, info.busNumber, info.revision,
                         info.interruptType, info.interruptNumber, info.msiFlag),
              std::tuple(nVOAPAL200_kBusTypePCI, 0xABCDu, record.pciHandle, 0xFE, 2,
                         nVOAPAL200_kInterruptTypeLine, 17u, 0u));
    ASSERT_EQ(std::tuple(info.numberOfIOWindows, info.numberOfMemoryWindows), std::tuple(2, 1));
    EXPECT_EQ(std::tuple(info.ioWindows[0].base, info.ioWindows[1].base, info.memoryWindows[0].size,
                         info.resourceLow[2].start, info.resourceLow[2].size),
              std::tuple(0xE000u, 0xF000u, 0x100000u, 0x9ABCDEF0u, 0x11u));

    record.lineInterrupt = 0;
    kelvo_driver::describePCIFunction(record, 0, info);
    EXPECT_EQ(std::tuple(info.interruptType, info.interruptNumber), std::tuple(0u, 0u));
}

} // namespace
