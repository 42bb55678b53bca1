// Control surface of the kernel-layer stand-in, for the host and for tests.
//
// The stand-in implements the nVOKAL operations over the threads, memory and
// clock of this process. This header is what its users (never the driver) call
// to observe it and to inject faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "control_io.h"
#include "control_registration.h"

namespace kal {

// ---- memory -------------------------------------------------------------
namespace memory {
// Blocks handed out by nVOKAL100_malloc and not yet freed.
std::size_t liveAllocations();
// Every nVOKAL100_malloc call so far (successful or failed) since the last reset.
std::uint64_t allocationCalls();
// Allocations made while the caller ran at interrupt or DPC level or held a spin lock.
std::uint64_t atomicAllocations();
// Fails exactly the nth call from now (1 = the next one). 0 disables.
void failNth(std::uint64_t n);
// Fails every call after the next n calls succeeded.
void failAfter(std::uint64_t n);
// Removes every memory fault.
void clearFaults();
// Resets the call counters (not the live count) and removes faults.
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

} // namespace kal
