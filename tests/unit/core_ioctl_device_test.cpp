// The I/O-control interfaces of the product device, through the host's C
// API: the two status channels and the header's result, resets that
// invalidate every open handle, the reservation and the cleanup that
// releases it.
#include <cstdint>
#include <cstring>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::answer;

constexpr int32_t kInvalidated = KELVO_STATUS_SESSION_INVALIDATED;

class CoreIoctlDevice : public kelvo_test::HostedTest {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        device = add("solstra");
    }
    int open(const char* name = "smu_kelvo") {
        const int handle = kelvo_open(name, static_cast<unsigned>(device));
        EXPECT_GE(handle, 0);
        return handle;
    }

    // One request: the transport code; out receives the output record and
    // result the header's result field (which starts as resultBefore).
    template <class In, class Out>
    static int request(int handle, uint32_t code, const In& in, Out& out, uint32_t* result = nullptr,
                       uint32_t resultBefore = 0) {
        kelvo_ioctl_header header{};
        header.inputAddress = reinterpret_cast<uintptr_t>(&in);
        header.inputSize = sizeof(In);
        header.outputAddress = reinterpret_cast<uintptr_t>(&out);
        header.outputSize = sizeof(Out);
        header.result = resultBefore;
        const int transport = kelvo_ioctl(handle, code, &header);
        if (result != nullptr) {
            *result = header.result;
        }
        return transport;
    }
    static kelvo_kelvo_getSetupLevel_out level(int handle) {
        return answer<kelvo_kelvo_getSetupLevel_out>(handle, KELVO_IOCTL_kelvo_getSetupLevel,
                                                     kelvo_kelvo_getSetupLevel_in{0});
    }
    static int32_t cleanup(int handle) {
        return answer<kelvo_kdut_cleanup_out>(handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{0})
            .status;
    }
    static int32_t reset(int handle, uint32_t toLevel) {
        return answer<kelvo_kdut_reset_out>(handle, KELVO_IOCTL_kdut_reset,
                                            kelvo_kdut_reset_in{toLevel, 0, 0, 0, 0})
            .status;
    }
    static kelvo_pxiCooling_getRequestedCoolingMode_out requestedMode(int handle) {
        return answer<kelvo_pxiCooling_getRequestedCoolingMode_out>(
            handle, KELVO_IOCTL_pxiCooling_getRequestedCoolingMode, kelvo_status_record{0});
    }

    int device = -1;
};

TEST_F(CoreIoctlDevice, TwoStatusChannelsAndTheHeadersResult) {
    const int handle = open();
    kelvo_kelvo_getSetupLevel_out out{};
    uint32_t result = 0;
    EXPECT_EQ(request(handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_kelvo_getSetupLevel_in{0}, out, &result),
              0);
    EXPECT_EQ(out.setupLevel, 19u);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(result, sizeof(out)) << "the bytes written come back in the header";

    // A wrong size and an unknown code fail in transport; the header's result
    // is not written back then.
    kelvo_arm_getNumberOfRegistrations_out tooLarge{};
    EXPECT_EQ(request(handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_kelvo_getSetupLevel_in{0}, tooLarge,
                      &result, 0x55),
              -51009);
    EXPECT_EQ(result, 0x55u);
    EXPECT_EQ(request(handle, 0x00208009u, kelvo_kelvo_getSetupLevel_in{0}, out, &result, 0x66), -51256);
    EXPECT_EQ(result, 0x66u);

    // The operation's failure travels in the record; the transport succeeds.
    kelvo_corran_readDAC_in dac{};
    kelvo_corran_readDAC_out dacOut{};
    EXPECT_EQ(request(handle, KELVO_IOCTL_corran_readDAC, dac, dacOut), 0);
    EXPECT_EQ(dacOut.status, KELVO_STATUS_NOT_OFFERED);

    // The cooling interface answers its codes as the instrument interface does
    // and nothing else.
    const int cooling = open("nPXICOOLING_17_2_pxiCooling");
    const auto fromCooling = requestedMode(cooling);
    const auto fromInstrument = requestedMode(handle);
    EXPECT_EQ(std::memcmp(&fromCooling, &fromInstrument, sizeof(fromCooling)), 0);
    EXPECT_EQ(request(cooling, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_kelvo_getSetupLevel_in{0}, out),
              -51256);
}

TEST_F(CoreIoctlDevice, AResetInvalidatesEveryOpenHandleTheRequestersToo) {
    const int requester = open();
    const int other = open();
    const int cooling = open("nPXICOOLING_17_2_pxiCooling");

    EXPECT_EQ(reset(requester, 20), -52005);
    EXPECT_EQ(level(requester).status, 0) << "a refused reset changes nothing";

    EXPECT_EQ(reset(requester, 19), 0);
    EXPECT_EQ(level(requester).status, kInvalidated);
    EXPECT_EQ(level(other).status, kInvalidated);
    EXPECT_EQ(cleanup(other), kInvalidated);
    EXPECT_EQ(requestedMode(cooling).status, kInvalidated);
    EXPECT_EQ(reset(other, 19), kInvalidated) << "an invalidated handle cannot reset either";

    // A handle opened afterwards works.
    const int fresh = open();
    EXPECT_EQ(level(fresh).setupLevel, 19u);
    EXPECT_EQ(level(fresh).status, 0);
    for (int handle : {requester, other, cooling, fresh}) {
        EXPECT_EQ(kelvo_close(handle), 0);
    }
}

TEST_F(CoreIoctlDevice, TwoHandlesContendForTheChannelAndCleanupReleasesIt) {
    const int first = open();
    const int second = open();
    EXPECT_EQ(reserveAll(second), 0);
    EXPECT_EQ(reserveAll(first), KELVO_STATUS_RESERVED_BY_OTHER);
    EXPECT_EQ(cleanup(second), 0);
    EXPECT_EQ(reserveAll(first), 0);
    EXPECT_EQ(reserveAll(second), KELVO_STATUS_RESERVED_BY_OTHER);
}

} // namespace
