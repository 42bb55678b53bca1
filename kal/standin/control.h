// Control surface of the kernel-layer stand-in, for the host and for tests.
//
// The stand-in implements the nVOKAL operations over the threads, memory and
// clock of this process. This header is what its users (never the driver) call
// to observe it and to inject faults. The PCI bus (device side, topology and
// per-function knobs) has its own header, pci_bus.h (namespace kal::pci).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "standin/control_io.h"
#include "standin/control_registration.h"

namespace kal {

// ---- memory -------------------------------------------------------------
namespace memory {
// Blocks handed out by nVOKAL100_malloc and not yet freed.
std::size_t liveAllocations();
// The bytes asked for those blocks (a block of 0 bytes counts as 1).
std::size_t liveBytes();
// Every nVOKAL100_malloc call so far (successful or failed) since the last reset.
std::uint64_t allocationCalls();
// Allocations made while the caller ran at interrupt or DPC level or held a spin lock.
std::uint64_t atomicAllocations();
// The largest size asked of nVOKAL100_malloc since the last reset (granted or not).
std::uint64_t largestRequest();
// Fails exactly the nth call from now (1 = the next one). 0 disables.
void failNth(std::uint64_t n);
// Fails every call after the next n calls succeeded.
void failAfter(std::uint64_t n);
// Removes every memory fault.
void clearFaults();
// Resets the call counters and the largest request (not the live count) and removes faults.
void resetCounters();
} // namespace memory

// ---- debugger output ----------------------------------------------------
namespace log {
// Everything printed through nVOKAL100_printToDebugger since the last clear.
std::string text();
void clear();
// Echo every print to standard error too (also switched on by KELVO_KAL_ECHO=1).
void setEcho(bool on);
} // namespace log

// ---- halt ---------------------------------------------------------------
namespace halt {
// What nVOKAL250_halt does after reporting to standard error. The hook must
// not return (it may end the process or end the calling thread); if it
// returns, the process aborts. The default ends the process with abort().
using Hook = void (*)(const char* component, const char* file, std::uint32_t line, const char* message);
void setHook(Hook hook);
// Number of halts seen (for hooks that end only the thread).
std::uint64_t count();
} // namespace halt

// ---- clock ------------------------------------------------------------------
// Every stand-in clock (monotonic counter in ns, timer count with a 1000 us
// interval, time of day), sleep and timed wait runs on one time base. Its
// scale is the factor by which it runs faster than real time (1 by default),
// so that long settles cost little real time while order and outcomes stay.
namespace clock {
// factor > 0. Running waits and sleeps follow the new scale.
void setScale(double factor);
double scale();
// Sets the scale for a scope and puts the previous one back at its end.
class ScopedScale {
public:
    explicit ScopedScale(double factor) : previous_(scale()) { setScale(factor); }
    ~ScopedScale() { setScale(previous_); }
    ScopedScale(const ScopedScale&) = delete;
    ScopedScale& operator=(const ScopedScale&) = delete;

private:
    double previous_;
};
// Stepped time: while on, the stand-in time stands still except that every
// nVOKAL250_sleepTimeout moves it on by its length (a zero sleep by 1 us) and
// returns at once, so a poll loop bounded by time runs the same number of
// rounds under any load. With a read step, every read of the time
// (nVOKAL1_getMonotonicCounter, nVOKAL110_getTimerCount,
// nVOKAL100_getTimeOfDay) also moves it on by that many nanoseconds after
// answering, so a loop that spins on the clock ends after a fixed number of
// reads too. Timed waits see time that reads moved on at their next wake-up.
void setStepped(bool on, std::uint64_t readStepNs = 0);
bool stepped();
class ScopedStepped {
public:
    explicit ScopedStepped(std::uint64_t readStepNs = 0) { setStepped(true, readStepNs); }
    ~ScopedStepped() { setStepped(false); }
    ScopedStepped(const ScopedStepped&) = delete;
    ScopedStepped& operator=(const ScopedStepped&) = delete;
};
// nVOKAL100_getTimeOfDay answers exactly this (seconds since 1970, microseconds
// below 1000000) until clearTimeOfDay(); by default it follows the system clock.
void setTimeOfDay(std::uint32_t seconds, std::uint32_t microseconds);
void clearTimeOfDay();
// Every nVOKAL250_sleepTimeout request, in call order (the latest 64 Ki at most).
struct SleepRecord {
    std::uint64_t threadId; // nVOKAL100_getThreadID of the sleeper
    std::uint32_t microseconds;
};
std::vector<SleepRecord> sleepLog();
void clearSleepLog();
} // namespace clock

// ---- threads ------------------------------------------------------------------
// Thread IDs are those of nVOKAL100_getThreadID.
namespace thread {
// The IDs of the live kernel threads (nVOKAL250_createNamedThread, not yet joined) with this name.
std::vector<std::uint64_t> findByName(const std::string& name);
// Interrupts the thread: its current or next interruptible wait returns
// interrupted (the interrupt is then used up); other waits ignore it.
// False when no such thread lives.
bool interrupt(std::uint64_t threadId);
// True while the thread is blocked in a mutex, event wait, sleep or join.
bool isBlocked(std::uint64_t threadId);
// Yields until the thread is blocked (false after 30 s of real time).
bool waitUntilBlocked(std::uint64_t threadId);
// Kernel threads created and not yet joined.
std::size_t unjoinedThreads();
// Runs hook on the calling thread before each nVOKAL150_acquireMutex it
// makes from now on (an empty hook: no more), so a test can act while the
// thread is at one of its locks, holding the ones taken before.
void onMutexAcquire(std::function<void()> hook);
// Runs hook on the calling thread inside each nVOKAL150_releaseMutex it makes
// from now on, once the mutex is free for others or handed to a sleeper, and
// before the release wakes that sleeper and is out of it (an empty hook: no
// more).
void onMutexRelease(std::function<void()> hook);
} // namespace thread

// ---- creation faults ------------------------------------------------------------
// Creation calls that a test can make fail, each kind with its own call count.
// Events and semaphores of the driver fail through their spin lock; memory
// (kal::memory), registrations (kal::registration) and socket buffers
// (kal::sockets) have knobs of their own. Another area adds a kind by naming
// it here and asking shouldFail(kind) in its creator.
namespace faults {
inline constexpr std::string_view kMutex = "mutex";       // nVOKAL150_createMutex
inline constexpr std::string_view kSpinLock = "spinLock"; // nVOKAL100_createSpinLock
inline constexpr std::string_view kThread = "thread";     // nVOKAL250_createNamedThread
inline constexpr std::string_view kPageList = "pageList"; // page list creation (allocation and user)
inline constexpr std::string_view kSGL = "sgl";           // nVOKAL220_tSGL_createForPCI
inline constexpr std::string_view kDPC = "dpc";           // nVOKAL100_createDPC
// nVOKAL1400_reserveInterrupt answers nVOKAL_kStatusBusy (as when another driver holds the number unshared).
inline constexpr std::string_view kInterrupt = "interrupt";
// nVOKAL230_mapPhysicalToKernel answers null (beside the function's refuseMapping knob, pci_bus.h).
inline constexpr std::string_view kDeviceMapping = "deviceMapping";
// Fails exactly the nth call of that kind from now (1 = the next one). 0 disables.
void failNth(std::string_view kind, std::uint64_t n);
// Fails every call of that kind after the next n succeeded.
void failAfter(std::string_view kind, std::uint64_t n);
// Removes every creation fault (counts stay).
void clear();
// Calls of that kind so far.
std::uint64_t calls(std::string_view kind);
// For the stand-in's creators: counts one call and says whether it must fail.
bool shouldFail(std::string_view kind);
} // namespace faults

// ---- tables read without a lock ---------------------------------------------
// Device accesses find the mapping, the function and the bus addresses they
// reach without a lock, as a kernel reads such tables under RCU: an unmap, an
// unplug, a page list's destruction or a scatter-gather list's unmap takes
// its entry out and then waits for the accesses under way (a device's
// memoryRead or memoryWrite, a DMA copy) before the entry or the memory it
// reaches goes.
namespace tables {
// Threads waiting so for an access that began before them to end.
std::size_t waitingForAccesses();
} // namespace tables

// ---- live objects -------------------------------------------------------------
// Every kernel-layer object a driver can leave behind, counted while it lives,
// for leak checks. The driver's events and semaphores each own a spin lock, so
// a leaked one shows as a spin lock.
namespace live {
// nVOKAL150_createMutex and nVOKAL100_createSpinLock handles not yet destroyed.
std::size_t mutexes();
std::size_t spinLocks();

struct Counts {
    std::size_t allocations = 0;      // nVOKAL100_malloc blocks
    std::size_t mutexes = 0;          // kernel mutexes
    std::size_t spinLocks = 0;        // spin locks (driver events and semaphores included)
    std::size_t dpcs = 0;             // DPCs created and not destroyed
    std::size_t threads = 0;          // kernel threads not joined
    std::size_t deviceMappings = 0;   // device memory mapped to the kernel
    std::size_t interrupts = 0;       // interrupt reservations
    std::size_t pageLists = 0;        // page lists
    std::size_t pageListMappings = 0; // kernel mappings of page lists
    std::size_t sgls = 0;             // scatter-gather lists
    std::size_t socketBuffers = 0;    // socket buffers neither sent nor released
    std::size_t interfaces = 0;       // registered device interfaces
    std::size_t properties = 0;       // registered properties
    bool operator==(const Counts&) const = default;
};
Counts now();
// One "name=count" per kind, for failure messages.
std::string describe(const Counts& counts);
} // namespace live

} // namespace kal
