// User mode end to end: a client of the host's C API (kelvo_open, kelvo_ioctl
// with the 32-byte header, kelvo_close) on simulated modules of every board.
//
// With the test level table (the register-map groups behind levels 3, 5 and
// 9) a window's soft-copy requests and the force flag, and bad input refused
// on the right channel with the FPGAs untouched. With the product's levels 1
// to 9 every board stops at level 9 with both FPGAs loaded and reachable by
// name.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "core_test_levels.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "kelvo/product_ids.h"
#include "platform/vohtl/string.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::statusOf;

// Transport codes (what kelvo_ioctl returns).
constexpr int kTransportBadSize = -51009;
constexpr int kTransportBadAddress = -51101;
// Operation codes (the output record's status word).
constexpr int32_t kBadAddress = -52006;
constexpr int32_t kNameNotFound = -240024;

constexpr uint64_t kSlot = 64;
// The scratch register of the required block every FPGA board block carries
// (offset 0x18 of the block, one 32-bit read-write field).
constexpr uint32_t kScratchField = 0x0033B4C6;
constexpr uint64_t kScratchOffset = 0x18;
const std::string kVersion = "_Ver1.0.0d379";

struct Board {
    std::string name;
    std::string isoRequired;  // the isolated FPGA's required block (at 0 of "IsoFpgaWindow")
    std::string nisoRequired; // the non-isolated one's
    uint64_t nisoRequiredOffset;
};

std::vector<Board> boards() {
    const std::string required = "StandardRegsWin_%StandardRegs_RequiredRegsWin_RequiredRegs";
    auto path = [&](const std::string& family, const std::string& side) {
        std::string tail = required;
        tail.replace(tail.find('%'), 1, family);
        return family + side + "TopRegMap_BoardWin_" + family + side + "BoardRegMap_" + tail;
    };
    return {
        {"solstra", path("Solstra", "Iso"), path("Solstra", "Niso"), 0x0},
        {"duskmere-a", path("Duskmere", "Iso"), path("Duskmere", "Niso"), 0x8000},
        {"duskmere-b", path("Duskmere", "Iso"), path("Duskmere", "Niso"), 0x8000},
    };
}

// Writes that reached an FPGA's register space so far.
size_t writesTo(const sim::FpgaSpace& space) {
    const std::vector<sim::Access> trace = space.trace();
    return std::count_if(trace.begin(), trace.end(), [](const sim::Access& access) { return access.write; });
}

class E2EUserMode : public kelvo_test::HostedTest {
protected:
    // A name in the client's memory: exactly its characters, no terminator.
    std::pair<uint64_t, uint64_t> name(const std::string& text) {
        texts_.push_back(text);
        return {owned_.add(texts_.back().data(), texts_.back().size(), kal::usermem::kRead), text.size()};
    }
    // A buffer of the client's memory that the driver may write.
    template <class T> uint64_t writable(std::vector<T>& buffer) {
        return owned_.add(buffer.data(), buffer.size() * sizeof(T), kal::usermem::kReadWrite);
    }

    // The names of a registry through its count and its 64-byte slots.
    std::vector<std::string> slotNames(int handle, uint32_t countCode, uint32_t namesCode) {
        const auto count =
            answer<kelvo_arm_getNumberOfRegistrations_out>(handle, countCode, kelvo_status_record{0});
        EXPECT_EQ(count.status, 0);
        std::vector<char> slots(count.count * kSlot + kSlot, '\x5A'); // one guard slot
        const auto written = answer<kelvo_status_record>(
            handle, namesCode, kelvo_arm_getRegistrationNames_in{writable(slots), 0, 0});
        EXPECT_EQ(written.status, 0);
        EXPECT_EQ(std::string(slots.end() - kSlot, slots.end()), std::string(kSlot, '\x5A'))
            << "past the slots";
        std::vector<std::string> names;
        for (uint64_t i = 0; i < count.count; ++i) {
            const char* slot = slots.data() + i * kSlot;
            names.emplace_back(slot, strnlen(slot, kSlot));
        }
        return names;
    }
    // The TAB-joined registration list, split.
    std::vector<std::string> listedMaps(int handle) {
        const auto size = answer<kelvo_arm_getSizeOfRegistrationList_out>(
            handle, KELVO_IOCTL_arm_getSizeOfRegistrationList, kelvo_status_record{0});
        EXPECT_EQ(size.status, 0);
        std::vector<char> list(size.size + 1, '\x5A');
        const auto written =
            answer<kelvo_status_record>(handle, KELVO_IOCTL_arm_getRegistrationList,
                                        kelvo_arm_getRegistrationList_in{writable(list), 0, 0});
        EXPECT_EQ(written.status, 0);
        EXPECT_EQ(list.back(), '\x5A') << "past the size answered";
        std::string text(list.begin(), list.end() - 2); // the size counts a terminator that is not written
        std::vector<std::string> names;
        size_t start = 0;
        for (size_t tab; (tab = text.find('\t', start)) != std::string::npos; start = tab + 1) {
            names.push_back(text.substr(start, tab - start));
        }
        names.push_back(text.substr(start));
        return names;
    }

    kelvo_arm_write_in armWrite(const std::string& map, uint32_t value) {
        const auto [at, length] = name(map + kVersion);
        return kelvo_arm_write_in{at, length, kScratchField, value, 1, {}, 0};
    }
    kelvo_arm_read_in armRead(const std::string& map) {
        const auto [at, length] = name(map + kVersion);
        return kelvo_arm_read_in{at, length, kScratchField, 0};
    }
    // A 32-bit word of a window: read from the device, or written to it.
    uint32_t windowRead(int handle, const std::string& window, uint64_t offset) {
        std::vector<uint32_t> word(1, 0);
        const auto [at, length] = name(window);
        const auto out = answer<kelvo_status_record>(
            handle, KELVO_IOCTL_deviceWindow_read,
            kelvo_deviceWindow_read_in{at, length, offset, 4, writable(word), 0, 0});
        EXPECT_EQ(out.status, 0);
        return word[0];
    }
    kelvo_deviceWindow_write_in windowWrite(const std::string& window, uint64_t offset, uint32_t value) {
        const auto [at, length] = name(window);
        values_.push_back(value);
        const uint64_t source = owned_.add(&values_.back(), sizeof(value), kal::usermem::kRead);
        return kelvo_deviceWindow_write_in{at, length, source, offset, sizeof(value), 1, {}, 0};
    }

    // The client's memory beyond the header and the two records (which the
    // host registers for each call): names and the buffers records point at.
    kal::usermem::Scope owned_;
    std::deque<std::string> texts_;
    std::deque<uint32_t> values_;
};

// The soft-copy requests of a window in turn: set and get stay in the soft
// copy, flush and write send only what changed unless forced, refresh takes
// the device's value.
TEST_F(E2EUserMode, WindowSoftCopyRequestsAndTheForceFlag) {
    const int index = add("solstra");
    auto module = kelvo_host::module(static_cast<unsigned>(index));
    const int handle = open(index);
    sim::FpgaSpace& fpga = module->nisoFpga();
    const std::string window = "NisoFpgaWindow";
    fpga.poke(kScratchOffset, 0x0F0F0F0F);
    EXPECT_EQ(windowRead(handle, window, kScratchOffset), 0x0F0F0F0Fu) << "the soft copy is now synced";

    enum Op { kSet, kFlush, kWrite, kDevice, kRefresh };
    const struct {
        Op op;
        uint32_t value; // kSet, kWrite, kDevice
        bool force;     // kFlush, kWrite
        bool written;   // the device saw a write
        uint32_t device;
        uint32_t softCopy;
    } steps[] = {
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
        const auto [at, length] = name(window);
        std::vector<uint32_t> word(1, step.value);
        int32_t result = 0;
        switch (step.op) {
        case kSet:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_set,
                              kelvo_deviceWindow_set_in{at, length, writable(word), kScratchOffset, 4, 0, 0});
            break;
        case kFlush:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_flush,
                              kelvo_deviceWindow_flush_in{at, length, kScratchOffset, 4, step.force, {}, 0});
            break;
        case kWrite: {
            auto in = windowWrite(window, kScratchOffset, step.value);
            in.force = step.force;
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_write, in);
            break;
        }
        case kDevice:
            fpga.poke(kScratchOffset, step.value);
            break;
        case kRefresh:
            result = statusOf(handle, KELVO_IOCTL_deviceWindow_refresh,
                              kelvo_deviceWindow_refresh_in{at, length, kScratchOffset, 4, 0, 0});
            break;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(writesTo(fpga) > writes, step.written);
        EXPECT_EQ(fpga.peek(kScratchOffset), step.device);
        std::vector<uint32_t> soft(1, 0);
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_deviceWindow_get,
                           kelvo_deviceWindow_get_in{at, length, kScratchOffset, 4, writable(soft), 0, 0}),
                  0);
        EXPECT_EQ(soft[0], step.softCopy);
    }
    module.reset();
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

TEST_F(E2EUserMode, BadInputIsRefusedOnItsChannelAndChangesNothing) {
    for (const Board& board : boards()) {
        SCOPED_TRACE(board.name);
        const int index = add(board.name);
        auto module = kelvo_host::module(static_cast<unsigned>(index));
        const int handle = open(index);
        auto& iso = module->isoFpga();
        auto& niso = module->nisoFpga();
        iso.poke(kScratchOffset, 0x11111111);
        const size_t isoWrites = writesTo(iso);
        const size_t nisoWrites = writesTo(niso);

        // The operation's channel: a complete record, the transport 0.
        auto refused = [&](uint32_t code, const auto& in, int32_t expected) {
            SCOPED_TRACE(testing::Message() << "code " << std::hex << code);
            EXPECT_EQ(statusOf(handle, code, in), expected);
        };
        // A name longer than 4096 (4096 itself is looked up), for a map and a window.
        const std::string tooLong = std::string(4097 - kVersion.size(), 'x');
        refused(KELVO_IOCTL_arm_write, armWrite(tooLong, 1), KELVO_STATUS_INVALID_PARAMETER);
        refused(KELVO_IOCTL_arm_write, armWrite(std::string(4096 - kVersion.size(), 'x'), 1), kNameNotFound);
        refused(KELVO_IOCTL_deviceWindow_write, windowWrite(std::string(4097, 'w'), kScratchOffset, 1),
                KELVO_STATUS_INVALID_PARAMETER);
        auto huge = armWrite(board.isoRequired, 2);
        huge.nameLength = UINT64_MAX;
        refused(KELVO_IOCTL_arm_write, huge, KELVO_STATUS_INVALID_PARAMETER);
        // Names need no terminator, but a length past the client's characters is
        // a read of memory it does not own.
        auto unterminated = armWrite(board.isoRequired, 3);
        unterminated.nameLength += 1;
        refused(KELVO_IOCTL_arm_write, unterminated, kBadAddress);
        auto window = windowWrite("IsoFpgaWindow", kScratchOffset, 4);
        window.nameLength += 1;
        refused(KELVO_IOCTL_deviceWindow_write, window, kBadAddress);
        // Names and data at addresses the client does not own.
        for (uint64_t foreign : {uint64_t{0x10}, UINT64_MAX - 2}) {
            auto map = armWrite(board.isoRequired, 5);
            map.nameAddress = foreign;
            refused(KELVO_IOCTL_arm_write, map, kBadAddress);
            auto source = windowWrite("IsoFpgaWindow", kScratchOffset, 6);
            source.buffer = foreign;
            refused(KELVO_IOCTL_deviceWindow_write, source, kBadAddress);
        }
        // A window range past its end.
        refused(KELVO_IOCTL_deviceWindow_write, windowWrite("IsoFpgaWindow", UINT64_MAX - 1, 7), -240015);

        // The transport's channel: nothing answered, the header's result left alone.
        const kelvo_arm_write_in good = armWrite(board.isoRequired, 8);
        kelvo_status_record out{0x77};
        kelvo_ioctl_header header{address(&good), address(&out), sizeof(good), sizeof(out), 0x66, 0};
        for (auto [inputSize, outputSize] : {std::pair<uint32_t, uint32_t>{sizeof(good) + 1, sizeof(out)},
                                             {sizeof(good) - 4, sizeof(out)},
                                             {sizeof(good), sizeof(out) + 4},
                                             {sizeof(good), 0}}) {
            header.inputSize = inputSize;
            header.outputSize = outputSize;
            EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_arm_write, &header), kTransportBadSize);
            EXPECT_EQ(header.result, 0x66u);
        }
        header = kelvo_ioctl_header{0x10, address(&out), sizeof(good), sizeof(out), 0x66, 0};
        EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_arm_write, &header), kTransportBadAddress);
        EXPECT_EQ(header.result, 0x66u);
        header.inputAddress = UINT64_MAX - 8;
        EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_arm_write, &header), kTransportBadAddress);
        for (uint64_t foreign : {uint64_t{0x10}, UINT64_MAX - 8}) {
            EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_arm_write, reinterpret_cast<void*>(foreign)),
                      kTransportBadAddress);
        }
        EXPECT_EQ(out.status, 0x77);

        // Nothing reached either FPGA, and the register holds its value.
        EXPECT_EQ(writesTo(iso), isoWrites);
        EXPECT_EQ(writesTo(niso), nisoWrites);
        EXPECT_EQ(iso.peek(kScratchOffset), 0x11111111u);

        // Results for memory the client does not own: refused on their channels.
        const kelvo_arm_read_in readIn = armRead(board.isoRequired);
        kelvo_ioctl_header reading{address(&readIn), 0x10, sizeof(readIn), sizeof(kelvo_arm_read_out), 0, 0};
        EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_arm_read, &reading), kTransportBadSize);
        for (uint64_t foreign : {uint64_t{0x10}, UINT64_MAX - 2}) {
            const auto [at, length] = name("IsoFpgaWindow");
            refused(KELVO_IOCTL_deviceWindow_read,
                    kelvo_deviceWindow_read_in{at, length, kScratchOffset, 4, foreign, 0, 0}, kBadAddress);
            refused(KELVO_IOCTL_arm_getRegistrationNames, kelvo_arm_getRegistrationNames_in{foreign, 0, 0},
                    kBadAddress);
            refused(KELVO_IOCTL_arm_getRegistrationList, kelvo_arm_getRegistrationList_in{foreign, 0, 0},
                    kBadAddress);
        }

        // The same handle still works.
        const auto fine = answer<kelvo_arm_read_out>(handle, KELVO_IOCTL_arm_read, readIn);
        EXPECT_EQ(fine.status, 0);
        EXPECT_EQ(fine.value, 0x11111111u);
        module.reset();
        EXPECT_EQ(kelvo_close(handle), 0);
        remove(index);
    }
}

// The product's own level table: setup stops at level 5 on every board, with
// the non-isolated FPGA loaded by the driver, its maps and "NisoFpgaWindow"
// reachable by name; a level-19 request answers -52002.
class E2EProduct : public E2EUserMode {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        kelvo_host::setFpgasLoadedAtPlugging(false, false);
    }
    // The product's levels 1 to 9: both FPGAs and their register maps.
    kelvo_test::ScopedProductLevels levels_{9};
};

TEST_F(E2EProduct, EveryBoardStopsAtLevelNineWithBothFpgasLoaded) {
    const uint32_t signatures[] = {KELVO_SOLSTRA_BOARD_SIGNATURE, KELVO_DUSKMERE_BOARD_SIGNATURE,
                                   KELVO_DUSKMERE_BOARD_SIGNATURE};
    const std::vector<Board> all = boards();
    for (size_t b = 0; b < all.size(); ++b) {
        const Board& board = all[b];
        SCOPED_TRACE(board.name);
        const kal::live::Counts liveBefore = kal::live::now();
        const int index = add(board.name);
        auto module = kelvo_host::module(static_cast<unsigned>(index));
        const int handle = open(index);
        EXPECT_EQ(levelOf(index), 9u);
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_kdut_checkHardwareState, kelvo_kdut_checkHardwareState_in{}),
                  KELVO_STATUS_NOT_IMPLEMENTED);
        EXPECT_TRUE(module->bridgeRegisters().fpgaLoading().configured(0));
        EXPECT_TRUE(module->bridgeRegisters().fpgaLoading().configured(1));

        // Levels 3, 5 and 9 serve: the bridge maps, the non-isolated and the
        // isolated group; the seven storage maps; both FPGA windows.
        const auto listed = listedMaps(handle);
        const std::set<std::string> unique(listed.begin(), listed.end());
        EXPECT_EQ(unique.count("BrixelDMAChannel0"), 1u);
        EXPECT_EQ(unique.count("KelvoBar0RegMap"), 1u);
        EXPECT_EQ(unique.count(board.nisoRequired), 1u);
        EXPECT_EQ(unique.count(board.isoRequired), 1u);
        const auto maps = answer<kelvo_storageMap_getNumberOfRegistrations_out>(
            handle, KELVO_IOCTL_storageMap_getNumberOfRegistrations, kelvo_status_record{0});
        EXPECT_EQ(maps.count, 7u);
        EXPECT_EQ(slotNames(handle, KELVO_IOCTL_deviceWindow_getNumberOfRegistrations,
                            KELVO_IOCTL_deviceWindow_getRegistrationNames),
                  (std::vector<std::string>{"flashWindow", "NisoFpgaWindow", "IsoFpgaWindow"}));
        // The loaded FPGA answers its board signature and keeps a scratch value.
        EXPECT_EQ(windowRead(handle, "NisoFpgaWindow", board.nisoRequiredOffset + 0x20), signatures[b]);
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_arm_write, armWrite(board.nisoRequired, 0x600D)), 0);
        EXPECT_EQ(windowRead(handle, "NisoFpgaWindow", board.nisoRequiredOffset + kScratchOffset), 0x600Du);
        EXPECT_EQ(module->deviceErrorCount(), 0u);

        module.reset();
        EXPECT_EQ(kelvo_close(handle), 0);
        remove(index);
        EXPECT_EQ(kal::live::now(), liveBefore);
    }
}

} // namespace
