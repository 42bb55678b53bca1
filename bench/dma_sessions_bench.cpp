// Handles on the DMA streams of one module, through the host's C API: one
// handle adds a page to stream 0 and clears the stream's transfers, over and
// over, beside the others' loops, each side in rounds that take turns within
// one repetition on one module, so a change of load or of the module's state
// falls on every side alike. The clock runs at real time, as in a kernel: a
// FIFO reset sleeps 10 ms.
// - Beside an idle handle and beside one that loops resets of stream 1's
//   application FIFO: the streams share only the dispatcher, so the ratio
//   shows how much one stream's hardware waits hold up requests on the other.
// - Beside the resets, beside a handle that loops an addition of a page to
//   stream 0 and its cleanup, and beside both at once: a cleanup that held
//   stream 0 while it waited for stream 1 would hold the pairs up behind
//   every reset, so the pairs beside both would fall far below their rate
//   beside either alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
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
        cleaner = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        page = static_cast<std::uint8_t*>(std::aligned_alloc(4096, 4096));
    }
    bool ok() const {
        return adder >= 0 && resetter >= 0 && cleaner >= 0 && page != nullptr && addAndClear();
    }
    ~Bed() {
        kelvo_host_stop();
        std::free(page);
        kal::clock::setScale(scale);
    }
    std::int32_t add(int handle) const {
        const kelvo_brixelTools_addTransferFromDevice_in in{0,    0, reinterpret_cast<std::uintptr_t>(page),
                                                            4096, 0, 0};
        return ask(handle, KELVO_IOCTL_brixelTools_addTransferFromDevice, in);
    }
    // The clear takes back the cleaner's page too; it answers -52006 when the
    // cleaner's page was first in the lists.
    bool addAndClear() const {
        if (add(adder) != 0) {
            return false;
        }
        const std::int32_t clear =
            ask(adder, KELVO_IOCTL_brixelTools_clearTransfers, kelvo_brixelTools_clearTransfers_in{0, 0});
        return clear == 0 || clear == KELVO_STATUS_NOT_ACCESSIBLE;
    }
    bool reset() const {
        return ask(resetter, KELVO_IOCTL_brixelTools_clearApplicationFIFO,
                   kelvo_brixelTools_clearApplicationFIFO_in{1, 0}) == 0;
    }
    bool addAndCleanUp() const {
        return add(cleaner) == 0 && ask(cleaner, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{0}) == 0;
    }
    const double scale = kal::clock::scale();
    int adder = -1;
    int resetter = -1;
    int cleaner = -1;
    std::uint8_t* page = nullptr;
};

// Another handle's loop of one request: parked while off.
class Looper {
public:
    explicit Looper(std::function<bool()> request)
        : thread_([this, request = std::move(request)] {
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
                  const bool done = request();
                  lock.lock();
                  failed_ = failed_ || !done;
                  ++loops_;
                  changed_.notify_all();
              }
          }) {}
    ~Looper() {
        set(false);
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    // On: returns once a request has ended after the call; off: once parked.
    void set(bool on) {
        std::unique_lock lock(mutex_);
        on_ = on;
        changed_.notify_all();
        const std::uint64_t before = loops_;
        changed_.wait(lock, [&] { return on ? loops_ > before || failed_ : parked_; });
    }
    bool failed() {
        std::lock_guard lock(mutex_);
        return failed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool on_ = false, parked_ = false, stop_ = false, failed_ = false;
    std::uint64_t loops_ = 0;
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
    if (!bed.ok()) {
        state.SkipWithError("no module, handle or stream");
        return;
    }
    Looper resetter([&] { return bed.reset(); });
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

// The pairs beside both loops over the pairs beside the slower of the two
// alone (medians; and the minima).
void DmaSessions_AddClearBesideResetsAndCleanups(benchmark::State& state) {
    const Bed bed;
    if (!bed.ok()) {
        state.SkipWithError("no module, handle or stream");
        return;
    }
    Looper resetter([&] { return bed.reset(); });
    Looper cleaner([&] { return bed.addAndCleanUp(); });
    // Sides: resets alone, cleanups alone, both; in the order 0 1 2 2 1 0 ...
    constexpr bool kResets[] = {true, false, true};
    constexpr bool kCleanups[] = {false, true, true};
    for (auto _ : state) {
        std::vector<double> sides[3];
        for (int r = 0; r < 3 * kRounds; ++r) {
            const int side = (r / 3) % 2 == 0 ? r % 3 : 2 - r % 3;
            resetter.set(kResets[side]);
            cleaner.set(kCleanups[side]);
            sides[side].push_back(round(bed));
            if (sides[side].back() < 0 || resetter.failed() || cleaner.failed()) {
                state.SkipWithError("an add, clear, reset or cleanup failed");
                return;
            }
        }
        const auto least = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
        state.counters["resets_us"] = median(sides[0]);
        state.counters["cleanups_us"] = median(sides[1]);
        state.counters["both_us"] = median(sides[2]);
        state.counters["alone_us"] = std::max(median(sides[0]), median(sides[1]));
        state.counters["median_ratio"] = median(sides[2]) / std::max(median(sides[0]), median(sides[1]));
        state.counters["min_ratio"] = least(sides[2]) / std::max(least(sides[0]), least(sides[1]));
    }
}
BENCHMARK(DmaSessions_AddClearBesideResetsAndCleanups)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
