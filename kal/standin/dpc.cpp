// Stand-in for the kernel layer's deferred procedure calls: each DPC has a
// thread of its own that runs the callback at DPC level. Each thread sleeps
// on a condition of its own, so that scheduling one DPC wakes only its thread.
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>

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
    void* context = nullptr;
    std::condition_variable wake; // its thread waits on it (with the state's lock)
};

struct DpcState {
    std::mutex lock;
    std::condition_variable changed; // a DPC ended its run or went (what drain waits for)
    std::unordered_set<Dpc*> live;
    bool held = false;
    std::uint64_t createCalls = 0;
    std::uint64_t failAt = 0;
};

// Lives as long as the process: a DPC's worker thread may still wait on it
// while exit runs the static destructors (a client that never stops the host),
// and destroying a condition variable with a waiter blocks for ever.
DpcState& state() {
    static DpcState& s = *new DpcState;
    return s;
}

void workerMain(Dpc* dpc) {
    auto& s = state();
    std::unique_lock l(s.lock);
    for (;;) {
        dpc->wake.wait(l, [&] { return dpc->stop || (dpc->pending && !s.held); });
        if (dpc->stop) {
            return;
        }
        dpc->pending = false;
        dpc->running = true;
        void* context = dpc->context;
        l.unlock();
        {
            kal::exec::LevelScope level(kal::exec::Level::dpc);
            dpc->callback(context);
        }
        l.lock();
        dpc->running = false;
        s.changed.notify_all();
    }
}

} // namespace

namespace kal::dpc {

void failCreate(std::uint64_t nth) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.failAt = nth == 0 ? 0 : s.createCalls + nth;
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

extern "C" nVOKAL_tHandle nVOKAL100_createDPC(nVOKAL_tDPCCallback callback) noexcept {
    kal::exec::assertMayBlock("nVOKAL100_createDPC");
    auto& s = state();
    Dpc* dpc = nullptr;
    {
        std::lock_guard g(s.lock);
        const std::uint64_t n = ++s.createCalls;
        if (callback == nullptr) {
            KAL_FAIL("nVOKAL100_createDPC without a callback");
        }
        if (s.failAt != 0 && n == s.failAt) {
            return nullptr;
        }
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
        dpc->wake.notify_one();
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
        if (dpc->worker.get_id() == std::this_thread::get_id()) {
            KAL_FAIL("nVOKAL100_destroyDPC from the DPC's own callback");
        }
        dpc->stop = true;
        dpc->pending = false;
        dpc->wake.notify_one();
        s.changed.notify_all();
    }
    dpc->worker.join();
    {
        std::lock_guard g(s.lock);
        s.live.erase(dpc);
        s.changed.notify_all();
    }
    delete dpc;
}
