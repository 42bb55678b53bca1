// The round trip of I/O-control requests through the host's C API (the
// callback, the header copy, the decode, the gate, the record copies) beside
// a trivial system call measured in the same run: `kelvo_getSetupLevel` and
// `arm_get` by name, one thread, and `kelvo_getSetupLevel` from eight
// threads on one device, a Solstra module at level 19. The ratio to getppid is the request's cost in
// system calls. The threaded runs report the per-call latency of one thread
// as the `latency_ns` counter (the time columns of a threaded run are the
// run's wall time over every thread's calls). Separately: `kdut_cleanup` and
// the close of a handle after N startDMA requests refused for want of
// transfers (a refused request leaves no cleanup work, so N does not matter),
// each after as many requests in all.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/kelvo_device.h"
#include "core/kelvo_helper.h"
#include "host/host.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"
#include "regs/dynamic_access.h"
#include "soft_map.h"

namespace {

using nVOAPALS100::tStatus;

constexpr char kMapName[] = "BenchMap";
constexpr std::uint32_t kFieldValue = 0x2468ACE0;

// A register map that answers every field from its soft copy: arm_get costs
// the request and the name lookup, no register access.
inline constexpr char kNoVersion[] = "";
using SoftMap = kelvo_bench::SoftMap<kFieldValue, kNoVersion>;

// One host with one simulated module at level 19 and one session for a
// benchmark's run; the device's register-map registry holds the soft map.
struct Session {
    Session() {
        if (kelvo_host_start() != 0) {
            return;
        }
        const int index = kelvo_host_add_module("solstra");
        if (index < 0) {
            return;
        }
        auto* device =
            static_cast<kelvo_driver::KelvoDevice*>(kelvo_host::device(static_cast<unsigned>(index)));
        kelvo_driver::KelvoHelper* helper = device != nullptr ? device->getKelvoHelper() : nullptr;
        if (helper != nullptr) {
            tStatus status;
            helper->getARMDispatcher().add(kMapName, map, status);
            mapRegistered = status.isSuccess();
        }
        handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        deviceIndex = index;
        atLevel19 = device != nullptr && device->getSetupTracker().getCurrentLevel() == 19;
    }
    // The host goes first: the registration must not outlive the map.
    ~Session() { kelvo_host_stop(); }
    SoftMap map;
    bool mapRegistered = false;
    bool atLevel19 = false;
    int handle = -1;
    int deviceIndex = -1;
};

// Made before a benchmark's threads start and ended after they stop (never
// at the process's exit: the stand-in's per-thread records are gone by the
// time static objects are destroyed).
Session* gSession = nullptr;
void startSession(const benchmark::State&) {
    gSession = new Session;
}
void stopSession(const benchmark::State&) {
    delete gSession;
    gSession = nullptr;
}
Session& session() {
    return *gSession;
}

// One request with its records in the caller's memory.
template <class In, class Out> struct Request {
    In in{};
    Out out{};
    kelvo_ioctl_header header{};
    Request() {
        header.inputAddress = reinterpret_cast<std::uintptr_t>(&in);
        header.inputSize = sizeof(In);
        header.outputAddress = reinterpret_cast<std::uintptr_t>(&out);
        header.outputSize = sizeof(Out);
    }
    bool send(int handle, unsigned code) {
        const int result = kelvo_ioctl(handle, code, &header);
        benchmark::DoNotOptimize(out);
        return result == 0 && out.status == 0;
    }
};

// Runs call once per iteration; on a threaded run also the thread's own
// per-call wall time, averaged over the threads.
template <class Call> void measure(benchmark::State& state, Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!call()) {
            state.SkipWithError("the request failed");
            return;
        }
    }
    const auto elapsed = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
    if (state.threads() > 1 && state.iterations() > 0) {
        state.counters["latency_ns"] = benchmark::Counter(
            elapsed.count() / static_cast<double>(state.iterations()), benchmark::Counter::kAvgThreads);
    }
}

void BM_getSetupLevel(benchmark::State& state) {
    const int handle = session().handle;
    if (handle < 0 || !session().atLevel19) {
        state.SkipWithError("no device at level 19");
        return;
    }
    Request<kelvo_kelvo_getSetupLevel_in, kelvo_kelvo_getSetupLevel_out> request;
    measure(state, [&] {
        return request.send(handle, KELVO_IOCTL_kelvo_getSetupLevel) && request.out.setupLevel == 19;
    });
}
BENCHMARK(BM_getSetupLevel)->Setup(startSession)->Teardown(stopSession);
BENCHMARK(BM_getSetupLevel)->Threads(8)->Setup(startSession)->Teardown(stopSession);

void BM_armGetByName(benchmark::State& state) {
    const int handle = session().handle;
    if (handle < 0 || !session().mapRegistered || !session().atLevel19) {
        state.SkipWithError("no device or no map");
        return;
    }
    Request<kelvo_arm_get_in, kelvo_arm_get_out> request;
    request.in.nameAddress = reinterpret_cast<std::uintptr_t>(kMapName);
    request.in.nameLength = std::strlen(kMapName);
    request.in.fieldId = 1;
    measure(state,
            [&] { return request.send(handle, KELVO_IOCTL_arm_get) && request.out.value == kFieldValue; });
}
BENCHMARK(BM_armGetByName)->Setup(startSession)->Teardown(stopSession);

// kdut_cleanup and close of a new handle after one and after 1000 startDMA
// requests refused for want of transfers, in turns, kRounds times each: the
// medians of the two (the requests themselves are not timed) and their ratio
// (median_ratio). Medians, since a loaded machine preempts some rounds. Both
// sides send 1000 requests on the handle before the cleanup, the one refused
// start's side the rest as level requests (which leave nothing to clean up),
// so that both leave the processor in the same state and only the refused
// starts differ.
constexpr int kCleanupRounds = 200;
constexpr int kRequestsBeforeCleanup = 1000;

// The time of kdut_cleanup and close after refused startDMA requests; < 0 on a failure.
double cleanupAfterRefusedStarts(int refused) {
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(session().deviceIndex));
    if (handle < 0) {
        return -1;
    }
    Request<kelvo_brixelTools_startDMA_in, kelvo_brixelTools_startDMA_out> start;
    for (int i = 0; i < refused; ++i) {
        if (start.send(handle, KELVO_IOCTL_brixelTools_startDMA) ||
            start.out.status != KELVO_STATUS_INVALID_PARAMETER) {
            kelvo_close(handle);
            return -1;
        }
    }
    Request<kelvo_kelvo_getSetupLevel_in, kelvo_kelvo_getSetupLevel_out> level;
    for (int i = refused; i < kRequestsBeforeCleanup; ++i) {
        if (!level.send(handle, KELVO_IOCTL_kelvo_getSetupLevel)) {
            kelvo_close(handle);
            return -1;
        }
    }
    Request<kelvo_kdut_cleanup_in, kelvo_kdut_cleanup_out> cleanup;
    const auto begin = std::chrono::steady_clock::now();
    const bool cleaned = cleanup.send(handle, KELVO_IOCTL_kdut_cleanup);
    const bool closed = kelvo_close(handle) == 0;
    const auto end = std::chrono::steady_clock::now();
    return cleaned && closed ? std::chrono::duration<double, std::micro>(end - begin).count() : -1;
}

void BM_CleanupAfterRefusedStarts(benchmark::State& state) {
    if (session().deviceIndex < 0 || !session().atLevel19) {
        state.SkipWithError("no device at level 19");
        return;
    }
    for (auto _ : state) {
        std::vector<double> afterOne;
        std::vector<double> afterThousand;
        for (int round = 0; round < kCleanupRounds; ++round) {
            afterOne.push_back(cleanupAfterRefusedStarts(1));
            afterThousand.push_back(cleanupAfterRefusedStarts(kRequestsBeforeCleanup));
            if (afterOne.back() < 0 || afterThousand.back() < 0) {
                state.SkipWithError("a start was not refused for want of transfers, or the cleanup failed");
                return;
            }
        }
        std::sort(afterOne.begin(), afterOne.end());
        std::sort(afterThousand.begin(), afterThousand.end());
        const double one = afterOne[afterOne.size() / 2];
        const double thousand = afterThousand[afterThousand.size() / 2];
        state.counters["after_one_us"] = one;
        state.counters["after_1000_us"] = thousand;
        state.counters["min_after_one_us"] = afterOne.front();
        state.counters["min_after_1000_us"] = afterThousand.front();
        state.counters["median_ratio"] = thousand / one;
    }
}
BENCHMARK(BM_CleanupAfterRefusedStarts)->Iterations(1)->Setup(startSession)->Teardown(stopSession);

void BM_getppid(benchmark::State& state) {
    measure(state, [] {
        benchmark::DoNotOptimize(getppid());
        return true;
    });
}
BENCHMARK(BM_getppid);
BENCHMARK(BM_getppid)->Threads(8);

} // namespace
