// The work queue: set-up failures and an item destroyed while queued.
#include <latch>

#include "platform/work_queue.h"
#include "test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;
using Queue = tWorkQueue<tSecondaryISRLock, 1>;

// Once entered, holds the worker for good (a death test's child dies first); without a latch returns at once.
class Item : public tWorkItemWrapper {
public:
    explicit Item(std::latch* entered) : entered_(entered) {}
    tWorkItem* work() override {
        if (entered_ != nullptr) {
            entered_->count_down();
            std::latch(1).wait();
        }
        return nullptr;
    }

private:
    std::latch* entered_;
};

class WorkQueue : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        tStatus status;
        lock.create(status);
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        lock.destroy();
        EXPECT_EQ(kal::thread::unjoinedThreads(), 0u);
        LeakCheckedTest::TearDown();
    }

    tSecondaryISRLock lock;
};

TEST_F(WorkQueue, FailedSetUpReportsAndDestroysWithoutWaiting) {
    // No thread; then the stopped event without its spin lock.
    const std::tuple<std::string_view, int, int64_t> failures[] = {
        {kal::faults::kThread, 1, tStatus::kUnexpectedKernelResult},
        {kal::faults::kSpinLock, 2, tStatus::kOutOfMemory}};
    for (const auto& [kind, nth, code] : failures) {
        kal::faults::failNth(kind, nth);
        tStatus status;
        Queue queue(&lock, status);
        EXPECT_EQ(status.getCode(), code);
        EXPECT_TRUE(kal::thread::findByName("vokelvo_driver").empty()) << "no worker after a failure";
    }
    tStatus status;
    Queue idle(nullptr, status);
    EXPECT_TRUE(status.isSuccess()) << "an owner without a list lock gets an idle queue";
    EXPECT_TRUE(kal::thread::findByName("vokelvo_driver").empty());
}

// The list lock, counting the worker's acquisitions.
class CountingLock : public tSecondaryISRLock {
public:
    void acquire() {
        byWorker += nVOKAL100_getThreadID() != creator ? 1 : 0;
        tSecondaryISRLock::acquire();
    }
    const uint64_t creator = nVOKAL100_getThreadID();
    std::atomic<int> byWorker{0};
};

TEST_F(WorkQueue, AnIdleWorkerWaitsInsteadOfSpinning) {
    CountingLock counting;
    tStatus status;
    counting.create(status);
    tWorkQueue<CountingLock, 1> queue(&counting, status);
    ASSERT_TRUE(status.isSuccess());
    const auto workers = kal::thread::findByName("vokelvo_driver");
    ASSERT_EQ(workers.size(), 1u);
    while (counting.byWorker < 2 && !(counting.byWorker == 1 && kal::thread::isBlocked(workers[0]))) {
        std::this_thread::yield();
    }
    EXPECT_EQ(counting.byWorker.load(), 1) << "one look at the empty list, then a wait";
}

TEST_F(WorkQueue, DestroyingAQueuedItemIsABreach) {
    EXPECT_DEATH(
        {
            tStatus status;
            std::latch entered(1);
            Queue queue(&lock, status);
            Item blocker(&entered);
            queue.post(blocker.item());
            entered.wait();
            {
                Item queued(nullptr);
                queue.post(queued.item());
            }
        },
        "item_.isQueued");
}

} // namespace
