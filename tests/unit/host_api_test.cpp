// The host's C API as a client program uses it: load, add, list, open, I/O
// control, close, remove, unload.
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "host.h"
#include "kelvo_host.h"
#include "test_device.h"
#include "test_support.h"

namespace {

namespace td = kelvo_host::test_device;

class HostApi : public kelvo_test::LeakCheckedTest {
protected:
    void TearDown() override {
        kelvo_host_stop();
        EXPECT_TRUE(kelvo_host::faults().empty());
        EXPECT_EQ(kal::registration::liveInterfaces(), 0u);
        EXPECT_EQ(kal::registration::liveProperties(), 0u);
        LeakCheckedTest::TearDown();
    }

    static int echo(int handle, const std::string& text, std::string& back) {
        std::vector<char> out(text.size());
        kelvo_ioctl_header header{};
        header.inputAddress = reinterpret_cast<uintptr_t>(text.data());
        header.inputSize = static_cast<uint32_t>(text.size());
        header.outputAddress = reinterpret_cast<uintptr_t>(out.data());
        header.outputSize = static_cast<uint32_t>(out.size());
        const int result = kelvo_ioctl(handle, td::kEcho, &header);
        back.assign(out.begin(), out.end());
        return result;
    }
};

TEST_F(HostApi, AClientDrivesTheWholeLifeCycle) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kelvo_host_start(), 0);
        EXPECT_EQ(kelvo_host_start(), KELVO_E_STATE);
        const int device = kelvo_host_add_test_device();
        ASSERT_GE(device, 0);

        unsigned indexes[4] = {};
        ASSERT_EQ(kelvo_list_devices(indexes, 4), 1);
        EXPECT_EQ(indexes[0], static_cast<unsigned>(device));
        char name[64];
        ASSERT_EQ(kelvo_interface_name(device, 0, name, sizeof(name)), 10);
        EXPECT_STREQ(name, "kelvo_test");
        ASSERT_GT(kelvo_interface_name(device, 1, name, sizeof(name)), 0);
        EXPECT_STREQ(name, "kelvo_test_aux");
        EXPECT_EQ(kelvo_interface_name(device, 2, name, sizeof(name)), KELVO_E_INVALID);

        char serial[32] = {};
        EXPECT_EQ(kelvo_property_read(device, nullptr, "serialNumber", serial, sizeof(serial)), 10);
        EXPECT_STREQ(serial, "TEST-0001");
        uint32_t busType = 0;
        EXPECT_EQ(kelvo_property_read(device, nullptr, "busType", &busType, sizeof(busType)), 4);
        EXPECT_EQ(busType, 0x20706369u);
        char role[8] = {};
        EXPECT_EQ(kelvo_property_read(device, "kelvo_test", "role", role, sizeof(role)), 5);
        EXPECT_STREQ(role, "main");
        unsigned kind = 99;
        ASSERT_GT(kelvo_property_name(device, nullptr, 0, name, sizeof(name), &kind), 0);
        EXPECT_STREQ(name, "busType");
        EXPECT_EQ(kind, KELVO_PROPERTY_BUS);
        EXPECT_EQ(kelvo_property_name(device, nullptr, 3, name, sizeof(name), &kind), KELVO_E_INVALID);

        EXPECT_EQ(kelvo_open("no_such_interface", device), KELVO_E_INVALID);
        EXPECT_EQ(kelvo_open("kelvo_test", device + 1), KELVO_E_INVALID);
        const int handle = kelvo_open("kelvo_test", device);
        ASSERT_GE(handle, 0);
        std::string back;
        EXPECT_EQ(echo(handle, "through the header", back), 0);
        EXPECT_EQ(back, "through the header");
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(kelvo_close(handle), KELVO_E_INVALID);
        EXPECT_EQ(kelvo_ioctl(handle, td::kEcho, nullptr), KELVO_E_INVALID);

        EXPECT_EQ(kelvo_host_remove_device(device), 0);
        EXPECT_EQ(kelvo_host_remove_device(device), KELVO_E_INVALID);
        EXPECT_EQ(kelvo_list_devices(nullptr, 0), 0);
        kelvo_host_stop();
        EXPECT_EQ(kelvo_open("kelvo_test", device), KELVO_E_STATE);
        EXPECT_TRUE(kelvo_host::faults().empty());
    }
}

TEST_F(HostApi, AFailedDriverLoadLeavesTheHostStopped) {
    kal::registration::failDriverRegistration(-51352);
    EXPECT_EQ(kelvo_host_start(), -51352);
    EXPECT_EQ(kelvo_host_add_test_device(), KELVO_E_STATE);
    ASSERT_EQ(kelvo_host_start(), 0);
}

} // namespace
