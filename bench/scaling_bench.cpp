// How requests and bring-ups scale with threads.
//
// Requests: `kelvo_getSetupLevel` and `arm_read` by name (the scratch
// register of the non-isolated FPGA's required block) from 1, 2, 4, 8 and 16
// threads, each thread with a handle of its own (as separate processes would
// have), on one Solstra module at level 19 or spread over two. The time is the
// run's wall time over every thread's calls (the inverse of the throughput),
// so the ratio of a threaded run to the one-thread run of the same request on
// the same modules is the inverse of its speed-up.
// Bring-up: 1 to 16 Solstra modules added to level 19 one after another on
// one thread, and the same modules added from 8 threads at once (each thread
// takes the next module to add), wall time of the adds (the removals are not
// timed), with the stand-in clock 1000 times faster as in bringup_bench.cpp.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "standin/control.h"
#include "ioctl_header.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"

namespace {

constexpr std::uint32_t kScratchField = 0x0033B4C6;
const std::string kNisoScratchMap = "SolstraNisoTopRegMap_BoardWin_SolstraNisoBoardRegMap_StandardRegsWin_"
                                    "SolstraStandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379";

// A started host with modules at level 19 for one benchmark run (made before
// its threads start and ended after they stop).
struct Modules {
    std::vector<unsigned> devices;
    bool ready = false;
};
Modules* gModules = nullptr;

void startModules(int count) {
    gModules = new Modules;
    const kal::clock::ScopedScale fast(1000.0);
    if (kelvo_host_start() != 0) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        const int index = kelvo_host_add_module("solstra");
        if (index < 0) {
            return;
        }
        gModules->devices.push_back(static_cast<unsigned>(index));
    }
    gModules->ready = true;
}

void startOneModule(const benchmark::State&) {
    startModules(1);
}
void startTwoModules(const benchmark::State&) {
    startModules(2);
}
void stopModules(const benchmark::State&) {
    kelvo_host_stop();
    delete gModules;
    gModules = nullptr;
}

using kelvo_bench::headerOf;

// Opens the calling thread's handle on its module (threads take the modules
// in turn), runs call once per iteration with it, and closes it.
template <typename Call> void onOwnHandle(benchmark::State& state, Call&& call) {
    if (gModules == nullptr || !gModules->ready) {
        state.SkipWithError("the modules were not added");
        return;
    }
    const unsigned device =
        gModules->devices[static_cast<std::size_t>(state.thread_index()) % gModules->devices.size()];
    const int handle = kelvo_open("smu_kelvo", device);
    if (handle < 0) {
        state.SkipWithError("the handle was not opened");
        return;
    }
    for (auto _ : state) {
        if (!call(handle)) {
            state.SkipWithError("the request failed");
            break;
        }
    }
    kelvo_close(handle);
}

void Scaling_GetSetupLevel(benchmark::State& state) {
    const kelvo_kelvo_getSetupLevel_in in{0};
    kelvo_kelvo_getSetupLevel_out out{};
    kelvo_ioctl_header header = headerOf(in, out);
    onOwnHandle(state, [&](int handle) {
        const int result = kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header);
        benchmark::DoNotOptimize(out);
        return result == 0 && out.status == 0 && out.setupLevel == 19;
    });
}

void Scaling_ArmReadByName(benchmark::State& state) {
    const kelvo_arm_read_in in{reinterpret_cast<std::uintptr_t>(kNisoScratchMap.data()),
                               kNisoScratchMap.size(), kScratchField, 0};
    kelvo_arm_read_out out{};
    kelvo_ioctl_header header = headerOf(in, out);
    onOwnHandle(state, [&](int handle) {
        const int result = kelvo_ioctl(handle, KELVO_IOCTL_arm_read, &header);
        benchmark::DoNotOptimize(out);
        return result == 0 && out.status == 0;
    });
}

// Names end in /modules:1 or /modules:2 and /threads:T.
#define KELVO_SCALING(function)                                                                              \
    BENCHMARK(function)                                                                                      \
        ->Name(#function "/modules:1")                                                                       \
        ->Setup(startOneModule)                                                                              \
        ->Teardown(stopModules)                                                                              \
        ->UseRealTime()                                                                                      \
        ->ThreadRange(1, 16);                                                                                \
    BENCHMARK(function)                                                                                      \
        ->Name(#function "/modules:2")                                                                       \
        ->Setup(startTwoModules)                                                                             \
        ->Teardown(stopModules)                                                                              \
        ->UseRealTime()                                                                                      \
        ->ThreadRange(1, 16)
KELVO_SCALING(Scaling_GetSetupLevel);
KELVO_SCALING(Scaling_ArmReadByName);

// Adds count Solstra modules from threads threads (each adding the next
// module until all are added); false when one was not added. The indexes of
// the added modules are put in devices.
bool addModules(int count, int threads, std::vector<unsigned>& devices) {
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::vector<int> added(static_cast<std::size_t>(count), -1);
    auto work = [&] {
        for (int i = next++; i < count; i = next++) {
            added[static_cast<std::size_t>(i)] = kelvo_host_add_module("solstra");
            if (added[static_cast<std::size_t>(i)] < 0) {
                failed = true;
            }
        }
    };
    if (threads <= 1) {
        work();
    } else {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back(work);
        }
        for (auto& thread : pool) {
            thread.join();
        }
    }
    for (int index : added) {
        if (index >= 0) {
            devices.push_back(static_cast<unsigned>(index));
        }
    }
    return !failed;
}

void addsFrom(benchmark::State& state, int threads) {
    const auto count = static_cast<int>(state.range(0));
    const kal::clock::ScopedScale fast(1000.0);
    if (kelvo_host_start() != 0) {
        state.SkipWithError("the host did not start");
        return;
    }
    for (auto _ : state) {
        std::vector<unsigned> devices;
        const auto start = std::chrono::steady_clock::now();
        const bool added = addModules(count, std::min(threads, count), devices);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        for (unsigned device : devices) {
            kelvo_host_remove_module(device);
        }
        if (!added) {
            state.SkipWithError("a module was not added");
            break;
        }
    }
    kelvo_host_stop();
}

void Modules_AddSerial(benchmark::State& state) {
    addsFrom(state, 1);
}
void Modules_AddFrom8Threads(benchmark::State& state) {
    addsFrom(state, 8);
}
BENCHMARK(Modules_AddSerial)
    ->RangeMultiplier(2)
    ->Range(1, 16)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Modules_AddFrom8Threads)
    ->RangeMultiplier(2)
    ->Range(1, 16)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
