// Stand-in for the kernel layer's thread operations: named, joinable kernel
// threads, thread handles and IDs, and the interruption of waits.
#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "nVOKAL.h"

namespace {

using kal::detail::ThreadRecord;

struct Registry {
    std::mutex lock;
    std::map<std::uint64_t, ThreadRecord*> threads; // every live record, by ID
    std::uint64_t nextId = 1;
    std::size_t unjoined = 0; // kernel threads created and not yet joined
};

Registry& registry() {
    static Registry* r = new Registry; // lives for the whole process (used from thread exits)
    return *r;
}

void enroll(ThreadRecord& record) {
    auto& r = registry();
    std::lock_guard g(r.lock);
    record.id = r.nextId++;
    r.threads[record.id] = &record;
}

void withdraw(const ThreadRecord& record) {
    auto& r = registry();
    std::lock_guard g(r.lock);
    r.threads.erase(record.id);
}

// The record of a thread the stand-in did not start, owned by that thread.
struct ForeignRecord {
    std::unique_ptr<ThreadRecord> record;
    ~ForeignRecord();
};

thread_local ThreadRecord* tSelf = nullptr;
thread_local ForeignRecord tForeign;
// Set once the thread's own record is gone: later calls come from the
// thread's exit (a thread-local destroyed after it, or, on the main thread, a
// static destructor or an atexit handler, which run after the main thread's
// thread-locals are destroyed). Trivial, so it outlives every thread-local.
thread_local bool tForeignGone = false;

ForeignRecord::~ForeignRecord() {
    tForeignGone = true;
    if (record) {
        withdraw(*record);
        if (tSelf == record.get()) {
            tSelf = nullptr;
        }
    }
}

void trampoline(ThreadRecord* record, nVOKAL_tThreadEntry entry, void* argument) {
    tSelf = record;
    entry(argument);
    if (kal::exec::current() != kal::exec::Level::thread || kal::exec::spinLocksHeld() != 0) {
        KAL_FAIL("kernel thread \"" + record->name + "\" returned at " +
                 kal::exec::name(kal::exec::current()) + " level or holding a spin lock");
    }
    tSelf = nullptr;
}

} // namespace

namespace kal::detail {

ThreadRecord& self() {
    if (tSelf == nullptr && tForeignGone) {
        // tForeign is destroyed: a record for the rest of the process, never
        // withdrawn (the registry outlives every thread too).
        auto* late = new ThreadRecord;
        enroll(*late);
        tSelf = late;
    }
    if (tSelf == nullptr) {
        tForeign.record = std::make_unique<ThreadRecord>();
        enroll(*tForeign.record);
        tSelf = tForeign.record.get();
    }
    return *tSelf;
}

void kickParked(std::uint32_t kick) {
    auto& r = registry();
    std::lock_guard g(r.lock); // the records stay while it is held
    for (const auto& [id, record] : r.threads) {
        std::lock_guard park(record->parkLock); // the event stays while it is held
        if (record->parkedOn != nullptr) {
            record->parkedOn->fetch_or(kick);
            futexWake(record->parkedOn, INT_MAX);
        }
    }
}

} // namespace kal::detail

namespace kal::thread {

std::vector<std::uint64_t> findByName(const std::string& name) {
    std::vector<std::uint64_t> ids;
    auto& r = registry();
    std::lock_guard g(r.lock);
    for (const auto& [id, record] : r.threads) {
        if (record->kernelThread && record->name == name) {
            ids.push_back(id);
        }
    }
    return ids;
}

bool interrupt(std::uint64_t threadId) {
    {
        auto& r = registry();
        std::lock_guard g(r.lock);
        auto it = r.threads.find(threadId);
        if (it == r.threads.end()) {
            return false;
        }
        it->second->interruptPending.store(true);
    }
    kal::detail::wakeAllChannels();
    return true;
}

bool isBlocked(std::uint64_t threadId) {
    auto& r = registry();
    std::lock_guard g(r.lock);
    auto it = r.threads.find(threadId);
    return it != r.threads.end() && it->second->blocked.load() != 0;
}

bool waitUntilBlocked(std::uint64_t threadId) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!isBlocked(threadId)) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

std::size_t unjoinedThreads() {
    auto& r = registry();
    std::lock_guard g(r.lock);
    return r.unjoined;
}

} // namespace kal::thread

extern "C" nVOKAL_tStatus nVOKAL250_createNamedThread(nVOKAL_tHandle* thread, const char* name,
                                                      nVOKAL_tThreadEntry entry, void* argument) noexcept {
    kal::exec::assertMayBlock("nVOKAL250_createNamedThread");
    if (thread == nullptr || name == nullptr || entry == nullptr) {
        KAL_FAIL("nVOKAL250_createNamedThread with a null handle pointer, name or entry");
    }
    if (kal::faults::shouldFail(kal::faults::kThread)) {
        return NVOKAL_THREAD_NOT_CREATED;
    }
    auto* record = new ThreadRecord;
    record->name = name;
    record->kernelThread = true;
    enroll(*record);
    {
        auto& r = registry();
        std::lock_guard g(r.lock);
        ++r.unjoined;
    }
    try {
        record->thread = std::thread(trampoline, record, entry, argument);
    } catch (const std::system_error&) {
        withdraw(*record);
        {
            auto& r = registry();
            std::lock_guard g(r.lock);
            --r.unjoined;
        }
        delete record;
        return NVOKAL_THREAD_NOT_CREATED;
    }
    *thread = record;
    return 0;
}

extern "C" nVOKAL_tStatus nVOKAL200_joinThread(nVOKAL_tHandle thread) noexcept {
    kal::exec::assertMayBlock("nVOKAL200_joinThread");
    auto* record = static_cast<ThreadRecord*>(thread);
    {
        auto& r = registry();
        std::lock_guard g(r.lock);
        auto it = record != nullptr ? r.threads.find(record->id) : r.threads.end();
        if (it == r.threads.end() || it->second != record || !record->kernelThread || record->joining) {
            KAL_FAIL("nVOKAL200_joinThread of a handle that is not a live, unjoined kernel thread");
        }
        record->joining = true;
    }
    if (record == &kal::detail::self()) {
        KAL_FAIL("nVOKAL200_joinThread: thread \"" + record->name + "\" joins itself");
    }
    {
        kal::detail::BlockedScope blocked(kal::detail::self(), kal::detail::Blocked::join);
        record->thread.join();
    }
    withdraw(*record);
    {
        auto& r = registry();
        std::lock_guard g(r.lock);
        --r.unjoined;
    }
    delete record;
    return 0;
}

extern "C" nVOKAL_tHandle nVOKAL100_getThreadHandle(void) noexcept {
    return &kal::detail::self();
}

extern "C" uint64_t nVOKAL100_getThreadID(void) noexcept {
    return kal::detail::self().id;
}
