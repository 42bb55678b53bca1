// The work queue: set-up failures and an item destroyed while queued.
#include <condition_variable>
#include <mutex>

#include "standin/control.h"
#include "platform/work_queue.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tSecondaryISRLock;
using kelvo_driver::nVOAPAL000::tWorkItem;
using kelvo_driver::nVOAPAL000::tWorkItemWrapper;
using nVOAPALS100::tStatus;
using Queue = kelvo_driver::nVOAPAL000::tWorkQueue<tSecondaryISRLock, 1>;

// Blocks the worker inside an item until opened.
class Gate {
public:
    void wait() {
        std::unique_lock l(lock_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(l, [&] { return open_; });
    }
    void waitUntilEntered() {
        std::unique_lock l(lock_);
        changed_.wait(l, [&] { return entered_; });
    }
    void open() {
        std::lock_guard g(lock_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

class Item : public tWorkItemWrapper {
public:
    explicit Item(Gate* gate) : gate_(gate) {}
    tWorkItem* work() override {
        if (gate_ != nullptr) {
            gate_->wait();
        }
        return nullptr;
    }

private:
    Gate* gate_;
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
            Gate gate;
            Queue queue(&lock, status);
            Item blocker(&gate);
            queue.post(blocker.item());
            gate.waitUntilEntered();
            {
                Item queued(nullptr);
                queue.post(queued.item());
            }
        },
        "item_.isQueued");
}

} // namespace
