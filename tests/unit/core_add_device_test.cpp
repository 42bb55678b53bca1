// Add device through the host's C API: the product's identities, the device
// description built from the kernel layer's record, and refused modules.
#include <cstring>
#include <string>

#include "control.h"
#include "core/add_device.h"
#include "core_test_support.h"
#include "host.h"
#include "kelvo/product_ids.h"
#include "kelvo_host.h"
#include "pci_bus.h"

namespace {

class AddDevice : public kelvo_test::HostedTest {};

TEST_F(AddDevice, AnyOtherIdentityIsRefusedAndLeavesNothing) {
    const sim::Identity solstra = *sim::boardIdentity("solstra");
    sim::Identity otherSubsystem = solstra;
    otherSubsystem.subsystemID = KELVO_SUBSYSTEM_ID_Q102;
    sim::Identity otherVendor = solstra;
    otherVendor.vendorID = 0x1234;
    sim::Identity otherSubsystemVendor = solstra;
    otherSubsystemVendor.subsystemVendorID = 0x1234;
    sim::Identity otherDevice = solstra;
    otherDevice.deviceID = 0x7A32;

    for (const sim::Identity& identity : {otherSubsystem, otherVendor, otherSubsystemVendor, otherDevice}) {
        kal::log::clear();
        nVOKAL_tHandle pci = nullptr;
        const int result = kelvo_host::addModule(identity, [&](sim::Module& m) { pci = m.pciHandle(); });
        EXPECT_EQ(result, -51150);
        EXPECT_NE(kal::log::text().find("Got a device we don't recognize. Should never happened."),
                  std::string::npos);
        EXPECT_FALSE(kal::pci::msiGranted(pci)) << "no MSI is asked for a refused module";
        EXPECT_EQ(kelvo_list_devices(nullptr, 0), 0);
    }
    EXPECT_EQ(kal::registration::liveInterfaces(), 0u);
    EXPECT_EQ(kal::registration::liveProperties(), 0u);
    EXPECT_TRUE(kelvo_host::faults().empty());
}

TEST_F(AddDevice, TheHostRefusesUnknownBoardsAndDevicesWithoutModules) {
    EXPECT_EQ(kelvo_host_add_module("nosuchboard"), KELVO_E_INVALID);
    EXPECT_EQ(kelvo_host_add_module(nullptr), KELVO_E_INVALID);
    EXPECT_EQ(kelvo_host_remove_module(0), KELVO_E_INVALID);
}

TEST(AddDeviceDescription, TheRecordBecomesTheDescription) {
    nVOKAL_tPCIDevice record{};
    record.pciHandle = reinterpret_cast<nVOKAL_tHandle>(0x1000);
    record.busNumber = 0x1FE; // only the low 8 bits are kept
    record.deviceNumber = 3;
    record.functionNumber = 1;
    record.vendorID = KELVO_PCI_VENDOR_ID;
    record.deviceID = KELVO_PCI_DEVICE_ID;
    record.subsystemVendorID = KELVO_PCI_SUBSYSTEM_VENDOR_ID;
    record.subsystemID = KELVO_SUBSYSTEM_ID_DUSKMERE_B;
    record.revision = 0x102;
    record.lineInterrupt = 1;
    record.interruptNumber = 17;
    record.resources[0] = {0xFEED0000'0000ull, 0x100000, NVOKAL_PCI_RESOURCE_MEMORY, 0};
    record.resources[1] = {0xE000, 0x100, NVOKAL_PCI_RESOURCE_IO | NVOKAL_PCI_RESOURCE_MEMORY, 0};
    record.resources[2] = {0x12345678'9ABCDEF0ull, 0x11, 0, 0}; // neither kind: only its low words
    record.resources[4] = {0xF000, 0x40, NVOKAL_PCI_RESOURCE_IO, 0};

    nVOAPAL200_tDeviceInfo info;
    kelvo_driver::describePCIFunction(record, 0xABCD, info);
    EXPECT_EQ(info.busType, nVOAPAL200_kBusTypePCI);
    EXPECT_EQ(info.kernelDeviceHandle, 0xABCDu);
    EXPECT_EQ(info.pciHandle, record.pciHandle);
    EXPECT_STREQ(info.driverName, "vokelvo_driver");
    EXPECT_EQ(info.busNumber, 0xFE);
    EXPECT_EQ(info.revision, 2);
    EXPECT_EQ(info.interruptType, nVOAPAL200_kInterruptTypeLine);
    EXPECT_EQ(info.interruptNumber, 17u);
    EXPECT_EQ(info.msiFlag, 0u);
    ASSERT_EQ(info.numberOfIOWindows, 2);
    EXPECT_EQ(info.ioWindows[0].base, 0xE000u);
    EXPECT_EQ(info.ioWindows[1].base, 0xF000u);
    ASSERT_EQ(info.numberOfMemoryWindows, 1);
    EXPECT_EQ(info.memoryWindows[0].size, 0x100000u);
    EXPECT_EQ(info.resourceLow[2].start, 0x9ABCDEF0u);
    EXPECT_EQ(info.resourceLow[2].size, 0x11u);
    EXPECT_TRUE(kelvo_driver::isAcceptedIdentity(kelvo_driver::identityWord(info)));
    EXPECT_EQ(kelvo_driver::identityWord(info), KELVO_PCI_IDENTITY_OF(KELVO_SUBSYSTEM_ID_DUSKMERE_B));

    record.lineInterrupt = 0;
    record.resources[0].flags = 0;
    kelvo_driver::describePCIFunction(record, 0, info);
    EXPECT_EQ(info.interruptType, 0u);
    EXPECT_EQ(info.interruptNumber, 0u);
    EXPECT_EQ(info.numberOfMemoryWindows, 0);
}

} // namespace
