// DMA end to end through the host's C API, with the real DMA objects and
// calibration values (levels 14 and 15) over the test level table, on every
// board: a round trip on each channel (reserve, add a user buffer, start,
// wait at the notify-at interrupt, read back), the wait's checks, a closed
// session stopping its stream, and a reset, a power-down and a stop that
// complete while a wait without timeout is pending.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/dma_objects.h"
#include "control_io.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "sim.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::statusOf;

using kelvo_test::boards;
using nVOAPALS100::tStatus;

constexpr int32_t kNotReserved = static_cast<int32_t>(0xBFFA431Au);
constexpr int32_t kInvalidChannel = static_cast<int32_t>(0xBFFA4303u);
constexpr int32_t kInvalidated = static_cast<int32_t>(0xBFFA9179u);
constexpr uint32_t kForever = 0xFFFFFFFF;

int32_t simple(int handle, uint32_t code, uint32_t channel) {
    return kelvo_test::statusOf(handle, code, kelvo_brixelTools_stopDMA_in{channel, 0});
}

// Whole pages of the client's memory, registered as its user memory.
struct PageBuffer {
    explicit PageBuffer(size_t size)
        : bytes(static_cast<uint8_t*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096))), size(size) {
        owned.add(bytes, (size + 4095) / 4096 * 4096, kal::usermem::kReadWrite);
    }
    ~PageBuffer() { std::free(bytes); }
    uint8_t* bytes;
    size_t size;
    kal::usermem::Scope owned;
};

class E2EDma : public kelvo_test::HostedTest {
protected:
    // A module with its DMA engines serving the channel registers.
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
    // Adds buffer to channel 0 and starts it; no data is there yet, so the stream runs on.
    static void startReceiving(int handle, const PageBuffer& buffer) {
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                           kelvo_brixelTools_addTransferFromDevice_in{0, 0, address(buffer.bytes),
                                                                      buffer.size, 0, 0}),
                  0);
        EXPECT_EQ(
            statusOf(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{0, 0, {}, 0}),
            0);
    }
};

// Each channel's bytes travel between a user buffer and the simulated FPGA;
// the wait returns at the notify-at interrupt; the stop leaves nothing registered.
TEST_F(E2EDma, RoundTripOnEachChannelOfEveryBoard) {
    constexpr size_t kBytes = 3 * 4096 + 512;
    for (const std::string& board : boards()) {
        SCOPED_TRACE(board);
        const int index = add(board);
        auto module = kelvo_host::module(static_cast<unsigned>(index));
        const int handle = openReserved(index);
        const size_t registered = sessionOf(handle)->getCleanupOperationComposite().size();

        auto* dma = static_cast<kelvo_driver::DMAObjects*>(&deviceOf(index)->getKelvoHelper()->getTask(14));
        tStatus status;
        EXPECT_EQ(dma->getDMAControllers()->getStreamCreditController(1, status) != nullptr,
                  board == "solstra")
            << "only Solstra's command stream has credits";
        EXPECT_EQ(dma->getDMAControllers()->getStreamCreditController(0, status), nullptr);

        // Device to host.
        PageBuffer in(kBytes);
        std::memset(in.bytes, 0, kBytes);
        std::vector<uint8_t> produced(kBytes);
        for (size_t i = 0; i < kBytes; ++i) {
            produced[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        module->dma(0).inject(produced.data(), produced.size());
        startReceiving(handle, in);
        const Waited received = wait(handle, 0, 0, kBytes, kForever);
        EXPECT_EQ(received.status, 0);
        EXPECT_EQ(received.timedOut, 0u);
        EXPECT_EQ(answer<kelvo_brixelTools_getTransferCount_out>(handle,
                                                                 KELVO_IOCTL_brixelTools_getTransferCount,
                                                                 kelvo_brixelTools_getTransferCount_in{0, 0})
                      .transferCount,
                  kBytes);
        EXPECT_EQ(std::memcmp(in.bytes, produced.data(), kBytes), 0);
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_stopDMA, 0), 0);
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_clearTransfers, 0), 0);

        // Host to device (past the start-up program that level 18 sent).
        module->dma(1).clearSunk();
        PageBuffer out(kBytes);
        for (size_t i = 0; i < kBytes; ++i) {
            out.bytes[i] = static_cast<uint8_t>(i * 13 + 5);
        }
        EXPECT_EQ(
            statusOf(handle, KELVO_IOCTL_brixelTools_addTransferToDevice,
                     kelvo_brixelTools_addTransferToDevice_in{1, 0, address(out.bytes), out.size, 1, 0}),
            0);
        EXPECT_EQ(
            statusOf(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{1, 0, {}, 0}),
            0);
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                           kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, kBytes, 0}),
                  0);
        const Waited sent = wait(handle, 1, 0, kBytes, kForever);
        EXPECT_EQ(sent.status, 0);
        EXPECT_EQ(module->dma(1).sunk(), std::vector<uint8_t>(out.bytes, out.bytes + kBytes));
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1), 0);
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_stopDMA, 1), 0);
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_clearTransfers, 1), 0);
        EXPECT_EQ(sessionOf(handle)->getCleanupOperationComposite().size(), registered)
            << "nothing of the streams left registered";
        const uint64_t resets = module->dma(1).fifoResets();
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_stopDMA, 1), -52006) << "nothing to remove";
        EXPECT_EQ(module->dma(1).fifoResets(), resets + 2) << "and still every hardware step ran";

        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(module->deviceErrorCount(), 0u) << ::testing::PrintToString(module->deviceErrors());
        EXPECT_TRUE(module->dma(0).faults().empty());
        remove(index);
    }
}

// The wait and its cancel check the channel and the reservation first; the
// stream operations refuse a channel beyond the two.
TEST_F(E2EDma, ChannelAndReservationChecks) {
    const int index = add("duskmere-a");
    const int handle = open(index);
    EXPECT_EQ(wait(handle, 0, 0, 64, 0).status, kNotReserved);
    EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{0, 0, {}, 0}),
              -52005)
        << "the stream operations check no reservation: the dispatcher answers";
    EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred, 1), kNotReserved);
    EXPECT_EQ(reserveAll(handle), 0);
    const struct {
        uint32_t channel;
        int32_t waitAnswer;
        uint32_t timedOut;
    } cases[] = {{0, 0, 1}, {1, 0, 1}, {2, kInvalidChannel, 0}, {0x80000001u, kInvalidChannel, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channel);
        const Waited w = wait(handle, c.channel, 0, 64, 0);
        EXPECT_EQ(w.status, c.waitAnswer);
        EXPECT_EQ(w.timedOut, c.timedOut);
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred, c.channel),
                  c.channel < 2 ? 0 : kInvalidChannel);
    }
    const auto count = answer<kelvo_brixelTools_getTransferCount_out>(
        handle, KELVO_IOCTL_brixelTools_getTransferCount, kelvo_brixelTools_getTransferCount_in{2, 0});
    EXPECT_EQ(count.status, -52005);
    EXPECT_EQ(count.transferCount, 0u);
    for (uint32_t channel : {2u, 0u}) { // a channel beyond the two; no transfers to start
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_brixelTools_startDMA,
                           kelvo_brixelTools_startDMA_in{channel, 0, {}, 0}),
                  -52005);
    }
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

TEST_F(E2EDma, ClosingTheSessionStopsItsStream) {
    const int index = add("solstra");
    auto module = kelvo_host::module(static_cast<unsigned>(index));
    const int handle = openReserved(index);
    PageBuffer buffer(8192);
    startReceiving(handle, buffer);
    EXPECT_TRUE(module->dma(0).running());
    const uint64_t resets = module->dma(0).fifoResets();
    EXPECT_EQ(kelvo_close(handle), 0);
    EXPECT_FALSE(module->dma(0).running()) << "the session's cleanup stopped the stream";
    EXPECT_EQ(module->dma(0).fifoResets(), resets + 2) << "and reset its FIFO (two strobes)";
    remove(index);
}

// A wait without timeout never holds up a reset, a power-down or a stop: it
// ends invalidated and the transition completes.
TEST_F(E2EDma, ResetPowerDownAndStopCompleteWithAnEndlessWaitPending) {
    using namespace kelvo_driver::nVOAPAL000;
    enum Transition { kReset, kPowerDown, kStop };
    for (Transition transition : {kReset, kPowerDown, kStop}) {
        SCOPED_TRACE(transition);
        const int index = add("duskmere-b");
        const int handle = openReserved(index);
        PageBuffer buffer(8192);
        startReceiving(handle, buffer);
        Waited waited{1, 1};
        std::thread waiter([&] { waited = wait(handle, 0, 0, 8192, kForever); });
        auto* dma = static_cast<kelvo_driver::DMAObjects*>(&deviceOf(index)->getKelvoHelper()->getTask(14));
        while (dma->getDMAControllers()->getDMAInterruptController().waiterCount() == 0) {
            std::this_thread::yield();
        }
        kelvo_driver::KelvoDevice* device = deviceOf(index);
        tStatus status;
        if (transition == kReset) {
            EXPECT_EQ(resetTo(index, 19), 0);
        } else {
            EXPECT_TRUE(device->commonChangePnPState(
                tEventDescriptor(0), transition == kPowerDown ? kPnPStateSleep : kPnPStateNotStarted,
                kSuspendReasonStart, false, status));
        }
        waiter.join();
        EXPECT_EQ(waited.status, kInvalidated);
        EXPECT_EQ(waited.timedOut, 0u);
        if (transition != kReset) {
            EXPECT_TRUE(device->commonChangePnPState(tEventDescriptor(0), kPnPStateReady, kSuspendReasonStart,
                                                     false, status));
        }
        EXPECT_EQ(levelOf(index), 19u);
        EXPECT_EQ(kelvo_close(handle), 0);
        remove(index);
    }
}

} // namespace
