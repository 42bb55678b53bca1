// Locks and waits: mutex misuse, semaphores and events, timed and interruptible waits.

#include <memory>

#include "platform/sync.h"
#include "test_support.h"
#include "test_worker.h"

namespace {

using kelvo_driver::nVOAPAL000::tMutex;
using nVOAPALS100::tStatus;

class PlatformSync : public kelvo_test::LeakCheckedTest {};
using PlatformSyncDeathTest = PlatformSync;

bool queued(const nVOAPAL200_tSemaphore& record) {
    return record.waiterList.next != &record.waiterList;
}

// A semaphore, or an event (autoReset given), made for one test and destroyed with it.
struct Semaphore : nVOAPAL200_tSemaphore {
    explicit Semaphore(uint32_t count) {
        tStatus status;
        EXPECT_TRUE(nVOAPAL200_createSemaphore(this, count, &status));
    }
    Semaphore(bool autoReset, bool signalled) {
        tStatus status;
        EXPECT_TRUE(nVOAPAL200_createEvent(this, autoReset, signalled, &status));
        event = true;
    }
    ~Semaphore() { event ? nVOAPAL200_destroyEvent(this) : nVOAPAL200_destroySemaphore(this); }
    bool event = false;
};

using kelvo_test::Worker;

// A mutex released by a thread that does not own it; a semaphore destroyed under a waiter.
TEST_F(PlatformSyncDeathTest, MisuseIsAnInvariantFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kal::log::setEcho(true);
    EXPECT_DEATH(
        {
            tStatus status;
            tMutex mutex;
            nVOAPAL200_createMutex(&mutex, &status);
            nVOAPAL200_acquireMutex(&mutex);
            std::thread([&] { nVOAPAL200_releaseMutex(&mutex); }).join();
        },
        "Non-Owner Thread trying to release. mutexOwner = 0x[0-9a-f]+, threadReleasing = 0x[0-9a-f]+");
    EXPECT_DEATH(
        {
            Semaphore semaphore(0);
            Worker waiter([&] {
                tStatus own;
                nVOAPAL200_acquireSemaphore(&semaphore, nVOAPAL200_kWaitForever, 0, &own);
            });
            EXPECT_TRUE(waiter.waitUntilBlocked());
            nVOAPAL200_destroySemaphore(&semaphore);
        },
        "ASSERT\\(!nVOAPAL200_listNodeIsAttached\\(&\\(semEvent->waiterList\\)\\)\\)");
    kal::log::setEcho(false);
}

// Each unit ends with one waiter or in the count: waits for ever, and timed waits racing the releases.
TEST_F(PlatformSync, SemaphoreUnitsAreNeitherLostNorDuplicatedAcrossThreads) {
    const struct {
        int pairs; // each a releasing and a waiting thread
        bool timed;
    } cases[] = {{4, false}, {1, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timed ? "timed" : "for ever");
        kal::clock::ScopedScale fast(c.timed ? 1000 : 1);
        constexpr int kUnits = 1000;
        const int attempts = c.timed ? 2 * kUnits : kUnits;
        Semaphore semaphore(0);
        std::atomic<int> obtained{0}, timedOut{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < c.pairs; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kUnits; ++i) {
                    nVOAPAL200_releaseSemaphore(&semaphore);
                    for (int k = i % 7; k > 0; --k) {
                        std::this_thread::yield();
                    }
                }
            });
            threads.emplace_back([&] {
                for (int i = 0; i < attempts; ++i) {
                    tStatus own;
                    const uint32_t timeout = c.timed ? 1 + i % 2 : nVOAPAL200_kWaitForever;
                    if (nVOAPAL200_acquireSemaphore(&semaphore, timeout, c.timed ? i % 3 == 0 : 1, &own)) {
                        obtained.fetch_add(1);
                    } else {
                        EXPECT_EQ(own.getCode(), tStatus::kTimedOut);
                        timedOut.fetch_add(1);
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(obtained.load() + static_cast<int>(semaphore.count), c.pairs * kUnits);
        EXPECT_EQ(obtained.load() + timedOut.load(), c.pairs * attempts);
        EXPECT_FALSE(queued(semaphore));
    }
}

// One set is one signal for one wait, and with waiters it wakes exactly the first. The others, waiting for
// ever or for an hour, end interrupted when their thread is, and none stays queued.
TEST_F(PlatformSync, AutoResetEventWakesTheFirstWaiterAndInterruptedWaitsLeaveNothingQueued) {
    tStatus status;
    Semaphore event(true, false);
    nVOAPAL200_setEvent(&event);
    nVOAPAL200_setEvent(&event);
    EXPECT_TRUE(nVOAPAL200_waitSemaphore(&event, 0, 0, &status));
    EXPECT_FALSE(nVOAPAL200_waitSemaphore(&event, 0, 0, &status)) << "the second set had no effect";

    const uint32_t timeouts[] = {nVOAPAL200_kWaitForever, nVOAPAL200_kWaitForever, 3600000u};
    std::atomic<int64_t> ends[3] = {}; // 1 when woken, else the status code
    std::vector<std::unique_ptr<Worker>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(std::make_unique<Worker>([&, i] {
            tStatus own;
            ends[i] = nVOAPAL200_waitSemaphore(&event, timeouts[i], 1, &own) ? 1 : own.getCode();
        }));
        EXPECT_TRUE(waiters.back()->waitUntilBlocked());
    }
    nVOAPAL200_setEvent(&event);
    waiters[0]->join();
    EXPECT_EQ(event.count, 0u);
    for (int i = 1; i < 3; ++i) {
        ASSERT_TRUE(kal::thread::interrupt(waiters[i]->id()));
        waiters[i]->join();
    }
    constexpr int64_t kInterrupted = tStatus::kWaitInterrupted;
    EXPECT_EQ(std::make_tuple(ends[0].load(), ends[1].load(), ends[2].load(), queued(event)),
              std::make_tuple(1, kInterrupted, kInterrupted, false));
}

} // namespace
