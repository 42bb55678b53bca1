// Internals shared by the stand-in's sources (not for tests: they use
// control.h).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kal::detail {

// Whether AddressSanitizer or ThreadSanitizer instruments this build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Halts with a message, as the kernel would on a misuse of its operations.
[[noreturn]] void fail(const char* file, int line, const std::string& message);
#define KAL_FAIL(message) ::kal::detail::fail(__FILE__, __LINE__, (message))

// ---- clock ----------------------------------------------------------------
// The stand-in's monotonic time in nanoseconds. It runs at the clock's scale
// (a factor over real time); every clock, sleep and timed wait uses it.
std::uint64_t nowNs();
// The real time that virtualNs of stand-in time take at the current scale.
std::chrono::nanoseconds realFor(std::uint64_t virtualNs);

// ---- threads --------------------------------------------------------------
enum class Blocked : int { none = 0, mutex, event, sleep, join };

struct ThreadRecord {
    std::uint64_t id = 0;
    std::string name;
    bool kernelThread = false; // made by nVOKAL250_createNamedThread
    std::thread thread;        // kernel threads only
    bool joining = false;      // under the thread registry's lock
    std::atomic<bool> interruptPending{false};
    std::atomic<int> blocked{0};
    // The word of the single-use event the thread sleeps on (null when none),
    // written under parkLock: whoever wakes every waiter to re-check
    // (wakeAllChannels) marks the word under it, so the event is alive then.
    std::mutex parkLock;
    std::atomic<std::uint32_t>* parkedOn = nullptr;
};

// The calling thread's record (made on first use for threads the stand-in did not start).
ThreadRecord& self();

class BlockedScope {
public:
    BlockedScope(ThreadRecord& record, Blocked kind) : record_(record) {
        record_.blocked.store(static_cast<int>(kind), std::memory_order_release);
    }
    ~BlockedScope() { record_.blocked.store(static_cast<int>(Blocked::none), std::memory_order_release); }
    BlockedScope(const BlockedScope&) = delete;
    BlockedScope& operator=(const BlockedScope&) = delete;

private:
    ThreadRecord& record_;
};

// ---- read sections --------------------------------------------------------
// Tables that are read without a lock while entries are taken out of them
// (device mappings and functions, bus addresses), as a kernel reads such
// tables under RCU: a reader holds a ReadSection from its lookup until it is
// done with what it found; whoever takes an entry out and then calls
// waitForReaders() may free it once that returns, since it waits for every
// section that began before the call (a later one no longer finds the entry).
// The lookups in a section load the table sequentially consistently. Sections
// nest; one costs a store or two of the thread's own. A section must not wait
// for anything that a caller of waitForReaders may hold while it waits, and a
// thread inside a section must not call waitForReaders (it halts).
class ReadSection {
public:
    ReadSection();
    ~ReadSection();
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

private:
    struct Reader* reader_;
};
void waitForReaders();

// ---- futexes --------------------------------------------------------------
// Sleeps while word holds expected, for at most *relative (null: no limit);
// returns at once when it does not, and may return early.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               const std::chrono::nanoseconds* relative);
// Wakes up to count threads asleep on word. The word may be gone already (a
// waiter that saw its change may have returned): only its address is used.
void futexWake(const std::atomic<std::uint32_t>* word, int count);
// Marks the event word of every sleeping thread with kick, and wakes it (to
// re-check interrupts and the clock).
void kickParked(std::uint32_t kick);

// ---- DPCs run by an interrupt thread -----------------------------------------
// While it is alive on an interrupt thread, the DPCs the handlers schedule
// are not handed to their own threads: run() runs them on this thread after
// the handlers, as a kernel runs them on the interrupted CPU as its handler
// returns (one that is held or running elsewhere goes to its own thread).
class InterruptDpcs {
public:
    InterruptDpcs();
    ~InterruptDpcs();
    InterruptDpcs(const InterruptDpcs&) = delete;
    InterruptDpcs& operator=(const InterruptDpcs&) = delete;
    void run();
};

// ---- waiting --------------------------------------------------------------
// Blocked threads wait on one of a few channels chosen by the address of what
// they wait for. Waiters check their condition under the channel's lock;
// whoever changes it does so under the same lock and then notifies. The
// channels live for the whole process, so a notifier never touches the
// waiter's memory after the change.
struct WaitChannel {
    std::mutex lock;
    std::condition_variable cv;
};
WaitChannel& channelFor(const void* address);
// Wakes every blocked thread so that it re-checks (interrupts, clock scale).
void wakeAllChannels();

enum class WaitResult { done, timedOut, interrupted };

// Waits, with the channel's lock held in guard, until done() holds, the
// stand-in time reaches *deadlineNs (when not null), or the thread is
// interrupted (when interruptible; this consumes the pending interrupt).
template <typename Done>
WaitResult blockOn(WaitChannel& channel, std::unique_lock<std::mutex>& guard, Done done,
                   const std::uint64_t* deadlineNs, bool interruptible, Blocked kind) {
    ThreadRecord& me = self();
    // Real time between re-checks, so that a change of the clock's scale takes effect.
    constexpr std::chrono::nanoseconds kRecheck = std::chrono::milliseconds(5);
    for (;;) {
        if (done()) {
            return WaitResult::done;
        }
        if (interruptible && me.interruptPending.exchange(false)) {
            return WaitResult::interrupted;
        }
        std::chrono::nanoseconds wait = kRecheck;
        if (deadlineNs != nullptr) {
            const std::uint64_t now = nowNs();
            if (now >= *deadlineNs) {
                return WaitResult::timedOut;
            }
            wait = std::min(wait, realFor(*deadlineNs - now));
        }
        BlockedScope blocked(me, kind);
        channel.cv.wait_for(guard, wait);
    }
}

} // namespace kal::detail
