// DMA end to end through the host's C API: both directions on every board, the wait's checks; then two
// handles (channel 0's engine in step mode): what a close takes back, refusals, locked pages,
// reservations, both at work at once.
#include <memory>
#include <numeric>
#include <optional>
#include <thread>

#include "client_pages.h"
#include "core/dma_objects.h"
#include "core_test_support.h"
#include "fatal_hook_capture.h"
#include "test_worker.h"

namespace {

using namespace kelvo_test;
using nVOAPALS100::tStatus;

constexpr int32_t kNotReserved = KELVO_STATUS_CHANNEL_NOT_RESERVED;
constexpr int32_t kInvalidChannel = KELVO_STATUS_INVALID_CHANNEL;
constexpr int32_t kOutOfMemory = KELVO_STATUS_OUT_OF_MEMORY;

// addTransferFromDevice on channel 0, addTransferToDevice on 1 (or as code says).
int32_t transfer(int handle, uint32_t channel, const void* data, uint64_t size, uint32_t code = 0) {
    if (code == KELVO_IOCTL_brixelTools_addTransferToDevice || (code == 0 && channel == 1)) {
        return ASK(brixelTools_addTransferToDevice, handle, channel, 0, address(data), size, 1, 0).status;
    }
    return ASK(brixelTools_addTransferFromDevice, handle, channel, 0, address(data), size, 0, 0).status;
}
int32_t start(int handle, uint32_t channel) {
    return ASK(brixelTools_startDMA, handle, channel, 0, {}, 0).status;
}
// stopDMA, clearTransfers, clearApplicationFIFO: the channel alone.
int32_t simple(int handle, uint32_t code, uint32_t channel = 0) {
    return statusOf(handle, code, kelvo_brixelTools_stopDMA_in{channel, 0});
}
kelvo_brixelTools_getTransferCount_out count(int handle, uint32_t channel) {
    return ASK(brixelTools_getTransferCount, handle, channel, 0);
}

class E2EDma : public kelvo_test::HostedTest {
protected:
    static int add(const std::string& board) {
        return HostedTest::add(board, [](sim::Module& m) { m.enableDma(); });
    }
    static size_t registered(int handle) { return sessionOf(handle)->getCleanupOperationComposite().size(); }
    static kelvo_brixelTools_waitUntilBytesTransferred_out wait(int handle, uint32_t channel, uint64_t start,
                                                                uint32_t bytes, uint32_t timeout) {
        return ASK(brixelTools_waitUntilBytesTransferred, handle, channel, 0, start, bytes, timeout, 0, 0);
    }
};

// The command stream's bytes reach the FPGA; each arm sends one packet (the sequencer's marker, its
// number, the general-use registers) into the client's memory.
constexpr size_t kPacketWords = 2 + 64;
constexpr size_t kPacketBytes = kPacketWords * 4;

// A bridge without 64-bit addressing gets 32-bit DMA: its maps reach the client's pages above 4 GB.
TEST_F(E2EDma, TheCommandStreamAndTheMeasurePacketsOnEveryBoard) {
    constexpr size_t kBytes = 3 * 4096 + 512;
    for (size_t row = 0; row <= boards().size(); ++row) { // every board, then one without 64-bit addressing
        const bool wide = row < boards().size();
        const std::string board = wide ? boards()[row] : "solstra";
        SCOPED_TRACE(board + (wide ? "" : ", 32-bit DMA"));
        kal::pagelists::setPlacement(wide ? kal::pagelists::Placement::below4G
                                          : kal::pagelists::Placement::above4G);
        const int index = HostedTest::add(board, [wide](sim::Module& m) {
            m.enableDma();
            m.bridgeRegisters().setCoreDescription(sim::BridgeRegisters::kDefaultCoreDescription &
                                                   ~(wide ? 0u : 1u << 5));
        });
        auto module = kelvo_host::module(static_cast<unsigned>(index));
        EXPECT_EQ(kal::pci::dmaMask(module->pciHandle()), wide ? ~0ULL : 0xFFFFFFFFULL)
            << "the device's reach";
        sim::Sequencer& seq = module->sequencerSide()->sequencer();
        for (uint32_t i = 0; i < 64; ++i) {
            seq.writeGeneralUse(i, 0xA5000000u | i);
        }
        const int handle = open(index);
        EXPECT_EQ(reserveAll(handle), 0);
        const size_t streamless = registered(handle);
        {
            FatalHookCapture fatal; // a channel past the two: an invariant, and no controller
            tStatus status;
            auto& dma = deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::DMAObjects>();
            EXPECT_EQ(dma.getDMAControllers()->getStreamCreditController(2, status), nullptr);
            EXPECT_EQ(fatal.count(), 1);
        }

        // Past the start-up program that level 18 sent.
        module->dma(1).clearSunk();
        std::vector<uint8_t> out(kBytes);
        std::iota(out.begin(), out.end(), uint8_t{5});
        EXPECT_EQ(inOrder({transfer(handle, 1, out.data(), out.size()), start(handle, 1),
                           ASK(brixelTools_writeStreamAdditiveTransferCount, handle, 1, kBytes, 0).status}),
                  0);
        EXPECT_EQ(wait(handle, 1, 0, kBytes, ~0u).status, 0);
        EXPECT_EQ(module->dma(1).sunk(), out);
        uint64_t resets = module->dma(1).fifoResets();
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1), 0);
        EXPECT_EQ(module->dma(1).fifoResets(), resets + 2) << "the FIFO is reset";
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_stopDMA, 1), 0);
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_clearTransfers, 1), 0);
        EXPECT_EQ(registered(handle), streamless) << "nothing of the streams left registered";

        std::vector<uint32_t> words(3 * kPacketWords, 0); // room for a packet more: the stream still runs
        EXPECT_EQ(inOrder({transfer(handle, 0, words.data(), 4 * words.size()), start(handle, 0)}), 0);
        for (int arm = 0; arm < 2; ++arm) {
            EXPECT_EQ(ASK(measureUnit_arm, handle, 0, 0).status, 0);
            EXPECT_EQ(ASK(measureUnit_reset, handle, 0, 0).status, 0);
        }
        EXPECT_EQ(wait(handle, 0, 0, 2 * kPacketBytes, ~0u).status, 0);
        std::vector<uint32_t> packets(words.size(), 0); // numbered in turn
        for (size_t packet = 0; packet < 2; ++packet) {
            uint32_t* p = packets.data() + packet * kPacketWords;
            p[0] = seq.marker(), p[1] = words[1] + static_cast<uint32_t>(packet);
            std::iota(p + 2, p + kPacketWords, 0xA5000000u);
        }
        EXPECT_EQ(words, packets);
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(module->deviceErrorCount(), 0u) << ::testing::PrintToString(module->deviceErrors());
        EXPECT_TRUE(module->dma(0).faults().empty());
        remove(index);
    }
    kal::pagelists::resetPlacement();
}

// The wait and its cancel check the reservation first, then the channel, every bit of it; a wait
// without time answers at once, timed out; one that would wait on ends with the cancel code when another
// thread cancels it.
TEST_F(E2EDma, ChannelAndReservationChecks) {
    const int handle = open(add("duskmere-a"));
    EXPECT_EQ(wait(handle, 0, 0, 64, 0).status, kNotReserved);
    EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred, 1), kNotReserved);
    EXPECT_EQ(reserveAll(handle), 0);
    for (uint32_t channel : {0u, 1u, 0x80000001u}) {
        SCOPED_TRACE(channel);
        const bool valid = channel < 2;
        const auto w = wait(handle, channel, 0, 64, 0);
        EXPECT_EQ(std::make_pair(w.status, w.timedOut),
                  valid ? std::make_pair(0, 1u) : std::make_pair(kInvalidChannel, 0u));
        auto waited = w;
        Worker waiter([&] { waited = valid ? wait(handle, channel, 0, 64, 600000) : w; });
        EXPECT_TRUE(!valid || waiter.waitUntilBlocked());
        EXPECT_EQ(simple(handle, KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred, channel),
                  valid ? 0 : kInvalidChannel);
        waiter.join();
        EXPECT_EQ(waited.status, valid ? int32_t{KELVO_STATUS_WAIT_CANCELLED} : kInvalidChannel);
    }
}

class E2EDmaSessions : public E2EDma {
protected:
    // A module of board (channel 0 in step mode after setup) and two handles; unplug: no fault on channel 0.
    void plug(const std::string& board) {
        index = add(board);
        module(index).dma(0).setStepMode(true);
        a = open(index);
        b = open(index);
    }
    void unplug() {
        EXPECT_TRUE(engine().faults().empty()) << ::testing::PrintToString(engine().faults());
        kelvo_close(a);
        kelvo_close(b);
        remove(index);
    }
    sim::DmaEngine& engine(uint32_t channel = 0) const { return module(index).dma(channel); }
    void produce(const std::vector<uint8_t>& bytes) const {
        engine().inject(bytes.data(), bytes.size());
        engine().runUntilBlocked(1000);
    }
    static size_t lockedLists() { return kal::pagelists::live(); }
    // Runs call, and body at its nth kernel-mutex acquisition (before it): false when call took fewer.
    static bool atLock(int nth, const std::function<void()>& call, const std::function<void()>& body) {
        int calls = 0;
        kal::thread::onMutexAcquire([&] {
            if (++calls == nth) {
                body();
            }
        });
        call();
        kal::thread::onMutexAcquire({});
        return calls >= nth;
    }
    // As atLock, call on worker (which the caller joins), for a call that may block until body's work
    // ends it: false, body not run, once call ended or blocks where blocked says before its nth lock.
    static bool atLockOrBlocked(int nth, std::optional<Worker>& worker, const std::function<void()>& call,
                                const std::function<bool()>& blocked, const std::function<void()>& body) {
        enum { kUndecided, kRan, kNotToRun, kRunning };
        const auto state = std::make_shared<std::atomic<int>>(kUndecided);
        worker.emplace([nth, call, body, state] {
            int calls = 0;
            kal::thread::onMutexAcquire([&] {
                int undecided = kUndecided;
                if (++calls == nth && state->compare_exchange_strong(undecided, kRunning)) {
                    body();
                    *state = kRan;
                }
            });
            call();
            kal::thread::onMutexAcquire({});
        });
        for (int undecided = kUndecided; *state != kRan; undecided = kUndecided) {
            if ((worker->done() || (kal::thread::isBlocked(worker->id()) && blocked())) &&
                state->compare_exchange_strong(undecided, kNotToRun)) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }
    // Starts request on a thread of its own and returns once it has ended or blocks.
    static void meanwhile(std::optional<Worker>& worker, const std::function<void()>& request) {
        worker.emplace(request);
        while (!worker->done() && !kal::thread::isBlocked(worker->id())) {
            std::this_thread::yield();
        }
    }

    int index = -1;
    int a = -1, b = -1; // a: the handle whose close or refusal a test is about
    const std::vector<uint8_t> page = std::vector<uint8_t>(4096);
};

// A close takes back its handle's transfers (stopping a stream that runs them) and leaves the other's:
// the stream started again never reaches the closed handle's buffer.
TEST_F(E2EDmaSessions, AClosedHandlesTransfersAreTakenBackAndTheOthersStay) {
    constexpr size_t kPacket = 264;
    struct Row {
        const char* what;
        bool closingFirst, running;
    };
    for (const Row& row : {Row{"added second", false, false}, Row{"added first", true, false},
                           Row{"the stream runs both at the close", false, true}}) {
        SCOPED_TRACE(row.what);
        plug("duskmere-a");
        const std::vector<uint8_t> gone(kPacket, 0xEE);
        std::vector<uint8_t> kept(kPacket, 0);
        const int first = row.closingFirst ? a : b, second = row.closingFirst ? b : a;
        EXPECT_EQ(inOrder({transfer(first, 0, first == a ? gone.data() : kept.data(), kPacket),
                           transfer(second, 0, second == a ? gone.data() : kept.data(), kPacket),
                           row.running ? start(b, 0) : 0}),
                  0);
        EXPECT_EQ(kelvo_close(a), 0);
        EXPECT_FALSE(engine().running()) << "no stream runs over the closed handle's pages";

        EXPECT_EQ(start(b, 0), 0) << "the other handle's transfer is still listed";
        std::vector<uint8_t> data(2 * kPacket);
        std::iota(data.begin(), data.end(), uint8_t{1});
        produce(data);
        EXPECT_EQ(kept, std::vector<uint8_t>(data.begin(), data.begin() + kPacket));
        EXPECT_EQ(gone, std::vector<uint8_t>(kPacket, 0xEE)) << "nothing reached the closed handle's buffer";
        unplug();
    }
}

// What a failed step of a left (running, locked, credited) is undone by a's close.
TEST_F(E2EDmaSessions, AFailedStepKeepsItsRegistrationForTheClose) {
    struct Row {
        const char* what;
        const char* board;
        std::function<void(sim::DmaEngine&, bool on)> knobs;
        std::function<int32_t()> step; // a's failing request, after what it needs
        int32_t code;
        std::function<bool()> undone; // after a's close
    };
    const auto credits = [](sim::DmaEngine& e, bool on) { e.setCreditsNeverStop(on); };
    size_t lists = 0;
    const std::vector<Row> rows = {
        {"clearTransfers refused while the stream runs", "duskmere-a", [](sim::DmaEngine&, bool) {},
         [&] {
             EXPECT_EQ(inOrder({transfer(a, 0, page.data(), page.size()), start(a, 0)}), 0);
             const int32_t code = simple(a, KELVO_IOCTL_brixelTools_clearTransfers);
             EXPECT_EQ(simple(a, KELVO_IOCTL_brixelTools_stopDMA), 0);
             return code;
         },
         KELVO_STATUS_STREAM_RUNNING, [&] { return lockedLists() == lists; }},
        {"clearTransfers refused, a's transfers gone (b cleared)", "duskmere-a", [](sim::DmaEngine&, bool) {},
         [&] {
             EXPECT_EQ(transfer(a, 0, page.data(), page.size()), 0);
             EXPECT_EQ(simple(b, KELVO_IOCTL_brixelTools_clearTransfers), KELVO_STATUS_NOT_ACCESSIBLE);
             EXPECT_EQ(inOrder({transfer(b, 0, page.data(), page.size()), start(b, 0)}), 0);
             const int32_t code = simple(a, KELVO_IOCTL_brixelTools_clearTransfers);
             EXPECT_EQ(simple(b, KELVO_IOCTL_brixelTools_stopDMA), 0);
             EXPECT_EQ(simple(a, KELVO_IOCTL_brixelTools_clearTransfers), 0) << "a is still registered";
             return code;
         },
         KELVO_STATUS_STREAM_RUNNING, [&] { return lockedLists() == lists; }},
        {"stopDMA whose credit stop timed out", "solstra", credits,
         [&] {
             EXPECT_EQ(inOrder({transfer(b, 1, page.data(), page.size()), start(a, 1)}), 0);
             return simple(a, KELVO_IOCTL_brixelTools_stopDMA, 1);
         },
         KELVO_STATUS_TIMED_OUT, [&] { return !engine(1).running(); }},
        {"clearApplicationFIFO whose credit stop timed out", "solstra", credits,
         [&] {
             EXPECT_EQ(inOrder({transfer(b, 1, page.data(), page.size()), start(a, 1)}), 0);
             return simple(a, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1);
         },
         KELVO_STATUS_TIMED_OUT, [&] { return (engine(1).creditStatus() & (1u << 17)) != 0; }},
        {"b's grant, whose stop of a's credits timed out", "solstra", credits,
         [&] {
             EXPECT_EQ(inOrder({transfer(a, 1, page.data(), page.size()), start(a, 1)}), 0);
             return statusOf(b, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0});
         },
         0, [&] { return (engine(1).creditStatus() & (1u << 17)) != 0; }},
        {"startDMA whose channel never started nor stopped", "duskmere-a",
         [](sim::DmaEngine& e, bool on) { e.setNeverStarts(on), e.setNeverEnds(on); },
         [&] {
             EXPECT_EQ(transfer(b, 0, page.data(), page.size()), 0);
             return start(a, 0);
         },
         KELVO_STATUS_CHANNEL_START_TIMED_OUT, [&] { return start(b, 0) == 0; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        plug(row.board);
        lists = lockedLists();
        const uint32_t channel = std::string(row.board) == "solstra" ? 1 : 0;
        row.knobs(engine(channel), true);
        EXPECT_EQ(row.step(), row.code);
        row.knobs(engine(channel), false);
        EXPECT_EQ(kelvo_close(a), 0);
        EXPECT_TRUE(row.undone()) << "the close undid what the failed step left";
        unplug();
    }
}

// A stop or a clear runs its steps up to the first that the handle does not owe, answers -52006 there and
// leaves the rest: b added first and (but for the last two rows) started the stream; a or b asks.
TEST_F(E2EDmaSessions, ARequestNotOwedEndsAtItsFirstStepNotOwed) {
    constexpr int32_t kNotOwed = KELVO_STATUS_NOT_ACCESSIBLE;
    enum Asker { kA, kB };
    const auto ask = [this](Asker asker, uint32_t code) { // the handle of each row's plug
        return [this, asker, code](uint32_t channel) { return simple(asker == kA ? a : b, code, channel); };
    };
    const auto stop = KELVO_IOCTL_brixelTools_stopDMA;
    const auto clearFifo = KELVO_IOCTL_brixelTools_clearApplicationFIFO;
    const auto clearLists = KELVO_IOCTL_brixelTools_clearTransfers;
    const auto aAddsAndClears = [&](uint32_t channel) { // every transfer goes
        EXPECT_EQ(transfer(a, channel, page.data(), page.size()), 0);
        return simple(a, clearLists, channel);
    };
    const auto bClearsAfterA = [&](uint32_t channel) {
        EXPECT_EQ(simple(a, clearLists, channel), kNotOwed);
        return simple(b, clearLists, channel);
    };
    // The answer, the credits stopped, the stream running, FIFO reset strobes (two a reset), lists left.
    using After = std::tuple<int32_t, bool, bool, uint64_t, size_t>;
    struct Row {
        const char* what;
        const char* board;
        uint32_t channel;
        bool bStarts;
        std::function<int32_t(uint32_t)> request;
        After after;
    };
    const std::vector<Row> rows = {
        {"a stops: credits stop", "solstra", 1, true, ask(kA, stop), {kNotOwed, true, true, 0, 1}},
        {"a stops, no credits", "duskmere-a", 0, true, ask(kA, stop), {kNotOwed, false, false, 0, 1}},
        {"a clears the FIFO", "solstra", 1, true, ask(kA, clearFifo), {kNotOwed, true, true, 0, 1}},
        {"a clears it, no credits", "duskmere-a", 1, true, ask(kA, clearFifo), {0, false, true, 2, 1}},
        {"b stops what it started", "solstra", 1, true, ask(kB, stop), {0, true, false, 2, 1}},
        {"a clears b's lists", "duskmere-a", 0, false, aAddsAndClears, {kNotOwed, false, false, 0, 0}},
        {"b clears after that: it held them", "duskmere-a", 0, false, bClearsAfterA, {0, false, false, 0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        plug(row.board);
        const size_t lists = lockedLists();
        sim::DmaEngine& stream = engine(row.channel);
        EXPECT_EQ(inOrder({transfer(b, row.channel, page.data(), page.size()),
                           row.bStarts ? start(b, row.channel) : 0}),
                  0);
        const uint64_t resets = stream.fifoResets();
        const int32_t code = row.request(row.channel);
        const bool credits = std::string(row.board) == "solstra" && row.channel == 1;
        EXPECT_EQ(After(code, credits && (stream.creditStatus() & (1u << 17)) != 0, stream.running(),
                        stream.fifoResets() - resets, lockedLists() - lists),
                  row.after);
        unplug();
    }
}

// A close runs what its handle owes, the last taken on first: the stream started last stops and has its
// FIFO reset first.
TEST_F(E2EDmaSessions, ACloseUndoesTheStreamStartedLastFirst) {
    for (const std::pair<uint32_t, uint32_t>& started : {std::make_pair(0u, 1u), std::make_pair(1u, 0u)}) {
        SCOPED_TRACE(started.first);
        plug("duskmere-a");
        for (const uint32_t channel : {started.first, started.second}) {
            EXPECT_EQ(inOrder({transfer(a, channel, page.data(), page.size()), start(a, channel)}), 0);
        }
        sim::Block* control = module(index).nisoFpga().find("stream-control");
        control->clearTrace();
        EXPECT_EQ(kelvo_close(a), 0);
        std::vector<uint64_t> strobes; // at 0 the measure FIFO's (channel 0), at 4 the command FIFO's
        for (const sim::Access& access : control->trace()) {
            strobes.push_back(access.offset);
        }
        const uint64_t last = 4 * started.second, first = 4 * started.first;
        EXPECT_EQ(strobes, (std::vector<uint64_t>{last, last, first, first}));
        EXPECT_FALSE(engine(0).running() || engine(1).running());
        unplug();
    }
}

// While b's request on stream 1 is paused (its FIFO reset asleep on a clock held all but still, or its
// count write or read at its register access), a's add and clear on stream 0 end, and so does c's
// cleanup of what it has on stream 0 alone; c's close of what it has on both waits for stream 1 only,
// and a's add and clear on stream 0 still end meanwhile. a's grant of the channel waits for b's
// request, which it let in before it, and refuses the same request after it.
TEST_F(E2EDmaSessions, ARequestUnderWayOnAStreamHoldsUpOnlyWhatNeedsThatStream) {
    struct Row {
        const char* what;
        const char* block; // where b's request is paused: null for the FIFO reset's sleep
        uint64_t offset;
        std::vector<uint32_t> cAdds; // c's transfers, on these streams, before b's request
        std::function<int32_t()> paused, beside;
        bool besideEnds;
        bool addAndClearAfter; // a's add and clear on stream 0 once beside ended or blocked
    };
    int c = -1;
    const auto fifoReset = [&] { return simple(b, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1); };
    const auto addAndClear = [&] {
        return static_cast<int32_t>(inOrder(
            {transfer(a, 0, page.data(), page.size()), simple(a, KELVO_IOCTL_brixelTools_clearTransfers)}));
    };
    const auto cleanup = [&] { return ASK(kdut_cleanup, c, 0).status; };
    const auto close = [&] { return kelvo_close(c); };
    const auto countWrite = [&] {
        return ASK(brixelTools_writeStreamAdditiveTransferCount, b, 1, 64, 0).status;
    };
    const auto countRead = [&] { return count(b, 1).status; };
    const auto grant = [&] { return reserveAll(a); };
    const uint64_t kCount = sim::StreamCircuitBlock::kAdditiveCount, kTotal = 0xA0; // TotalTransferCount
    const std::vector<Row> rows = {
        {"b's FIFO reset, a's add and clear", nullptr, 0, {}, fifoReset, addAndClear, true, false},
        {"b's FIFO reset, c's cleanup", nullptr, 0, {0}, fifoReset, cleanup, true, true},
        {"b's FIFO reset, c's close", nullptr, 0, {0, 1}, fifoReset, close, false, true},
        {"b's count write, a's grant", "stream-circuit-1", kCount, {}, countWrite, grant, false, false},
        {"b's count read, a's grant", "dma-channel-1", kTotal, {}, countRead, grant, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        plug("duskmere-a");
        c = open(index);
        for (const uint32_t stream : row.cAdds) {
            EXPECT_EQ(transfer(c, stream, page.data(), page.size()), 0);
        }
        sim::Block* block = row.block == nullptr ? nullptr : module(index).bar0().find(row.block);
        block = block != nullptr || row.block == nullptr ? block : module(index).nisoFpga().find(row.block);
        const double scale = kal::clock::scale();
        std::atomic<bool> reached = false, go = false;
        if (block != nullptr) { // under the module's lock: the first access waits there
            block->setTap(row.offset, [&] {
                for (reached = true; !go;) {
                    std::this_thread::yield();
                }
            });
        } else {
            kal::clock::setScale(1e-9); // nothing else runs: the reset blocks in its sleep alone
        }
        int32_t pausedCode = -1, besideCode = -1, afterCode = -1;
        Worker paused([&] { pausedCode = row.paused(); });
        while (block != nullptr ? !reached : !kal::thread::isBlocked(paused.id())) {
            std::this_thread::yield();
        }
        std::optional<Worker> beside, after;
        meanwhile(beside, [&] { besideCode = row.beside(); }); // blocked: held up by b's request
        const bool ended = beside->done();
        if (row.addAndClearAfter) {
            meanwhile(after, [&] { afterCode = addAndClear(); });
        }
        const bool afterEnded = !after || after->done(), pausedStill = !paused.done();
        go = true;
        kal::clock::setScale(scale);
        paused.join();
        beside->join();
        if (after) {
            after->join();
        }
        EXPECT_EQ(
            std::make_tuple(ended, afterEnded, pausedStill, pausedCode, besideCode, after ? afterCode : 0),
            std::make_tuple(row.besideEnds, true, true, 0, 0, 0));
        if (row.block != nullptr) {
            EXPECT_EQ(row.paused(), KELVO_STATUS_RESERVED_BY_OTHER) << "after the grant";
            block->setTap(row.offset, {});
        }
        kelvo_close(c);
        unplug();
    }
}

// Each of a's requests that takes several steps on the streams (a grant, a cleanup, a close, a stop, a
// FIFO clear, an addition, a wait), paused at every lock it takes (a grant also held in the module at its
// first step, the credits' stop of b's start), while another handle's or a's other thread's short
// sequence runs to its end, leaves what must always hold, whatever the requests answered: no halt; data
// from the device lands only in the buffers of the handle whose stream carried it, and the device
// receives on a stream only the bytes of the handle that allowed them; every stream still running stops
// when the handle that last started it asks, and carries that handle's data alone while it holds the
// channel, where nothing of a's stops it; a request of a's other thread (its cleanup too) during a's
// grant waits for it; a's wait ends once a gave the channel back, and b's waits are b's own; and once
// every handle has closed, no page list is locked and no stream runs.
TEST_F(E2EDmaSessions, EveryLockOfAMultiStepRequestLeavesEveryoneWhatIsTheirs) {
    constexpr int32_t kReserved = KELVO_STATUS_RESERVED_BY_OTHER;
    constexpr uint32_t kBytes = 4096;
    // Each role's buffers: from the device on stream 0 (zero until data lands: the device's bytes for a
    // role's stream are the role's own) and to it on stream 1 (the role's pattern).
    enum Role { kA, kB };
    constexpr uint8_t kFrom[] = {0x3A, 0x3B}, kTo[] = {0xA5, 0xB6};
    std::vector<uint8_t> in[2], out[2];
    std::atomic<int> starter[2];  // of each stream: the role that started it last, or -1
    std::atomic<bool> closed[2];  // a role's handle
    std::atomic<bool> foreign;    // the device received bytes that were not the allowing role's
    std::atomic<int64_t> bResets; // once b holds the channel and started stream 1: its FIFO resets, or -1
    const auto handle = [&](int role) { return role == kA ? a : b; };
    // A request of a role's handle, which may have closed meanwhile: its transport's refusal is its answer.
    // Those of the sequence beside are counted as they answer.
    std::atomic<int> answered;
    static thread_local bool beside = false;
    const auto tell = [&](int role, uint32_t code, const auto& record) -> int32_t {
        kelvo_status_record answer{};
        kelvo_ioctl_header header{address(&record), address(&answer), sizeof(record), sizeof(answer), 0, 0};
        const int32_t transport =
            code == 0 ? kelvo_close(handle(role)) : kelvo_ioctl(handle(role), code, &header);
        answered += beside ? 1 : 0;
        return transport != 0 ? transport : answer.status;
    };
    const auto close = [&](int role) { return closed[role] = true, tell(role, 0, kelvo_status_record{}); };
    const auto add = [&](int role, uint32_t stream) {
        return stream == 0 ? tell(role, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                                  kelvo_brixelTools_addTransferFromDevice_in{0, 0, address(in[role].data()),
                                                                             kBytes, 0, 0})
                           : tell(role, KELVO_IOCTL_brixelTools_addTransferToDevice,
                                  kelvo_brixelTools_addTransferToDevice_in{1, 0, address(out[role].data()),
                                                                           kBytes, 1, 0});
    };
    const auto startAs = [&](int role, uint32_t stream) {
        const int32_t code =
            tell(role, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{stream, 0, {}, 0});
        if (code == 0) {
            starter[stream] = role;
        }
        return code;
    };
    const auto stop = [&](int role, uint32_t stream) {
        return tell(role, KELVO_IOCTL_brixelTools_stopDMA, kelvo_brixelTools_stopDMA_in{stream, 0});
    };
    // The device's data on stream 0 for role's stream; role's allowance on stream 1 (exact: of one
    // transfer, which must arrive whole), what arrives checked.
    constexpr uint32_t kData = 512;
    const auto produceFor = [&](int role) { // (bytes left queued would reach a later row's stream)
        if (engine(0).running()) {
            produce(std::vector<uint8_t>(kData, kFrom[role]));
        }
    };
    // A wait on stream 0 from the count 0 (a start clears it).
    const auto waitFor = [&](int role, uint32_t bytes, uint32_t timeout) {
        kelvo_brixelTools_waitUntilBytesTransferred_out out{};
        const kelvo_brixelTools_waitUntilBytesTransferred_in in{0, 0, 0, bytes, timeout, 0, 0};
        kelvo_ioctl_header header{address(&in), address(&out), sizeof(in), sizeof(out), 0, 0};
        const int32_t transport =
            kelvo_ioctl(handle(role), KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, &header);
        out.status = transport != 0 ? transport : out.status;
        return out;
    };
    const auto allowAs = [&](int role, bool exact) {
        engine(1).clearSunk();
        const int32_t code =
            tell(role, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                 kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, exact ? kBytes : 2 * kBytes, 0});
        const std::vector<uint8_t> sunk = engine(1).sunk();
        if (std::count(sunk.begin(), sunk.end(), kTo[role]) != static_cast<std::ptrdiff_t>(sunk.size()) ||
            (exact && sunk.size() != kBytes)) {
            foreign = true;
        }
        return code;
    };
    const auto holds = [&](int role) {
        return !closed[role] && deviceOf(index)->getReservationManager().holderOf(
                                    &sessionOf(handle(role))->getCleanupOperationComposite(), 1) ==
                                    kdut::ResourceReservationManager::Holder::kSession;
    };
    // The reservation alone, as a reserve has it before its grant, and the grant that reserve goes on to.
    const auto reserveOnly = [&] {
        tStatus status;
        sessionOf(a)->reserveResources(1, status);
    };
    const auto claim = [&] {
        deviceOf(index)->getKelvoHelper()->getDMADispatcher().claim(
            1, sessionOf(a)->getCleanupOperationComposite());
    };
    // a's request (on stream 1 where it works on one), after the streams its owner lists and starts
    // first; held: paused once, held in the module at the credits' stop (the tap's block and offset), not
    // at every lock. A stop of a's (on stream 0) that makes a's grant (the reserve let in after it): a owed
    // nothing. a's wait for b's packet on stream 0, a holding the channel: only a's cleanup beside ends it.
    enum Paused {
        kGrant,
        kHeldGrant,
        kStopGrants,
        kHeldStopGrants,
        kEmptyGrant,
        kCleanup,
        kClose,
        kStop,
        kFifoClear,
        kAddition,
        kWait
    };
    const struct {
        const char* name;
        int owner;
        std::vector<uint32_t> listed, started;
        std::function<int32_t()> request;
        const char* held = nullptr;
        uint64_t offset = 0;
    } paused[] = {
        {"grant", kB, {0}, {1}, [&] { return reserveAll(a); }},
        {"grant held at its first step", kB, {0}, {1}, [&] { return reserveAll(a); }, "tx-credits", 0x4},
        {"stop making a's grant", kB, {}, {0, 1}, [&] { return reserveOnly(), stop(kA, 0); }},
        {"stop making a's grant, held at its first step",
         kB,
         {},
         {0, 1},
         [&] { return reserveOnly(), stop(kA, 0); },
         "tx-credits",
         0x4},
        {"empty grant",
         kB,
         {},
         {0, 1}, // of no DMA channel: it works with no other handle's record
         [&] { return statusOf(a, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{}); }},
        {"cleanup", kA, {}, {0, 1}, [&] { return ASK(kdut_cleanup, a, 0).status; }},
        {"close", kA, {}, {0, 1}, [&] { return close(kA); }},
        {"stop", kA, {}, {1}, [&] { return stop(kA, 1); }},
        {"FIFO clear",
         kA,
         {},
         {1},
         [&] { return simple(a, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1); }},
        {"addition", kA, {}, {}, [&] { return add(kA, 1); }},
        {"wait", kA, {}, {0}, [&] { return waitFor(kA, kData, ~0u).status; }},
    };
    const auto dmaWaits = [&]() -> brixeltools::BrixelDMAInterruptController& {
        return deviceOf(index)
            ->getKelvoHelper()
            ->getTaskAs<kelvo_driver::DMAObjects>()
            .getDMAControllers()
            ->getDMAInterruptController();
    };
    // What a gave the channel back with, then b's reserve, add and start on stream 0, b's wait at once,
    // the device's data for b and b's wait for it.
    const auto bWaits = [&](int32_t givenBack) {
        std::vector<int32_t> codes{
            givenBack, tell(kB, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0}),
            add(kB, 0), startAs(kB, 0)};
        const auto atOnce = waitFor(kB, kData, 0);
        codes.insert(codes.end(), {atOnce.status, static_cast<int32_t>(atOnce.timedOut)});
        produceFor(kB);
        codes.push_back(codes[3] == 0 ? waitFor(kB, kData, ~0u).status : -1);
        return codes;
    };
    // The sequence beside it, its answers in order.
    enum Sequence {
        kAGivesBackBTakesOver,
        kBRunsAndStops,
        kBCleansUp,
        kBCloses,
        kAOnStream0,
        kAOnStream1,
        kAClaimsAndData,
        kAGivesBackBWaits,
        kAUnreservesBWaits
    };
    const struct {
        const char* name;
        std::function<std::vector<int32_t>()> run;
    } sequences[] = {
        {"a's cleanup, then b's reserve, add, start and allowance",
         [&] {
             std::vector<int32_t> codes{
                 tell(kA, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{}),
                 tell(kB, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0}),
                 add(kB, 1), startAs(kB, 1)};
             // b holds the channel and started stream 1 (now or before): nothing of a's stops it.
             if (codes[1] == 0 && (codes[3] == 0 || codes[3] == KELVO_STATUS_STREAM_RUNNING)) {
                 bResets = static_cast<int64_t>(engine(1).fifoResets());
             }
             codes.push_back(codes.back() == 0 ? allowAs(kB, true) : 0);
             return codes;
         }},
        {"b's add, start and stop",
         [&] {
             const std::vector<int32_t> codes{add(kB, 1), startAs(kB, 1), stop(kB, 1)};
             EXPECT_TRUE(codes[1] != 0 || codes[2] == 0 || codes[2] == kReserved) << "b's stop is its own";
             return codes;
         }},
        {"b's add and cleanup",
         [&] {
             return std::vector<int32_t>{add(kB, 0),
                                         tell(kB, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{})};
         }},
        {"b's add and close",
         [&] {
             return std::vector<int32_t>{add(kB, 0), close(kB)};
         }},
        {"a's other thread's add, start and data on stream 0 (as holder)",
         [&] {
             std::vector<int32_t> codes{add(kA, 0), startAs(kA, 0)};
             if (codes.back() == 0 && holds(kA)) { // else b's listed transfer may come first
                 produceFor(kA);
             }
             return codes;
         }},
        {"a's other thread's add, start and allowance on stream 1",
         [&] {
             std::vector<int32_t> codes{add(kA, 1), startAs(kA, 1)};
             codes.push_back(codes.back() == 0 ? allowAs(kA, true) : 0);
             return codes;
         }},
        {"the grant of a's reserve, then the device's data for a on stream 0",
         [&] {
             claim();
             if (holds(kA)) { // what was b's is gone from the channel: the data reaches no buffer of b's
                 produceFor(kA);
             }
             return std::vector<int32_t>{};
         }},
        {"a's cleanup, then b's reserve, add, start, wait at once, the device's data for b and b's wait",
         [&] {
             const int32_t code = tell(kA, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
             EXPECT_EQ(dmaWaits().waiterCount(), 0u) << "a's cleanup ended a's wait";
             return bWaits(code);
         }},
        {"a's reservation given back alone (a's cleanup before it reaches a's wait), then b's as above",
         [&] {
             tStatus status;
             sessionOf(a)->unreserveResources(status);
             return bWaits(static_cast<int32_t>(status.getCode()));
         }},
    };
    plug("solstra");                               // stream 1 has credits
    const kal::clock::ScopedStepped stepped(1000); // the sequences block at locks only, never in a sleep
    const size_t lists = lockedLists();
    kelvo_close(a);
    kelvo_close(b);
    // a's claim beside the grants only; b's waits beside a's wait alone.
    const auto pairs = [&](int p, int q) {
        return (p == kWait) == (q >= kAGivesBackBWaits) && (q != kAClaimsAndData || p <= kHeldStopGrants);
    };
    for (int p = kGrant; p <= kWait; ++p) {
        for (int q = kAGivesBackBTakesOver; q <= kAUnreservesBWaits; ++q) {
            bool reached = pairs(p, q);
            for (int nth = 1; reached; ++nth) {
                SCOPED_TRACE(::testing::Message() << "a's " << paused[p].name << " at its lock " << nth
                                                  << ", beside " << sequences[q].name);
                a = open(index);
                b = open(index);
                for (int role : {kA, kB}) {
                    in[role].assign(kBytes, 0);
                    out[role].assign(kBytes, kTo[role]);
                    closed[role] = false;
                }
                starter[0] = starter[1] = -1;
                foreign = false;
                bResets = -1;
                answered = 0;
                engine(1).clearSunk();
                if (p == kWait) {
                    EXPECT_EQ(reserveAll(a), 0);
                }
                for (const uint32_t stream : paused[p].listed) {
                    EXPECT_EQ(add(paused[p].owner, stream), 0);
                }
                for (const uint32_t stream : paused[p].started) {
                    EXPECT_EQ(inOrder({add(paused[p].owner, stream), startAs(paused[p].owner, stream)}), 0);
                }
                const FatalHookCapture halts;
                int32_t answer = -1;
                std::vector<int32_t> seq;
                std::optional<Worker> besides, waiting;
                const auto besideRuns = [&] {
                    meanwhile(besides, [&] { beside = true, seq = sequences[q].run(); });
                };
                if (p == kWait) { // blocked in its wait, a's wait is past its last lock
                    reached = atLockOrBlocked(
                        nth, waiting, [&] { answer = paused[p].request(); },
                        [&] { return dmaWaits().waiterCount() != 0; }, besideRuns);
                } else if (paused[p].held != nullptr) { // under the module's lock: the grant waits there
                    sim::Block* block = module(index).nisoFpga().find(paused[p].held);
                    std::atomic<bool> there = false, go = false;
                    block->setTap(paused[p].offset, [&] {
                        for (bool once = !there.exchange(true); once && !go;) {
                            std::this_thread::yield();
                        }
                    });
                    Worker grant([&] { answer = paused[p].request(); });
                    while (!there) {
                        std::this_thread::yield();
                    }
                    meanwhile(besides, [&] { beside = true, seq = sequences[q].run(); });
                    // b's requests refused, b's adds; a's other thread's and b's cleanup and close wait.
                    const int waits[] = {0, 3, 1, 1, 0, 0, 0};
                    EXPECT_EQ(answered.load(), waits[q]) << "requests answered while a's grant runs";
                    go = true;
                    grant.join();
                    block->setTap(paused[p].offset, {});
                    reached = false;
                } else {
                    reached = atLock(
                        nth, [&] { answer = paused[p].request(); }, besideRuns);
                }
                if (besides) {
                    besides->join();
                } else {
                    seq = sequences[q].run();
                }
                if (waiting) {
                    waiting->join();
                }
                EXPECT_EQ(halts.count(), 0);
                const bool aGaveBack = q == kAGivesBackBTakesOver; // its cleanup settled what a owed
                if (p == kGrant || p == kHeldGrant || p == kStop || p == kFifoClear) {
                    EXPECT_TRUE(answer == 0 || answer == kReserved || (p >= kStop && aGaveBack))
                        << "a owes what it started: " << answer;
                } else if (p == kStopGrants || p == kHeldStopGrants) {
                    EXPECT_TRUE(answer == KELVO_STATUS_NOT_ACCESSIBLE || answer == kReserved ||
                                (answer == 0 && q == kAOnStream0)) // what a's other thread started
                        << answer;
                } else if (p == kWait) { // ended by a's cleanup or b's grant, or let in no more
                    EXPECT_TRUE(answer == KELVO_STATUS_WAIT_CANCELLED || answer == kNotReserved) << answer;
                    EXPECT_EQ(seq, (std::vector<int32_t>{0, 0, 0, 0, 0, 1, 0})) << "b's waits are b's own";
                } else if (p != kAddition) {
                    EXPECT_EQ(answer, 0);
                }
                // (unless b holds the channel now, or a's other thread started stream 1 itself)
                if (p == kAddition && answer == 0 && !((aGaveBack || q == kAOnStream1) && seq[1] == 0)) {
                    EXPECT_EQ((std::vector<int32_t>{startAs(kA, 1), stop(kA, 1)}), std::vector<int32_t>(2, 0))
                        << "a's transfer stays listed";
                }
                EXPECT_TRUE(bResets < 0 || static_cast<int64_t>(engine(1).fifoResets()) == bResets)
                    << "b's stream 1 stays b's while b holds the channel";
                // Every stream still running: its last starter's, carrying that handle's data alone while
                // it holds the channel, stopped at its asking.
                for (const uint32_t stream : {0u, 1u}) {
                    if (!engine(stream).running()) {
                        continue;
                    }
                    const int role = starter[stream];
                    ASSERT_TRUE(role >= 0 && !closed[role]) << "stream " << stream << " runs for nobody";
                    if (holds(role)) {
                        if (stream == 0) {
                            produceFor(role);
                        } else {
                            allowAs(role, false);
                        }
                    }
                    const int32_t stopped = stop(role, stream);
                    EXPECT_EQ(std::make_pair(stopped, engine(stream).running()), std::make_pair(0, false))
                        << "stream " << stream << " stops at its starter's asking";
                }
                for (int role : {kA, kB}) {
                    EXPECT_EQ(std::count(in[role].begin(), in[role].end(), 0) +
                                  std::count(in[role].begin(), in[role].end(), kFrom[role]),
                              static_cast<std::ptrdiff_t>(kBytes))
                        << "only "
                        << "ab"[role] << "'s data in its buffer";
                }
                EXPECT_FALSE(foreign) << "the device received only the allowing handle's bytes";
                kelvo_close(a);
                kelvo_close(b);
                EXPECT_EQ(std::make_tuple(lockedLists(), engine(0).running(), engine(1).running()),
                          std::make_tuple(lists, false, false))
                    << "once every handle has closed";
            }
        }
    }
    a = open(index);
    b = open(index);
    unplug();
}

// A request refused for want of locked pages, a DMA map, link memory or transfers leaves nothing
// behind however often; a transfer added afterwards runs alone and goes with the handle's close.
TEST_F(E2EDmaSessions, ARefusedRequestLeavesNothingBehind) {
    struct Row {
        const char* what;
        std::function<void()> fail; // the next addition's failure
        size_t pages;               // added; 0: a start instead
        int32_t code;
    };
    const std::vector<Row> rows = {
        {"page lock", [] { kal::faults::failNth(kal::faults::kPageList, 1); }, 1,
         KELVO_STATUS_PAGE_LOCK_FAILED},
        {"DMA map", [] { kal::faults::failNth(kal::faults::kSGL, 1); }, 1, kOutOfMemory},
        // A page a run: 1024 entries need link memory beyond the head link's.
        {"link memory",
         [] {
             kal::pagelists::setFragmented(true);
             kal::faults::failNth(kal::faults::kPageList, 2);
         },
         1024, kOutOfMemory},
        {"a start without transfers", [] {}, 0, KELVO_STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        plug("duskmere-a");
        const std::vector<uint8_t> buffer((row.pages + 2) * 4096);
        const uint8_t* aligned = buffer.data() + (4096 - address(buffer.data()) % 4096) % 4096;
        const size_t lists = lockedLists();
        const size_t before = registered(a);
        const kal::live::Counts live = kal::live::now();
        for (int i = 0; i < 50; ++i) {
            row.fail();
            EXPECT_EQ(row.pages != 0 ? transfer(a, 0, aligned, row.pages * 4096) : start(a, 0), row.code);
            kal::faults::clear();
            kal::pagelists::resetPlacement();
        }
        EXPECT_EQ(kal::live::now(), live) << "nothing of the refused requests is left";
        EXPECT_EQ(registered(a), before) << "nor registered";
        EXPECT_EQ(inOrder({transfer(a, 0, aligned, 4096), start(a, 0)}), 0);
        produce(std::vector<uint8_t>(8192, 0x5A));
        EXPECT_EQ(count(a, 0).transferCount, 4096u) << "the stream runs the one transfer listed";
        EXPECT_EQ(kelvo_close(a), 0);
        EXPECT_EQ(lockedLists(), lists) << "the transfer added after the refusals went with the handle";
        unplug();
    }
}

// A handle locks at most its share, both channels together, given back at close; others still lock.
// An addition beyond what the handle may still lock sets nothing aside: at any lock it takes, one of
// the handle's that fits is let in on the other channel.
TEST_F(E2EDmaSessions, AHandleLocksAtMostItsShare) {
    constexpr uint64_t kSlice = 256ull << 20;
    constexpr uint64_t kShare = KELVO_DMA_MAX_LOCKED_BYTES_PER_HANDLE;
    const std::unique_ptr<uint8_t[]> big(new uint8_t[kSlice + 4096]); // never touched
    const uint8_t* slice = big.get() + (4096 - address(big.get()) % 4096) % 4096;
    plug("duskmere-a");
    const size_t lists = lockedLists();
    for (uint64_t locked = kSlice; locked < kShare; locked += kSlice) {
        EXPECT_EQ(transfer(a, 1, slice, kSlice), 0) << locked;
    }
    bool reached = true;
    for (int nth = 1; reached; ++nth) {
        int32_t fits = -1;
        std::optional<Worker> beside;
        reached = atLock(
            nth, [&] { EXPECT_EQ(transfer(a, 1, slice, kSlice + 1), kOutOfMemory) << nth; },
            [&] { meanwhile(beside, [&] { fits = transfer(a, 0, page.data(), page.size()); }); });
        if (beside) {
            beside->join();
            EXPECT_EQ(std::make_tuple(fits, simple(a, KELVO_IOCTL_brixelTools_clearTransfers)),
                      std::make_tuple(0, 0))
                << "at the refused addition's lock " << nth;
        }
    }
    EXPECT_EQ(transfer(a, 0, slice, kSlice), 0) << "the last of its share";
    EXPECT_EQ(transfer(a, 0, slice, kSlice), kOutOfMemory) << "beyond its share";
    EXPECT_EQ(transfer(a, 1, page.data(), page.size()), kOutOfMemory) << "the share spans both channels";
    EXPECT_EQ(transfer(b, 0, page.data(), page.size()), 0) << "the other handle still locks";
    EXPECT_EQ(kelvo_close(a), 0);
    EXPECT_EQ(lockedLists(), lists + 1) << "the share is given back at close";
}

// While b holds the reservation, a's stream operations on either DMA channel are refused and change
// nothing; b's own work, and a's once the reservation is given back.
TEST_F(E2EDmaSessions, AReservationKeepsTheOtherHandlesOffBothDmaChannels) {
    const auto request = [&](uint32_t code, uint32_t c) -> int32_t {
        switch (code) {
        case KELVO_IOCTL_brixelTools_startDMA:
            return start(a, c);
        case KELVO_IOCTL_brixelTools_addTransferToDevice:
        case KELVO_IOCTL_brixelTools_addTransferFromDevice:
            return transfer(a, c, page.data(), 4096, code);
        case KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount:
            return statusOf(a, code, kelvo_brixelTools_writeStreamAdditiveTransferCount_in{c, 64, 0});
        case KELVO_IOCTL_brixelTools_getTransferCount:
            EXPECT_EQ(count(a, c).transferCount, 0u);
            return count(a, c).status;
        default:
            return simple(a, code, c);
        }
    };
    plug("duskmere-a");
    EXPECT_EQ(reserveAll(b), 0);
    for (uint32_t channel : {0u, 1u}) {
        EXPECT_EQ(inOrder({transfer(b, channel, page.data(), page.size()), start(b, channel)}), 0);
    }
    for (const uint32_t code :
         {KELVO_IOCTL_brixelTools_startDMA, KELVO_IOCTL_brixelTools_stopDMA,
          KELVO_IOCTL_brixelTools_addTransferToDevice, KELVO_IOCTL_brixelTools_addTransferFromDevice,
          KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount, KELVO_IOCTL_brixelTools_getTransferCount,
          KELVO_IOCTL_brixelTools_clearTransfers, KELVO_IOCTL_brixelTools_clearApplicationFIFO}) {
        for (uint32_t channel : {0u, 1u}) {
            SCOPED_TRACE(::testing::Message()
                         << "code 0x" << std::hex << code << " on DMA channel " << channel);
            const auto state = [&] {
                return std::make_tuple(lockedLists(), registered(a), engine(channel).running(),
                                       engine(channel).fifoResets(), engine(channel).allowance());
            };
            const auto before = state();
            EXPECT_EQ(request(code, channel), KELVO_STATUS_RESERVED_BY_OTHER);
            EXPECT_EQ(state(), before);
        }
    }
    EXPECT_EQ(ASK(kdut_cleanup, b, 0).status, 0);
    EXPECT_EQ(count(a, 0).status, 0) << "with the reservation given back, the other's work too";
}

// A reservation takes the channel from what the other handle set up before it: b's queued transfer and
// running stream go at the grant, b's leftovers never touch a's stream, and a's data reaches only a. What
// b owed for its start is owed for that start only: when a stopped it and started the stream itself
// before the grant, the grant stops nothing of a's.
TEST_F(E2EDmaSessions, AReservationTakesTheChannelFromWhatTheOthersSetUpBefore) {
    constexpr size_t kPacket = 264;
    struct Row {
        const char* what;
        bool bStarted;
        bool grantLast; // a stops b's stream, clears, starts its own and arms, then reserves
        std::function<int32_t()> bLeaves; // b's cleanup or close, after a's stream started
    };
    const std::vector<Row> rows = {
        {"b's transfer queued, b closes", false, false, [&] { return kelvo_close(b); }},
        {"b's stream running, b cleans up", true, false, [&] { return ASK(kdut_cleanup, b, 0).status; }},
        {"b's stream running, b closes", true, false, [&] { return kelvo_close(b); }},
        {"b's stream stopped by a, a's started, then the grant; b closes", true, true,
         [&] { return kelvo_close(b); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        plug("duskmere-a");
        module(index).dma(0).setStepMode(false);
        const size_t lists = lockedLists();
        std::vector<uint8_t> theirs(kPacket, 0), ours(2 * kPacket, 0);
        EXPECT_EQ(inOrder({transfer(b, 0, theirs.data(), kPacket), row.bStarted ? start(b, 0) : 0}), 0);
        if (row.grantLast) {
            const std::vector<int32_t> codes{
                simple(a, KELVO_IOCTL_brixelTools_stopDMA),
                simple(a, KELVO_IOCTL_brixelTools_clearTransfers)}; // in this order
            EXPECT_EQ(codes, std::vector<int32_t>(2, KELVO_STATUS_NOT_ACCESSIBLE)) << "a owed neither";
        } else {
            EXPECT_EQ(reserveAll(a), 0);
        }
        EXPECT_EQ(lockedLists(), lists) << "b's transfer went";
        EXPECT_FALSE(engine().running()) << "and the stream that ran it";
        EXPECT_EQ(
            inOrder({ASK(brixelTools_addTransferFromDevice, a, 0, 1, address(ours.data()), ours.size(), 0, 0)
                         .status,
                     start(a, 0), ASK(measureUnit_arm, a, 0, 0).status}),
            0);
        const auto arrived = [&](uint64_t bytes) {
            const auto w = wait(a, 0, 0, static_cast<uint32_t>(bytes), 600000);
            return std::tuple(w.status, w.timedOut, count(a, 0).transferCount);
        };
        if (row.grantLast) { // the wait needs it
            EXPECT_EQ(reserveAll(a), 0);
        }
        EXPECT_EQ(arrived(kPacket), std::tuple(0, 0u, kPacket));
        for (const uint32_t code : {KELVO_IOCTL_brixelTools_stopDMA, KELVO_IOCTL_brixelTools_clearTransfers,
                                    KELVO_IOCTL_brixelTools_clearApplicationFIFO}) {
            EXPECT_EQ(simple(b, code), KELVO_STATUS_RESERVED_BY_OTHER) << std::hex << code;
        }
        EXPECT_EQ(row.bLeaves(), 0);
        EXPECT_EQ(inOrder({ASK(measureUnit_reset, a, 0, 0).status, ASK(measureUnit_arm, a, 0, 0).status}), 0);
        EXPECT_EQ(arrived(2 * kPacket), std::tuple(0, 0u, 2 * kPacket)) << "a's stream still runs";
        EXPECT_EQ(start(a, 0), KELVO_STATUS_STREAM_RUNNING);
        EXPECT_EQ(theirs, std::vector<uint8_t>(kPacket, 0)) << "nothing of a's reached b's buffer";
        EXPECT_NE(ours, std::vector<uint8_t>(2 * kPacket, 0));
        unplug();
    }
}

} // namespace
