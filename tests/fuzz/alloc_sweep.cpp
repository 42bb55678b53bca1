// The allocation-failure sweep.
//
// For each board: the module's addition (which sets it up) and a full reset
// to the highest level the product reaches, each with the Nth allocation
// failing, for N = offset + 1, offset + 1 + stride, ... up to the count of a
// clean run; then the first request of every code at that level the same way
// (the seed request of the fuzzer): with a stride, every Kth request from the
// offset, each with every allocation failing in turn. Each must end in a clean
// failure status (or success) with nothing left allocated, and the next reset
// must reach the top level again.
//
//   alloc_sweep [--stride K] [--offset O]   (default: every N; O < K)
//   alloc_sweep --sample K                  every Kth N, the offset chosen
//                                           from the clock and printed
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "control.h"
#include "host.h"
#include "ioctl_fuzz.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"
#include "sweep_host.h"

namespace {

std::uint64_t stride = 1;
std::uint64_t offset = 0;
unsigned failures = 0;

void check(bool ok, const std::string& what, std::uint64_t n) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr,
                     "FAILED: %s (allocation %llu failing; replay with --stride %llu --offset %llu)\n",
                     what.c_str(), static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(stride), static_cast<unsigned long long>(offset));
    }
}

// Sweeps one phase: clean() counts its allocations; run(n) runs it with the
// nth failing and checks the outcome, for n = first, first + step, ...
template <class Clean, class Run>
std::uint64_t sweep(Clean clean, Run run, std::uint64_t first = offset + 1, std::uint64_t step = stride) {
    kal::memory::resetCounters();
    clean();
    const std::uint64_t calls = kal::memory::allocationCalls();
    std::uint64_t runs = 0;
    for (std::uint64_t n = first; n <= calls; n += step) {
        run(n);
        ++runs;
    }
    return runs;
}

template <class Out, class In> int request(int handle, std::uint32_t code, const In& in, Out& out) {
    kelvo_ioctl_header header{reinterpret_cast<std::uintptr_t>(&in),
                              reinterpret_cast<std::uintptr_t>(&out),
                              sizeof(In),
                              sizeof(Out),
                              0,
                              0};
    return kelvo_ioctl(handle, code, &header);
}

// Resets a device to 19 on a fresh handle, then asks its level on another
// (the reset invalidated the first): true when that is the top level.
bool reachesTop(unsigned device, std::uint32_t top) {
    const int resetting = kelvo_open("smu_kelvo", device);
    if (resetting < 0) {
        return false;
    }
    kelvo_kdut_reset_in reset{};
    reset.setupLevel = KELVO_SETUP_LEVEL_COMPLETE;
    kelvo_kdut_reset_out resetOut{};
    request(resetting, KELVO_IOCTL_kdut_reset, reset, resetOut);
    kelvo_close(resetting);
    const int asking = kelvo_open("smu_kelvo", device);
    if (asking < 0) {
        return false;
    }
    kelvo_status_record none{};
    kelvo_kelvo_getSetupLevel_out level{};
    const int transport = request(asking, KELVO_IOCTL_kelvo_getSetupLevel, none, level);
    kelvo_close(asking);
    return transport == 0 && level.status >= 0 && level.setupLevel == top;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (option == "--stride") {
            stride = value ? value : 1;
        } else if (option == "--offset") {
            offset = value;
        } else if (option == "--sample") {
            stride = value ? value : 1;
            const char* fixed = std::getenv("KELVO_SWEEP_SEED"); // a mutation run repeats one sample
            offset =
                fixed != nullptr
                    ? std::strtoull(fixed, nullptr, 10)
                    : static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // progress shows as it goes, in a log too
    offset %= stride;
    std::printf("alloc_sweep: stride %llu, offset %llu\n", static_cast<unsigned long long>(stride),
                static_cast<unsigned long long>(offset));

    // The hardware-fault sweep's pace: the settles of a setup cost little.
    kal::clock::ScopedScale fast(100.0);
    kelvo_fuzz::Options options;
    options.eventSpacing = 0;
    const std::uint32_t top = kelvo_sweep::startOnProductLevels(options);
    std::printf("top level %u\n", top);

    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        const char* name = kelvo_fuzz::boards()[board].c_str();
        // The addition of a second module of the board (its setup runs in the addition).
        const std::uint64_t adds = sweep(
            [&] { kelvo_host_remove_module(static_cast<unsigned>(kelvo_host_add_module(name))); },
            [&](std::uint64_t n) {
                const std::size_t live = kal::memory::liveAllocations();
                kal::memory::failNth(n);
                const int index = kelvo_host_add_module(name);
                kal::memory::clearFaults();
                if (index >= 0) {
                    // Whatever setup reached, a handle opens and a reset reaches the top level.
                    check(reachesTop(static_cast<unsigned>(index), top),
                          std::string(name) + ": added device stuck", n);
                    check(kelvo_host_remove_module(static_cast<unsigned>(index)) == 0, "removal", n);
                }
                check(kal::memory::liveAllocations() == live, std::string(name) + ": addition leaked", n);
            });
        // A full reset from level 0.
        kelvo_fuzz::resetDevice(board, 0);
        const std::size_t atZero = kal::memory::liveAllocations();
        const std::uint64_t resets = sweep(
            [&] { kelvo_fuzz::resetOnly(board, KELVO_SETUP_LEVEL_COMPLETE); },
            [&](std::uint64_t n) {
                // The handles anew first: the counting run's reset (like the
                // failing one) left their sessions invalidated.
                kelvo_fuzz::reopen(board);
                kelvo_fuzz::resetDevice(board, 0);
                check(kelvo_fuzz::setupLevel(board) == 0, std::string(name) + ": not at level 0", n);
                kal::memory::failNth(n);
                const std::int32_t status = kelvo_fuzz::resetOnly(board, KELVO_SETUP_LEVEL_COMPLETE);
                kal::memory::clearFaults();
                kelvo_fuzz::reopen(board);
                check(status < 0, std::string(name) + ": a failed reset answered " + std::to_string(status),
                      n);
                const std::int32_t toZero = kelvo_fuzz::resetDevice(board, 0);
                check(toZero == 0 || toZero == KELVO_STATUS_SETUP_TARGET_REACHED,
                      std::string(name) + ": reset to 0 answered " + std::to_string(toZero), n);
                check(kal::memory::liveAllocations() == atZero, std::string(name) + ": reset leaked", n);
                kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                check(kelvo_fuzz::setupLevel(board) == top, std::string(name) + ": the next reset fell short",
                      n);
            });
        kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
        // The first request of every code at the top level, and of each of the platform's.
        std::vector<std::pair<std::string, std::vector<std::uint8_t>>> firsts;
        for (unsigned index = 0; index < kelvo_fuzz::codeCount(); ++index) {
            if (kelvo_fuzz::code(index) != KELVO_IOCTL_kdut_reset) {
                firsts.emplace_back(kelvo_fuzz::codeName(index), kelvo_fuzz::seedForCode(board, index));
            }
        }
        unsigned platform = 0;
        for (const std::vector<std::uint8_t>& seed : kelvo_fuzz::platformSeeds(board)) {
            firsts.emplace_back("platform request " + std::to_string(platform++), seed);
        }
        std::uint64_t requests = 0;
        for (std::size_t chosen = offset; chosen < firsts.size(); chosen += stride) {
            // Named references, not a structured binding: clang 14 cannot capture bindings in lambdas.
            const auto& request = firsts[chosen].first;
            const auto& seed = firsts[chosen].second;
            const std::string what = std::string(name) + " " + request;
            kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
            kelvo_fuzz::runInput(seed.data(), seed.size());
            kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
            const std::size_t clean = kal::memory::liveAllocations();
            requests += sweep([&] { kelvo_fuzz::runInput(seed.data(), seed.size()); },
                              [&](std::uint64_t n) {
                                  kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                                  kal::memory::failNth(n);
                                  kelvo_fuzz::runInput(seed.data(), seed.size());
                                  kal::memory::clearFaults();
                                  kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                                  check(kal::memory::liveAllocations() <= clean, what + ": leaked", n);
                                  check(kelvo_fuzz::setupLevel(board) == top,
                                        what + ": the next reset fell short", n);
                              },
                              1, 1);
        }
        std::printf("%s: %llu additions, %llu resets, %llu requests with a failing allocation\n", name,
                    static_cast<unsigned long long>(adds), static_cast<unsigned long long>(resets),
                    static_cast<unsigned long long>(requests));
    }
    kelvo_fuzz::stop();
    check(kal::memory::liveAllocations() == 0, "allocations left after the host stopped", 0);
    check(kelvo_host::faults().empty(), "the host saw a driver fault", 0);
    std::printf("alloc_sweep: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
