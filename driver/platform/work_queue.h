// The work queue: work items posted at DPC level (or below) and run, in
// order, on named kernel threads.
//
//   tSecondaryISRLock lock;                      // the owner's DPC spin lock
//   lock.create(status);
//   tWorkQueue<tSecondaryISRLock, 1> queue(&lock, status);
//   queue.post(item.item());                     // any number of times
//   ...                                          // the destructor runs what
//                                                // is queued, then joins
//
// Posting allocates nothing: items belong to their poster and are linked
// through their own node. An item that is queued already stays where it is
// (one pending run serves both posts). The worker detaches an item before it
// runs it, so the work may post it again. The worker never holds the list lock
// while it runs an item; an item's lockedPreWorkFunc runs under it and must
// not block. Nothing may be posted once the queue's destruction has begun.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/list.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

struct tWorkItem;
using tWorkFunc = tWorkItem* (*)(tWorkItem* item);
using tLockedPreWorkFunc = void (*)(tWorkItem* item);

// A queued unit of work. The node is detached (self-linked) while the item is
// not queued. workFunc returns the next item to run at once, or null.
struct tWorkItem {
    tListNode node;
    tWorkFunc workFunc = nullptr;
    void* owner = nullptr;
    tLockedPreWorkFunc lockedPreWorkFunc = nullptr;

    bool isQueued() const { return nVOAPAL200_listNodeIsAttached(&node); }
    static tWorkItem* of(tListNode* node) {
        return reinterpret_cast<tWorkItem*>(reinterpret_cast<char*>(node) -
                                            __builtin_offsetof(tWorkItem, node));
    }
};

// A work item as an object: work() is the work, lockedPreWork() runs under
// the queue's lock just before (nothing by default). It must be off every
// queue when it is destroyed (an invariant).
class tWorkItemWrapper : public tObject {
public:
    tWorkItemWrapper();
    virtual ~tWorkItemWrapper();
    tWorkItemWrapper(const tWorkItemWrapper&) = delete;
    tWorkItemWrapper& operator=(const tWorkItemWrapper&) = delete;

    // Returns the next item to run at once, or null.
    virtual tWorkItem* work() = 0;
    virtual void lockedPreWork();

    tWorkItem& item() { return item_; }
    bool isQueued() const { return item_.isQueued(); }

    static tWorkItem* workRedirect(tWorkItem* item);
    static void lockedPreWorkRedirect(tWorkItem* item);

private:
    tWorkItem item_;
};

// The lock policy of the work queue: a DPC spin lock that its owner creates
// and destroys.
class tSecondaryISRLock : public tObject {
public:
    tSecondaryISRLock() = default;
    ~tSecondaryISRLock() { destroy(); }
    tSecondaryISRLock(const tSecondaryISRLock&) = delete;
    tSecondaryISRLock& operator=(const tSecondaryISRLock&) = delete;

    // Creates the spin lock; none: -52000. Nothing on a fatal status.
    void create(nVOAPALS100::tStatus& status);
    void destroy();
    bool exists() const { return spinLock != nullptr; }
    void acquire() { nVOKAL100_acquireSpinLockDPC(spinLock); }
    void release() { nVOKAL100_releaseSpinLockDPC(spinLock); }

    nVOKAL_tHandle spinLock = nullptr;
};

// A platform thread record: the thread trampoline checks it and calls entry(argument).
struct tThreadResources {
    nVOKAL_tHandle thread = nullptr;
    bool created = false;
    bool threadStarted = false;
    void (*entry)(void* argument) = nullptr;
    void* argument = nullptr;
};

} // namespace kelvo_driver::nVOAPAL000

extern "C" {
// The entry of every platform kernel thread (argument: its tThreadResources).
void nVOAPAL200_threadTrampoline(void* record);
}

namespace kelvo_driver::nVOAPAL000 {

template <typename tLock, uint32_t kWorkers> class tWorkQueue : public tObject {
    static_assert(kWorkers >= 1);

public:
    // Sets the queue up over its owner's list lock (null: the owner has none;
    // the queue then stays idle) and starts the workers, each a kernel thread
    // named "vokelvo_driver". No spin lock for an event: -52000; a thread not
    // created: -52008 (it is then not started, and the others that were go on).
    tWorkQueue(tLock* listLock, nVOAPALS100::tStatus& status);
    // Stops the workers after they ran every queued item, and joins them.
    virtual ~tWorkQueue();
    tWorkQueue(const tWorkQueue&) = delete;
    tWorkQueue& operator=(const tWorkQueue&) = delete;

    // Queues the item at the tail unless it is queued already; wakes a worker.
    void post(tWorkItem& item);

    static void workerThreadMain(void* workerRecord);
    // The termination item's work: joins the worker's thread.
    static tWorkItem* joinAndDestroyMe(tWorkItem* item);

private:
    struct tWorker {
        tListNode node;
        tWorkQueue* queue = nullptr;
        tThreadResources threadResources;
        tWorkItem terminationWorkItem;
        uint8_t shouldStop = 0;

        static tWorker* of(tListNode* n) {
            return reinterpret_cast<tWorker*>(reinterpret_cast<char*>(n) - __builtin_offsetof(tWorker, node));
        }
    };

    tLock* listLock_;
    const char* threadName_;
    nVOAPAL200_tEvent workEvent_;
    nVOAPAL200_tEvent stoppedEvent_;
    tListNode workList_;
    tListNode workerList_;
    tWorker workers_[kWorkers];
};

template <typename tLock, uint32_t kWorkers>
tWorkQueue<tLock, kWorkers>::tWorkQueue(tLock* listLock, nVOAPALS100::tStatus& status)
    : listLock_(listLock), threadName_(KELVO_COMPONENT) {
    nVOAPAL200_createEvent(&workEvent_, true, false, &status);
    nVOAPAL200_createEvent(&stoppedEvent_, true, false, &status);
    for (tWorker& worker : workers_) {
        worker.queue = this;
        worker.threadResources.entry = &workerThreadMain;
        worker.threadResources.argument = &worker;
        worker.terminationWorkItem.workFunc = &joinAndDestroyMe;
        worker.terminationWorkItem.owner = &worker.threadResources;
    }
    if (listLock_ == nullptr) {
        return;
    }
    for (tWorker& worker : workers_) {
        if (status.isFatal()) {
            break;
        }
        nVOKAL_tHandle thread = nullptr;
        if (nVOKAL250_createNamedThread(&thread, threadName_, &nVOAPAL200_threadTrampoline,
                                        &worker.threadResources) < 0) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kUnexpectedKernelResult);
            break;
        }
        worker.threadResources.thread = thread;
        worker.threadResources.created = true;
        worker.threadResources.threadStarted = true;
        // A started worker is always on the list, so that the destructor stops and joins it.
        listLock_->acquire();
        nVOAPAL200_listNodeInsertBefore(&worker.node, &workerList_);
        listLock_->release();
    }
}

template <typename tLock, uint32_t kWorkers> tWorkQueue<tLock, kWorkers>::~tWorkQueue() {
    if (listLock_ != nullptr) {
        listLock_->acquire();
        const bool anyWorker = nVOAPAL200_listNodeIsAttached(&workerList_);
        for (tListNode* n = workerList_.next; n != &workerList_; n = n->next) {
            tWorker* worker = tWorker::of(n);
            if (worker->shouldStop == 0 && worker->terminationWorkItem.workFunc != &joinAndDestroyMe) {
                VOSDBG_ASSERT_F(
                    false,
                    "Oops, workerThread: %p leaked. Call removeThread() on this before destructing "
                    "workQueue!",
                    static_cast<void*>(worker));
            }
            worker->shouldStop = 1;
        }
        listLock_->release();
        // Without a started worker nobody would ever set the stopped event.
        if (anyWorker) {
            nVOAPAL200_setEvent(&workEvent_);
            nVOAPAL200_waitEvent(&stoppedEvent_);
            listLock_->acquire();
            tListNode* first = nVOAPAL200_listRemoveFirst(&workList_);
            listLock_->release();
            VOSDBG_ASSERT(first != nullptr);
            if (first != nullptr) {
                tWorkItem* termination = tWorkItem::of(first);
                termination->workFunc(termination);
            }
        }
        VOSDBG_ASSERT_MSG(!nVOAPAL200_listNodeIsAttached(&workList_), "work was posted during destruction");
    }
    for (tWorker& worker : workers_) {
        VOSDBG_ASSERT(!nVOAPAL200_listNodeIsAttached(&worker.node));
        VOSDBG_ASSERT(!worker.terminationWorkItem.isQueued());
    }
    VOSDBG_ASSERT(!nVOAPAL200_listNodeIsAttached(&workerList_));
    // Destroying an event checks that nobody waits on it.
    nVOAPAL200_destroyEvent(&stoppedEvent_);
    nVOAPAL200_destroyEvent(&workEvent_);
    // Whatever an invariant left linked is unlinked, so no node dies attached.
    while (nVOAPAL200_listRemoveFirst(&workList_) != nullptr) {
    }
}

template <typename tLock, uint32_t kWorkers> void tWorkQueue<tLock, kWorkers>::post(tWorkItem& item) {
    VOSDBG_ASSERT(listLock_ != nullptr);
    listLock_->acquire();
    const bool append = !item.isQueued();
    if (append) {
        nVOAPAL200_listNodeInsertBefore(&item.node, &workList_);
    }
    listLock_->release();
    if (append) {
        nVOAPAL200_setEvent(&workEvent_);
    }
}

template <typename tLock, uint32_t kWorkers>
void tWorkQueue<tLock, kWorkers>::workerThreadMain(void* workerRecord) {
    auto* worker = static_cast<tWorker*>(workerRecord);
    tWorkQueue* queue = worker->queue;
    for (;;) {
        VOSDBG_ASSERT(queue->listLock_ != nullptr);
        queue->listLock_->acquire();
        if (nVOAPAL200_listNodeIsAttached(&queue->workList_)) {
            tWorkItem* item = tWorkItem::of(nVOAPAL200_listRemoveFirst(&queue->workList_));
            if (item->lockedPreWorkFunc != nullptr) {
                item->lockedPreWorkFunc(item);
            }
            const bool more = nVOAPAL200_listNodeIsAttached(&queue->workList_);
            queue->listLock_->release();
            if (more) {
                nVOAPAL200_setEvent(&queue->workEvent_); // no queued item waits for a further post
            }
            for (tWorkItem* next = item; next != nullptr;) {
                VOSDBG_ASSERT(next->workFunc != nullptr);
                if (next->workFunc == nullptr) {
                    break;
                }
                next = next->workFunc(next);
            }
            continue;
        }
        if (worker->shouldStop == 0) {
            queue->listLock_->release();
            nVOAPAL200_waitEvent(&queue->workEvent_);
            continue;
        }
        // Stopping with nothing left: leave, and let whoever runs the
        // termination item join this thread.
        nVOAPAL200_listNodeDetach(&worker->node);
        nVOAPAL200_listNodeInsertBefore(&worker->terminationWorkItem.node, &queue->workList_);
        const bool last = !nVOAPAL200_listNodeIsAttached(&queue->workerList_);
        queue->listLock_->release();
        nVOAPAL200_setEvent(&queue->workEvent_);
        if (last) {
            nVOAPAL200_setEvent(&queue->stoppedEvent_); // the queue may be gone after this
        }
        return;
    }
}

template <typename tLock, uint32_t kWorkers>
tWorkItem* tWorkQueue<tLock, kWorkers>::joinAndDestroyMe(tWorkItem* item) {
    auto* resources = static_cast<tThreadResources*>(item->owner);
    VOSDBG_ASSERT(resources != nullptr);
    if (resources == nullptr) {
        return nullptr;
    }
    if (resources->created && resources->threadStarted) {
        nVOKAL200_joinThread(resources->thread);
        resources->threadStarted = false;
    }
    resources->thread = nullptr;
    resources->created = false;
    return nullptr;
}

} // namespace kelvo_driver::nVOAPAL000
