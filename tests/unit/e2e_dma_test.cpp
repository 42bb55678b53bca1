// DMA end to end through the host's C API: both directions on every board, the wait's checks, a ring
// grown after it ran, two threads of a handle stopping one channel at once.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "client_pages.h"
#include "core/dma_objects.h"
#include "core_test_support.h"
#include "fatal_hook_capture.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::boards;
using kelvo_test::statusOf;
using nVOAPALS100::tStatus;

constexpr int32_t kNotReserved = KELVO_STATUS_CHANNEL_NOT_RESERVED;
constexpr int32_t kInvalidChannel = KELVO_STATUS_INVALID_CHANNEL;
constexpr uint32_t kForever = 0xFFFFFFFF;

int32_t simple(int handle, uint32_t code, uint32_t channel) {
    return statusOf(handle, code, kelvo_brixelTools_stopDMA_in{channel, 0});
}

class E2EDma : public kelvo_test::HostedTest {
protected:
    static int add(const std::string& board) {
        return HostedTest::add(board, [](sim::Module& m) { m.enableDma(); });
    }
    static int openReserved(int index) {
        const int handle = open(index);
        EXPECT_EQ(levelOf(index), 19u);
        EXPECT_EQ(reserveAll(handle), 0);
        return handle;
    }
    struct Waited {
        int32_t status;
        uint32_t timedOut;
    };
    static Waited wait(int handle, uint32_t channel, uint64_t start, uint32_t bytes, uint32_t timeout) {
        const auto out = answer<kelvo_brixelTools_waitUntilBytesTransferred_out>(
            handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
            kelvo_brixelTools_waitUntilBytesTransferred_in{channel, 0, start, bytes, timeout, 0, 0});
        return {out.status, out.timedOut};
    }
};

// The command stream's bytes reach the FPGA; each arm sends one packet (the sequencer's marker, its
// number, the general-use registers) into the client's memory; a close stops the stream still running.
constexpr size_t kPacketWords = 2 + 64;
constexpr size_t kPacketBytes = kPacketWords * 4;

TEST_F(E2EDma, TheCommandStreamAndTheMeasurePacketsOnEveryBoard) {
    constexpr size_t kBytes = 3 * 4096 + 512;
    for (const std::string& board : boards()) {
        SCOPED_TRACE(board);
        const int index = add(board);
        auto module = kelvo_host::module(static_cast<unsigned>(index));
        sim::Sequencer& seq = module->sequencerSide()->sequencer();
        for (uint32_t i = 0; i < 64; ++i) {
            seq.writeGeneralUse(i, 0xA5000000u | i);
        }
        const int handle = openReserved(index);
        const size_t registered = sessionOf(handle)->getCleanupOperationComposite().size();

        auto* dma = &deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::DMAObjects>();
        tStatus status;
        EXPECT_EQ(dma->getDMAControllers()->getStreamCreditController(1, status) != nullptr,
                  board == "solstra")
            << "only Solstra's command stream has credits";
        EXPECT_EQ(dma->getDMAControllers()->getStreamCreditController(0, status), nullptr);
        {
            kelvo_test::FatalHookCapture fatal; // a channel past the two: an invariant, and no controller
            EXPECT_EQ(dma->getDMAControllers()->getStreamCreditController(2, status), nullptr);
            EXPECT_EQ(fatal.count(), 1);
        }

        // Past the start-up program that level 18 sent.
        module->dma(1).clearSunk();
        std::vector<uint8_t> out(kBytes);
        std::iota(out.begin(), out.end(), uint8_t{5});
        const kelvo_brixelTools_addTransferToDevice_in send{1, 0, address(out.data()), out.size(), 1, 0};
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_addTransferToDevice, send) |
                      statusOf(handle, KELVO_IOCTL_brixelTools_startDMA,
                               kelvo_brixelTools_startDMA_in{1, 0, {}, 0}) |
                      statusOf(handle, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                               kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, kBytes, 0}),
                  0);
        EXPECT_EQ(wait(handle, 1, 0, kBytes, kForever).status, 0);
        EXPECT_EQ(module->dma(1).sunk(), out);
        uint64_t resets = module->dma(1).fifoResets();
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1), 0);
        EXPECT_EQ(module->dma(1).fifoResets(), resets + 2) << "the FIFO is reset";
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_stopDMA, 1), 0);
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_clearTransfers, 1), 0);
        EXPECT_EQ(sessionOf(handle)->getCleanupOperationComposite().size(), registered)
            << "nothing of the streams left registered";
        resets = module->dma(1).fifoResets();
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_stopDMA, 1), KELVO_STATUS_NOT_ACCESSIBLE)
            << "nothing to remove";
        EXPECT_EQ(module->dma(1).fifoResets(), resets + 2) << "and still every hardware step ran";

        std::vector<uint32_t> words(3 * kPacketWords, 0); // room for a packet more: the stream still runs
        const kelvo_brixelTools_addTransferFromDevice_in receive{
            0, 0, address(words.data()), 4 * words.size(), 0, 0};
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_addTransferFromDevice, receive) |
                      statusOf(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{}),
                  0);
        for (int arm = 0; arm < 2; ++arm) {
            EXPECT_EQ(statusOf(handle, KELVO_IOCTL_measureUnit_arm, kelvo_measureUnit_arm_in{0, 0}), 0);
            EXPECT_EQ(statusOf(handle, KELVO_IOCTL_measureUnit_reset, kelvo_measureUnit_arm_in{0, 0}), 0);
        }
        EXPECT_EQ(wait(handle, 0, 0, 2 * kPacketBytes, kForever).status, 0);
        EXPECT_EQ(answer<kelvo_brixelTools_getTransferCount_out>(handle,
                                                                 KELVO_IOCTL_brixelTools_getTransferCount,
                                                                 kelvo_brixelTools_getTransferCount_in{0, 0})
                      .transferCount,
                  2 * kPacketBytes);
        for (size_t packet = 0; packet < 2; ++packet) {
            const uint32_t* p = words.data() + packet * kPacketWords;
            EXPECT_EQ(p[0], seq.marker());
            EXPECT_EQ(p[1], words[1] + packet) << "packets are numbered in turn";
            for (uint32_t i = 0; i < 64; ++i) {
                EXPECT_EQ(p[2 + i], 0xA5000000u | i) << "general-use register " << i;
            }
        }
        EXPECT_TRUE(module->dma(0).running());
        resets = module->dma(0).fifoResets();
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_FALSE(module->dma(0).running()) << "the session's cleanup stopped the stream";
        EXPECT_EQ(module->dma(0).fifoResets(), resets + 2) << "and reset its FIFO (two strobes)";
        EXPECT_EQ(module->deviceErrorCount(), 0u) << ::testing::PrintToString(module->deviceErrors());
        EXPECT_TRUE(module->dma(0).faults().empty());
        remove(index);
    }
}

// The wait and its cancel check the reservation first, then the channel, every bit of it; a wait
// without time answers at once, timed out.
TEST_F(E2EDma, ChannelAndReservationChecks) {
    const int index = add("duskmere-a");
    const int handle = open(index);
    EXPECT_EQ(wait(handle, 0, 0, 64, 0).status, kNotReserved);
    EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred, 1), kNotReserved);
    EXPECT_EQ(reserveAll(handle), 0);
    for (uint32_t channel : {0u, 1u, 0x80000001u}) {
        SCOPED_TRACE(channel);
        const Waited w = wait(handle, channel, 0, 64, 0);
        EXPECT_EQ(std::make_pair(w.status, w.timedOut),
                  channel < 2 ? std::make_pair(0, 1u) : std::make_pair(kInvalidChannel, 0u));
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred, channel),
                  channel < 2 ? 0 : kInvalidChannel);
    }
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

// Two threads of one handle stop and clear one channel at once (on Solstra both stop the credits):
// the register steps are serialised, which ThreadSanitizer checks.
TEST_F(E2EDma, TwoThreadsOfAHandleStopAndClearOneChannelAtOnce) {
    const int index = add("solstra");
    const int handle = open(index);
    const auto repeat = [handle](uint32_t code) {
        for (int i = 0; i < 50; ++i) {
            simple(handle, code, 1);
        }
    };
    std::thread stopper(repeat, KELVO_IOCTL_brixelTools_stopDMA);
    repeat(KELVO_IOCTL_brixelTools_clearApplicationFIFO);
    stopper.join();
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

// A second buffer added to a continuous list after it ran follows the first: a page lands in each.
TEST_F(E2EDma, ARingGrownAfterItRanLandsEachPageInItsOwnBuffer) {
    const int index = add("duskmere-a");
    auto module = kelvo_host::module(static_cast<unsigned>(index));
    const int handle = openReserved(index);
    const uint64_t page = kelvo_test::pageSize();
    kelvo_test::ClientPages buffers("ww");
    const auto continuous = [&](uint64_t offset) {
        return statusOf(
            handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
            kelvo_brixelTools_addTransferFromDevice_in{0, 1, address(buffers.at(offset)), page, 0, 0});
    };
    const kelvo_brixelTools_startDMA_in start{0, 0, {}, 0};
    EXPECT_EQ(continuous(0), 0);
    EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_startDMA, start), 0);
    EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_stopDMA, 0), 0);
    EXPECT_EQ(continuous(page), 0);
    EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_startDMA, start), 0);

    std::vector<uint8_t> data(page, 1); // page n + 1 holds n + 1
    data.resize(2 * page, 2);
    module->dma(0).inject(data.data(), data.size());
    EXPECT_EQ(wait(handle, 0, 0, static_cast<uint32_t>(data.size()), kForever).status, 0);
    for (size_t n = 0; n < 2; ++n) {
        EXPECT_EQ(std::count(buffers.at(n * page), buffers.at((n + 1) * page), n + 1), page) << n;
    }
    EXPECT_EQ(kelvo_close(handle), 0);
    EXPECT_TRUE(module->dma(0).faults().empty());
    remove(index);
}

} // namespace
