// Two handles on the DMA streams of one module, through the host's C API:
// one handle adds a page to stream 0 and clears the stream's transfers, over
// and over, while the other is idle or loops resets of stream 1's
// application FIFO (each sleeps 10 ms, on a clock run at real time here, as
// in a kernel). The two streams share only the dispatcher, so the ratio of
// the pairs' time beside the resets to their time beside an idle handle
// shows how much one stream's hardware waits hold up requests on the other.
// Both sides are measured in turns in one repetition, on one module: rounds
// of pairs beside the resets and beside the idle handle alternate, so a
// change of load or of the module's state falls on both alike.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "host/kelvo_host.h"
#include "ioctl_header.h"
#include "kelvo/ioctl.h"
#include "standin/control.h"

namespace {

constexpr int kRounds = 15;          // of each side
constexpr int kPairsPerRound = 3000; // about 30 ms: three resets

template <class In> std::int32_t ask(int handle, unsigned code, const In& in) {
    kelvo_status_record out{};
    kelvo_ioctl_header header = kelvo_bench::headerOf(in, out);
    return kelvo_ioctl(handle, code, &header) == 0 ? out.status : -1;
}

// The host with a Duskmere module (no credits on stream 1: a FIFO clear
// resets the FIFO whoever asks), two handles and a page of client memory.
struct Bed {
    Bed() {
        kal::clock::setScale(1);
        if (kelvo_host_start() != 0) {
            return;
        }
        const int index = kelvo_host_add_module("duskmere-a");
        if (index < 0) {
            return;
        }
        adder = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        resetter = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        page = static_cast<std::uint8_t*>(std::aligned_alloc(4096, 4096));
    }
    ~Bed() {
        kelvo_host_stop();
        std::free(page);
        kal::clock::setScale(scale);
    }
    bool addAndClear() const {
        const kelvo_brixelTools_addTransferFromDevice_in add{0,    0, reinterpret_cast<std::uintptr_t>(page),
                                                             4096, 0, 0};
        return ask(adder, KELVO_IOCTL_brixelTools_addTransferFromDevice, add) == 0 &&
               ask(adder, KELVO_IOCTL_brixelTools_clearTransfers,
                   kelvo_brixelTools_clearTransfers_in{0, 0}) == 0;
    }
    const double scale = kal::clock::scale();
    int adder = -1;
    int resetter = -1;
    std::uint8_t* page = nullptr;
};

// The other handle: parked while idle, else resetting stream 1's FIFO.
class Resetter {
public:
    explicit Resetter(const Bed& bed)
        : thread_([this, &bed] {
              std::unique_lock lock(mutex_);
              while (!stop_) {
                  if (!on_) {
                      parked_ = true;
                      changed_.notify_all();
                      changed_.wait(lock);
                      continue;
                  }
                  parked_ = false;
                  lock.unlock();
                  const bool reset = ask(bed.resetter, KELVO_IOCTL_brixelTools_clearApplicationFIFO,
                                         kelvo_brixelTools_clearApplicationFIFO_in{1, 0}) == 0;
                  lock.lock();
                  failed_ = failed_ || !reset;
                  ++resets_;
                  changed_.notify_all();
              }
          }) {}
    ~Resetter() {
        set(false);
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    // On: returns once a reset has begun after the call; off: once parked.
    void set(bool on) {
        std::unique_lock lock(mutex_);
        on_ = on;
        changed_.notify_all();
        const std::uint64_t before = resets_;
        changed_.wait(lock, [&] { return on ? resets_ > before || failed_ : parked_; });
    }
    bool failed() {
        std::lock_guard lock(mutex_);
        return failed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool on_ = false, parked_ = false, stop_ = false, failed_ = false;
    std::uint64_t resets_ = 0;
    std::thread thread_;
};

// Microseconds per pair of one round; negative on a failed request.
double round(const Bed& bed) {
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kPairsPerRound; ++i) {
        if (!bed.addAndClear()) {
            return -1;
        }
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count() /
           kPairsPerRound;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void DmaSessions_AddClearBesideFifoResets(benchmark::State& state) {
    const Bed bed;
    if (bed.adder < 0 || bed.resetter < 0 || bed.page == nullptr || !bed.addAndClear()) {
        state.SkipWithError("no module, handle or stream");
        return;
    }
    Resetter resetter(bed);
    for (auto _ : state) {
        std::vector<double> idle, resets;
        for (int r = 0; r < 2 * kRounds; ++r) {
            const bool on = (r % 2 == 0) == (r % 4 < 2); // on, off, off, on, ...
            resetter.set(on);
            (on ? resets : idle).push_back(round(bed));
            if ((on ? resets : idle).back() < 0 || resetter.failed()) {
                state.SkipWithError("an add, clear or reset failed");
                return;
            }
        }
        state.counters["idle_us"] = median(idle);
        state.counters["resets_us"] = median(resets);
        state.counters["median_ratio"] = median(resets) / median(idle);
        state.counters["min_ratio"] =
            *std::min_element(resets.begin(), resets.end()) / *std::min_element(idle.begin(), idle.end());
    }
}
BENCHMARK(DmaSessions_AddClearBesideFifoResets)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
