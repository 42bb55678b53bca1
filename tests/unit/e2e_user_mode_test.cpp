// User mode end to end: a client of the host's C API on a simulated module at
// level 19: a window's soft-copy requests and the force flag, and bad names
// and addresses refused on the operation's channel with the FPGAs untouched.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::statusOf;

constexpr int32_t kBadAddress = -52006;
constexpr int32_t kNameNotFound = -240024;
constexpr int32_t kOutOfRange = -240015;

// The scratch register of the required block every FPGA board block carries
// (offset 0x18 of the block, one 32-bit read-write field).
constexpr uint32_t kScratchField = 0x0033B4C6;
constexpr uint64_t kScratchOffset = 0x18;
const std::string kIsoRequired = "SolstraIsoTopRegMap_BoardWin_SolstraIsoBoardRegMap_StandardRegsWin_"
                                 "SolstraStandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379";
const std::string kWindow = "NisoFpgaWindow";

// Writes that reached an FPGA's register space so far.
size_t writesTo(const sim::FpgaSpace& space) {
    const std::vector<sim::Access> trace = space.trace();
    return std::count_if(trace.begin(), trace.end(), [](const sim::Access& access) { return access.write; });
}

template <class T> std::vector<uint8_t> bytes(const T& in) {
    const auto* first = reinterpret_cast<const uint8_t*>(&in);
    return std::vector<uint8_t>(first, first + sizeof(in));
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

// Names longer than 4096 (4096 itself is looked up), lengths past the
// address space, names and data at addresses the client does not own and
// ranges past a window's end: refused with the operation's code, nothing
// reaching either FPGA, and the handle still served.
TEST_F(E2EUserMode, BadNamesAndAddressesAreRefusedAndChangeNothing) {
    const int index = add("solstra");
    sim::Module& m = module(index);
    const int handle = open(index);
    m.isoFpga().poke(kScratchOffset, 0x11111111);
    const size_t isoWrites = writesTo(m.isoFpga());
    const size_t nisoWrites = writesTo(m.nisoFpga());
    const uint32_t value = 7;
    const auto map = [&](const std::string& name, uint64_t length = 0) {
        return kelvo_arm_write_in{
            address(name.data()), length != 0 ? length : name.size(), kScratchField, 1, 1, {}, 0};
    };
    const auto window = [&](const std::string& name, uint64_t offset, uint64_t buffer) {
        return kelvo_deviceWindow_write_in{address(name.data()), name.size(), buffer, offset, 4, 1, {}, 0};
    };
    const std::string longest(4096, 'x'), tooLong(4097, 'x');
    auto foreignName = map(kIsoRequired);
    foreignName.nameAddress = 0x10;
    const struct {
        const char* what;
        uint32_t code;
        std::vector<uint8_t> in;
        int32_t status;
    } cases[] = {
        {"a map name of 4097", KELVO_IOCTL_arm_write, bytes(map(tooLong)), KELVO_STATUS_INVALID_PARAMETER},
        {"a map name of 4096", KELVO_IOCTL_arm_write, bytes(map(longest)), kNameNotFound},
        {"a window name of 4097", KELVO_IOCTL_deviceWindow_write,
         bytes(window(tooLong, kScratchOffset, address(&value))), KELVO_STATUS_INVALID_PARAMETER},
        {"a name length past the address space", KELVO_IOCTL_arm_write, bytes(map(kIsoRequired, UINT64_MAX)),
         KELVO_STATUS_INVALID_PARAMETER},
        {"a map name at a foreign address", KELVO_IOCTL_arm_write, bytes(foreignName), kBadAddress},
        {"window data at a foreign address", KELVO_IOCTL_deviceWindow_write,
         bytes(window("IsoFpgaWindow", kScratchOffset, 0x10)), kBadAddress},
        {"window data at the top of the address space", KELVO_IOCTL_deviceWindow_write,
         bytes(window("IsoFpgaWindow", kScratchOffset, UINT64_MAX - 2)), kBadAddress},
        {"a window range past its end", KELVO_IOCTL_deviceWindow_write,
         bytes(window("IsoFpgaWindow", UINT64_MAX - 1, address(&value))), kOutOfRange},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kelvo_status_record out{1};
        kelvo_ioctl_header header{
            address(c.in.data()), address(&out), static_cast<uint32_t>(c.in.size()), sizeof(out), 0, 0};
        EXPECT_EQ(kelvo_ioctl(handle, c.code, &header), 0);
        EXPECT_EQ(out.status, c.status);
    }
    EXPECT_EQ(writesTo(m.isoFpga()), isoWrites);
    EXPECT_EQ(writesTo(m.nisoFpga()), nisoWrites);
    EXPECT_EQ(m.isoFpga().peek(kScratchOffset), 0x11111111u);
    const auto fine = answer<kelvo_arm_read_out>(
        handle, KELVO_IOCTL_arm_read,
        kelvo_arm_read_in{address(kIsoRequired.data()), kIsoRequired.size(), kScratchField, 0});
    EXPECT_EQ(fine.status, 0);
    EXPECT_EQ(fine.value, 0x11111111u);
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

} // namespace
