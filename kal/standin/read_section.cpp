// Read sections (detail.h): each thread that reads owns a record holding the
// epoch in which its outermost section began (0 outside any); a waiter moves
// the epoch on and waits until no record holds an older one.
//
// As a kernel's RCU readers pay no fence, a section's epoch store is a plain
// store: the waiter makes every thread of the process pass a full barrier
// (standin/barrier.h) after its entry went out of the table and before it reads the
// records, so a section either shows its epoch to the waiter or finds the
// table without the entry. Without membarrier, or under ThreadSanitizer
// (which does not model it), the store is sequentially consistent instead.
#include <atomic>
#include <cstdint>
#include <new>
#include <thread>

#include "standin/barrier.h"
#include "standin/control.h"
#include "standin/detail.h"

namespace kal::detail {

// A cache line of its own: the epoch is written by every section.
struct alignas(64) Reader {
    std::atomic<std::uint64_t> epoch{0};
    unsigned depth = 0; // owner only
    std::atomic<bool> taken{true};
    Reader* next = nullptr; // set before the record is linked, then fixed
};

namespace {

std::atomic<std::uint64_t> gEpoch{1};
// Every record (taken over by a later thread once its owner ends; never freed).
std::atomic<Reader*> gReaders{nullptr};
// Sections of threads without a record (ending threads, or no memory for
// one), counted: a waiter waits for the count to be zero.
std::atomic<std::uint64_t> gUnrecorded{0};
// Waiters held up by a section that began before them.
std::atomic<std::size_t> gHeldUp{0};

struct ReaderOwner {
    Reader* reader = nullptr;
    ~ReaderOwner();
};
thread_local ReaderOwner tReader;
// The thread's record while it has one (what sections read: a trivial
// thread-local costs no initialisation check).
thread_local Reader* tMine = nullptr;
// Set once the owner is destroyed: later sections of the thread are unrecorded.
thread_local bool tReaderGone = false;

ReaderOwner::~ReaderOwner() {
    tReaderGone = true;
    tMine = nullptr;
    if (reader != nullptr) {
        reader->taken.store(false, std::memory_order_release);
        reader = nullptr;
    }
}

Reader* takeReader() {
    if (tReaderGone) {
        return nullptr;
    }
    for (Reader* r = gReaders.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        bool taken = false;
        if (!r->taken.load(std::memory_order_relaxed) &&
            r->taken.compare_exchange_strong(taken, true, std::memory_order_acquire)) {
            tReader.reader = r;
            tMine = r;
            return r;
        }
    }
    auto* made = new (std::nothrow) Reader;
    if (made == nullptr) {
        return nullptr;
    }
    made->next = gReaders.load(std::memory_order_relaxed);
    while (!gReaders.compare_exchange_weak(made->next, made, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
    tReader.reader = made;
    tMine = made;
    return made;
}

} // namespace

ReadSection::ReadSection() : reader_(tMine != nullptr ? tMine : takeReader()) {
    if (reader_ == nullptr) {
        gUnrecorded.fetch_add(1);
        return;
    }
    if (reader_->depth++ == 0) {
        const std::uint64_t epoch = gEpoch.load(std::memory_order_acquire);
        if (kal::barrier::gProcessWide.load(std::memory_order_relaxed)) {
            reader_->epoch.store(epoch, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst); // the table's loads stay after it
        } else {
            reader_->epoch.store(epoch);
        }
    }
}

ReadSection::~ReadSection() {
    if (reader_ == nullptr) {
        gUnrecorded.fetch_sub(1, std::memory_order_release);
        return;
    }
    if (--reader_->depth == 0) {
        reader_->epoch.store(0, std::memory_order_release);
    }
}

void waitForReaders() {
    if (tMine != nullptr && tMine->depth != 0) {
        KAL_FAIL("waiting for the readers of a table inside a read section (it would wait for itself)");
    }
    kal::barrier::heavyFence();
    const std::uint64_t target = gEpoch.fetch_add(1) + 1;
    auto older = [target](const Reader& r) {
        const std::uint64_t epoch = r.epoch.load();
        return epoch != 0 && epoch < target;
    };
    for (Reader* r = gReaders.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        if (!older(*r)) {
            continue;
        }
        gHeldUp.fetch_add(1);
        while (older(*r)) {
            std::this_thread::yield();
        }
        gHeldUp.fetch_sub(1);
    }
    while (gUnrecorded.load() != 0) {
        std::this_thread::yield();
    }
}

} // namespace kal::detail

namespace kal::tables {

std::size_t waitingForAccesses() {
    return kal::detail::gHeldUp.load();
}

} // namespace kal::tables
