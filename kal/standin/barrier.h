// Internals of the stand-in, also used by the host: a pair of fences for a
// path taken on every request and a path taken rarely, as a kernel pairs a
// reader's plain stores with the grace period of whoever frees.
//
// A thread on the hot path stores, calls lightFence(), then loads; a thread
// on the rare path stores, calls heavyFence(), then loads. Either the rare
// side's loads see the hot side's store, or the hot side's loads see the rare
// side's store (as two sequentially consistent fences give). lightFence()
// costs nothing on the processor where the system offers a process-wide
// memory barrier (membarrier, registered when the program loads); where it
// does not, both are full fences.
#pragma once

#include <atomic>

namespace kal::barrier {

// Set once, at load, before any thread of the program starts.
extern std::atomic<bool> gProcessWide;

// A full fence: a sequentially consistent read-modify-write of a word of the
// calling thread's own (a fence instruction of its own is not something
// ThreadSanitizer takes).
inline void fullFence() {
    static thread_local std::atomic<int> word{0};
    word.fetch_add(0, std::memory_order_seq_cst);
}

inline void lightFence() {
    if (gProcessWide.load(std::memory_order_relaxed)) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        fullFence();
    }
}

// Orders the caller's earlier stores before its later loads against every
// thread's lightFence(). Costs a system call (an interrupt of each processor
// running a thread of the process).
void heavyFence();

} // namespace kal::barrier
