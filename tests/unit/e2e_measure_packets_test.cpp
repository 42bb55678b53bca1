// The measurement stream end to end at level 19 on every board: each arm of
// the measure unit sends one packet (the sequencer's marker, the packet
// number, its general-use registers) into the measure FIFO, and DMA channel 0
// carries it into memory of the client's own, unregistered (a client of the
// C API locks its pages as a user program does).
#include <cstdint>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "host.h"
#include "kelvo/ioctl.h"
#include "sim.h"

namespace {

using kelvo_test::boards;

constexpr size_t kPacketWords = 2 + 64;
constexpr size_t kPacketBytes = kPacketWords * 4;

template <class Out, class In> Out answer(int handle, uint32_t code, const In& in) {
    Out out{};
    kelvo_ioctl_header header{
        reinterpret_cast<uintptr_t>(&in), reinterpret_cast<uintptr_t>(&out), sizeof(In), sizeof(Out), 0, 0};
    EXPECT_EQ(kelvo_ioctl(handle, code, &header), 0) << "code " << std::hex << code;
    return out;
}
int32_t measure(int handle, uint32_t code) {
    return answer<kelvo_status_record>(handle, code, kelvo_measureUnit_arm_in{0, 0}).status;
}

using E2EMeasurePackets = kelvo_test::HostedTest;

TEST_F(E2EMeasurePackets, EachArmSendsTheSequencersRegistersOverChannel0) {
    for (const std::string& board : boards()) {
        SCOPED_TRACE(board);
        const int index = kelvo_host_add_module(board.c_str());
        ASSERT_GE(index, 0);
        sim::Sequencer& seq = kelvo_host::module(static_cast<unsigned>(index))->sequencerSide()->sequencer();
        for (uint32_t i = 0; i < 64; ++i) {
            seq.writeGeneralUse(i, 0xA5000000u | i);
        }
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        EXPECT_EQ(answer<kelvo_status_record>(handle, KELVO_IOCTL_kdut_reserveResources,
                                              kelvo_kdut_reserveResources_in{1, 0, 0})
                      .status,
                  0);
        std::vector<uint32_t> words(2 * kPacketWords, 0);
        EXPECT_EQ(answer<kelvo_status_record>(
                      handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                      kelvo_brixelTools_addTransferFromDevice_in{
                          0, 0, reinterpret_cast<uintptr_t>(words.data()), 2 * kPacketBytes, 0, 0})
                      .status,
                  0);
        EXPECT_EQ(answer<kelvo_status_record>(handle, KELVO_IOCTL_brixelTools_startDMA,
                                              kelvo_brixelTools_startDMA_in{0, 0, {}, 0})
                      .status,
                  0);
        for (int arm = 0; arm < 2; ++arm) {
            EXPECT_EQ(measure(handle, KELVO_IOCTL_measureUnit_arm), 0);
            EXPECT_EQ(measure(handle, KELVO_IOCTL_measureUnit_reset), 0);
        }
        const auto waited = answer<kelvo_brixelTools_waitUntilBytesTransferred_out>(
            handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
            kelvo_brixelTools_waitUntilBytesTransferred_in{0, 0, 0, 2 * kPacketBytes, 0xFFFFFFFFu, 0, 0});
        EXPECT_EQ(waited.status, 0);
        for (size_t packet = 0; packet < 2; ++packet) {
            const uint32_t* p = words.data() + packet * kPacketWords;
            EXPECT_EQ(p[0], seq.marker());
            EXPECT_EQ(p[1], words[1] + packet) << "packets are numbered in turn";
            for (uint32_t i = 0; i < 64; ++i) {
                EXPECT_EQ(p[2 + i], 0xA5000000u | i) << "general-use register " << i;
            }
        }
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(kelvo_host_remove_module(static_cast<unsigned>(index)), 0);
    }
}

// A packet that finds the 64 KiB measure FIFO full is lost; a unit that
// never generates sends none.
TEST_F(E2EMeasurePackets, TheFifoKeepsWhatFits) {
    const struct {
        const char* what;
        bool neverGenerates;
        int arms;
        size_t queued;
    } cases[] = {
        {"one arm", false, 1, kPacketBytes},
        {"a unit that never generates", true, 1, 0},
        {"more packets than the FIFO holds", false, 250, (64 * 1024 / kPacketBytes) * kPacketBytes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int index = kelvo_host_add_module("duskmere-a");
        ASSERT_GE(index, 0);
        const auto module = kelvo_host::module(static_cast<unsigned>(index));
        module->sequencerSide()->measureUnit().setNeverGenerates(c.neverGenerates);
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        for (int arm = 0; arm < c.arms; ++arm) {
            EXPECT_EQ(measure(handle, KELVO_IOCTL_measureUnit_arm) == 0, !c.neverGenerates);
            measure(handle, KELVO_IOCTL_measureUnit_reset);
        }
        EXPECT_EQ(module->dma(0).queuedBytes(), c.queued);
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(kelvo_host_remove_module(static_cast<unsigned>(index)), 0);
    }
}

} // namespace
