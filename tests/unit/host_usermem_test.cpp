// The caller's memory as the host hands it to the driver: a header or record
// in a page that is not there or is read-only where the driver writes is an
// error code and never a crash, and a buffer that runs into such a page
// moves no byte.
#include <cstdint>
#include <string>

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

TEST_F(HostUserMemory, ReadOnlyPagesWhereTheDriverWritesAreRefusedUntouched) {
    ClientPages page;
    page.protect("r");
    // The output record: refused in transport (buffers a record points at:
    // the operation's bad-address status, every code's test).
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

} // namespace
