// Stand-in for the kernel layer's deferred procedure calls: each DPC has a
// thread of its own that runs the callback at DPC level. Each thread sleeps
// on a condition of its own, so that scheduling one DPC wakes only its thread.
// A DPC that an interrupt handler schedules runs on the interrupt's thread
// once the handlers return (kal::detail::InterruptDpcs), without a wake-up.
// A DPC never runs on two threads at once.
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "nVOKAL.h"

namespace {

struct Dpc {
    nVOKAL_tDPCCallback callback = nullptr;
    std::thread worker;
    // Guarded by the state's lock.
    bool pending = false;
    bool running = false;
    bool stop = false;
    // Scheduled by a handler of an interrupt round: that round's thread runs
    // it (or hands it to this DPC's thread), never this DPC's thread unasked.
    bool forInterruptThread = false;
    void* context = nullptr;
    std::condition_variable wake; // its thread waits on it (with the state's lock)
};

struct DpcState {
    std::mutex lock;
    std::condition_variable changed; // a DPC ended its run or went (what drain waits for)
    std::unordered_set<Dpc*> live;
    bool held = false;
};

// The DPCs scheduled by the handlers of the calling interrupt thread's round
// (null outside a round), and the DPC this thread runs now.
thread_local std::vector<Dpc*>* tInterruptDpcs = nullptr;
thread_local Dpc* tRunning = nullptr;

// Lives as long as the process: a DPC's worker thread may still wait on it
// while exit runs the static destructors (a client that never stops the host),
// and destroying a condition variable with a waiter blocks for ever.
DpcState& state() {
    static DpcState& s = *new DpcState;
    return s;
}

// Runs the pending DPC on the calling thread, with the state's lock held in l
// (released around the callback).
void runLocked(Dpc* dpc, std::unique_lock<std::mutex>& l) {
    auto& s = state();
    dpc->pending = false;
    dpc->running = true;
    void* context = dpc->context;
    l.unlock();
    {
        kal::exec::LevelScope level(kal::exec::Level::dpc);
        tRunning = dpc;
        dpc->callback(context);
        tRunning = nullptr;
    }
    l.lock();
    dpc->running = false;
    if (dpc->pending) {
        dpc->wake.notify_one(); // scheduled again meanwhile (elsewhere): its thread runs it
    }
    s.changed.notify_all();
}

void workerMain(Dpc* dpc) {
    auto& s = state();
    std::unique_lock l(s.lock);
    for (;;) {
        dpc->wake.wait(l, [&] {
            return dpc->stop || (dpc->pending && !dpc->forInterruptThread && !s.held && !dpc->running);
        });
        if (dpc->stop) {
            return;
        }
        runLocked(dpc, l);
    }
}

} // namespace

namespace kal::dpc {

void failCreate(std::uint64_t nth) {
    kal::faults::failNth(kal::faults::kDPC, nth);
}

void hold(bool on) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.held = on;
    for (Dpc* d : s.live) {
        d->wake.notify_one();
    }
    s.changed.notify_all();
}

void drain() {
    auto& s = state();
    std::unique_lock l(s.lock);
    s.changed.wait(l, [&] {
        for (Dpc* d : s.live) {
            if (d->running || (d->pending && !s.held)) {
                return false;
            }
        }
        return true;
    });
}

std::size_t live() {
    std::lock_guard g(state().lock);
    return state().live.size();
}

} // namespace kal::dpc

namespace kal::detail {

InterruptDpcs::InterruptDpcs() {
    tInterruptDpcs = new std::vector<Dpc*>;
}

InterruptDpcs::~InterruptDpcs() {
    delete tInterruptDpcs;
    tInterruptDpcs = nullptr;
}

void InterruptDpcs::run() {
    auto& s = state();
    std::vector<Dpc*>& scheduled = *tInterruptDpcs;
    std::unique_lock l(s.lock);
    // By position: a callback may schedule more (they join the list, and go
    // to their own threads, so that a DPC that schedules itself again does
    // not keep this thread from its interrupt).
    const std::size_t fromHandlers = scheduled.size();
    for (std::size_t k = 0; k < scheduled.size(); ++k) {
        Dpc* dpc = scheduled[k];
        if (s.live.find(dpc) == s.live.end() || dpc->stop || !dpc->pending) {
            continue; // destroyed
        }
        dpc->forInterruptThread = false;
        if (s.held || dpc->running || k >= fromHandlers) {
            dpc->wake.notify_one(); // its own thread runs it when it may
            continue;
        }
        runLocked(dpc, l);
    }
    scheduled.clear();
}

} // namespace kal::detail

extern "C" nVOKAL_tHandle nVOKAL100_createDPC(nVOKAL_tDPCCallback callback) noexcept {
    kal::exec::assertMayBlock("nVOKAL100_createDPC");
    auto& s = state();
    Dpc* dpc = nullptr;
    {
        if (callback == nullptr) {
            KAL_FAIL("nVOKAL100_createDPC without a callback");
        }
        if (kal::faults::shouldFail(kal::faults::kDPC)) {
            return nullptr;
        }
        std::lock_guard g(s.lock);
        dpc = new Dpc;
        dpc->callback = callback;
        s.live.insert(dpc);
    }
    dpc->worker = std::thread(workerMain, dpc);
    return dpc;
}

extern "C" void nVOKAL100_scheduleDPC(nVOKAL_tHandle handle, void* context) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto* dpc = static_cast<Dpc*>(handle);
    if (s.live.find(dpc) == s.live.end() || dpc->stop) {
        KAL_FAIL("nVOKAL100_scheduleDPC of a DPC that does not exist");
    }
    if (!dpc->pending) {
        dpc->pending = true;
        dpc->context = context;
        if (tInterruptDpcs != nullptr) {
            dpc->forInterruptThread = true;
            tInterruptDpcs->push_back(dpc); // runs on this thread after the handlers
        } else {
            dpc->wake.notify_one();
        }
    }
}

extern "C" void nVOKAL100_destroyDPC(nVOKAL_tHandle handle) noexcept {
    kal::exec::assertMayBlock("nVOKAL100_destroyDPC");
    auto& s = state();
    auto* dpc = static_cast<Dpc*>(handle);
    {
        std::lock_guard g(s.lock);
        if (s.live.find(dpc) == s.live.end() || dpc->stop) {
            KAL_FAIL("nVOKAL100_destroyDPC of a DPC that does not exist");
        }
        if (dpc->worker.get_id() == std::this_thread::get_id() || tRunning == dpc) {
            KAL_FAIL("nVOKAL100_destroyDPC from the DPC's own callback");
        }
        dpc->stop = true;
        dpc->pending = false;
        dpc->wake.notify_one();
        s.changed.notify_all();
    }
    dpc->worker.join();
    {
        std::unique_lock l(s.lock);
        s.changed.wait(l, [&] { return !dpc->running; }); // a run on an interrupt thread
        s.live.erase(dpc);
        s.changed.notify_all();
    }
    delete dpc;
}
