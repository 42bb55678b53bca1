// Interrupt to waiter: from the simulated DMA engine's notify-at event (the
// engine queues its channel in the bridge's interrupt queue and the bridge
// raises its message-signalled interrupt) to the return of the waiting
// thread's waitUntilBytesTransferred, through the stand-in's interrupt
// thread (which runs the handler and then, as a kernel does on the
// interrupted CPU, the DPC it scheduled) and the driver's worker thread. The
// baseline, measured in the same run, is a relay of condition-variable
// hand-offs through as many threads as that path wakes (interrupt thread,
// worker, waiter). Each
// benchmark iteration is 10^5 round trips; the counters are the median and
// the 99th percentile of one round trip in microseconds, for the path and
// for the relay, and their ratios (goal: at most 1); the round trips of the
// two alternate. No wait is unbounded: a
// round trip that has not ended within kRoundTripLimit fails the benchmark.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/dma_interrupt_controller.h"
#include "bridge/interrupt_controller.h"
#include "standin/control.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "platform/device_info.h"
#include "platform/pci_device.h"
#include "sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using nVOAPALS100::tStatus;

constexpr std::size_t kRoundTrips = 100000;
// Far beyond any round trip, even on a loaded machine.
constexpr std::chrono::seconds kRoundTripLimit{10};
constexpr std::uint32_t kRoundTripLimitMs = 10000;

struct Percentiles {
    double median;
    double p99;
};

Percentiles percentiles(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

double microseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

// ---- the relay -----------------------------------------------------------------

// Threads pass one token along: stage k waits on its own condition variable
// for its turn, then hands the token to stage k + 1; the last stage reports
// back to the benchmark's thread.
class Relay {
public:
    explicit Relay(std::size_t stages) : slots_(stages + 1) {
        for (std::size_t k = 0; k < stages; ++k) {
            threads_.emplace_back([this, k] { run(k); });
        }
    }
    ~Relay() {
        for (Slot& slot : slots_) {
            std::lock_guard g(slot.lock);
            slot.stop = true;
            slot.changed.notify_one();
        }
        for (auto& t : threads_) {
            t.join();
        }
    }
    // One hand-off through every stage: the time until the last stage has
    // it; negative when it did not arrive within kRoundTripLimit.
    double roundTrip() {
        const Clock::time_point start = Clock::now();
        pass(0);
        Slot& back = slots_.back();
        std::unique_lock l(back.lock);
        if (!back.changed.wait_for(l, kRoundTripLimit, [&] { return back.turns > back.taken; })) {
            return -1.0;
        }
        ++back.taken;
        return microseconds(start, ended_);
    }

private:
    struct Slot {
        std::mutex lock;
        std::condition_variable changed;
        std::uint64_t turns = 0;
        std::uint64_t taken = 0;
        bool stop = false;
    };
    void pass(std::size_t k) {
        Slot& slot = slots_[k];
        std::lock_guard g(slot.lock);
        ++slot.turns;
        slot.changed.notify_one();
    }
    void run(std::size_t k) {
        Slot& slot = slots_[k];
        for (;;) {
            {
                std::unique_lock l(slot.lock);
                slot.changed.wait(l, [&] { return slot.stop || slot.turns > slot.taken; });
                if (slot.stop) {
                    return;
                }
                ++slot.taken;
            }
            if (k + 2 == slots_.size()) {
                ended_ = Clock::now(); // read by the benchmark after the hand-off below
            }
            pass(k + 1);
        }
    }

    std::vector<Slot> slots_;
    std::vector<std::thread> threads_;
    Clock::time_point ended_;
};

// ---- the interrupt path --------------------------------------------------------------

// The waiter's view of the channel: the count the benchmark sets before it
// has the engine raise its notify-at event. Round r waits from count r for
// one more; a read that finds the count still at r is published (shortIn =
// r + 1) only after the load, so a kick that follows the publication cannot
// be what that read saw: the waiter is armed and will wait for the interrupt.
class Channel : public brixeltools::DMAStreamInterface {
public:
    void writeStreamAdditiveTransferCount(std::uint32_t, tStatus&) override {}
    void setTransferCountNotification(std::uint64_t, tStatus&) override {}
    std::uint64_t getTransferCount(tStatus&) override {
        const std::uint64_t value = count.load();
        if (value == round.load()) {
            shortIn.store(value + 1);
        }
        return value;
    }
    void enableInterrupt() override {}
    void disableInterrupt() override {}
    std::atomic<std::uint64_t> count{0};
    std::atomic<std::uint64_t> round{0};   // the waiter's round (its start count)
    std::atomic<std::uint64_t> shortIn{0}; // r + 1: round r's waiter found the count short
};

class InterruptPath {
public:
    InterruptPath() {
        module_ = bus_.plug("solstra");
        nVOKAL_tPCIDevice record{};
        kal::pci::describe(module_->pciHandle(), record);
        const bool msi = nVOKAL230_pciRequestMSI(&record, 1) == 0;
        nVOAPAL200_tDeviceInfo info;
        std::memset(&info, 0, sizeof info);
        info.busType = nVOAPAL200_kBusTypePCI;
        info.pciHandle = record.pciHandle;
        info.driverName = "vokelvo_driver";
        for (const nVOKAL_tPCIResource& r : record.resources) {
            if ((r.flags & NVOKAL_PCI_RESOURCE_MEMORY) != 0) {
                info.memoryWindows[info.numberOfMemoryWindows++] = {r.start, r.size, 0};
            }
        }
        info.numaNode = -1;
        info.interruptNumber = record.interruptNumber;
        info.interruptType = msi ? nVOAPAL200_kInterruptTypeMSI : nVOAPAL200_kInterruptTypeLine;
        info.msiFlag = msi ? 1 : 0;
        tStatus status;
        device_ = new (status, false) kelvo_driver::nVOAPAL000::tPCIDevice(info, status);
        window_ = device_->mapMemoryWindow(0, status, 0);
        bar_ = kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor(window_, info.memoryWindows[0].size);
        interrupts_ = new (status, true) brixeltools::InterruptController(*device_, bar_, status);
        waits_ = new (status, true) brixeltools::BrixelDMAInterruptController(interrupts_, status);
        ok_ = status.isSuccess();
        // The engine's notify-at is enabled once; each round arms it at a count it has reached.
        module_->dma(0).setControl(sim::DmaEngine::kNotifyAtEnable);
        waiter_ = std::thread([this] { waitLoop(); });
    }
    ~InterruptPath() {
        stop_ = true;
        kick();
        waiter_.join();
        delete waits_;
        delete interrupts_;
        device_->unmapMemoryWindow(0, window_, 0);
        delete device_;
    }
    bool ok() const { return ok_; }

    // One kick to the waiter's return; negative when the waiter did not look
    // or did not return within kRoundTripLimit, or its wait failed.
    double roundTrip() {
        const std::uint64_t target = round_ + 1;
        // The waiter has found the count short for this round: it waits for the interrupt.
        const Clock::time_point limit = Clock::now() + kRoundTripLimit;
        while (channel_.shortIn.load() != target) {
            if (Clock::now() > limit || failed_.load()) {
                return -1.0;
            }
            std::this_thread::yield();
        }
        const Clock::time_point start = Clock::now();
        kick();
        std::unique_lock l(lock_);
        if (!changed_.wait_for(l, kRoundTripLimit, [&] { return returned_ == target || failed_.load(); }) ||
            returned_ != target) {
            return -1.0;
        }
        round_ = target;
        return microseconds(start, ended_);
    }

private:
    // The bytes are there and the engine raises its notify-at event.
    void kick() {
        channel_.count.fetch_add(1);
        module_->dma(0).arm(0);
    }
    void waitLoop() {
        for (std::uint64_t round = 0; !stop_.load(); ++round) {
            channel_.round.store(round);
            tStatus status;
            bool timedOut = false;
            waits_->waitUntilBytesTransferred(channel_, 0, round, 1, kRoundTripLimitMs, &timedOut, status);
            const Clock::time_point now = Clock::now();
            {
                std::lock_guard g(lock_);
                if (timedOut || !status.isSuccess()) {
                    failed_ = true;
                } else {
                    ended_ = now;
                    returned_ = round + 1;
                }
            }
            changed_.notify_all();
            if (failed_.load()) {
                return;
            }
        }
    }

    sim::Bus bus_;
    std::shared_ptr<sim::Module> module_;
    kelvo_driver::nVOAPAL000::tPCIDevice* device_ = nullptr;
    void* window_ = nullptr;
    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor bar_;
    brixeltools::InterruptController* interrupts_ = nullptr;
    brixeltools::BrixelDMAInterruptController* waits_ = nullptr;
    bool ok_ = false;
    Channel channel_;
    std::thread waiter_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false}; // a wait of the waiter's timed out or failed
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t returned_ = 0;
    std::uint64_t round_ = 0;
    Clock::time_point ended_;
};

void Interrupt_NotifyAtToWaiter(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<double> relay;
        std::vector<double> path;
        relay.reserve(kRoundTrips);
        path.reserve(kRoundTrips);
        {
            // Interleaved, one round trip of each in turn: a change of load
            // falls on both alike.
            Relay baseline(3);
            InterruptPath interrupt;
            if (!interrupt.ok()) {
                state.SkipWithError("the interrupt controllers could not be built");
                return;
            }
            for (std::size_t i = 0; i < kRoundTrips; ++i) {
                relay.push_back(baseline.roundTrip());
                if (relay.back() < 0) {
                    state.SkipWithError("a hand-off of the relay did not arrive in time");
                    return;
                }
                path.push_back(interrupt.roundTrip());
                if (path.back() < 0) {
                    state.SkipWithError("a round trip did not end in time, or its wait failed");
                    return;
                }
            }
        }
        const Percentiles b = percentiles(relay);
        const Percentiles p = percentiles(path);
        state.counters["median_us"] = p.median;
        state.counters["p99_us"] = p.p99;
        state.counters["relay_median_us"] = b.median;
        state.counters["relay_p99_us"] = b.p99;
        state.counters["median_ratio"] = p.median / b.median;
        state.counters["p99_ratio"] = p.p99 / b.p99;
    }
}
BENCHMARK(Interrupt_NotifyAtToWaiter)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
