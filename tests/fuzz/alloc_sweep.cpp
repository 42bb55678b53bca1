// The allocation-failure sweep, per board: the module's addition and a full reset from level 0 with the
// Nth allocation failing (N = offset + 1, + stride, ...), then every Kth seed from the offset with each of
// its allocations failing in turn: a clean failure (or success), nothing left, the next reset at the top.
//   alloc_sweep [--stride K] [--offset O] | --sample K   (the offset from KELVO_SWEEP_SEED or the clock)
#include <algorithm>

#include "ioctl_fuzz.h"
#include "requests.h"

namespace {

std::uint64_t stride = 1;
std::uint64_t offset = 0;

void check(bool ok, const std::string& what, std::uint64_t n) {
    ::check(ok, what + " (allocation " + std::to_string(n) + " failing; replay with --stride " +
                    std::to_string(stride) + " --offset " + std::to_string(offset) + ")");
}

// Counts the allocations of clean(), then runs run(n) for n = first, first + step, ...
template <class Clean, class Run>
std::uint64_t sweep(Clean clean, Run run, std::uint64_t first = offset + 1, std::uint64_t step = stride) {
    kal::memory::resetCounters();
    clean();
    const std::uint64_t calls = kal::memory::allocationCalls();
    std::uint64_t runs = 0;
    for (std::uint64_t n = first; n <= calls; n += step, ++runs) {
        run(n);
    }
    return runs;
}

bool reachesTop(unsigned device, std::uint32_t top) {
    const int resetting = kelvo_open("smu_kelvo", device);
    ask<kelvo_kdut_reset_out>(resetting, KELVO_IOCTL_kdut_reset,
                              kelvo_kdut_reset_in{KELVO_SETUP_LEVEL_COMPLETE, 0, 0, 0, 0});
    kelvo_close(resetting);
    const int asking = kelvo_open("smu_kelvo", device); // the reset invalidated the first
    kelvo_kelvo_getSetupLevel_out level{};
    const std::int32_t status = ask(asking, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, level);
    kelvo_close(asking);
    return resetting >= 0 && status == 0 && level.setupLevel == top;
}

} // namespace

int main(int argc, char** argv) {
    const char* sample = option(argc, argv, "--sample");
    stride = std::max<std::uint64_t>(1, number(option(argc, argv, "--stride"), number(sample, 1)));
    offset = number(option(argc, argv, "--offset"), sample != nullptr ? sampleSeed(nullptr) : 0) % stride;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("alloc_sweep: stride %llu, offset %llu\n", static_cast<unsigned long long>(stride),
                static_cast<unsigned long long>(offset));

    kelvo_fuzz::start(kelvo_fuzz::Options{0, 100.0});
    const std::uint32_t top = kelvo_fuzz::topLevel();
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        const std::string name = kelvo_fuzz::boards()[board];
        const std::uint64_t adds = sweep(
            [&] { kelvo_host_remove_module(static_cast<unsigned>(kelvo_host_add_module(name.c_str()))); },
            [&](std::uint64_t n) {
                const std::size_t live = kal::memory::liveAllocations();
                kal::memory::failNth(n);
                const int index = kelvo_host_add_module(name.c_str());
                kal::memory::clearFaults();
                if (index >= 0) { // whatever setup reached, a reset on a fresh handle reaches the top
                    check(reachesTop(static_cast<unsigned>(index), top), name + ": added device stuck", n);
                    check(kelvo_host_remove_module(static_cast<unsigned>(index)) == 0, "removal", n);
                }
                check(kal::memory::liveAllocations() == live, name + ": addition leaked", n);
            });
        kelvo_fuzz::resetDevice(board, 0);
        const std::size_t atZero = kal::memory::liveAllocations();
        const std::uint64_t resets =
            sweep([&] { kelvo_fuzz::resetOnly(board, KELVO_SETUP_LEVEL_COMPLETE); },
                  [&](std::uint64_t n) {
                      kelvo_fuzz::reopen(board); // the last reset invalidated the sessions
                      kelvo_fuzz::resetDevice(board, 0);
                      kal::memory::failNth(n);
                      const std::int32_t status = kelvo_fuzz::resetOnly(board, KELVO_SETUP_LEVEL_COMPLETE);
                      kal::memory::clearFaults();
                      kelvo_fuzz::reopen(board);
                      check(status < 0, name + ": a failed reset answered " + std::to_string(status), n);
                      const std::int32_t toZero = kelvo_fuzz::resetDevice(board, 0);
                      check(toZero == 0 || toZero == KELVO_STATUS_SETUP_TARGET_REACHED,
                            name + ": reset to 0 answered " + std::to_string(toZero), n);
                      check(kal::memory::liveAllocations() == atZero, name + ": reset leaked", n);
                      kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                      check(kelvo_fuzz::setupLevel(board) == top, name + ": the next reset fell short", n);
                  });
        kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
        const std::vector<kelvo_fuzz::Seed> seeds = kelvo_fuzz::seedsOf(board);
        std::uint64_t requests = 0;
        for (std::size_t chosen = offset; chosen < seeds.size(); chosen += stride) {
            const kelvo_fuzz::Seed& seed = seeds[chosen];
            const auto run = [&] { kelvo_fuzz::runInput(seed.bytes.data(), seed.bytes.size()); };
            kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
            run();
            kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
            const std::size_t clean = kal::memory::liveAllocations();
            requests += sweep(
                run,
                [&](std::uint64_t n) {
                    kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                    kal::memory::failNth(n);
                    run();
                    kal::memory::clearFaults();
                    kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                    check(kal::memory::liveAllocations() <= clean, name + " " + seed.name + ": leaked", n);
                    check(kelvo_fuzz::setupLevel(board) == top,
                          name + " " + seed.name + ": the next reset fell short", n);
                },
                1, 1);
        }
        std::printf("%s: %llu additions, %llu resets, %llu requests with a failing allocation\n",
                    name.c_str(), static_cast<unsigned long long>(adds),
                    static_cast<unsigned long long>(resets), static_cast<unsigned long long>(requests));
    }
    kelvo_fuzz::stop();
    return verdict("alloc_sweep");
}
