// The work queue: one named kernel thread that runs posted items in order,
// once per pending post, and drains them before it stops.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "control.h"
#include "exec_level.h"
#include "platform/work_queue.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tSecondaryISRLock;
using kelvo_driver::nVOAPAL000::tWorkItem;
using kelvo_driver::nVOAPAL000::tWorkItemWrapper;
using nVOAPALS100::tStatus;
using Queue = kelvo_driver::nVOAPAL000::tWorkQueue<tSecondaryISRLock, 1>;

// What the items ran, in order, from any thread.
class Journal {
public:
    void add(const std::string& entry) {
        std::lock_guard g(lock_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    std::vector<std::string> entries() {
        std::lock_guard g(lock_);
        return entries_;
    }
    void waitFor(std::size_t count) {
        std::unique_lock l(lock_);
        changed_.wait(l, [&] { return entries_.size() >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

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
    Item(Journal& journal, std::string name) : journal_(journal), name_(std::move(name)) {}
    tWorkItem* work() override {
        journal_.add(name_ + (kal::exec::inAtomicContext() ? "@atomic" : ""));
        if (gate != nullptr) {
            gate->wait();
        }
        if (repostTo != nullptr && reposts-- > 0) {
            repostTo->post(item());
        }
        return nullptr;
    }

    Gate* gate = nullptr;
    Queue* repostTo = nullptr;
    int reposts = 0;

private:
    Journal& journal_;
    std::string name_;
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
    Journal journal;
};

TEST_F(WorkQueue, PostsOfAQueuedItemRunItOnceAndARunningItemCanBePostedAgain) {
    tStatus status;
    Queue queue(&lock, status);
    Gate gate;
    Item blocker(journal, "blocker"), twice(journal, "twice"), self(journal, "self");
    blocker.gate = &gate;
    queue.post(blocker.item());
    gate.waitUntilEntered();
    queue.post(twice.item());
    queue.post(twice.item());
    EXPECT_TRUE(twice.isQueued());
    self.repostTo = &queue; // detached before its work runs, so it may queue itself again
    self.reposts = 2;
    queue.post(self.item());
    gate.open();
    journal.waitFor(5);
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"blocker", "twice", "self", "self", "self"}));
}

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
            Item blocker(journal, "blocker");
            blocker.gate = &gate;
            queue.post(blocker.item());
            gate.waitUntilEntered();
            {
                Item queued(journal, "queued");
                queue.post(queued.item());
            }
        },
        "item_.isQueued");
}

} // namespace
