// Level 19 end to end through the host's C API on each board: every code, reset levels, the
// accessory word, a window's soft copy, bad names and addresses.
#include <algorithm>

#include "client_pages.h"
#include "core_test_support.h"
#include "valid_requests.h"

namespace {

constexpr int32_t kInvalidParameter = KELVO_STATUS_INVALID_PARAMETER;
constexpr int32_t kBadAddress = KELVO_STATUS_NOT_ACCESSIBLE; // a user address the kernel layer's copy refuses
constexpr int32_t kLevelReached = KELVO_STATUS_SETUP_TARGET_REACHED;
constexpr int kTransportBadSize = -51009; // -52005 at the kernel layer's boundary
constexpr uint32_t kUnwritten = 0x55;     // a header's result before the request

using namespace kelvo_test; // the catalogue's places
using Row = ValidRequest;

// Writes that reached an FPGA's register space so far.
size_t writesTo(const sim::FpgaSpace& space) {
    return std::ranges::count(space.trace(), true, &sim::Access::write);
}

class E2ELevel19 : public kelvo_test::HostedTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        index_ = add(GetParam());
        module_ = kelvo_host::module(static_cast<unsigned>(index_));
        reopen();
        for (Place place : {kMap, kWindow, kStorage, kUnknown}) {
            names_[place - kMap] = placeName(place, GetParam());
        }
    }
    // New handles on both interfaces (a reset invalidates the old ones).
    void reopen() {
        for (int handle : handles_) {
            EXPECT_EQ(kelvo_close(handle), 0);
        }
        handles_ = {kelvo_open("smu_kelvo", static_cast<unsigned>(index_)),
                    kelvo_open("nPXICOOLING_17_2_pxiCooling", static_cast<unsigned>(index_))};
        ASSERT_GE(std::min(handles_[0], handles_[1]), 0);
    }

    struct Answer {
        int transport;
        uint32_t written;
        std::vector<uint8_t> out;
        int32_t word(uint32_t at) const {
            int32_t value;
            std::memcpy(&value, out.data() + at, 4);
            return value;
        }
        uint32_t result() const { return static_cast<uint32_t>(word(0)); }
    };
    kelvo_corran_getConnectedAccessory_out accessory() {
        return ASK(corran_getConnectedAccessory, handles_[0], 0);
    }

    uint64_t resolve(uint64_t value) {
        if (value == kRoute) {
            return possibilities_[0].routeID;
        }
        if (value == kSubroutines) {
            return ASK(wexmoor_getNumSubroutines, handles_[0], 0).subroutineCount;
        }
        const void* places[] = {out_.data(),   data_.data(),   dma_.at(0), dma_.at(pageSize()), &seed_,
                                &destination_, possibilities_, nullptr,    readOnly_.at(0),     nullptr};
        return value < kMap || value > kSubroutines ? value
               : value < kOut                       ? address(names_[value - kMap].data())
                                                    : address(places[value - kOut]);
    }
    // A record of size bytes with the fields put in order (a later one wins).
    std::vector<uint8_t> record(const std::vector<Put>& puts, size_t size) {
        std::vector<uint8_t> bytes(size, 0);
        for (const Put& put : puts) {
            const uint64_t value = resolve(put.value);
            std::memcpy(bytes.data() + put.at, &value, put.width == 16 ? 8 : put.width);
            if (put.width == 16) {
                const uint64_t length = names_[put.value - kMap].size();
                std::memcpy(bytes.data() + put.at + 8, &length, 8);
            }
        }
        return bytes;
    }
    // The row's valid request with the puts over it, its record extra bytes longer. The header's result
    // starts as kUnwritten: a request failing in transport leaves it so.
    Answer send(int handle, const Row& row, const std::vector<Put>& over = {}, uint32_t extra = 0) {
        std::vector<Put> puts = row.valid;
        puts.insert(puts.end(), over.begin(), over.end());
        const std::vector<uint8_t> in = record(puts, row.inSize + extra);
        Answer answer{0, 0, std::vector<uint8_t>(row.outSize, 0)};
        kelvo_ioctl_header header{
            address(in.data()), address(answer.out.data()), row.inSize + extra, row.outSize, kUnwritten, 0};
        answer.transport = kelvo_ioctl(handle, row.code, &header);
        answer.written = header.result;
        return answer;
    }

    // What a refused request must leave as it was: the FPGAs and the flash
    // unwritten, the client's buffers, the level, the accessory and cooling mode.
    struct Observed {
        size_t writes;
        std::vector<uint8_t> out, data;
        uint32_t level, accessory, cooling;
        bool operator==(const Observed&) const = default;
    };
    Observed observe() {
        return {module_->flash().trace().size() + writesTo(module_->nisoFpga()) +
                    writesTo(module_->isoFpga()),
                out_,
                data_,
                ASK(kelvo_getSetupLevel, handles_[0], 0).setupLevel,
                accessory().accessory,
                ASK(voquantaPXICooling_getCoolingMode, handles_[0], 0).coolingMode};
    }
    const Row& rowOf(uint32_t code) const { return *std::ranges::find(table_, code, &Row::code); }

    const std::vector<Row> table_ = validRequests(GetParam());
    int index_ = -1;
    std::shared_ptr<sim::Module> module_;
    std::vector<int> handles_;
    ClientPages readOnly_{"r"};
    std::string names_[4]; // of kMap, kWindow, kStorage and kUnknown
    std::vector<uint8_t> out_ = std::vector<uint8_t>(1 << 16, 0), data_ = std::vector<uint8_t>(1024, 0);
    ClientPages dma_{"ww"}; // two whole pages for DMA
    kelvo_route_seed seed_{3, 0, 0, {}};
    uint32_t destination_ = 2;
    kelvo_route_possibility possibilities_[4] = {};
};

// Each code once with a bad input (a few codes with more: a name longer than 4096, a name or window
// data at an address the client does not own), refused with its code and nothing changed, then once
// with a valid one, answered as its operation promises. The module was added at level 19: the first
// rows check the hardware state and the level.
TEST_P(E2ELevel19, EveryCodeAnswersValidInputAndRefusesBadInput) {
    const std::string tooLong(4097, 'x');
    constexpr uint16_t kData = offsetof(kelvo_deviceWindow_write_in, buffer);
    const struct {
        uint32_t code;
        std::vector<Put> bad; // over the catalogue's valid request: a name's address and length, the data's
        int32_t status;
    } moreBad[] = {
        {KELVO_IOCTL_arm_write, {{0, 8, address(tooLong.data())}, {8, 8, 4097}}, kInvalidParameter},
        {KELVO_IOCTL_arm_write, {{0, 8, 0x10}}, kBadAddress},
        {KELVO_IOCTL_deviceWindow_write, {{kData, 8, 0x10}}, kBadAddress},
        {KELVO_IOCTL_deviceWindow_write, {{kData, 8, UINT64_MAX - 2}}, kBadAddress}, // at the top
    };
    EXPECT_EQ(table_.size(), KELVO_IOCTL_CODE_COUNT);
    for (const Row& row : table_) {
        SCOPED_TRACE(row.name);
        // The cooling codes (direction bits set) on both interfaces.
        for (int handle : row.code > 0xFFFFFF ? handles_ : std::vector<int>{handles_[0]}) {
            Observed before = observe();
            before.writes = 0;
            module_->nisoFpga().clearTrace();
            module_->isoFpga().clearTrace();
            module_->flash().clearTrace();
            const bool wrongSize = row.bad.empty();
            const Answer refused = send(handle, row, row.bad, wrongSize ? 1 : 0);
            if (wrongSize) {
                EXPECT_EQ(std::tuple(refused.transport, refused.written, refused.out),
                          std::tuple(kTransportBadSize, kUnwritten, std::vector<uint8_t>(row.outSize, 0)));
            } else { // a result word of its own, when the status is not the first word
                EXPECT_EQ(std::tuple(refused.transport, refused.word(row.statusAt),
                                     row.statusAt == 0 ? row.refusedResult : refused.result()),
                          std::tuple(0, row.refusal, row.refusedResult));
            }
            for (const auto& more : moreBad) {
                if (more.code == row.code) {
                    const Answer also = send(handle, row, more.bad);
                    EXPECT_EQ(std::pair(also.transport, also.word(row.statusAt)), std::pair(0, more.status));
                }
            }
            EXPECT_EQ(observe(), before);

            const Answer answered = send(handle, row);
            EXPECT_EQ(std::tuple(answered.transport, answered.written, answered.word(row.statusAt),
                                 row.result < 0 ? row.result : int64_t{answered.result()}),
                      std::tuple(0, row.outSize, row.answer, row.result));
            if (row.code == KELVO_IOCTL_kdut_reset) {
                reopen();
            }
        }
    }
    EXPECT_EQ(module_->deviceErrorCount(), 0u);
}

// After a reset to each level, the level is answered, a code of a higher level answers the tracker's
// status and one at or below it is admitted; the last, to 19, completes the module again. The accessory
// word, set before, is kept; below level 19 its get answers 1 with the gate's code and a set changes
// nothing, and a caller's error word comes back and leaves it as it was.
TEST_P(E2ELevel19, EveryResetLevelAdmitsTheCodesAtOrBelowIt) {
    // Codes of levels 0, 1, 11, 14 and 19, with their valid inputs.
    const std::pair<uint32_t, uint32_t> probes[] = {{KELVO_IOCTL_kdut_cleanup, 0},
                                                    {KELVO_IOCTL_arm_getNumberOfRegistrations, 1},
                                                    {KELVO_IOCTL_corran_getHardwareErrors, 11},
                                                    {KELVO_IOCTL_brixelTools_getTransferCount, 14},
                                                    {KELVO_IOCTL_kdut_checkHardwareState, 19}};
    const auto set = [&](uint32_t value, int32_t word = 0) {
        return ASK(corran_setConnectedAccessory, handles_[0], value, word).status;
    };
    const auto get = [&] { return std::make_pair(accessory().status, accessory().accessory); };
    EXPECT_EQ(get(), std::make_pair(0, 0u));
    EXPECT_EQ(set(7), 0);
    for (uint32_t level = 0; level <= 19; ++level) {
        SCOPED_TRACE(level);
        EXPECT_EQ(ASK(kdut_reset, handles_[0], level, 0, 0, 0, 0).status, level == 19 ? 0 : kLevelReached);
        reopen();
        const auto reached = ASK(kelvo_getSetupLevel, handles_[0], 0);
        EXPECT_EQ(std::make_pair(reached.status, reached.setupLevel), std::make_pair(0, level));
        for (const auto& probe : probes) {
            const Row& row = rowOf(probe.first);
            SCOPED_TRACE(row.name);
            const Answer answer = send(handles_[0], row);
            EXPECT_EQ(std::make_pair(answer.transport, answer.word(row.statusAt)),
                      std::make_pair(0, probe.second > level ? kLevelReached : 0));
        }
        EXPECT_EQ(get(), level == 19 ? std::make_pair(0, 7u) : std::make_pair(kLevelReached, 1u));
        EXPECT_EQ(set(9), level == 19 ? 0 : kLevelReached);
    }
    EXPECT_EQ(set(3, -1), -1);
    EXPECT_EQ(get(), std::make_pair(0, 9u));
}

// The soft-copy requests of a window in turn, the catalogue's on the scratch word: read and refresh take
// the device's value, set and get stay in the soft copy, flush and write send only what changed unless
// forced.
TEST_P(E2ELevel19, WindowSoftCopyRequestsAndTheForceFlag) {
    sim::FpgaSpace& fpga = module_->nisoFpga();
    const uint64_t scratch = nisoScratch(GetParam());
    // The request of the code, its word in the client's data.
    const auto window = [&](uint32_t code, uint32_t& word, bool force = false) {
        const Row& row = rowOf(code);
        // The flag, before three reserved bytes and the status word.
        const std::vector<Put> forced = {{static_cast<uint16_t>(row.inSize - 8), 1, 1}};
        std::memcpy(data_.data(), &word, 4);
        const Answer answer = send(handles_[0], row, force ? forced : std::vector<Put>{});
        std::memcpy(&word, data_.data(), 4);
        return answer.word(row.statusAt);
    };
    constexpr uint32_t kDevice = 0; // the device's word set
    const struct {
        uint32_t code;
        uint32_t value; // set, write, the device's
        bool force;     // flush, write
        bool written;   // the device saw a write
        uint32_t device, softCopy;
    } steps[] = {
        {kDevice, 0x0F0F0F0F, false, false, 0x0F0F0F0F, 0},
        {KELVO_IOCTL_deviceWindow_read, 0, false, false, 0x0F0F0F0F, 0x0F0F0F0F},
        {KELVO_IOCTL_deviceWindow_set, 0x11111111, false, false, 0x0F0F0F0F, 0x11111111},
        {KELVO_IOCTL_deviceWindow_flush, 0, false, true, 0x11111111, 0x11111111},
        {KELVO_IOCTL_deviceWindow_flush, 0, false, false, 0x11111111, 0x11111111}, // nothing changed since
        {KELVO_IOCTL_deviceWindow_flush, 0, true, true, 0x11111111, 0x11111111},
        {KELVO_IOCTL_deviceWindow_write, 0x11111111, false, false, 0x11111111, 0x11111111},
        {KELVO_IOCTL_deviceWindow_write, 0x11111111, true, true, 0x11111111, 0x11111111},
        {KELVO_IOCTL_deviceWindow_write, 0x22222222, false, true, 0x22222222, 0x22222222},
        {kDevice, 0x33333333, false, false, 0x33333333, 0x22222222},
        {KELVO_IOCTL_deviceWindow_refresh, 0, false, false, 0x33333333, 0x33333333},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& step = steps[i];
        SCOPED_TRACE(i);
        if (step.code == kDevice) {
            fpga.poke(scratch, step.value);
            continue;
        }
        const size_t writes = writesTo(fpga);
        uint32_t word = step.value, soft = 0; // read answers the device's word into word
        const int32_t result = window(step.code, word, step.force);
        const bool written = writesTo(fpga) > writes;
        EXPECT_EQ(window(KELVO_IOCTL_deviceWindow_get, soft), 0);
        EXPECT_EQ(std::tuple(result, written, fpga.peek(scratch), soft, word),
                  std::tuple(0, step.written, step.device, step.softCopy,
                             step.code == KELVO_IOCTL_deviceWindow_read ? step.device : step.value));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, E2ELevel19, ::testing::ValuesIn(kelvo_test::boards()),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
