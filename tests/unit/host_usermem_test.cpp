// The caller's memory as the host hands it to the driver: a client's ordinary
// memory is reachable without registering it (names, name slots, window
// data); a page that is not there or is read-only where the driver writes,
// and the kernel layer's own memory, are error codes and never a crash.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "client_pages.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "nVOKAL.h"

namespace {

using kelvo_test::ClientPages;

// What kelvo_ioctl returns.
constexpr int kTransportBadAddress = -51101;
constexpr int kTransportInvalid = -51009; // also an output record the driver cannot write
// The output record's status word.
constexpr int32_t kBadAddress = -52006;
constexpr uint64_t kSlot = KELVO_NAME_SLOT_SIZE;
constexpr uint64_t kScratch = 0x18; // a read-write register of the isolated FPGA

uint64_t address(const void* pointer) {
    return reinterpret_cast<uintptr_t>(pointer);
}

// A module at setup level 19 (the test level table) with a session on it.
class HostUserMemory : public kelvo_test::HostedTest {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        index_ = kelvo_host_add_module("solstra");
        ASSERT_GE(index_, 0);
        handle_ = kelvo_open("smu_kelvo", static_cast<unsigned>(index_));
        ASSERT_GE(handle_, 0);
    }
    void TearDown() override {
        EXPECT_EQ(kelvo_close(handle_), 0);
        HostedTest::TearDown();
    }

    // A request whose records are ordinary memory of the client: the output
    // record's status word (the transport must be 0).
    template <class Out = kelvo_status_record, class In> int32_t status(uint32_t code, const In& in) {
        Out out{};
        kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
        EXPECT_EQ(kelvo_ioctl(handle_, code, &header), 0) << std::hex << code;
        return out.status;
    }
    uint64_t count(uint32_t code) {
        kelvo_arm_getNumberOfRegistrations_out out{};
        const kelvo_status_record in{0};
        kelvo_ioctl_header header{address(&in), address(&out), sizeof(in), sizeof(out), 0, 0};
        EXPECT_EQ(kelvo_ioctl(handle_, code, &header), 0);
        EXPECT_EQ(out.status, 0);
        return out.count;
    }
    int32_t readWindow(const std::string& window, uint64_t buffer) {
        return status(
            KELVO_IOCTL_deviceWindow_read,
            kelvo_deviceWindow_read_in{address(window.data()), window.size(), kScratch, 4, buffer, 0, 0});
    }
    int32_t mapNames(uint64_t slots) {
        return status(KELVO_IOCTL_arm_getRegistrationNames, kelvo_arm_getRegistrationNames_in{slots, 0, 0});
    }

    int index_ = -1;
    int handle_ = -1;
    const std::string iso_ = "IsoFpgaWindow";
};

TEST_F(HostUserMemory, OrdinaryClientMemoryServesNamesSlotsAndWindowData) {
    // The name slots as a client (and kelvo_tool) lists them: a vector, one guard slot.
    const uint64_t windows = count(KELVO_IOCTL_deviceWindow_getNumberOfRegistrations);
    ASSERT_EQ(windows, 3u);
    std::vector<char> slots((windows + 1) * kSlot, '\x5A');
    EXPECT_EQ(status(KELVO_IOCTL_deviceWindow_getRegistrationNames,
                     kelvo_deviceWindow_getRegistrationNames_in{address(slots.data()), 0, 0}),
              0);
    EXPECT_STREQ(slots.data(), "flashWindow");
    EXPECT_STREQ(slots.data() + kSlot, "NisoFpgaWindow");
    EXPECT_STREQ(slots.data() + 2 * kSlot, "IsoFpgaWindow");
    EXPECT_EQ(std::string(slots.end() - kSlot, slots.end()), std::string(kSlot, '\x5A'));
    const uint64_t maps = count(KELVO_IOCTL_arm_getNumberOfRegistrations);
    ASSERT_GT(maps, 2u);
    std::vector<char> mapSlots(maps * kSlot);
    EXPECT_EQ(mapNames(address(mapSlots.data())), 0);
    EXPECT_STREQ(mapSlots.data(), "BrixelDMAChannel0");

    // Window data both ways through a name and words of ordinary memory.
    auto module = kelvo_host::module(static_cast<unsigned>(index_));
    module->isoFpga().poke(kScratch, 0x5EED1234);
    uint32_t word = 0;
    EXPECT_EQ(readWindow(iso_, address(&word)), 0);
    EXPECT_EQ(word, 0x5EED1234u);
    const uint32_t value = 0x0DDBA11;
    EXPECT_EQ(status(KELVO_IOCTL_deviceWindow_write,
                     kelvo_deviceWindow_write_in{
                         address(iso_.data()), iso_.size(), address(&value), kScratch, 4, 1, {}, 0}),
              0);
    EXPECT_EQ(module->isoFpga().peek(kScratch), value);

    // Read-only memory serves what the driver only reads: a name there.
    ClientPages page;
    std::memcpy(page.at(0), iso_.data(), iso_.size());
    page.protect("r");
    EXPECT_EQ(
        status(KELVO_IOCTL_deviceWindow_read, kelvo_deviceWindow_read_in{address(page.at(0)), iso_.size(),
                                                                         kScratch, 4, address(&word), 0, 0}),
        0);
    EXPECT_EQ(word, value);
}

TEST_F(HostUserMemory, ReadOnlyPagesWhereTheDriverWritesAreRefusedUntouched) {
    ClientPages page;
    page.protect("r");
    // Buffers a record points at: the operation's bad-address status.
    EXPECT_EQ(mapNames(address(page.at(0))), kBadAddress);
    EXPECT_EQ(readWindow(iso_, address(page.at(64))), kBadAddress);
    // The output record itself: refused in transport.
    const kelvo_status_record in{0};
    kelvo_ioctl_header header{
        address(&in), address(page.at(0)), sizeof(in), sizeof(kelvo_arm_getNumberOfRegistrations_out), 0, 0};
    EXPECT_EQ(kelvo_ioctl(handle_, KELVO_IOCTL_arm_getNumberOfRegistrations, &header), kTransportInvalid);
    EXPECT_TRUE(page.untouched());

    // The header and the output record in one read-only page: refused, and the
    // result word is not written either.
    ClientPages request;
    kelvo_ioctl_header* inPage =
        request.put(0, kelvo_ioctl_header{address(&in), address(request.at(64)), sizeof(in),
                                          sizeof(kelvo_arm_getNumberOfRegistrations_out), 0, 0});
    request.protect("r");
    EXPECT_EQ(kelvo_ioctl(handle_, KELVO_IOCTL_arm_getNumberOfRegistrations, inPage), kTransportInvalid);
    EXPECT_EQ(inPage->result, 0u);
    EXPECT_TRUE(request.untouched(sizeof(kelvo_ioctl_header)));

    // A read-only header alone: the request is answered, its result word stays unwritten.
    ClientPages headerPage;
    kelvo_arm_getNumberOfRegistrations_out out{};
    inPage =
        headerPage.put(0, kelvo_ioctl_header{address(&in), address(&out), sizeof(in), sizeof(out), 0, 0});
    headerPage.protect("r");
    kelvo_ioctl(handle_, KELVO_IOCTL_arm_getNumberOfRegistrations, inPage);
    EXPECT_EQ(out.status, 0);
    EXPECT_GT(out.count, 0u);
    EXPECT_EQ(inPage->result, 0u);
}

TEST_F(HostUserMemory, UnmappedPagesAreRefusedAndAStraddlingBufferMovesNoByte) {
    ClientPages gone("-");
    const uint64_t at = address(gone.at(0));
    EXPECT_EQ(kelvo_ioctl(handle_, KELVO_IOCTL_arm_getNumberOfRegistrations, gone.at(0)),
              kTransportBadAddress);
    const kelvo_status_record in{0};
    kelvo_ioctl_header header{
        address(&in), at, sizeof(in), sizeof(kelvo_arm_getNumberOfRegistrations_out), 0, 0};
    EXPECT_EQ(kelvo_ioctl(handle_, KELVO_IOCTL_arm_getNumberOfRegistrations, &header), kTransportInvalid);
    header.inputAddress = at;
    EXPECT_EQ(kelvo_ioctl(handle_, KELVO_IOCTL_arm_getNumberOfRegistrations, &header), kTransportBadAddress);
    EXPECT_EQ(mapNames(at), kBadAddress);
    uint32_t word = 0;
    EXPECT_EQ(status(KELVO_IOCTL_deviceWindow_read,
                     kelvo_deviceWindow_read_in{at, iso_.size(), kScratch, 4, address(&word), 0, 0}),
              kBadAddress);

    // Slots that start in a good page and run into a read-only one: nothing written.
    ClientPages two("wr");
    const size_t pageSize = kelvo_test::pageSize();
    EXPECT_EQ(mapNames(address(two.at(pageSize - kSlot))), kBadAddress);
    EXPECT_TRUE(two.untouched());
    // A window word split the same way.
    EXPECT_EQ(readWindow(iso_, address(two.at(pageSize - 2))), kBadAddress);
    EXPECT_TRUE(two.untouched());
}

TEST_F(HostUserMemory, KernelLayerMemoryIsNeverTheClients) {
    // The driver's own device object, handed in as a buffer and as a header.
    void* device = kelvo_host::device(static_cast<unsigned>(index_));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(mapNames(address(device)), kBadAddress);
    EXPECT_EQ(kelvo_ioctl(handle_, KELVO_IOCTL_arm_getNumberOfRegistrations, device), kTransportBadAddress);
    uint32_t word = 0;
    EXPECT_EQ(
        status(KELVO_IOCTL_deviceWindow_read,
               kelvo_deviceWindow_read_in{address(device), iso_.size(), kScratch, 4, address(&word), 0, 0}),
        kBadAddress);
    // Blocks and pages of the kernel layer: the stand-in's own tests (standin_user_copy_test).
}

} // namespace
