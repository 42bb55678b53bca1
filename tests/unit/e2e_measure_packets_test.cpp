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

using kelvo_test::address;
using kelvo_test::statusOf;

int32_t measure(int handle, uint32_t code) {
    return statusOf(handle, code, kelvo_measureUnit_arm_in{0, 0});
}

using E2EMeasurePackets = kelvo_test::HostedTest;

TEST_F(E2EMeasurePackets, EachArmSendsTheSequencersRegistersOverChannel0) {
    for (const std::string& board : boards()) {
        SCOPED_TRACE(board);
        const int index = add(board);
        sim::Sequencer& seq = module(index).sequencerSide()->sequencer();
        for (uint32_t i = 0; i < 64; ++i) {
            seq.writeGeneralUse(i, 0xA5000000u | i);
        }
        const int handle = open(index);
        EXPECT_EQ(reserveAll(handle), 0);
        std::vector<uint32_t> words(2 * kPacketWords, 0);
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                           kelvo_brixelTools_addTransferFromDevice_in{0, 0, address(words.data()),
                                                                      2 * kPacketBytes, 0, 0}),
                  0);
        EXPECT_EQ(
            statusOf(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{0, 0, {}, 0}),
            0);
        for (int arm = 0; arm < 2; ++arm) {
            EXPECT_EQ(measure(handle, KELVO_IOCTL_measureUnit_arm), 0);
            EXPECT_EQ(measure(handle, KELVO_IOCTL_measureUnit_reset), 0);
        }
        EXPECT_EQ(
            kelvo_test::answer<kelvo_brixelTools_waitUntilBytesTransferred_out>(
                handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
                kelvo_brixelTools_waitUntilBytesTransferred_in{0, 0, 0, 2 * kPacketBytes, 0xFFFFFFFFu, 0, 0})
                .status,
            0);
        for (size_t packet = 0; packet < 2; ++packet) {
            const uint32_t* p = words.data() + packet * kPacketWords;
            EXPECT_EQ(p[0], seq.marker());
            EXPECT_EQ(p[1], words[1] + packet) << "packets are numbered in turn";
            for (uint32_t i = 0; i < 64; ++i) {
                EXPECT_EQ(p[2 + i], 0xA5000000u | i) << "general-use register " << i;
            }
        }
        EXPECT_EQ(kelvo_close(handle), 0);
        remove(index);
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
        const int index = add("duskmere-a");
        module(index).sequencerSide()->measureUnit().setNeverGenerates(c.neverGenerates);
        const int handle = open(index);
        for (int arm = 0; arm < c.arms; ++arm) {
            EXPECT_EQ(measure(handle, KELVO_IOCTL_measureUnit_arm) == 0, !c.neverGenerates);
            measure(handle, KELVO_IOCTL_measureUnit_reset);
        }
        EXPECT_EQ(module(index).dma(0).queuedBytes(), c.queued);
        EXPECT_EQ(kelvo_close(handle), 0);
        remove(index);
    }
}

} // namespace
