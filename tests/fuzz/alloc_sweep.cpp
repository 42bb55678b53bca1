// The allocation-failure sweep, per board and per kind of kernel-layer object the driver makes and the
// kernel layer may refuse (memory, mutexes, spin locks (the driver's events and semaphores own one),
// threads, DPCs, interrupt reservations, device mappings, page lists, scatter-gather lists, interface and
// property registrations): the module's addition and a full reset from level 0 with the Nth creation of
// the kind failing (every N; for memory N = offset + 1, + stride, ...), then every Kth seed from the
// offset with each of its creations of the kind failing in turn. Each ends in a clean failure (a reset
// with the kind's code) or success, leaves every kernel-layer object count where it was and the next
// reset reaches the top.
//   alloc_sweep [--stride K] [--offset O] | --sample K   (the offset from KELVO_SWEEP_SEED or the clock)
//               [--kind NAME | --kind objects] [--board NAME]   (one kind, or every kind but memory)
#include <algorithm>
#include <functional>

#include "ioctl_fuzz.h"
#include "requests.h"

namespace {

std::uint64_t stride = 1;
std::uint64_t offset = 0;

// A kind of creation the kernel layer can refuse: its calls so far, its knob (the nth call from now) and
// the code a reset answers when one fails (none for the registrations, which only an addition makes).
struct Kind {
    std::string name;
    std::function<std::uint64_t()> calls;
    std::function<void(std::uint64_t)> failNth;
    std::int32_t code;
    bool sampled; // memory: every stride-th from the offset; the others: every one
};

std::vector<Kind> kinds() {
    namespace f = kal::faults;
    constexpr std::int32_t kNoMemory = KELVO_STATUS_OUT_OF_MEMORY;
    constexpr std::int32_t kUnexpected = KELVO_STATUS_UNEXPECTED_KERNEL_RESULT;
    std::vector<Kind> all{{"allocation", kal::memory::allocationCalls, kal::memory::failNth, kNoMemory, true},
                          {"interface", [] { return kal::registration::counters().interfaceRegistrations; },
                           kal::registration::failInterfaceRegistration, 0, false},
                          {"property", [] { return kal::registration::counters().propertyRegistrations; },
                           kal::registration::failPropertyRegistration, 0, false}};
    const std::pair<std::string_view, std::int32_t> objects[] = {{f::kMutex, kNoMemory},
                                                                 {f::kSpinLock, kNoMemory},
                                                                 {f::kThread, kUnexpected},
                                                                 {f::kDPC, kUnexpected},
                                                                 {f::kInterrupt, KELVO_STATUS_BUSY},
                                                                 {f::kDeviceMapping, kNoMemory},
                                                                 {f::kPageList, kNoMemory},
                                                                 {f::kSGL, kNoMemory}};
    for (const auto& object : objects) {
        const std::string_view kind = object.first;
        all.push_back({std::string(kind), [kind] { return f::calls(kind); },
                       [kind](std::uint64_t n) { f::failNth(kind, n); }, object.second, false});
    }
    return all;
}

void clearFaults() {
    kal::memory::clearFaults();
    kal::faults::clear();
    kal::registration::clearFaults();
}

void check(bool ok, const std::string& what, const Kind& kind, std::uint64_t n) {
    ::check(ok,
            what + " (" + kind.name + " " + std::to_string(n) + " failing; replay with --kind " + kind.name +
                (kind.sampled ? " --stride " + std::to_string(stride) + " --offset " + std::to_string(offset)
                              : "") +
                ")");
}

// Counts the kind's creations in clean(), then runs run(n) for n = first, first + step, ...
template <class Clean, class Run>
std::uint64_t sweep(const Kind& kind, Clean clean, Run run, std::uint64_t first, std::uint64_t step) {
    const std::uint64_t before = kind.calls();
    clean();
    const std::uint64_t calls = kind.calls() - before;
    std::uint64_t runs = 0;
    for (std::uint64_t n = first; n <= calls; n += step, ++runs) {
        run(n);
    }
    return runs;
}

template <class Clean, class Run> std::uint64_t sweep(const Kind& kind, Clean clean, Run run) {
    return kind.sampled ? sweep(kind, clean, run, offset + 1, stride) : sweep(kind, clean, run, 1, 1);
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

std::string left(const kal::live::Counts& before) {
    return ": " + kal::live::describe(kal::live::now()) + " against " + kal::live::describe(before);
}

} // namespace

int main(int argc, char** argv) {
    const char* sample = option(argc, argv, "--sample");
    stride = std::max<std::uint64_t>(1, number(option(argc, argv, "--stride"), number(sample, 1)));
    offset = number(option(argc, argv, "--offset"), sample != nullptr ? sampleSeed(nullptr) : 0) % stride;
    const std::string only = option(argc, argv, "--kind", "");
    const std::string onBoard = option(argc, argv, "--board", "");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("alloc_sweep: stride %llu, offset %llu\n", static_cast<unsigned long long>(stride),
                static_cast<unsigned long long>(offset));

    std::vector<Kind> swept;
    for (Kind& kind : kinds()) {
        if (only.empty() || kind.name == only || (only == "objects" && !kind.sampled)) {
            swept.push_back(std::move(kind));
        }
    }
    kelvo_fuzz::start(kelvo_fuzz::Options{0, 100.0});
    const std::uint32_t top = kelvo_fuzz::topLevel();
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        const std::string name = kelvo_fuzz::boards()[board];
        if (!onBoard.empty() && name != onBoard) {
            continue;
        }
        const std::vector<kelvo_fuzz::Seed> seeds = kelvo_fuzz::seedsOf(board);
        for (const Kind& kind : swept) {
            const std::uint64_t adds = sweep(
                kind,
                [&] { kelvo_host_remove_module(static_cast<unsigned>(kelvo_host_add_module(name.c_str()))); },
                [&](std::uint64_t n) {
                    const kal::live::Counts live = kal::live::now();
                    kind.failNth(n);
                    const int index = kelvo_host_add_module(name.c_str());
                    clearFaults();
                    if (index >= 0) { // whatever setup reached, a reset on a fresh handle reaches the top
                        check(reachesTop(static_cast<unsigned>(index), top), name + ": added device stuck",
                              kind, n);
                        check(kelvo_host_remove_module(static_cast<unsigned>(index)) == 0, "removal", kind,
                              n);
                    }
                    check(kal::live::now() == live, name + ": the addition left objects" + left(live), kind,
                          n);
                });
            kelvo_fuzz::resetDevice(board, 0);
            const kal::live::Counts atZero = kal::live::now();
            const std::uint64_t resets = sweep(
                kind, [&] { kelvo_fuzz::resetOnly(board, KELVO_SETUP_LEVEL_COMPLETE); },
                [&](std::uint64_t n) {
                    kelvo_fuzz::reopen(board); // the last reset invalidated the sessions
                    kelvo_fuzz::resetDevice(board, 0);
                    kind.failNth(n);
                    const std::int32_t status = kelvo_fuzz::resetOnly(board, KELVO_SETUP_LEVEL_COMPLETE);
                    clearFaults();
                    kelvo_fuzz::reopen(board);
                    check(status == kind.code, name + ": a failed reset answered " + std::to_string(status),
                          kind, n);
                    const std::int32_t toZero = kelvo_fuzz::resetDevice(board, 0);
                    check(toZero == 0 || toZero == KELVO_STATUS_SETUP_TARGET_REACHED,
                          name + ": reset to 0 answered " + std::to_string(toZero), kind, n);
                    check(kal::live::now() == atZero, name + ": the reset left objects" + left(atZero), kind,
                          n);
                    kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                    check(kelvo_fuzz::setupLevel(board) == top, name + ": the next reset fell short", kind,
                          n);
                });
            std::uint64_t requests = 0;
            for (std::size_t chosen = offset; chosen < seeds.size(); chosen += stride) {
                const kelvo_fuzz::Seed& seed = seeds[chosen];
                const auto run = [&] { kelvo_fuzz::runInput(seed.bytes.data(), seed.bytes.size()); };
                kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                run();
                kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                const kal::live::Counts clean = kal::live::now();
                requests += sweep(
                    kind, run,
                    [&](std::uint64_t n) {
                        kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                        kind.failNth(n);
                        run();
                        clearFaults();
                        kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
                        kal::live::Counts now =
                            kal::live::now(); // a failed request may leave a cache unfilled
                        const bool cached = now.allocations <= clean.allocations;
                        now.allocations = clean.allocations;
                        check(cached && now == clean, name + " " + seed.name + ": left objects" + left(clean),
                              kind, n);
                        check(kelvo_fuzz::setupLevel(board) == top,
                              name + " " + seed.name + ": the next reset fell short", kind, n);
                    },
                    1, 1);
            }
            kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
            std::printf("%s: %s failing in %llu additions, %llu resets, %llu requests\n", name.c_str(),
                        kind.name.c_str(), static_cast<unsigned long long>(adds),
                        static_cast<unsigned long long>(resets), static_cast<unsigned long long>(requests));
        }
    }
    kelvo_fuzz::stop();
    return verdict("alloc_sweep");
}
