// DMA between handles, through the host's C API: whose transfers a close
// takes back, which registrations a failed step keeps for the close to retry,
// refused requests that leave and register nothing, the bound on the pages
// one handle locks, and the channel reservation keeping other handles off the
// stream operations. Channel 0's engine runs in step mode: data moves only
// when a test steps it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::statusOf;

constexpr int32_t kAlreadyReserved = static_cast<int32_t>(0xBFFA4319u);
constexpr int32_t kStreamRunning = static_cast<int32_t>(0xBFFA806Eu);
constexpr int32_t kChannelNeverStarted = static_cast<int32_t>(0xBFFA8079u);
constexpr int32_t kOutOfMemory = -52000;
constexpr int32_t kPageLockFailed = -52001;
constexpr int32_t kInvalidParameter = -52005;
constexpr int32_t kTimedOut = -52007;

int32_t transfer(int handle, uint32_t channel, const void* data, uint64_t size, uint32_t kind = 0) {
    if (channel == 1) {
        return statusOf(handle, KELVO_IOCTL_brixelTools_addTransferToDevice,
                        kelvo_brixelTools_addTransferToDevice_in{1, kind, address(data), size, 1, 0});
    }
    return statusOf(handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                    kelvo_brixelTools_addTransferFromDevice_in{channel, kind, address(data), size, 0, 0});
}
int32_t start(int handle, uint32_t channel) {
    return statusOf(handle, KELVO_IOCTL_brixelTools_startDMA,
                    kelvo_brixelTools_startDMA_in{channel, 0, {}, 0});
}
// stopDMA, clearTransfers, clearApplicationFIFO: the channel alone.
int32_t simple(int handle, uint32_t code, uint32_t channel) {
    return statusOf(handle, code, kelvo_brixelTools_stopDMA_in{channel, 0});
}
kelvo_brixelTools_getTransferCount_out count(int handle, uint32_t channel) {
    return answer<kelvo_brixelTools_getTransferCount_out>(handle, KELVO_IOCTL_brixelTools_getTransferCount,
                                                          kelvo_brixelTools_getTransferCount_in{channel, 0});
}

class E2EDmaSessions : public kelvo_test::HostedTest {
protected:
    // A module whose channel 0 engine runs in step mode once setup is done.
    static int add(const std::string& board) {
        const int index = HostedTest::add(board, [](sim::Module& m) { m.enableDma(); });
        module(index).dma(0).setStepMode(true);
        return index;
    }
    static size_t registered(int handle) { return sessionOf(handle)->getCleanupOperationComposite().size(); }
    static size_t lockedLists() { return kal::pagelists::live(); }
};

// A close takes back the transfers its handle added, whichever handle added
// first and whether or not the stream runs them (it stops then), and leaves
// the others' listed: the stream (re)started after it never reaches the
// closed handle's buffer.
TEST_F(E2EDmaSessions, AClosedHandlesTransfersAreTakenBackAndTheOthersStay) {
    constexpr size_t kPacket = 264;
    struct Row {
        const char* what;
        bool closingFirst;
        bool running;
    };
    for (const Row& row : {Row{"the closing handle added second", false, false},
                           Row{"the closing handle added first", true, false},
                           Row{"the stream runs both at the close", false, true}}) {
        SCOPED_TRACE(row.what);
        const int index = add("duskmere-a");
        sim::DmaEngine& engine = module(index).dma(0);
        const int closing = open(index);
        const int staying = open(index);
        const std::vector<uint8_t> gone(kPacket, 0xEE);
        std::vector<uint8_t> kept(kPacket, 0);
        if (row.closingFirst) {
            EXPECT_EQ(transfer(closing, 0, gone.data(), gone.size()), 0);
        }
        EXPECT_EQ(transfer(staying, 0, kept.data(), kept.size()), 0);
        if (!row.closingFirst) {
            EXPECT_EQ(transfer(closing, 0, gone.data(), gone.size()), 0);
        }
        if (row.running) {
            EXPECT_EQ(start(staying, 0), 0);
        }
        const size_t lists = lockedLists();
        EXPECT_EQ(kelvo_close(closing), 0);
        EXPECT_EQ(lockedLists(), lists - 1) << "the closed handle's pages are unlocked";
        EXPECT_FALSE(engine.running()) << "no stream runs over them";

        EXPECT_EQ(start(staying, 0), 0) << "the other handle's transfer is still listed";
        std::vector<uint8_t> data(2 * kPacket);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        engine.inject(data.data(), data.size());
        engine.runUntilBlocked(1000);
        EXPECT_EQ(kept, std::vector<uint8_t>(data.begin(), data.begin() + kPacket));
        EXPECT_EQ(gone, std::vector<uint8_t>(kPacket, 0xEE)) << "nothing reached the closed handle's buffer";
        EXPECT_EQ(count(staying, 0).transferCount, kPacket);
        EXPECT_TRUE(engine.faults().empty());
        EXPECT_EQ(kelvo_close(staying), 0);
        remove(index);
    }
}

// A registration goes only with a step that succeeded: what a failed step
// left (running, locked, credited) is undone by the handle's close.
TEST_F(E2EDmaSessions, AFailedStepKeepsItsRegistrationForTheClose) {
    struct Row {
        const char* what;
        const char* board;
        uint32_t channel;
        std::function<void(sim::Module&, bool on)> knobs;
        // The failing request of the closing handle (the other handle may prepare).
        std::function<int32_t(int closing, int other)> step;
        int32_t code;
        std::function<bool(sim::Module&, int other)> undone; // after the close
    };
    const std::vector<uint8_t> buffer(4096);
    // The transfers are the other handle's: the close undoes the failed step's leftovers, nothing else.
    const auto addAndStart = [&](int closing, int other, uint32_t channel) {
        EXPECT_EQ(transfer(other, channel, buffer.data(), buffer.size()), 0);
        EXPECT_EQ(start(closing, channel), 0);
    };
    size_t lists = 0;
    const std::vector<Row> rows = {
        {"clearTransfers refused while the stream runs", "duskmere-a", 0, [](sim::Module&, bool) {},
         [&](int closing, int) {
             lists = lockedLists();
             EXPECT_EQ(transfer(closing, 0, buffer.data(), buffer.size()), 0);
             EXPECT_EQ(start(closing, 0), 0);
             const int32_t code = simple(closing, KELVO_IOCTL_brixelTools_clearTransfers, 0);
             EXPECT_EQ(simple(closing, KELVO_IOCTL_brixelTools_stopDMA, 0), 0);
             return code;
         },
         kStreamRunning, [&](sim::Module&, int) { return lockedLists() == lists; }},
        {"stopDMA whose credit stop timed out", "solstra", 1,
         [](sim::Module& m, bool on) { m.dma(1).setCreditsNeverStop(on); },
         [&](int closing, int other) {
             addAndStart(closing, other, 1);
             return simple(closing, KELVO_IOCTL_brixelTools_stopDMA, 1);
         },
         kTimedOut, [](sim::Module& m, int) { return !m.dma(1).running(); }},
        {"clearApplicationFIFO whose credit stop timed out", "solstra", 1,
         [](sim::Module& m, bool on) { m.dma(1).setCreditsNeverStop(on); },
         [&](int closing, int other) {
             addAndStart(closing, other, 1);
             return simple(closing, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1);
         },
         kTimedOut, [](sim::Module& m, int) { return (m.dma(1).creditStatus() & (1u << 17)) != 0; }},
        {"startDMA whose channel never started nor stopped", "duskmere-a", 0,
         [](sim::Module& m, bool on) {
             m.dma(0).setNeverStarts(on);
             m.dma(0).setNeverEnds(on);
         },
         [&](int closing, int other) {
             EXPECT_EQ(transfer(other, 0, buffer.data(), buffer.size()), 0);
             return start(closing, 0);
         },
         kChannelNeverStarted, [](sim::Module&, int other) { return start(other, 0) == 0; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const int index = add(row.board);
        sim::Module& m = module(index);
        const int closing = open(index);
        const int other = open(index);
        row.knobs(m, true);
        EXPECT_EQ(row.step(closing, other), row.code);
        row.knobs(m, false);
        EXPECT_EQ(kelvo_close(closing), 0);
        EXPECT_TRUE(row.undone(m, other)) << "the close undid what the failed step left";
        EXPECT_EQ(kelvo_close(other), 0);
        remove(index);
    }
}

// An addition refused for want of locked pages, a DMA map or link memory
// leaves no allocation, page list or registration behind, however often it
// is refused; a transfer added after it is still the handle's, taken back at
// its close.
TEST_F(E2EDmaSessions, ARefusedAdditionLeavesNothingBehind) {
    struct Row {
        const char* what;
        std::function<void()> fail; // the next addition's failure
        size_t pages;
        int32_t code;
    };
    const std::vector<Row> rows = {
        {"page lock", [] { kal::faults::failNth(kal::faults::kPageList, 1); }, 1, kPageLockFailed},
        {"DMA map", [] { kal::faults::failNth(kal::faults::kSGL, 1); }, 1, kOutOfMemory},
        // A page a run: 1024 entries need link memory beyond the head link's.
        {"link memory",
         [] {
             kal::pagelists::setFragmented(true);
             kal::faults::failNth(kal::faults::kPageList, 2);
         },
         1024, kOutOfMemory},
    };
    constexpr int kRefusals = 50;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const int index = add("duskmere-a");
        const int handle = open(index);
        const std::vector<uint8_t> buffer(row.pages * 4096 + 4096);
        const uint8_t* aligned = buffer.data() + (4096 - address(buffer.data()) % 4096) % 4096;
        const size_t lists = lockedLists();
        const size_t before = registered(handle);
        const kal::live::Counts live = kal::live::now();
        for (int i = 0; i < kRefusals; ++i) {
            row.fail();
            EXPECT_EQ(transfer(handle, 0, aligned, row.pages * 4096), row.code);
            kal::faults::clear();
            kal::pagelists::resetPlacement();
        }
        EXPECT_EQ(kal::live::now(), live) << "nothing of the refused additions is left";
        EXPECT_EQ(registered(handle), before) << "nor registered";
        EXPECT_EQ(transfer(handle, 0, aligned, 4096), 0);
        EXPECT_EQ(start(handle, 0), 0);
        sim::DmaEngine& engine = module(index).dma(0);
        const std::vector<uint8_t> data(8192, 0x5A);
        engine.inject(data.data(), data.size());
        engine.runUntilBlocked(1000);
        EXPECT_EQ(count(handle, 0).transferCount, 4096u) << "the stream runs the one transfer listed";
        EXPECT_TRUE(engine.faults().empty()) << ::testing::PrintToString(engine.faults());
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(lockedLists(), lists) << "the transfer added after the refusals went with the handle";
        remove(index);
    }
}

// One handle locks at most its share, both channels together, and gives it
// back at close; the other handles' additions are not refused for its sake.
TEST_F(E2EDmaSessions, OneHandleLocksAtMostItsShare) {
    constexpr uint64_t kPiece = 256ull << 20;
    constexpr uint64_t kShare = KELVO_DMA_MAX_LOCKED_BYTES_PER_HANDLE;
    static_assert(kShare % kPiece == 0);
    const std::unique_ptr<uint8_t[]> big(new uint8_t[kPiece + 4096]); // never touched
    const uint8_t* piece = big.get() + (4096 - address(big.get()) % 4096) % 4096;
    const std::vector<uint8_t> small(4096);
    const int index = add("duskmere-a");
    const int greedy = open(index);
    const int other = open(index);
    const size_t lists = lockedLists();
    for (uint64_t locked = 0; locked < kShare; locked += kPiece) {
        EXPECT_EQ(transfer(greedy, 0, piece, kPiece), 0) << locked;
    }
    EXPECT_EQ(transfer(greedy, 0, piece, kPiece), kOutOfMemory) << "beyond its share";
    EXPECT_EQ(transfer(greedy, 1, small.data(), small.size()), kOutOfMemory)
        << "the share spans both channels";
    EXPECT_EQ(transfer(other, 0, small.data(), small.size()), 0) << "another handle still locks";
    EXPECT_EQ(kelvo_close(greedy), 0);
    EXPECT_EQ(lockedLists(), lists + 1) << "the share is given back at close";
    const int next = open(index);
    EXPECT_EQ(transfer(next, 0, piece, kPiece), 0);
    EXPECT_EQ(kelvo_close(next), 0);
    EXPECT_EQ(kelvo_close(other), 0);
    remove(index);
}

// A refused start registers no cleanup work, however often it is asked.
TEST_F(E2EDmaSessions, ARefusedStartRegistersNothing) {
    struct Row {
        const char* what;
        bool otherRuns;
        int32_t code;
    };
    const std::vector<uint8_t> buffer(4096);
    for (const Row& row :
         {Row{"no transfers", false, kInvalidParameter}, Row{"running already", true, kStreamRunning}}) {
        SCOPED_TRACE(row.what);
        const int index = add("duskmere-a");
        const int handle = open(index);
        const int other = open(index);
        if (row.otherRuns) {
            EXPECT_EQ(transfer(other, 0, buffer.data(), buffer.size()), 0);
            EXPECT_EQ(start(other, 0), 0);
        }
        const size_t before = registered(handle);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(start(handle, 0), row.code);
        }
        EXPECT_EQ(registered(handle), before);
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(kelvo_close(other), 0);
        remove(index);
    }
}

// While one handle holds the reservation of channel 0, the stream operations
// of every other handle on DMA channel 0 or 1 answer 0xBFFA4319 and change
// nothing; the holder's own work, and everyone's once it is given back.
TEST_F(E2EDmaSessions, AReservationKeepsOtherHandlesOffBothDmaChannels) {
    const std::vector<uint8_t> buffer(4096);
    struct Row {
        const char* what;
        std::function<int32_t(int handle, uint32_t channel)> request;
    };
    const std::vector<Row> rows = {
        {"startDMA", [](int h, uint32_t c) { return start(h, c); }},
        {"stopDMA", [](int h, uint32_t c) { return simple(h, KELVO_IOCTL_brixelTools_stopDMA, c); }},
        {"addTransferToDevice",
         [&](int h, uint32_t c) {
             return statusOf(
                 h, KELVO_IOCTL_brixelTools_addTransferToDevice,
                 kelvo_brixelTools_addTransferToDevice_in{c, 0, address(buffer.data()), 4096, 1, 0});
         }},
        {"addTransferFromDevice",
         [&](int h, uint32_t c) {
             return statusOf(
                 h, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                 kelvo_brixelTools_addTransferFromDevice_in{c, 0, address(buffer.data()), 4096, 0, 0});
         }},
        {"writeStreamAdditiveTransferCount",
         [](int h, uint32_t c) {
             return statusOf(h, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                             kelvo_brixelTools_writeStreamAdditiveTransferCount_in{c, 64, 0});
         }},
        {"getTransferCount",
         [](int h, uint32_t c) {
             const auto out = count(h, c);
             EXPECT_EQ(out.transferCount, 0u);
             return out.status;
         }},
        {"clearTransfers",
         [](int h, uint32_t c) { return simple(h, KELVO_IOCTL_brixelTools_clearTransfers, c); }},
        {"clearApplicationFIFO",
         [](int h, uint32_t c) { return simple(h, KELVO_IOCTL_brixelTools_clearApplicationFIFO, c); }},
    };
    const int index = add("duskmere-a");
    sim::Module& m = module(index);
    const int holder = open(index);
    const int other = open(index);
    EXPECT_EQ(reserveAll(holder), 0);
    for (uint32_t channel : {0u, 1u}) {
        EXPECT_EQ(transfer(holder, channel, buffer.data(), buffer.size()), 0);
        EXPECT_EQ(start(holder, channel), 0);
    }
    for (const Row& row : rows) {
        for (uint32_t channel : {0u, 1u}) {
            SCOPED_TRACE(std::string(row.what) + " on DMA channel " + std::to_string(channel));
            const size_t lists = lockedLists();
            const size_t before = registered(other);
            const uint64_t resets = m.dma(channel).fifoResets();
            const uint64_t allowance = m.dma(channel).allowance();
            EXPECT_EQ(row.request(other, channel), kAlreadyReserved);
            EXPECT_EQ(lockedLists(), lists);
            EXPECT_EQ(registered(other), before);
            EXPECT_TRUE(m.dma(channel).running());
            EXPECT_EQ(m.dma(channel).fifoResets(), resets);
            EXPECT_EQ(m.dma(channel).allowance(), allowance);
        }
        EXPECT_EQ(row.request(other, 2), kInvalidParameter)
            << "DMA channel 2 is no channel of the reservation";
    }
    EXPECT_EQ(count(holder, 0).status, 0) << "the holder's own requests work";
    EXPECT_EQ(statusOf(holder, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{0}), 0);
    EXPECT_EQ(count(other, 0).status, 0) << "with the reservation given back, the others' work too";
    EXPECT_EQ(simple(other, KELVO_IOCTL_brixelTools_clearTransfers, 1), -52006) << "it added none";
    EXPECT_EQ(kelvo_close(holder), 0);
    EXPECT_EQ(kelvo_close(other), 0);
    remove(index);
}

// Handles adding, clearing and cleaning up on both channels at once, some
// twice at once on the same handle: every transfer still goes with its
// handle, and nothing is left (the fixture checks every kernel-layer object).
TEST_F(E2EDmaSessions, HandlesAddingAndCleaningUpAtOnceLeaveNothing) {
    constexpr int kRounds = 60;
    const int index = add("duskmere-a");
    const int first = open(index);
    const int second = open(index);
    const std::vector<uint8_t> buffer(3 * 4096);
    const size_t lists = lockedLists();
    const auto cleanup = [](int handle) {
        statusOf(handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{0});
    };
    {
        std::vector<std::thread> threads;
        for (const int handle : {first, second}) {
            for (const uint32_t channel : {0u, 1u}) {
                threads.emplace_back([&, handle, channel] {
                    for (int i = 0; i < kRounds; ++i) {
                        transfer(handle, channel, buffer.data() + i % 3 * 100, 4096);
                    }
                });
            }
            threads.emplace_back([&, handle] {
                for (int i = 0; i < kRounds; ++i) {
                    cleanup(handle);
                }
            });
            threads.emplace_back([&, handle] {
                for (int i = 0; i < kRounds; ++i) {
                    simple(handle, KELVO_IOCTL_brixelTools_clearTransfers, i % 2);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    EXPECT_EQ(kelvo_close(first), 0);
    EXPECT_EQ(kelvo_close(second), 0);
    EXPECT_EQ(lockedLists(), lists) << "every transfer went with its handle";
    remove(index);
}

} // namespace
