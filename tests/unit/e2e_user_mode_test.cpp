// A window's soft-copy requests end to end through the host's C API, the
// force flag too (bad names, sizes and addresses: the windows' and the arm
// interface's own tests, and the test of every code).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::statusOf;

// The scratch register of the required block every FPGA board block carries.
constexpr uint64_t kScratchOffset = 0x18;
const std::string kWindow = "NisoFpgaWindow";

// Writes that reached an FPGA's register space so far.
size_t writesTo(const sim::FpgaSpace& space) {
    const std::vector<sim::Access> trace = space.trace();
    return std::count_if(trace.begin(), trace.end(), [](const sim::Access& access) { return access.write; });
}

using E2EUserMode = kelvo_test::HostedTest;

// The soft-copy requests of a window in turn: read and refresh take the
// device's value, set and get stay in the soft copy, flush and write send
// only what changed unless forced.
TEST_F(E2EUserMode, WindowSoftCopyRequestsAndTheForceFlag) {
    const int index = add("solstra");
    sim::FpgaSpace& fpga = module(index).nisoFpga();
    const int handle = open(index);
    const uint64_t at = address(kWindow.data());
    const uint64_t length = kWindow.size();
    enum Op { kRead, kSet, kFlush, kWrite, kDevice, kRefresh };
    const struct {
        Op op;
        uint32_t value; // kSet, kWrite, kDevice
        bool force;     // kFlush, kWrite
        bool written;   // the device saw a write
        uint32_t device;
        uint32_t softCopy;
    } steps[] = {
        {kDevice, 0x0F0F0F0F, false, false, 0x0F0F0F0F, 0},
        {kRead, 0, false, false, 0x0F0F0F0F, 0x0F0F0F0F},
        {kSet, 0x11111111, false, false, 0x0F0F0F0F, 0x11111111},
        {kFlush, 0, false, true, 0x11111111, 0x11111111},
        {kFlush, 0, false, false, 0x11111111, 0x11111111}, // nothing changed since
        {kFlush, 0, true, true, 0x11111111, 0x11111111},
        {kWrite, 0x11111111, false, false, 0x11111111, 0x11111111},
        {kWrite, 0x11111111, true, true, 0x11111111, 0x11111111},
        {kWrite, 0x22222222, false, true, 0x22222222, 0x22222222},
        {kDevice, 0x33333333, false, false, 0x33333333, 0x22222222},
        {kRefresh, 0, false, false, 0x33333333, 0x33333333},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& step = steps[i];
        SCOPED_TRACE(i);
        const size_t writes = writesTo(fpga);
        uint32_t word = step.value;
        int32_t result = 0;
        switch (step.op) {
        case kRead:
            result =
                statusOf(handle, KELVO_IOCTL_deviceWindow_read,
                         kelvo_deviceWindow_read_in{at, length, kScratchOffset, 4, address(&word), 0, 0});
            EXPECT_EQ(word, step.device);
            break;
        case kSet:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_set,
                              kelvo_deviceWindow_set_in{at, length, address(&word), kScratchOffset, 4, 0, 0});
            break;
        case kFlush:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_flush,
                              kelvo_deviceWindow_flush_in{at, length, kScratchOffset, 4, step.force, {}, 0});
            break;
        case kWrite:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_write,
                              kelvo_deviceWindow_write_in{
                                  at, length, address(&word), kScratchOffset, 4, step.force, {}, 0});
            break;
        case kDevice:
            fpga.poke(kScratchOffset, step.value);
            continue;
        case kRefresh:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_refresh,
                              kelvo_deviceWindow_refresh_in{at, length, kScratchOffset, 4, 0, 0});
            break;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(writesTo(fpga) > writes, step.written);
        EXPECT_EQ(fpga.peek(kScratchOffset), step.device);
        uint32_t soft = 0;
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_deviceWindow_get,
                           kelvo_deviceWindow_get_in{at, length, kScratchOffset, 4, address(&soft), 0, 0}),
                  0);
        EXPECT_EQ(soft, step.softCopy);
    }
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

} // namespace
