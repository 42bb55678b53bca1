// The isolated FPGA's windowed accessor over the simulated isolation link.
#include <algorithm>
#include <optional>
#include <sstream>

#include "core_test_levels.h"
#include "core_test_support.h"
#include "framework/simple_register_verifier.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs_sim_support.h"
#include "status_code.h"
#include "test_worker.h"
#include "valid_requests.h"

namespace {

using kelvo_driver::WindowedFrontEndAccessor;
using kelvo_regmaps::tKelvoRegAccessRegMap;
using kelvo_test::codeOf;
using nVOAPALS100::tStatus;
using sim::IsolationLink;

constexpr int64_t kLinkError = KELVO_STATUS_REGISTER_ACCESS_FAILED;

class Windowed : public kelvo_test::LeakCheckedTest {
protected:
    explicit Windowed(const char* board = "solstra")
        : b(board), regAccess(&b.fpga, static_cast<uint32_t>(b.module->linkOffset()), 0, 0x20),
          verifier(0x80000000u, 0, KELVO_STATUS_REGISTER_ACCESS_FAILED, regAccess.RegAccessStatus),
          accessor(regAccess, nullptr, nullptr, constructed) {}
    void SetUp() override {
        LeakCheckedTest::SetUp();
        ASSERT_TRUE(constructed.isSuccess());
        link().clearTrace();
    }
    sim::IsolationLink& link() { return b.link(); }
    // The link's trace, "R8 W4=CAFE ": reads by register, writes with their value.
    std::string trace() {
        std::ostringstream steps;
        steps << std::hex << std::uppercase;
        for (const sim::Access& a : link().trace()) {
            steps << (a.write ? 'W' : 'R') << a.offset;
            if (a.write) {
                steps << '=' << a.value;
            }
            steps << ' ';
        }
        return steps.str();
    }

    kelvo_test::SimBoard b;
    tKelvoRegAccessRegMap regAccess;
    kdut::SimpleRegisterVerifier<tKelvoRegAccessRegMap::tRegAccessStatusReg> verifier;
    tStatus constructed;
    WindowedFrontEndAccessor accessor;
};

// A write sends data then address, a read the address then takes the read data: the offset cut to 18 bits,
// the direction in bit 31, bits 18-30 kept as the map holds them; the same write again is sent again.
TEST_F(Windowed, EachAccessIsOneHandshakeOverTheLink) {
    regAccess.RegAccessAddr.softCopy = 0x15540000; // bits 18-30 set through the map beforehand
    b.iso().poke(0, 0x600D);
    tStatus s;
    accessor.write32(0x7C0010, 0xCAFE, s);
    EXPECT_EQ(accessor.read32(0x40000, s), 0x600Du) << "0x40000 is offset 0 on the isolated side";
    accessor.write32(0x7C0010, 0xCAFE, s);
    EXPECT_EQ(std::tuple(s.getCode(), trace(), accessor.lockCount()),
              std::tuple(0, "R8 W4=CAFE W0=95540010 R8 W0=15540000 R8 RC R8 W4=CAFE W0=95540010 ", 0u));
}

TEST_F(Windowed, TimeOutsLeaveTheirCodeAndReturnTheLastReadValue) {
    kal::clock::ScopedStepped stepped(1000); // time-outs pass by sleeps and clock reads (1 us each)
    b.iso().poke(0x30, 0x1111);
    tStatus s;
    ASSERT_EQ(accessor.read32(0x30, s), 0x1111u);

    link().setNeverAnswers(true);
    b.iso().poke(0x34, 0x2222);
    link().clearTrace();
    tStatus noAnswer;
    EXPECT_EQ(accessor.read32(0x34, noAnswer), 0x1111u) << "the previous successful read";
    EXPECT_EQ(noAnswer.getCode(), KELVO_STATUS_ISOLATION_LINK_NO_RESPONSE);
    EXPECT_EQ(link().readCount(IsolationLink::kReadData), 0u) << "the read-data register is not read";
    link().setNeverAnswers(false);

    link().setNeverReady(true);
    link().clearTrace();
    tStatus notReady;
    EXPECT_EQ(accessor.read32(0x34, notReady), 0x1111u);
    EXPECT_EQ(notReady.getCode(), KELVO_STATUS_ISOLATION_LINK_NOT_READY);
    EXPECT_EQ(link().writeCount(IsolationLink::kAddress), 0u) << "no register of the access is written";
    EXPECT_EQ(accessor.lockCount(), 0u);
}

// A failed status going in, or a failed mutex, touches nothing; once the link's verifier is among the
// device's checks, an error bit that stays when read again ends the poll with the link's error.
TEST_F(Windowed, FailuresTouchNothingAndAnErrorBitThatStaysEndsThePoll) {
    tStatus failed;
    KELVO_SET_STATUS(failed, -50400);
    EXPECT_EQ(accessor.read32(0x10, failed), 0xFFFFFFFFu);
    kal::faults::failNth(kal::faults::kMutex, 1);
    tStatus c;
    WindowedFrontEndAccessor broken(regAccess, nullptr, nullptr, c);
    EXPECT_EQ(c.getCode(), KELVO_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(codeOf([&](tStatus& s) { broken.write32(0x10, 1, s); }), KELVO_STATUS_INVALID_STATE);
    EXPECT_TRUE(link().trace().empty());

    accessor.setAccessVerifier(&verifier);
    link().setError(true);
    EXPECT_EQ(codeOf([&](tStatus& s) { accessor.write32(0x10, 1, s); }), kLinkError);
    EXPECT_EQ(link().writeCount(IsolationLink::kAddress), 0u);
    EXPECT_EQ(codeOf([&](tStatus& s) { EXPECT_EQ(accessor.read32(0x10, s), 0u); }), kLinkError);

    // A map outside its window fails the predicate's refresh with -52006 and ends the poll there.
    tKelvoRegAccessRegMap outside(&b.fpga, 0x200, 0, 0x8);
    tStatus made;
    WindowedFrontEndAccessor other(outside, nullptr, nullptr, made);
    EXPECT_EQ(codeOf([&](tStatus& s) { other.write32(0x10, 1, s); }), KELVO_STATUS_NOT_ACCESSIBLE);
}

// A request that reaches the isolated FPGA while the link shows its error bit gets the answer of the device's
// checks at the bit's first sight, at once: a storage map's check failing; while no verifier of the link is
// among the checks (below level 11), the ready poll's time-out; a bit that clears when read again lets the
// poll go on. However many other requests hold a mark at once, each is answered so.
using LinkError = kelvo_test::HostedTest;
TEST_F(LinkError, IsAnsweredAsTheDeviceChecksWould) {
    using kelvo_test::FlashImage;
    const auto held = [](sim::IsolationLink& link) { link.setError(true); };
    const auto once = [](sim::IsolationLink& link) { link.setErrorReads(1); };
    const auto onceNoMemory = [](sim::IsolationLink& link) { // until the read has answered
        link.setErrorReads(1);
        kal::memory::failAfter(0);
    };
    const struct {
        const char* what;
        uint32_t top;
        FlashImage flash;
        void (*knob)(sim::IsolationLink&);
        int32_t answer;
        uint64_t sleptMs; // by the request's thread
        // Threads whose close reached the isolated FPGA while the bit showed (the measure unit's reset,
        // Solstra's), making no request afterwards.
        int closers = 0;
        // Other handles' reads (the row's) whose access saw the bit once (it clears when read again), each
        // held, marked, once it has let go of its last lock, until the row's read has answered; each then
        // answers as that read does.
        int marked = 0;
        // The bit read once by the setup of the module's start, or of a reset that a thread makes on a
        // handle another closes, making no request afterwards; neither leaves a mark behind.
        bool atStart = false;
        bool atReset = false;
    } rows[] = {
        {"Manufacturing checksum wrong", 19, FlashImage().breakChecksum(kelvo_test::kManufacturingMap), held,
         KELVO_STATUS_STORAGE_MAP_CHECKSUM, 0},
        {"a version unsupported", 19, FlashImage("version-out-of-range"), held,
         KELVO_STATUS_STORAGE_MAP_VERSION, 0},
        {"held at level 10", 10, FlashImage(), held, KELVO_STATUS_ISOLATION_LINK_NOT_READY, 500},
        {"the bit reads 1 once", 19, FlashImage(), once, 0, 1},
        {"the bit reads 1 once, and once at the start", 19, FlashImage(), once, 0, 1, 0, 0, true},
        {"the bit reads 1 once, and once at a reset", 19, FlashImage(), once, 0, 1, 0, 0, false, true},
        {"Manufacturing checksum wrong, the bit read once, no memory for the mark", 19,
         FlashImage().breakChecksum(kelvo_test::kManufacturingMap), onceNoMemory, KELVO_STATUS_OUT_OF_MEMORY,
         0},
        {"Manufacturing checksum wrong, after closes that saw the bit", 19,
         FlashImage().breakChecksum(kelvo_test::kManufacturingMap), held, KELVO_STATUS_STORAGE_MAP_CHECKSUM,
         0, 9},
        {"Manufacturing checksum wrong, beside nine marked reads", 19,
         FlashImage().breakChecksum(kelvo_test::kManufacturingMap), held, KELVO_STATUS_STORAGE_MAP_CHECKSUM,
         0, 0, 9},
    };
    for (const std::string board : {"solstra", "duskmere-a"}) {
        const std::string f = board == "solstra" ? "Solstra" : "Duskmere";
        const std::string required = f + "IsoTopRegMap_BoardWin_" + f + "IsoBoardRegMap_StandardRegsWin_" +
                                     f + "StandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379";
        const kelvo_arm_read_in read =
            kelvo_test::named(kelvo_arm_read_in{0, 0, kelvo_test::kScratchField, 0}, required);
        for (const auto& row : rows) {
            if (row.closers != 0 && board != "solstra") {
                continue;
            }
            SCOPED_TRACE(board + ": " + row.what);
            const kelvo_test::ScopedProductLevels levels(row.top);
            // atStart: the bit shows once to the last but one access of the start's setup (counted on a
            // start without it), once the link's verifier is among the checks.
            size_t accesses = 0;
            const auto counted = [&](sim::Module& m, size_t armAt) {
                m.flash().load(row.flash.bytes());
                sim::IsolationLink& link = m.isolationLink();
                link.setTap(IsolationLink::kAddress, [&accesses, &link, armAt] {
                    if (++accesses == armAt) {
                        link.setErrorReads(1);
                    }
                });
            };
            if (row.atStart) {
                remove(add(board, [&](sim::Module& m) { counted(m, 0); }));
            }
            const size_t armAt = accesses - (accesses != 0 ? 1 : 0);
            accesses = 0;
            const int index = add(board, [&](sim::Module& m) { counted(m, armAt); });
            if (row.atReset) { // the last but one access of a reset's setup, counted on one without it
                const size_t counting = accesses;
                EXPECT_EQ(resetTo(index, row.top), 0);
                const size_t at = accesses - counting - 1;
                accesses = 0;
                counted(module(index), at);
                const int resetting = open(index);
                kelvo_test::Worker([&] {
                    EXPECT_EQ(kelvo_test::statusOf(resetting, KELVO_IOCTL_kdut_reset,
                                                   kelvo_kdut_reset_in{row.top, 0, 0, 0, 0}),
                              0);
                }).join();
                kelvo_close(resetting);
            }
            module(index).isolationLink().setTap(IsolationLink::kAddress, {});
            // No request made yet: no mark is outstanding however the start's or reset's setup met the bit.
            const uint32_t* marks = deviceOf(index)->getKelvoHelper()->getIsolationLinkMarks();
            ASSERT_EQ(std::tuple(levelOf(index), *marks), std::tuple(row.top, 0u));
            std::atomic<int> closed = 0;
            std::atomic<bool> end = false;
            std::vector<std::unique_ptr<kelvo_test::Worker>> closers;
            while (static_cast<int>(closers.size()) < row.closers) {
                closers.push_back(std::make_unique<kelvo_test::Worker>([&] {
                    const int closing = open(index);
                    EXPECT_EQ(kelvo_test::inOrder({reserveAll(closing),
                                                   kelvo_test::statusOf(closing, KELVO_IOCTL_measureUnit_arm,
                                                                        kelvo_measureUnit_arm_in{0, 0})}),
                              0);
                    module(index).isolationLink().setErrorReads(1); // read by the close's first access
                    EXPECT_EQ(kelvo_close(closing), 0);
                    for (++closed; !end;) {
                        std::this_thread::yield();
                    }
                }));
                while (closed != static_cast<int>(closers.size())) {
                    std::this_thread::yield();
                }
            }
            sim::IsolationLink& link = module(index).isolationLink();
            // The time passes by the sleeps alone from here: a reader whose ready poll's deadline passed, on
            // a loaded machine, before its first look would end without its read, holding nothing.
            std::optional<kal::clock::ScopedStepped> stepped(std::in_place);
            std::atomic<int> held = 0;
            std::vector<int32_t> answers(row.marked, -1);
            std::vector<std::unique_ptr<kelvo_test::Worker>> readers;
            while (static_cast<int>(readers.size()) < row.marked) {
                const int reader = open(index);
                const size_t k = readers.size();
                const size_t reads = link.isolatedReads();
                link.setErrorReads(1); // read by the ready poll of the reader's access
                readers.push_back(std::make_unique<kelvo_test::Worker>([&, reader, reads, k] {
                    int locks = 0;
                    bool waited = false;
                    kal::thread::onMutexAcquire([&] { ++locks; });
                    kal::thread::onMutexRelease([&] {
                        if (--locks == 0 && !waited && link.isolatedReads() != reads) {
                            for (waited = true, ++held; !end;) {
                                std::this_thread::yield();
                            }
                        }
                    });
                    answers[k] =
                        kelvo_test::answer<kelvo_arm_read_out>(reader, KELVO_IOCTL_arm_read, read).status;
                    kal::thread::onMutexAcquire({});
                    kal::thread::onMutexRelease({});
                    EXPECT_EQ(kelvo_close(reader), 0);
                }));
                // Until each reader holds, or has ended (it held nothing: the expectation below tells).
                while (held +
                           std::count_if(readers.begin(), readers.end(), [](auto& r) { return r->done(); }) !=
                       static_cast<int>(readers.size())) {
                    std::this_thread::yield();
                }
            }
            const int handle = open(index);
            row.knob(link);
            kal::clock::clearSleepLog();
            const int32_t answer =
                kelvo_test::answer<kelvo_arm_read_out>(handle, KELVO_IOCTL_arm_read, read).status;
            kal::memory::clearFaults();
            stepped.reset();
            uint64_t slept = 0;
            for (const kal::clock::SleepRecord& r : kal::clock::sleepLog()) {
                slept += r.threadId == nVOKAL100_getThreadID() ? r.microseconds : 0;
            }
            link.setError(false);
            end = true;
            closers.clear();
            readers.clear();
            EXPECT_EQ(std::tuple(answer, slept / 1000, held.load(), answers),
                      std::tuple(row.answer, row.sleptMs, row.marked,
                                 std::vector<int32_t>(row.marked, row.answer)));
            kelvo_close(handle);
            EXPECT_EQ(*marks, 0u) << "a mark outlived its request";
            remove(index);
        }
    }
}

} // namespace
