// Stand-in for the kernel layer's locks and single-use events.
#include <array>
#include <cstring>
#include <functional>
#include <mutex>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "nVOKAL.h"

namespace kal::detail {

void fail(const char* file, int line, const std::string& message) {
    nVOKAL250_halt("kal", file, static_cast<std::uint32_t>(line), message.c_str());
}

namespace {
constexpr std::size_t kChannels = 16;
std::array<WaitChannel, kChannels>& channels() {
    static auto* c = new std::array<WaitChannel, kChannels>; // lives for the whole process
    return *c;
}
} // namespace

WaitChannel& channelFor(const void* address) {
    const auto bits = reinterpret_cast<std::uintptr_t>(address);
    return channels()[(bits >> 4) % kChannels];
}

void wakeAllChannels() {
    for (auto& channel : channels()) {
        { std::lock_guard g(channel.lock); } // a waiter is either before its check or inside wait
        channel.cv.notify_all();
    }
}

} // namespace kal::detail

namespace {

using kal::detail::ThreadRecord;

// ---- mutexes and spin locks -------------------------------------------------

// What both kinds of lock hold: the lock itself and the thread holding it
// (written by the holder, with plain stores: only its own value or another
// thread's matters to the misuse checks, as a kernel's lock owner field).
// kKind names the kind in failure messages and kFault is its fault knob.
struct KernelMutex {
    static constexpr const char* kKind = "mutex";
    static constexpr std::string_view kFault = kal::faults::kMutex;
    static inline std::atomic<std::size_t> live{0};
    std::mutex lock;
    std::atomic<ThreadRecord*> holder{nullptr};
};

struct SpinLock {
    static constexpr const char* kKind = "spin lock";
    static constexpr std::string_view kFault = kal::faults::kSpinLock;
    static inline std::atomic<std::size_t> live{0};
    std::mutex lock;
    std::atomic<ThreadRecord*> holder{nullptr};
    kal::exec::Level levelBefore = kal::exec::Level::thread; // DPC acquisition: the level to go back to
    bool interruptMode = false;
};

template <typename Lock> Lock* asLock(nVOKAL_tHandle handle, const char* what) {
    if (handle == nullptr) {
        KAL_FAIL(std::string(what) + " with a null " + Lock::kKind);
    }
    return static_cast<Lock*>(handle);
}

template <typename Lock> nVOKAL_tHandle createLock() {
    if (kal::faults::shouldFail(Lock::kFault)) {
        return nullptr;
    }
    Lock* lock = new (std::nothrow) Lock;
    if (lock != nullptr) {
        Lock::live.fetch_add(1);
    }
    return lock;
}

template <typename Lock> void destroyLock(nVOKAL_tHandle handle, const char* what) {
    Lock* lock = asLock<Lock>(handle, what);
    if (lock->holder.load() != nullptr) {
        KAL_FAIL(std::string(what) + " of a " + Lock::kKind + " that is held");
    }
    delete lock;
    Lock::live.fetch_sub(1);
}

// How long a contended mutex is spun on before the thread sleeps on it, in
// real time: a few holds of the driver's short critical sections by each of
// the threads queued before it.
constexpr std::chrono::nanoseconds kMutexSpin{10000};

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// As a kernel's mutex does while its holder runs: watches the holder with
// plain loads (no write to the lock's line while it is held, so the holder's
// release is not slowed), tries once it looks free, and gives up after
// kMutexSpin. Whether it took the mutex.
bool spinOn(KernelMutex& m) {
    const auto deadline = std::chrono::steady_clock::now() + kMutexSpin;
    for (unsigned spin = 1;; ++spin) {
        cpuRelax();
        if (m.holder.load(std::memory_order_relaxed) == nullptr && m.lock.try_lock()) {
            return true;
        }
        if (spin % 32 == 0 && std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
}

KernelMutex* asMutex(nVOKAL_tHandle handle, const char* what) {
    return asLock<KernelMutex>(handle, what);
}

SpinLock* asSpinLock(nVOKAL_tHandle handle, const char* what) {
    return asLock<SpinLock>(handle, what);
}

void takeSpinLock(SpinLock* spinLock, const char* what) {
    ThreadRecord* me = &kal::detail::self();
    if (spinLock->holder.load() == me) {
        KAL_FAIL(std::string(what) +
                 ": the calling thread already holds this spin lock (it would spin forever)");
    }
    spinLock->lock.lock();
    spinLock->holder.store(me, std::memory_order_release);
    kal::exec::spinLockTaken();
}

void dropSpinLock(SpinLock* spinLock, const char* what, bool interruptMode) {
    if (spinLock->holder.load() != &kal::detail::self()) {
        KAL_FAIL(std::string(what) + ": the calling thread does not hold this spin lock");
    }
    if (spinLock->interruptMode != interruptMode) {
        KAL_FAIL(std::string(what) +
                 ": the spin lock was taken the other way (DPC and interrupt forms are paired)");
    }
    spinLock->holder.store(nullptr, std::memory_order_release);
    kal::exec::spinLockReleased();
    spinLock->lock.unlock();
}

// ---- single-use events ------------------------------------------------------

constexpr std::uint32_t kEventMagic = 0x53554556; // "SUEV"

// What a single-use event's storage holds. Read and written only under the
// lock of the event's wait channel.
struct EventState {
    std::uint32_t magic;
    std::uint32_t released;
};
static_assert(sizeof(EventState) <= 64);

EventState* asEvent(void* event, const char* what) {
    if (event == nullptr) {
        KAL_FAIL(std::string(what) + " with a null event");
    }
    if (reinterpret_cast<std::uintptr_t>(event) % alignof(EventState) != 0) {
        KAL_FAIL(std::string(what) + " with a misaligned event");
    }
    return static_cast<EventState*>(event);
}

void checkInitialised(const EventState* state, const char* what) {
    if (state->magic != kEventMagic) {
        KAL_FAIL(std::string(what) + " on an event that was not initialised");
    }
}

nVOKAL_tStatus waitEvent(void* event, const char* what, bool interruptible,
                         const uint32_t* timeoutMilliseconds, const nVOKAL_tTimeoutHandler* handler) {
    using kal::detail::WaitResult;
    kal::exec::assertMayBlock(what);
    EventState* state = asEvent(event, what);
    if (timeoutMilliseconds != nullptr && (handler == nullptr || handler->function == nullptr)) {
        KAL_FAIL(std::string(what) + " without a timeout handler");
    }
    auto& channel = kal::detail::channelFor(event);
    std::unique_lock guard(channel.lock);
    checkInitialised(state, what);
    auto released = [state] { return state->released != 0; };
    std::uint64_t deadline = 0;
    if (timeoutMilliseconds != nullptr) {
        deadline = kal::detail::nowNs() + static_cast<std::uint64_t>(*timeoutMilliseconds) * 1000000;
    }
    const WaitResult result =
        kal::detail::blockOn(channel, guard, released, timeoutMilliseconds != nullptr ? &deadline : nullptr,
                             interruptible, kal::detail::Blocked::event);
    if (result == WaitResult::interrupted) {
        return NVOKAL_WAIT_INTERRUPTED;
    }
    if (result == WaitResult::timedOut) {
        // The timer fires: its handler runs at DPC level, without the channel's lock.
        guard.unlock();
        {
            kal::exec::LevelScope dpc(kal::exec::Level::dpc);
            handler->function(handler->argument);
            if (kal::exec::spinLocksHeld() != 0) {
                KAL_FAIL(std::string(what) + ": the timeout handler returned holding a spin lock");
            }
        }
        guard.lock();
        // Whoever detached the waiter has released (or is releasing) the event:
        // return only once that is done, so nobody writes into a dead frame.
        kal::detail::blockOn(channel, guard, released, nullptr, false, kal::detail::Blocked::event);
    }
    return 0;
}

} // namespace

namespace kal::live {
std::size_t mutexes() {
    return KernelMutex::live.load();
}
std::size_t spinLocks() {
    return SpinLock::live.load();
}
} // namespace kal::live

extern "C" nVOKAL_tHandle nVOKAL150_createMutex(void) noexcept {
    return createLock<KernelMutex>();
}

extern "C" void nVOKAL150_destroyMutex(nVOKAL_tHandle mutex) noexcept {
    destroyLock<KernelMutex>(mutex, "nVOKAL150_destroyMutex");
}

extern "C" void nVOKAL150_acquireMutex(nVOKAL_tHandle mutex) noexcept {
    kal::exec::assertMayBlock("nVOKAL150_acquireMutex");
    KernelMutex* m = asMutex(mutex, "nVOKAL150_acquireMutex");
    ThreadRecord& me = kal::detail::self();
    if (m->holder.load() == &me) {
        KAL_FAIL(
            "nVOKAL150_acquireMutex: the calling thread already holds this mutex (it would wait forever)");
    }
    if (!m->lock.try_lock() && !spinOn(*m)) {
        kal::detail::BlockedScope blocked(me, kal::detail::Blocked::mutex);
        m->lock.lock();
    }
    m->holder.store(&me, std::memory_order_release);
}

extern "C" void nVOKAL150_releaseMutex(nVOKAL_tHandle mutex) noexcept {
    KernelMutex* m = asMutex(mutex, "nVOKAL150_releaseMutex");
    if (m->holder.load() != &kal::detail::self()) {
        KAL_FAIL("nVOKAL150_releaseMutex: the calling thread does not hold this mutex");
    }
    m->holder.store(nullptr, std::memory_order_release);
    m->lock.unlock();
}

extern "C" nVOKAL_tHandle nVOKAL100_createSpinLock(void) noexcept {
    return createLock<SpinLock>();
}

extern "C" void nVOKAL100_destroySpinLock(nVOKAL_tHandle spinLock) noexcept {
    destroyLock<SpinLock>(spinLock, "nVOKAL100_destroySpinLock");
}

extern "C" void nVOKAL100_acquireSpinLockDPC(nVOKAL_tHandle spinLock) noexcept {
    SpinLock* s = asSpinLock(spinLock, "nVOKAL100_acquireSpinLockDPC");
    if (kal::exec::current() == kal::exec::Level::interrupt) {
        KAL_FAIL("nVOKAL100_acquireSpinLockDPC called at interrupt level");
    }
    takeSpinLock(s, "nVOKAL100_acquireSpinLockDPC");
    s->interruptMode = false;
    s->levelBefore = kal::exec::exchange(kal::exec::Level::dpc);
}

extern "C" void nVOKAL100_releaseSpinLockDPC(nVOKAL_tHandle spinLock) noexcept {
    SpinLock* s = asSpinLock(spinLock, "nVOKAL100_releaseSpinLockDPC");
    const kal::exec::Level before = s->levelBefore;
    dropSpinLock(s, "nVOKAL100_releaseSpinLockDPC", false);
    kal::exec::exchange(before);
}

extern "C" uint64_t nVOKAL110_acquireSpinLockInterrupt(nVOKAL_tHandle spinLock) noexcept {
    SpinLock* s = asSpinLock(spinLock, "nVOKAL110_acquireSpinLockInterrupt");
    takeSpinLock(s, "nVOKAL110_acquireSpinLockInterrupt");
    s->interruptMode = true;
    // The saved state is the level the caller ran at.
    return static_cast<uint64_t>(kal::exec::exchange(kal::exec::Level::interrupt));
}

extern "C" void nVOKAL110_releaseSpinLockInterrupt(nVOKAL_tHandle spinLock, uint64_t savedState) noexcept {
    SpinLock* s = asSpinLock(spinLock, "nVOKAL110_releaseSpinLockInterrupt");
    if (savedState > static_cast<uint64_t>(kal::exec::Level::interrupt)) {
        KAL_FAIL("nVOKAL110_releaseSpinLockInterrupt with a saved state that no acquire returned");
    }
    dropSpinLock(s, "nVOKAL110_releaseSpinLockInterrupt", true);
    kal::exec::exchange(static_cast<kal::exec::Level>(savedState));
}

extern "C" uint64_t nVOKAL100_getSingleUseEventSize(void) noexcept {
    return sizeof(EventState);
}

extern "C" void nVOKAL100_initializeSingleUseEvent(void* event) noexcept {
    EventState* state = asEvent(event, "nVOKAL100_initializeSingleUseEvent");
    auto& channel = kal::detail::channelFor(event);
    std::lock_guard g(channel.lock);
    state->magic = kEventMagic;
    state->released = 0;
}

extern "C" void nVOKAL100_releaseSingleUseEvent(void* event) noexcept {
    EventState* state = asEvent(event, "nVOKAL100_releaseSingleUseEvent");
    auto& channel = kal::detail::channelFor(event);
    {
        std::lock_guard g(channel.lock);
        checkInitialised(state, "nVOKAL100_releaseSingleUseEvent");
        if (state->released != 0) {
            KAL_FAIL("nVOKAL100_releaseSingleUseEvent: the event was already released");
        }
        state->released = 1;
    }
    // From here on the waiter may return and end the event's storage: only
    // the channel, which lives for the whole process, is touched.
    channel.cv.notify_all();
}

extern "C" nVOKAL_tStatus nVOKAL100_waitForSingleUseEvent(void* event) noexcept {
    return waitEvent(event, "nVOKAL100_waitForSingleUseEvent", false, nullptr, nullptr);
}

extern "C" nVOKAL_tStatus nVOKAL100_waitForSingleUseEventInterruptible(void* event) noexcept {
    return waitEvent(event, "nVOKAL100_waitForSingleUseEventInterruptible", true, nullptr, nullptr);
}

extern "C" nVOKAL_tStatus
nVOKAL100_waitForSingleUseEventTimeout(void* event, uint32_t timeoutMilliseconds,
                                       const nVOKAL_tTimeoutHandler* handler) noexcept {
    return waitEvent(event, "nVOKAL100_waitForSingleUseEventTimeout", false, &timeoutMilliseconds, handler);
}

extern "C" nVOKAL_tStatus
nVOKAL100_waitForSingleUseEventTimeoutInterruptible(void* event, uint32_t timeoutMilliseconds,
                                                    const nVOKAL_tTimeoutHandler* handler) noexcept {
    return waitEvent(event, "nVOKAL100_waitForSingleUseEventTimeoutInterruptible", true, &timeoutMilliseconds,
                     handler);
}
