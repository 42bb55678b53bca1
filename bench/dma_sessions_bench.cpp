// Two handles on the DMA streams of one module, through the host's C API:
// one handle adds a page to stream 0 and clears the stream's transfers, over
// and over, while the other loops resets of stream 1's application FIFO
// (each sleeps 10 ms, on a clock run at real time here, as in a kernel).
// The baseline, in the same run: the same pairs while the other handle is
// idle. The two streams share only the dispatcher, so the ratio shows how
// much one stream's hardware waits hold up requests on the other.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "host/kelvo_host.h"
#include "ioctl_header.h"
#include "kelvo/ioctl.h"
#include "standin/control.h"

namespace {

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

void addAndClear(benchmark::State& state, bool resetsBeside) {
    Bed bed;
    if (bed.adder < 0 || bed.resetter < 0 || bed.page == nullptr || !bed.addAndClear()) {
        state.SkipWithError("no module, handle or stream");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> resets{0};
    std::thread other;
    if (resetsBeside) {
        other = std::thread([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                if (ask(bed.resetter, KELVO_IOCTL_brixelTools_clearApplicationFIFO,
                        kelvo_brixelTools_clearApplicationFIFO_in{1, 0}) == 0) {
                    resets.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
        while (resets.load() == 0) { // under way before the first measured pair
            std::this_thread::yield();
        }
    }
    for (auto _ : state) {
        if (!bed.addAndClear()) {
            state.SkipWithError("an add or clear failed");
            break;
        }
    }
    stop = true;
    if (other.joinable()) {
        other.join();
    }
    state.counters["resets"] = static_cast<double>(resets.load());
}

void DmaSessions_AddClearBesideIdle(benchmark::State& state) {
    addAndClear(state, false);
}
void DmaSessions_AddClearBesideFifoResets(benchmark::State& state) {
    addAndClear(state, true);
}
// Half a second of pairs each (the default): about 50 FIFO resets beside them.
BENCHMARK(DmaSessions_AddClearBesideIdle)->Unit(benchmark::kMicrosecond);
BENCHMARK(DmaSessions_AddClearBesideFifoResets)->Unit(benchmark::kMicrosecond);

} // namespace
