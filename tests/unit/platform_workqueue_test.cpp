// The work queue: set-up failures and an item destroyed while queued.
#include <latch>

#include "standin/control.h"
#include "platform/work_queue.h"
#include "test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;
using Queue = tWorkQueue<tSecondaryISRLock, 1>;

// Holds the worker inside it for good once entered (a death test's child dies there first);
// without a latch to count down it returns at once.
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
    {
        kal::faults::failNth(kal::faults::kThread, 1);
        tStatus status;
        Queue queue(&lock, status);
        EXPECT_EQ(status.getCode(), tStatus::kUnexpectedKernelResult);
        EXPECT_TRUE(kal::thread::findByName("vokelvo_driver").empty());
    }
    {
        kal::faults::failNth(kal::faults::kSpinLock, 2);
        tStatus status;
        Queue queue(&lock, status);
        EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory) << "the stopped event has no spin lock";
        EXPECT_TRUE(kal::thread::findByName("vokelvo_driver").empty()) << "no worker after a failure";
    }
    tStatus status;
    Queue idle(nullptr, status);
    EXPECT_TRUE(status.isSuccess()) << "an owner without a list lock gets an idle queue";
    EXPECT_TRUE(kal::thread::findByName("vokelvo_driver").empty());
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
