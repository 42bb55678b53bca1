// The round trip of one I/O-control request through the host's C API (the
// callback, the header copy, the decode, the gate, the record copies) beside
// a trivial system call measured in the same run. The ratio of the two is
// the request's cost in system calls.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>

#include "kelvo/ioctl.h"
#include "kelvo_host.h"

namespace {

// One host with one simulated module for the whole run.
struct Session {
    Session() {
        if (kelvo_host_start() == 0) {
            const int device = kelvo_host_add_module("solstra");
            handle = device >= 0 ? kelvo_open("smu_kelvo", static_cast<unsigned>(device)) : -1;
        }
    }
    ~Session() { kelvo_host_stop(); }
    int handle = -1;
};

Session& session() {
    static Session s;
    return s;
}

void BM_getSetupLevel(benchmark::State& state) {
    const int handle = session().handle;
    if (handle < 0) {
        state.SkipWithError("no device");
        return;
    }
    kelvo_kelvo_getSetupLevel_in in{0};
    kelvo_kelvo_getSetupLevel_out out{};
    kelvo_ioctl_header header{};
    header.inputAddress = reinterpret_cast<std::uintptr_t>(&in);
    header.inputSize = sizeof(in);
    header.outputAddress = reinterpret_cast<std::uintptr_t>(&out);
    header.outputSize = sizeof(out);
    for (auto _ : state) {
        const int result = kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(out);
        if (result != 0 || out.status != 0) {
            state.SkipWithError("the request failed");
            break;
        }
    }
}
BENCHMARK(BM_getSetupLevel);

void BM_getppid(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(getppid());
    }
}
BENCHMARK(BM_getppid);

} // namespace
