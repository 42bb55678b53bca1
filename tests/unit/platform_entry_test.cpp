// The driver entry: a refused load, property lists, the callbacks' defaults, the static initialisers.

#include "core/add_device.h"
#include "platform/trace.h"
#include "host/test_device.h"
#include "core_test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;

class Entry : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        kal::registration::reset();
    }
    void TearDown() override {
        kal::registration::reset();
        LeakCheckedTest::TearDown();
    }
};

// A device that registers whatever lists a test gives it.
class ListDevice : public tDevice {
public:
    ListDevice(const uint64_t* words, tStatus& status) : tDevice(words, status) {}
    void initialize(const tEventDescriptor&, tStatus&) override {}
    void deinitialize() override {}
    void buildBusProperties() override {}
    tProperty* const* getBusProperties() override { return bus; }
    tProperty* const* getDeviceProperties() override { return own; }
    tDeviceInterface* const* getDeviceInterfaces() override { return interfaces; }
    tProperty* const* bus = nullptr;
    tProperty* const* own = nullptr;
    tDeviceInterface* const* interfaces = nullptr;
};

// A refused registration finalises and returns its code; the entry that follows is accepted.
TEST_F(Entry, RefusedRegistrationFinalisesAndUnregisteringPropertiesClearsTheHandlesAndIsSafeTwice) {
    kal::registration::failDriverRegistration(-51352);
    nVOKAL_tDriverDescriptor descriptor{};
    EXPECT_EQ(nVOAPAL200_driverEntry(&descriptor), -51352);
    EXPECT_EQ(nVOAPAL200_cppRunTimeUseCount(), 0u);
    EXPECT_EQ(nVOAPAL200_getDriverObject(), nullptr);
    ASSERT_EQ(nVOAPAL200_driverEntry(&descriptor), 0);
    uint64_t words[2] = {reinterpret_cast<uintptr_t>(kal::registration::createDevice())};
    tStatus status;
    auto* device = new ListDevice(words, status);
    tProperty text{"text", kPropertyTypeString, 0, reinterpret_cast<uintptr_t>("abc")};
    tProperty node{"numaNode", kPropertyTypeInt32, 0, static_cast<uint32_t>(-1)};
    tProperty* list[] = {&text, &node, nullptr};
    device->registerPropertyList(kPropertyKindDevice, reinterpret_cast<void*>(words[0]), list, status);
    EXPECT_TRUE(status.isSuccess() && text.kernelHandle != 0);
    tDevice::unregisterPropertyList(list);
    EXPECT_EQ(std::make_tuple(text.kernelHandle, kal::registration::liveProperties()),
              std::make_tuple(uint64_t{0}, size_t{0}));
    tDevice::unregisterPropertyList(list); // nothing is unregistered twice
    delete device;
    descriptor.unload(&descriptor);
}

using Callbacks = kelvo_test::HostedTest;

TEST_F(Callbacks, ReadWriteAndMapAnswerNotImplementedByDefault) {
    const int handle = kelvo_open("kelvo_test", static_cast<unsigned>(kelvo_host_add_test_device()));
    ASSERT_GE(handle, 0);
    char buffer[16] = {};
    uint64_t read = 99, written = 99, map = 7; // all 0 after: nothing moved, no map made
    EXPECT_EQ(std::make_tuple(kelvo_host::read(handle, buffer, sizeof(buffer), &read),
                              kelvo_host::write(handle, buffer, sizeof(buffer), &written),
                              kelvo_host::mapMemory(handle, 0, 4096, 3, &map)),
              std::make_tuple(-51256, -51256, -51256));
    EXPECT_EQ(std::make_tuple(read, written, map), std::make_tuple(0u, 0u, 0u));
}

TEST_F(Callbacks, AWarningFromOpenClosesTheSessionItMade) {
    // A warning left by the open leaves as -51001; the session must not leak.
    struct WarningDevice : ListDevice {
        using ListDevice::ListDevice;
        tSession* open(const tEventDescriptor&, tDeviceInterface* deviceInterface, tStatus& status) override {
            auto* session = new (status, false) tSession(deviceInterface, status);
            KELVO_SET_STATUS(status, 3);
            return session;
        }
        void closeAndFreeSession(const tEventDescriptor&, tSession* session) override {
            ++freed;
            delete session;
        }
        int freed = 0;
    };
    tStatus status;
    uint64_t words[2] = {};
    WarningDevice device(words, status);
    tDeviceInterface deviceInterface(&device, "warning");
    void* context = &deviceInterface;
    EXPECT_EQ(nVOAPAL200_open(nullptr, &context), -51001);
    EXPECT_EQ(context, &deviceInterface) << "the per-open context stays the interface";
    EXPECT_EQ(std::make_tuple(device.freed, device.getSessionCount()), std::make_tuple(1, 0u));
}

const nVOAPAL200_tInitializer kPlatformTable[] = {nVOAPAL200_initializeTrace};

TEST_F(Entry, UseCountedLoadCreatesAndUnloadDestroysTheTrace) {
    ASSERT_TRUE(nVOAPAL200_cppRunTimeUseCount() == 0 && tTrace::get() == nullptr);
    nVOAPAL200_initializeCPPRunTime(kPlatformTable, 1);
    tTrace* first = tTrace::get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getDestination(), &first->consoleDestination());
    nVOAPAL200_initializeCPPRunTime(kPlatformTable, 1);
    EXPECT_EQ(nVOAPAL200_cppRunTimeUseCount(), 2u);
    EXPECT_EQ(tTrace::get(), first) << "only the first use runs the initialisers";

    nVOAPAL200_finalizeCPPRunTime();
    EXPECT_EQ(tTrace::get(), first) << "finalisers wait for the last use";
    first->clearOutputEnabled();
    nVOAPAL200_finalizeCPPRunTime();
    EXPECT_EQ(tTrace::get(), nullptr);
    nVOAPAL200_finalizeCPPRunTime(); // unbalanced: no underflow
    EXPECT_EQ(nVOAPAL200_cppRunTimeUseCount(), 0u);

    // Loaded again, every static starts afresh.
    nVOAPAL200_initializeCPPRunTime(kPlatformTable, 1);
    ASSERT_NE(tTrace::get(), nullptr);
    EXPECT_TRUE(tTrace::get()->getOutputEnabled());
    nVOAPAL200_finalizeCPPRunTime();
    EXPECT_EQ(tTrace::get(), nullptr);
}

} // namespace
