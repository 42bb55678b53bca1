// Stand-in for the kernel layer's interrupt reservation and delivery: every
// reserved interrupt number has a thread of its own that runs the number's
// handlers at interrupt level when a device raises it (kal::pci::raiseInterrupt).
// Each number's thread sleeps on a condition of its own (raising one number
// wakes only its thread, after the raiser let go of the lock) and copies the
// handlers only when they change. The DPCs the handlers schedule run on the
// same thread once the handlers return.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"

namespace {

struct Reservation {
    nVOKAL_tInterruptHandler handler;
    void* context;
    std::string name;
    bool shared;
};

struct Line {
    std::vector<Reservation> reservations;
    std::uint64_t changes = 0;    // of reservations
    std::condition_variable wake; // the thread waits on it (with the state's lock)
    std::thread thread;
    std::thread::id threadId;
    bool pending = false;
    bool running = false;
    bool stop = false;
    std::uint64_t started = 0;  // rounds begun
    std::uint64_t finished = 0; // rounds ended
};

struct InterruptState {
    std::mutex lock;
    std::condition_variable changed; // a round ended (what drains and relinquishes wait for)
    std::map<std::uint32_t, std::shared_ptr<Line>> lines;      // live while reserved
    std::map<std::uint32_t, kal::pci::InterruptCounts> counts; // of every number ever raised
};

InterruptState& state() {
    static InterruptState* s = new InterruptState; // lives for the whole process
    return *s;
}

void lineMain(std::uint32_t number, Line* line) {
    auto& s = state();
    std::unique_lock l(s.lock);
    std::vector<Reservation> handlers; // the line's, as of seen
    std::uint64_t seen = ~std::uint64_t{0};
    kal::detail::InterruptDpcs dpcs;
    for (;;) {
        line->wake.wait(l, [&] { return line->stop || line->pending; });
        if (line->stop) {
            return;
        }
        line->pending = false;
        line->running = true;
        line->started += 1;
        if (seen != line->changes) {
            handlers = line->reservations;
            seen = line->changes;
        }
        l.unlock();
        bool claimed = false;
        {
            kal::exec::LevelScope level(kal::exec::Level::interrupt);
            for (const Reservation& r : handlers) {
                claimed = r.handler(r.context) != 0 || claimed;
                if (kal::exec::spinLocksHeld() != 0) {
                    KAL_FAIL("the interrupt handler of " + r.name + " returned holding a spin lock");
                }
            }
        }
        dpcs.run();
        l.lock();
        auto& counts = s.counts[number];
        counts.rounds += 1;
        if (!claimed) {
            counts.unclaimed += 1;
        }
        line->running = false;
        line->finished += 1;
        s.changed.notify_all();
    }
}

} // namespace

namespace kal::pci {

void raiseInterrupt(nVOKAL_tHandle handle) {
    const std::uint32_t number = interruptNumber(handle);
    auto& s = state();
    std::shared_ptr<Line> line; // keeps its condition alive until the notification
    {
        std::lock_guard g(s.lock);
        auto& counts = s.counts[number];
        counts.raised += 1;
        auto found = s.lines.find(number);
        if (number == 0 || found == s.lines.end()) {
            counts.dropped += 1;
            return;
        }
        if (found->second->pending) {
            return; // its thread is woken already
        }
        found->second->pending = true;
        line = found->second;
    }
    line->wake.notify_one();
}

InterruptCounts interruptCounts(std::uint32_t number) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto found = s.counts.find(number);
    return found == s.counts.end() ? InterruptCounts{} : found->second;
}

std::size_t reservedInterrupts() {
    auto& s = state();
    std::lock_guard g(s.lock);
    std::size_t count = 0;
    for (const auto& [number, line] : s.lines) {
        count += line->reservations.size();
    }
    return count;
}

void drainInterrupts() {
    auto& s = state();
    std::unique_lock l(s.lock);
    s.changed.wait(l, [&] {
        return std::none_of(s.lines.begin(), s.lines.end(),
                            [](const auto& kv) { return kv.second->pending || kv.second->running; });
    });
}

} // namespace kal::pci

extern "C" nVOKAL_tStatus nVOKAL1400_reserveInterrupt(uint32_t interruptNumber,
                                                      nVOKAL_tInterruptHandler handler, void* context,
                                                      const char* name, uint32_t flags) noexcept {
    kal::exec::assertMayBlock("nVOKAL1400_reserveInterrupt");
    if (handler == nullptr || name == nullptr) {
        return nVOKAL_kStatusInvalidParameter;
    }
    if (kal::faults::shouldFail(kal::faults::kInterrupt)) {
        return nVOKAL_kStatusBusy;
    }
    const bool shared = (flags & NVOKAL_INTERRUPT_SHARED) != 0;
    auto& s = state();
    std::lock_guard g(s.lock);
    auto& line = s.lines[interruptNumber];
    if (line == nullptr) {
        line = std::make_shared<Line>();
    }
    for (const Reservation& r : line->reservations) {
        if ((r.handler == handler && r.context == context) || !r.shared || !shared) {
            return nVOKAL_kStatusBusy;
        }
    }
    line->reservations.push_back(Reservation{handler, context, name, shared});
    line->changes += 1;
    if (!line->thread.joinable()) {
        line->thread = std::thread(lineMain, interruptNumber, line.get());
        line->threadId = line->thread.get_id();
    }
    return nVOKAL_kSuccess;
}

extern "C" void nVOKAL100_relinquishInterrupt(uint32_t interruptNumber, nVOKAL_tInterruptHandler handler,
                                              void* context) noexcept {
    kal::exec::assertMayBlock("nVOKAL100_relinquishInterrupt");
    auto& s = state();
    std::shared_ptr<Line> line;
    bool last = false;
    {
        std::unique_lock l(s.lock);
        auto found = s.lines.find(interruptNumber);
        if (found != s.lines.end()) {
            line = found->second;
        }
        auto it = line == nullptr ? std::vector<Reservation>::iterator{}
                                  : std::find_if(line->reservations.begin(), line->reservations.end(),
                                                 [&](const Reservation& r) {
                                                     return r.handler == handler && r.context == context;
                                                 });
        if (line == nullptr || it == line->reservations.end()) {
            KAL_FAIL("nVOKAL100_relinquishInterrupt of an interrupt that is not reserved so");
        }
        if (line->threadId == std::this_thread::get_id()) {
            KAL_FAIL("nVOKAL100_relinquishInterrupt from an interrupt handler");
        }
        line->reservations.erase(it);
        line->changes += 1;
        // A round that began before the removal may still call the handler:
        // wait for it to end. Later rounds no longer see it.
        const std::uint64_t began = line->started;
        s.changed.wait(l, [&] { return line->finished >= began; });
        if (line->reservations.empty() && !line->stop) {
            last = true;
            line->stop = true;
            line->wake.notify_one();
            s.lines.erase(interruptNumber);
        }
    }
    if (last) {
        line->thread.join();
    }
}
