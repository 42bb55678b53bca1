// Stand-in for the kernel layer's locks and single-use events.
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <new>
#include <utility>

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

// The marks "its holder is inside a wake-up" of the kernel mutexes the thread
// holds (the first few).
constexpr std::size_t kHeldMarks = 8;
constexpr int kNotWaking = -1;
thread_local std::array<std::atomic<int>*, kHeldMarks> tHeld;
thread_local std::size_t tHeldCount = 0;

// A single-use event's word: released, and the mark of a wake-up to re-check.
constexpr std::uint32_t kReleased = 1;
constexpr std::uint32_t kKicked = 2;

void wakeAllChannels() {
    for (auto& channel : channels()) {
        { std::lock_guard g(channel.lock); } // a waiter is either before its check or inside wait
        channel.cv.notify_all();
    }
    kickParked(kKicked);
}

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               const std::chrono::nanoseconds* relative) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    timespec limit{};
    if (relative != nullptr) {
        const auto ns = std::max<std::int64_t>(relative->count(), 0);
        limit = {static_cast<std::time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            relative != nullptr ? &limit : nullptr, nullptr, 0);
}

void futexWake(const std::atomic<std::uint32_t>* word, int count) {
    if (tHeldCount > 0) {
        const int cpu = sched_getcpu();
        for (std::size_t k = 0; k < tHeldCount; ++k) {
            tHeld[k]->store(cpu, std::memory_order_relaxed);
        }
    }
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
    for (std::size_t k = 0; k < tHeldCount; ++k) {
        tHeld[k]->store(kNotWaking, std::memory_order_relaxed);
    }
}

} // namespace kal::detail

namespace {

using kal::detail::ThreadRecord;

// ---- mutexes and spin locks -------------------------------------------------

// A thread asleep on a kernel mutex: a node of the mutex's queue, on the
// sleeper's stack. Its word says what a release did for it, and is what it
// sleeps on (a futex).
struct MutexWaiter {
    static constexpr std::uint32_t kAsleep = 0;
    static constexpr std::uint32_t kWoken = 1;   // the mutex was let go and the sleeper woken to take it
    static constexpr std::uint32_t kLost = 2;    // woken, it found the mutex taken again
    static constexpr std::uint32_t kGranted = 3; // the mutex was handed to the sleeper: it holds it
    std::atomic<std::uint32_t> word{kAsleep};
    ThreadRecord* record = nullptr;
    MutexWaiter* next = nullptr; // under the mutex's queue lock
};

// The kernel mutex. Its state word says whether it is taken and whether
// threads sleep on it; the sleepers queue in the order they came, and a
// release wakes the first, or hands the mutex to it (it stays taken, and no
// other thread can take it in between) when that sleeper woke and found it
// taken by another thread: as a kernel's mutex hands off to a waiter that
// starves, so a sleeper that has lost the mutex once waits for no other
// hold. The thread holding it is written by the holder, with plain stores:
// only its own value or another thread's matters to the misuse checks, as a
// kernel's lock owner field. kKind names the kind in failure messages and
// kFault is its fault knob.
struct KernelMutex {
    static constexpr const char* kKind = "mutex";
    static constexpr std::string_view kFault = kal::faults::kMutex;
    static constexpr std::uint32_t kTaken = 1;
    static constexpr std::uint32_t kSleepers = 2; // the queue is not empty (changed under queueLock)
    static inline std::atomic<std::size_t> live{0};
    std::atomic<std::uint32_t> state{0};
    std::atomic<ThreadRecord*> holder{nullptr};
    // The processor the holder issued a wake-up from while it is inside it,
    // kal::detail::kNotWaking otherwise.
    std::atomic<int> holderWaking{kal::detail::kNotWaking};
    // Releases still inside after the mutex is let go or handed on (waking
    // its sleeper): the mutex is not freed under them.
    std::atomic<std::uint32_t> releasing{0};
    std::mutex queueLock;
    MutexWaiter* first = nullptr; // the sleepers, under queueLock
    MutexWaiter* last = nullptr;
};

// A spin lock: the lock itself and the thread holding it (written as the
// mutex's holder is).
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
    if constexpr (std::is_same_v<Lock, KernelMutex>) {
        // Another thread's release let the destroying thread have it and is
        // still on its way out (at most the wake-up of a sleeper).
        if (lock->releasing.load(std::memory_order_acquire) != 0) {
            kal::detail::BlockedScope blocked(kal::detail::self(), kal::detail::Blocked::mutex);
            while (lock->releasing.load(std::memory_order_acquire) != 0) {
                std::this_thread::yield();
            }
        }
    }
    delete lock;
    Lock::live.fetch_sub(1);
}

// How long a contended mutex is spun on before the thread sleeps on it, in
// real time: a few holds of the driver's short critical sections by each of
// the threads queued before it.
constexpr std::chrono::nanoseconds kMutexSpin{10000};
// The longest spin behind a holder inside a wake-up.
constexpr std::chrono::microseconds kWakingSpin{50};
// Tries of a contended spin lock before sleeping on it: a microsecond or two.
constexpr int kSpinLockTries = 64;

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Takes the mutex if it is not taken (whether threads sleep on it or not).
bool tryTake(KernelMutex& m) {
    std::uint32_t state = m.state.load(std::memory_order_relaxed);
    return (state & KernelMutex::kTaken) == 0 &&
           m.state.compare_exchange_strong(state, state | KernelMutex::kTaken, std::memory_order_acquire,
                                           std::memory_order_relaxed);
}

// As a kernel's mutex does while its holder runs: watches the holder with
// plain loads (no write to the lock's line while it is held, so the holder's
// release is not slowed), tries once it looks free, and gives up after
// kMutexSpin. Whether it took the mutex.
bool spinOn(KernelMutex& m) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned spin = 1;; ++spin) {
        cpuRelax();
        if (m.holder.load(std::memory_order_relaxed) == nullptr && tryTake(m)) {
            return true;
        }
        if (spin % 32 == 0) {
            // Past the usual spin, a kernel's mutex spins on while its owner
            // runs: here, while the holder is inside a wake-up (which takes
            // microseconds, after which it soon lets go), so that the thread
            // it woke does not sleep on it again. A holder that issued its
            // wake-up from this thread's processor does not run while this
            // thread spins there (the woken thread took its place): sleep,
            // so that it can go on and let go.
            const int waking = m.holderWaking.load(std::memory_order_relaxed);
            if (waking != kal::detail::kNotWaking && waking == sched_getcpu()) {
                return false;
            }
            const auto spent = std::chrono::steady_clock::now() - start;
            if (spent >= kWakingSpin || (spent >= kMutexSpin && waking == kal::detail::kNotWaking)) {
                return false;
            }
        }
    }
}

KernelMutex* asMutex(nVOKAL_tHandle handle, const char* what) {
    return asLock<KernelMutex>(handle, what);
}

SpinLock* asSpinLock(nVOKAL_tHandle handle, const char* what) {
    return asLock<SpinLock>(handle, what);
}

// The wake-ups of events released while the thread held a spin lock: they
// go out once it holds none (as a kernel's wake queue defers them past its
// locks), so that the woken waiter does not find the lock it takes next
// still held by its waker.
constexpr std::size_t kDeferredWakes = 8;
thread_local std::array<const std::atomic<std::uint32_t>*, kDeferredWakes> tDeferredWakes;
thread_local std::size_t tDeferredCount = 0;

void wakeDeferred() {
    for (std::size_t k = 0; k < tDeferredCount; ++k) {
        kal::detail::futexWake(tDeferredWakes[k], INT_MAX);
    }
    tDeferredCount = 0;
}

// Wakes the waiter of the event word now, or once the thread holds no spin lock.
void wakeEventWaiter(const std::atomic<std::uint32_t>* word) {
    if (kal::exec::spinLocksHeld() > 0 && tDeferredCount < kDeferredWakes) {
        tDeferredWakes[tDeferredCount++] = word;
    } else {
        kal::detail::futexWake(word, INT_MAX);
    }
}

void takeSpinLock(SpinLock* spinLock, const char* what) {
    ThreadRecord* me = &kal::detail::self();
    if (spinLock->holder.load() == me) {
        KAL_FAIL(std::string(what) +
                 ": the calling thread already holds this spin lock (it would spin forever)");
    }
    // A kernel's spin lock spins; here the holder may be preempted, so it
    // spins a little, as the mutex does, and then sleeps.
    bool taken = spinLock->lock.try_lock();
    for (int spin = 0; !taken && spin < kSpinLockTries; ++spin) {
        cpuRelax();
        taken = spinLock->lock.try_lock();
    }
    if (!taken) {
        spinLock->lock.lock();
    }
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
    if (kal::exec::spinLocksHeld() == 0) {
        wakeDeferred();
    }
}

// ---- single-use events ------------------------------------------------------

constexpr std::uint32_t kEventMagic = 0x53554556; // "SUEV"

// What a single-use event's storage holds. The waiter sleeps on the word
// itself (a futex), so a release wakes exactly its waiter and nobody takes a
// lock on either side.
struct EventState {
    std::uint32_t magic;
    std::atomic<std::uint32_t> word; // kReleased, kKicked
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

// The thread's park on an event's word: marked by kal::detail::kickParked
// while it lasts.
class Park {
public:
    Park(ThreadRecord& me, std::atomic<std::uint32_t>& word) : me_(me) {
        std::lock_guard g(me_.parkLock);
        me_.parkedOn = &word;
    }
    ~Park() {
        std::lock_guard g(me_.parkLock);
        me_.parkedOn = nullptr;
    }
    Park(const Park&) = delete;
    Park& operator=(const Park&) = delete;

private:
    ThreadRecord& me_;
};

// Sleeps on the event's word until it is released, the stand-in time reaches
// *deadlineNs (when not null) or the thread is interrupted (when
// interruptible; this consumes the pending interrupt).
kal::detail::WaitResult sleepOn(EventState* state, const std::uint64_t* deadlineNs, bool interruptible) {
    using kal::detail::WaitResult;
    ThreadRecord& me = kal::detail::self();
    std::atomic<std::uint32_t>& word = state->word;
    if ((word.load() & kal::detail::kReleased) != 0) {
        return WaitResult::done;
    }
    Park park(me, word);
    for (;;) {
        // Clear the mark before the checks: a change after them marks it again.
        const std::uint32_t seen = word.fetch_and(~kal::detail::kKicked) & ~kal::detail::kKicked;
        if ((seen & kal::detail::kReleased) != 0) {
            return WaitResult::done;
        }
        if (interruptible && me.interruptPending.exchange(false)) {
            return WaitResult::interrupted;
        }
        // A release, an interrupt, a new clock scale or a sleep's step marks
        // the word and wakes the thread; a timed wait also looks at the clock
        // now and then (stepped time also moves by reads, which wake nobody).
        constexpr std::chrono::nanoseconds kRecheck = std::chrono::milliseconds(5);
        std::chrono::nanoseconds wait{};
        if (deadlineNs != nullptr) {
            const std::uint64_t now = kal::detail::nowNs();
            if (now >= *deadlineNs) {
                return WaitResult::timedOut;
            }
            wait = std::min(kRecheck, kal::detail::realFor(*deadlineNs - now));
        }
        kal::detail::BlockedScope blocked(me, kal::detail::Blocked::event);
        kal::detail::futexWait(word, seen, deadlineNs != nullptr ? &wait : nullptr);
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
    checkInitialised(state, what);
    std::uint64_t deadline = 0;
    if (timeoutMilliseconds != nullptr) {
        deadline = kal::detail::nowNs() + static_cast<std::uint64_t>(*timeoutMilliseconds) * 1000000;
    }
    const WaitResult result =
        sleepOn(state, timeoutMilliseconds != nullptr ? &deadline : nullptr, interruptible);
    if (result == WaitResult::interrupted) {
        return NVOKAL_WAIT_INTERRUPTED;
    }
    if (result == WaitResult::timedOut) {
        // The timer fires: its handler runs at DPC level.
        {
            kal::exec::LevelScope dpc(kal::exec::Level::dpc);
            handler->function(handler->argument);
            if (kal::exec::spinLocksHeld() != 0) {
                KAL_FAIL(std::string(what) + ": the timeout handler returned holding a spin lock");
            }
        }
        // Whoever detached the waiter has released (or is releasing) the event:
        // return only once that is done, so nobody writes into a dead frame.
        sleepOn(state, nullptr, false);
    }
    return 0;
}

} // namespace

namespace {

void setBlocked(ThreadRecord& record, kal::detail::Blocked kind) {
    record.blocked.store(static_cast<int>(kind), std::memory_order_release);
}

// Queues the thread on the mutex (unless it can take it now) and sleeps until
// it holds it: a release hands it the mutex, or wakes it to take it. It shows
// as blocked while it is queued, except between a release's wake-up and its
// try, and once handed the mutex (as a kernel's woken task runs).
void sleepOnMutex(KernelMutex& m, ThreadRecord& me) {
    using kal::detail::Blocked;
    MutexWaiter waiter;
    waiter.record = &me;
    {
        std::lock_guard g(m.queueLock);
        // From here on a release passes the queue lock: the mutex is taken
        // now, or the thread is queued before its holder lets it go.
        m.state.fetch_or(KernelMutex::kSleepers);
        if (tryTake(m)) {
            if (m.first == nullptr) {
                m.state.fetch_and(~KernelMutex::kSleepers);
            }
            return;
        }
        (m.last != nullptr ? m.last->next : m.first) = &waiter;
        m.last = &waiter;
        setBlocked(me, Blocked::mutex);
    }
    struct Unblock {
        ThreadRecord& record;
        ~Unblock() { setBlocked(record, Blocked::none); }
    } unblock{me};
    for (std::uint32_t seen = MutexWaiter::kAsleep;;) {
        kal::detail::futexWait(waiter.word, seen, nullptr);
        seen = waiter.word.load(std::memory_order_acquire);
        if (seen == MutexWaiter::kGranted) {
            return;
        }
        if (seen != MutexWaiter::kWoken) {
            continue;
        }
        {
            // The first of the queue, woken: it takes the mutex if no other
            // thread took it first, else the next release hands it on.
            std::lock_guard g(m.queueLock);
            if (waiter.word.load(std::memory_order_acquire) == MutexWaiter::kGranted) {
                return;
            }
            if (tryTake(m)) {
                m.first = waiter.next;
                if (m.first == nullptr) {
                    m.last = nullptr;
                    m.state.fetch_and(~KernelMutex::kSleepers);
                }
                return;
            }
            waiter.word.store(MutexWaiter::kLost, std::memory_order_relaxed);
            setBlocked(me, Blocked::mutex);
        }
        // As a kernel's first waiter does, it spins on for the hand-off a
        // while (the holder that took the mutex first may be quick) before
        // it sleeps again.
        seen = MutexWaiter::kLost;
        const auto start = std::chrono::steady_clock::now();
        for (unsigned spin = 1; waiter.word.load(std::memory_order_acquire) == MutexWaiter::kLost; ++spin) {
            cpuRelax();
            if (spin % 32 == 0 && std::chrono::steady_clock::now() - start >= kMutexSpin) {
                break;
            }
        }
    }
}

// A release's part when threads sleep on the mutex: it hands the mutex to
// the first sleeper if that one woke and found it taken by another thread,
// and otherwise lets it go and wakes the first sleeper (unless a release
// woke it already). The sleeper to wake (null: none).
MutexWaiter* letGoOrHandOn(KernelMutex& m) {
    std::lock_guard g(m.queueLock);
    MutexWaiter* const first = m.first;
    if (first != nullptr && first->word.load(std::memory_order_relaxed) == MutexWaiter::kLost) {
        m.first = first->next;
        if (m.first == nullptr) {
            m.last = nullptr;
            m.state.fetch_and(~KernelMutex::kSleepers); // and it stays taken
        }
        // It holds the mutex: runnable. Shown so before the store, as the
        // store lets it return and its node (on its stack) go.
        setBlocked(*first->record, kal::detail::Blocked::none);
        first->word.store(MutexWaiter::kGranted, std::memory_order_release);
        return first;
    }
    m.state.fetch_and(~KernelMutex::kTaken);
    if (first == nullptr || first->word.load(std::memory_order_relaxed) == MutexWaiter::kWoken) {
        return nullptr;
    }
    setBlocked(*first->record, kal::detail::Blocked::none);
    first->word.store(MutexWaiter::kWoken, std::memory_order_release);
    return first;
}

thread_local std::function<void()> tOnMutexAcquire;
thread_local std::function<void()> tOnMutexRelease;
} // namespace

namespace kal::thread {
void onMutexAcquire(std::function<void()> hook) {
    tOnMutexAcquire = std::move(hook);
}
void onMutexRelease(std::function<void()> hook) {
    tOnMutexRelease = std::move(hook);
}
} // namespace kal::thread

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
    if (tOnMutexAcquire) {
        tOnMutexAcquire();
    }
    std::uint32_t untaken = 0;
    if (!m->state.compare_exchange_strong(untaken, KernelMutex::kTaken, std::memory_order_acquire,
                                          std::memory_order_relaxed) &&
        !spinOn(*m)) {
        sleepOnMutex(*m, me);
    }
    m->holder.store(&me, std::memory_order_release);
    if (kal::detail::tHeldCount < kal::detail::kHeldMarks) {
        kal::detail::tHeld[kal::detail::tHeldCount++] = &m->holderWaking;
    }
}

extern "C" void nVOKAL150_releaseMutex(nVOKAL_tHandle mutex) noexcept {
    KernelMutex* m = asMutex(mutex, "nVOKAL150_releaseMutex");
    if (m->holder.load() != &kal::detail::self()) {
        KAL_FAIL("nVOKAL150_releaseMutex: the calling thread does not hold this mutex");
    }
    m->holder.store(nullptr, std::memory_order_release);
    auto& held = kal::detail::tHeld;
    for (std::size_t k = kal::detail::tHeldCount; k-- > 0;) {
        if (held[k] == &m->holderWaking) {
            held[k] = held[--kal::detail::tHeldCount];
            break;
        }
    }
    std::uint32_t taken = KernelMutex::kTaken;
    if (!tOnMutexRelease &&
        m->state.compare_exchange_strong(taken, 0, std::memory_order_release, std::memory_order_relaxed)) {
        return; // nobody sleeps on it, and nothing touches it after the store
    }
    m->releasing.fetch_add(1);
    MutexWaiter* const woken = letGoOrHandOn(*m);
    if (tOnMutexRelease) {
        tOnMutexRelease();
    }
    if (woken != nullptr) {
        // The sleeper may have gone by now (one handed the mutex returns
        // without the queue lock): a wake at its node's old address is at
        // worst a spurious one for whoever sleeps there, who looks again.
        kal::detail::futexWake(&woken->word, 1);
    }
    m->releasing.fetch_sub(1, std::memory_order_release); // the last touch of the mutex
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
    state->magic = kEventMagic;
    new (&state->word) std::atomic<std::uint32_t>(0);
}

extern "C" void nVOKAL100_releaseSingleUseEvent(void* event) noexcept {
    EventState* state = asEvent(event, "nVOKAL100_releaseSingleUseEvent");
    checkInitialised(state, "nVOKAL100_releaseSingleUseEvent");
    if ((state->word.fetch_or(kal::detail::kReleased) & kal::detail::kReleased) != 0) {
        KAL_FAIL("nVOKAL100_releaseSingleUseEvent: the event was already released");
    }
    // From here on the waiter may return and end the event's storage: the
    // wake-up uses only the word's address.
    wakeEventWaiter(&state->word);
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
