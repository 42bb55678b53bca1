// The I/O-control decoding on a stand-in device.
#include <cstring>

#include "core_test_support.h"
#include "ioctl_standin_device.h"
#include "regs_fake_accessor.h"

namespace {

using namespace kelvo_driver;
using namespace kelvo_driver::nVOAPAL000;
using namespace kelvo_test;
using nVOAPALS100::tStatus;

struct Answer {
    uint64_t bytes = 0;       // what decodeIOControl returned
    int64_t transport = 0;    // the caller's status afterwards
    std::vector<uint8_t> out; // the output buffer afterwards
    int32_t word() const {    // the output record's status word
        int32_t status = 0;
        const size_t size = out.size();
        std::memcpy(&status, out.data() + (size == 16 || size == 12 ? 8 : size >= 4 ? size - 4 : 0), 4);
        return status;
    }
    bool operator==(const Answer&) const = default;
};

class CoreIoctlDecode : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        tStatus status;
        device.emplace(status);
        ASSERT_TRUE(status.isSuccess());
        session = open(device->kelvo);
    }
    void TearDown() override {
        for (StandInSession* s : sessions) {
            device->cleanup(descriptorOf(s));
            device->closeSession(descriptorOf(s), s);
        }
        device.reset();
        LeakCheckedTest::TearDown();
    }

    StandInSession* open(tDeviceInterface& itf) {
        tStatus status;
        auto* s = static_cast<StandInSession*>(device->openSession(tEventDescriptor(0), &itf, status));
        EXPECT_TRUE(status.isSuccess());
        sessions.push_back(s);
        return s;
    }

    // Sends code with input on the session's interface; the output starts as 0xAA bytes.
    Answer call(uint32_t code, std::vector<uint8_t> input, size_t outputSize, StandInSession* who = nullptr,
                int64_t transportBefore = 0) {
        who = who != nullptr ? who : session;
        Answer answer;
        answer.out.assign(outputSize, 0xAA);
        kal::usermem::Scope scope;
        const uint64_t in =
            input.empty() ? 0x1000 : scope.add(input.data(), input.size(), kal::usermem::kRead);
        const uint64_t out = answer.out.empty() ? 0x2000 : scope.add(answer.out.data(), outputSize);
        tStatus status;
        KELVO_SET_STATUS(status, transportBefore);
        answer.bytes = who->getDeviceInterface()->decodeIOControl(descriptorOf(who), code, in, input.size(),
                                                                  out, outputSize, status);
        answer.transport = status.getCode();
        return answer;
    }

    template <class In> static std::vector<uint8_t> bytes(const In& record) {
        const auto* first = reinterpret_cast<const uint8_t*>(&record);
        return std::vector<uint8_t>(first, first + sizeof(In));
    }
    template <class In> int32_t word(uint32_t code, const In& in, size_t outSize = 4) {
        return call(code, bytes(in), outSize).word();
    }
    template <class Out, class In> Out ask(uint32_t code, const In& in) {
        Out out;
        std::memcpy(&out, call(code, bytes(in), sizeof(Out)).out.data(), sizeof(Out));
        return out;
    }
    std::optional<StandInDevice> device;
    StandInSession* session = nullptr;
    std::vector<StandInSession*> sessions;
};

// Any other size is refused before anything is read, written or gated.
TEST_F(CoreIoctlDecode, EveryCodeRefusesEveryOtherSize) {
    device->level = 19;
    for (const auto& row : ioctl::kCodeTable<ioctl::DeviceAccess<StandInDevice, StandInSession>>) {
        SCOPED_TRACE(row.name);
        const int gatesBefore = device->gates;
        const auto [inSize, outSize] = std::pair<uint32_t, uint32_t>(row.inSize, row.outSize);
        for (auto [in, out] :
             {std::pair{inSize - 1, outSize}, std::pair{inSize + 1, outSize}, std::pair{inSize, outSize + 1},
              std::pair{inSize, outSize - 1}, std::pair{0u, 0u}}) {
            EXPECT_EQ(call(row.code, std::vector<uint8_t>(in, 0), out),
                      (Answer{0, KELVO_STATUS_INVALID_PARAMETER, std::vector<uint8_t>(out, 0xAA)}));
        }
        EXPECT_EQ(device->gates, gatesBefore);
        const Answer a = call(row.code, std::vector<uint8_t>(inSize, 0), outSize);
        EXPECT_EQ(std::tuple(a.bytes, a.transport), std::tuple(uint64_t{outSize}, int64_t{0}));
    }
    EXPECT_EQ(device->getIOCount(), 0u);
}

TEST_F(CoreIoctlDecode, UnknownCodesGoToTheDevicesDefault) {
    StandInSession* cooling = open(device->cooling);
    const std::vector<uint32_t> codes[] = {
        {0u, 0x00202700u, 0x00202e01u, 0x00208009u, 0x00208106u, 0x00208107u, 0x002081b6u, 0x00208605u,
         0x40208400u, 0x80208401u, 0xFFFFFFFFu},
        {KELVO_IOCTL_kelvo_getSetupLevel, KELVO_IOCTL_voquantaPXICooling_getCoolingMode,
         KELVO_IOCTL_kdut_cleanup, 0x80208401u}};
    for (StandInSession* who : {session, cooling}) {
        for (uint32_t code : codes[who == cooling]) {
            EXPECT_EQ(call(code, std::vector<uint8_t>(8, 0), 8, who),
                      (Answer{0, KELVO_STATUS_NOT_IMPLEMENTED, std::vector<uint8_t>(8, 0xAA)}))
                << std::hex << code;
        }
    }
    EXPECT_EQ(device->gates, 0);
}

TEST_F(CoreIoctlDecode, TheHardwareStateCheckRunsOnAWarningNotOnAnError) {
    auto check = [&](int32_t callers) {
        return word(KELVO_IOCTL_kdut_checkHardwareState,
                    kelvo_kdut_checkHardwareState_in{0x1234, callers, 0});
    };
    EXPECT_EQ((std::vector<int32_t>{check(1), check(-77)}), (std::vector<int32_t>{1, -77}));
    EXPECT_EQ(device->checkedWords, std::vector<uint64_t>{0x1234});
    device->hardwareAnswer = KELVO_STATUS_FIRMWARE_INCOMPATIBLE;
    EXPECT_EQ(check(0), KELVO_STATUS_FIRMWARE_INCOMPATIBLE);
}

TEST_F(CoreIoctlDecode, ParticularAnswers) {
    device->level = 18;
    auto version = ask<kelvo_routing_queryVersion_out>(KELVO_IOCTL_routing_queryVersion,
                                                       kelvo_routing_queryVersion_in{0});
    EXPECT_EQ(std::tuple(version.version, version.status), std::tuple(0u, kLevelNotReached));

    // A count is 0, not the capacity, when refused and for a handle without a routing session.
    kelvo_routing_reserveRoute_in reserve{};
    reserve.conflictsCapacity = 7;
    EXPECT_EQ(ask<kelvo_routing_reserveRoute_out>(KELVO_IOCTL_routing_reserveRoute, reserve).conflictsCount,
              0u);
    device->level = 19;
    auto reserved = ask<kelvo_routing_reserveRoute_out>(KELVO_IOCTL_routing_reserveRoute, reserve);
    EXPECT_EQ(std::tuple(reserved.conflictsCount, reserved.status),
              std::tuple(0u, KELVO_STATUS_INVALID_STATE));

    // The four stubs that look at the seeded status, and the reservation: with
    // an error nothing runs at all, not even a gate.
    const int gates = device->gates;
    EXPECT_EQ(
        word(KELVO_IOCTL_corran_stagePowerAllocation, kelvo_corran_stagePowerAllocation_in{0, {}, 5, -1}, 8),
        -1);
    EXPECT_EQ(word(KELVO_IOCTL_corran_areStorageMapChecksumsValid, kelvo_status_record{-3}, 8), -3);
    EXPECT_EQ(word(KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, -1, 0}), -1);
    EXPECT_EQ(std::tuple(session->reserved, device->gates.load()), std::tuple(0u, gates));
    EXPECT_EQ(word(KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0}), 0);
    EXPECT_EQ(session->reserved, 1u);
}

TEST_F(CoreIoctlDecode, ResetCleanupAndTheRefusalOfAnInvalidatedSession) {
    device->level = 3;
    device->resetAnswer = KELVO_STATUS_SETUP_TARGET_REACHED;
    auto reset = [&](int32_t callers) {
        return word(KELVO_IOCTL_kdut_reset, kelvo_kdut_reset_in{19, 0, 0x5000, callers, 0});
    };
    EXPECT_EQ((std::vector<int32_t>{reset(0), reset(-1)}),
              (std::vector<int32_t>{KELVO_STATUS_SETUP_TARGET_REACHED, -1}));
    // An I/O count of 0: the stub held a gate around the reset.
    EXPECT_EQ(device->resets, (std::vector<StandInDevice::Reset>{{19, 0x5000, descriptorOf(session), 0}}));

    // The cleanup runs at level 0 unless the caller's word is an error. An invalidated session is refused
    // at every level, level 0 included: the refusal replaces a warning, but a caller's error, a driver code
    // among them, comes back unchanged.
    device->level = 0;
    session->composite.code = 5;
    auto cleanup = [&](int32_t callers) {
        return word(KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{callers});
    };
    auto level = [&](int32_t callers) {
        return word(KELVO_IOCTL_kelvo_getSetupLevel, kelvo_kelvo_getSetupLevel_in{callers}, 8);
    };
    EXPECT_EQ((std::pair{cleanup(0), cleanup(-9)}), std::pair(5, -9));
    session->invalid = true;
    EXPECT_EQ((std::vector<int32_t>{cleanup(0), level(3), level(-1), level(KELVO_STATUS_INVALID_CHANNEL)}),
              (std::vector<int32_t>{kInvalidated, kInvalidated, -1, KELVO_STATUS_INVALID_CHANNEL}));
    EXPECT_EQ(session->composite.runs, 1);
}

TEST_F(CoreIoctlDecode, NameSlotsAreZeroedWholeAndTheListIsTabSeparated) {
    const std::string seventy(70, 'n');
    tStatus status;
    devicewindow::MemoryAccessor memory{8, status};
    devicewindow::MemoryWindow window{memory, status};
    for (const char* name : {"A", "BC", seventy.c_str()}) {
        device->windows->add(name, window, status);
    }
    FakeAccessor bus;
    kelvo_regmaps::tKelvoMeasureStreamStatusRegMap mapA(&bus, 0, 0, 0x10), mapBC(&bus, 0, 0, 0x10);
    device->arm->add("A", mapA, status);
    device->arm->add("BC", mapBC, status);
    ASSERT_TRUE(status.isSuccess());
    auto fill = [&](uint32_t code, std::vector<uint8_t>& buffer) {
        kal::usermem::Scope scope;
        kelvo_arm_getRegistrationList_in in{scope.add(buffer.data(), buffer.size()), 0, 0};
        return word(code, in);
    };

    auto count = ask<kelvo_deviceWindow_getNumberOfRegistrations_out>(
        KELVO_IOCTL_deviceWindow_getNumberOfRegistrations, kelvo_status_record{0});
    EXPECT_EQ(std::tuple(count.count, count.status), std::tuple(3u, 0));
    std::vector<uint8_t> names(3 * 64 + 8, 0xAA);
    EXPECT_EQ(fill(KELVO_IOCTL_deviceWindow_getRegistrationNames, names), 0);
    // Three zero-filled slots and a guard left alone.
    const std::string slots =
        "A" + std::string(63, '\0') + "BC" + std::string(62, '\0') + seventy.substr(0, 64);
    EXPECT_EQ(std::string(names.begin(), names.end()), slots + std::string(8, '\xAA'));

    auto size = ask<kelvo_arm_getSizeOfRegistrationList_out>(KELVO_IOCTL_arm_getSizeOfRegistrationList,
                                                             kelvo_status_record{0});
    EXPECT_EQ(size.size, 5u);
    std::vector<uint8_t> list(8, 0xAA);
    EXPECT_EQ(fill(KELVO_IOCTL_arm_getRegistrationList, list), 0);
    EXPECT_EQ(std::string(list.begin(), list.begin() + 5), std::string("A\tBC\xAA"));

    // No registrations: the null-buffer code and nothing written.
    std::vector<uint8_t> untouched(64, 0xAA);
    EXPECT_EQ(fill(KELVO_IOCTL_storageMap_getRegistrationNames, untouched), KELVO_STATUS_NO_REGISTRATIONS);
    EXPECT_EQ(untouched, std::vector<uint8_t>(64, 0xAA));

    // Before level 1 built the registries, the gate refuses.
    device->level = 0;
    EXPECT_EQ(word(KELVO_IOCTL_arm_getNumberOfRegistrations, kelvo_status_record{0}, 16), kLevelNotReached);
}

} // namespace
