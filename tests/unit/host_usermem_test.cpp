// The caller's memory as the host hands it to the driver: a header or record
// in a page that is not there or is read-only where the driver writes is an
// error code and never a crash, and a buffer that runs into such a page
// moves no byte.
#include <cstdint>
#include <string>

#include "client_pages.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::ClientPages;
using kelvo_test::statusOf;

// What kelvo_ioctl returns.
constexpr int kTransportBadAddress = -51101;
constexpr int kTransportInvalid = -51009; // also an output record the driver cannot write
constexpr int32_t kBadAddress = -52006;   // the output record's status word
constexpr uint32_t kCount = KELVO_IOCTL_arm_getNumberOfRegistrations;
constexpr uint32_t kCountOutSize = sizeof(kelvo_arm_getNumberOfRegistrations_out);

using HostUserMemory = kelvo_test::HostedTest;

TEST_F(HostUserMemory, HeadersAndRecordsWhereTheClientHasNoAccessAreRefusedUntouched) {
    const int handle = open(add("solstra"));
    const kelvo_status_record in{0};
    // The output record read-only, or not there: refused in transport.
    for (const char* layout : {"r", "-"}) {
        ClientPages page;
        page.protect(layout);
        kelvo_ioctl_header header{address(&in), address(page.at(0)), sizeof(in), kCountOutSize, 0, 0};
        EXPECT_EQ(kelvo_ioctl(handle, kCount, &header), kTransportInvalid) << layout;
        EXPECT_TRUE(page.untouched());
    }
    // The header, or the input record, not there.
    ClientPages gone("-");
    EXPECT_EQ(kelvo_ioctl(handle, kCount, gone.at(0)), kTransportBadAddress);
    kelvo_arm_getNumberOfRegistrations_out out{};
    kelvo_ioctl_header header{address(gone.at(0)), address(&out), sizeof(in), sizeof(out), 0, 0};
    EXPECT_EQ(kelvo_ioctl(handle, kCount, &header), kTransportBadAddress);

    // The header and the output record in one read-only page: refused, and the
    // result word is not written either.
    ClientPages request;
    kelvo_ioctl_header* inPage = request.put(
        0, kelvo_ioctl_header{address(&in), address(request.at(64)), sizeof(in), kCountOutSize, 0, 0});
    request.protect("r");
    EXPECT_EQ(kelvo_ioctl(handle, kCount, inPage), kTransportInvalid);
    EXPECT_EQ(inPage->result, 0u);
    EXPECT_TRUE(request.untouched(sizeof(kelvo_ioctl_header)));

    // A read-only header alone: the request is answered, its result word stays unwritten.
    ClientPages headerPage;
    inPage =
        headerPage.put(0, kelvo_ioctl_header{address(&in), address(&out), sizeof(in), sizeof(out), 0, 0});
    headerPage.protect("r");
    kelvo_ioctl(handle, kCount, inPage);
    EXPECT_EQ(out.status, 0);
    EXPECT_GT(out.count, 0u);
    EXPECT_EQ(inPage->result, 0u);
}

// Name slots that start in a good page and run into a read-only one, and a
// window word split the same way: refused, nothing written.
TEST_F(HostUserMemory, AStraddlingBufferMovesNoByte) {
    const int handle = open(add("solstra"));
    ClientPages two("wr");
    const size_t pageSize = kelvo_test::pageSize();
    EXPECT_EQ(
        statusOf(handle, KELVO_IOCTL_arm_getRegistrationNames,
                 kelvo_arm_getRegistrationNames_in{address(two.at(pageSize - KELVO_NAME_SLOT_SIZE)), 0, 0}),
        kBadAddress);
    EXPECT_TRUE(two.untouched());
    const std::string iso = "IsoFpgaWindow";
    EXPECT_EQ(statusOf(handle, KELVO_IOCTL_deviceWindow_read,
                       kelvo_deviceWindow_read_in{address(iso.data()), iso.size(), 0x18, 4,
                                                  address(two.at(pageSize - 2)), 0, 0}),
              kBadAddress);
    EXPECT_TRUE(two.untouched());
}

} // namespace
