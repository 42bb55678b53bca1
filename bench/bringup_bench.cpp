// The bring-up of a module: CPU time of the whole process (the simulated
// module's and the stand-in's threads included) for the setup from nothing
// to level 5 (the non-isolated FPGA loaded), to level 9 (the isolated side
// up) and to level 19 on each board, with the stand-in clock 1000 times
// faster (the one-second settle costs a millisecond of waiting; what remains
// is the driver's and the simulated module's work), beside the product's
// levels 1 to 3 alone; a reset from level 19 to level 19 through the I/O
// controls on each board (the teardown and the whole setup again, both
// images decompressed and downloaded); and, at level 19, a register read by
// name through the I/O controls on the isolated FPGA (through the isolation
// link) and on the non-isolated FPGA, whose baseline is the getppid system
// call of ioctl_bench.cpp.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "standin/control.h"
#include "core/kelvo_helper.h"
#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "host/host.h"
#include "ioctl_header.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"
#include "core_test_levels.h"

namespace {

using nVOAPALS100::tStatus;

// The scratch register of the required block of every board map.
constexpr std::uint32_t kScratchField = 0x0033B4C6;

// The product's levels 1 to top, nothing above: the setup ends at level top
// (19: the whole table, whose last task is level 18's).
const kelvo_driver::SetupLevelTable& productLevelsTo(std::uint32_t top) {
    static kelvo_driver::SetupLevelTable tables[20];
    kelvo_driver::SetupLevelTable& t = tables[top];
    constexpr std::uint32_t kTasks = sizeof(t.tasks) / sizeof(t.tasks[0]);
    for (std::uint32_t level = 1; level <= top && level <= kTasks; ++level) {
        t.tasks[level - 1] = kelvo_driver::getProductSetupLevelTable().tasks[level - 1];
    }
    return t;
}

// A started host with the clock sped up and a level table for a scope.
class Host {
public:
    explicit Host(const kelvo_driver::SetupLevelTable& table) : scale_(kal::clock::scale()) {
        kal::clock::setScale(1000.0);
        kelvo_test::setSetupLevelTable(&table);
        started = kelvo_host_start() == 0;
    }
    ~Host() {
        kelvo_host_stop();
        kelvo_test::setSetupLevelTable(nullptr);
        kal::clock::setScale(scale_);
    }
    bool started;

private:
    double scale_;
};

void setupOf(benchmark::State& state, const char* board, const kelvo_driver::SetupLevelTable& table,
             std::uint32_t expectedLevel) {
    Host host(table);
    if (!host.started) {
        state.SkipWithError("the host did not start");
        return;
    }
    for (auto _ : state) {
        const int index = kelvo_host_add_module(board);
        if (index < 0) {
            state.SkipWithError("the module was not added");
            return;
        }
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        kelvo_kelvo_getSetupLevel_in in{0};
        kelvo_kelvo_getSetupLevel_out out{};
        kelvo_ioctl_header header{reinterpret_cast<std::uintptr_t>(&in),
                                  reinterpret_cast<std::uintptr_t>(&out),
                                  sizeof(in),
                                  sizeof(out),
                                  0,
                                  0};
        kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header);
        kelvo_close(handle);
        kelvo_host_remove_module(index);
        if (out.setupLevel != expectedLevel) {
            state.SkipWithError(("setup ended at level " + std::to_string(out.setupLevel)).c_str());
            return;
        }
    }
}

void Setup_ToLevel(benchmark::State& state, std::uint32_t top, const char* board) {
    setupOf(state, board, productLevelsTo(top), top);
}
#define KELVO_SETUP_BENCHMARK(top, board, name)                                                              \
    BENCHMARK_CAPTURE(Setup_ToLevel, to##top##_##name, top, board)                                           \
        ->MeasureProcessCPUTime()                                                                            \
        ->Unit(benchmark::kMillisecond)
KELVO_SETUP_BENCHMARK(3, "solstra", solstra);
KELVO_SETUP_BENCHMARK(5, "solstra", solstra);
KELVO_SETUP_BENCHMARK(5, "duskmere-a", duskmere_a);
KELVO_SETUP_BENCHMARK(5, "duskmere-b", duskmere_b);
KELVO_SETUP_BENCHMARK(9, "solstra", solstra);
KELVO_SETUP_BENCHMARK(9, "duskmere-a", duskmere_a);
KELVO_SETUP_BENCHMARK(9, "duskmere-b", duskmere_b);
KELVO_SETUP_BENCHMARK(19, "solstra", solstra);
KELVO_SETUP_BENCHMARK(19, "duskmere-a", duskmere_a);
KELVO_SETUP_BENCHMARK(19, "duskmere-b", duskmere_b);

using kelvo_bench::headerOf;

// The level a handle's device has reached, or ~0 when the request fails.
std::uint32_t setupLevelOf(int handle) {
    const kelvo_kelvo_getSetupLevel_in in{0};
    kelvo_kelvo_getSetupLevel_out out{};
    kelvo_ioctl_header header = headerOf(in, out);
    return kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header) == 0 && out.status == 0
               ? out.setupLevel
               : ~0u;
}

// kdut_reset to level 19 with the default parameters, over and over, on one
// module that the host added at level 19. A reset invalidates every session
// open before it (the one that asked for it too): each reset has a session
// of its own.
void Reset_19To19(benchmark::State& state, const char* board) {
    Host host(productLevelsTo(19));
    const int index = host.started ? kelvo_host_add_module(board) : -1;
    if (index < 0) {
        state.SkipWithError("no device");
        return;
    }
    const auto device = static_cast<unsigned>(index);
    const kelvo_kdut_reset_in in{19, 0, 0, 0, 0};
    kelvo_kdut_reset_out out{};
    kelvo_ioctl_header header = headerOf(in, out);
    for (auto _ : state) {
        const int handle = kelvo_open("smu_kelvo", device);
        const int result = kelvo_ioctl(handle, KELVO_IOCTL_kdut_reset, &header);
        kelvo_close(handle);
        if (result != 0 || out.status != 0) {
            state.SkipWithError(("the reset failed: " + std::to_string(out.status)).c_str());
            break;
        }
    }
    const int handle = kelvo_open("smu_kelvo", device);
    if (setupLevelOf(handle) != 19) {
        state.SkipWithError("the resets did not end at level 19");
    }
    kelvo_close(handle);
    kelvo_host_remove_module(device);
}
#define KELVO_RESET_BENCHMARK(board, name)                                                                   \
    BENCHMARK_CAPTURE(Reset_19To19, name, board)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)
KELVO_RESET_BENCHMARK("solstra", solstra);
KELVO_RESET_BENCHMARK("duskmere-a", duskmere_a);
KELVO_RESET_BENCHMARK("duskmere-b", duskmere_b);

// One arm_read by name of the scratch register of a board map's required
// block, at level 19.
void readByName(benchmark::State& state, const char* side) {
    Host host(productLevelsTo(19));
    const int index = host.started ? kelvo_host_add_module("solstra") : -1;
    const int handle = index >= 0 ? kelvo_open("smu_kelvo", static_cast<unsigned>(index)) : -1;
    if (handle < 0 || setupLevelOf(handle) != 19) {
        state.SkipWithError("no device at level 19");
        return;
    }
    const std::string name = std::string("Solstra") + side + "TopRegMap_BoardWin_Solstra" + side +
                             "BoardRegMap_StandardRegsWin_SolstraStandardRegs_RequiredRegsWin_RequiredRegs"
                             "_Ver1.0.0d379";
    kelvo_arm_read_in in{reinterpret_cast<std::uintptr_t>(name.data()), name.size(), kScratchField, 0};
    kelvo_arm_read_out out{};
    kelvo_ioctl_header header{reinterpret_cast<std::uintptr_t>(&in),
                              reinterpret_cast<std::uintptr_t>(&out),
                              sizeof(in),
                              sizeof(out),
                              0,
                              0};
    for (auto _ : state) {
        if (kelvo_ioctl(handle, KELVO_IOCTL_arm_read, &header) != 0 || out.status != 0) {
            state.SkipWithError("the read failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    kelvo_close(handle);
    kelvo_host_remove_module(static_cast<unsigned>(index));
}

void ArmReadByName_Level19_Isolated(benchmark::State& state) {
    readByName(state, "Iso");
}
void ArmReadByName_Level19_NonIsolated(benchmark::State& state) {
    readByName(state, "Niso");
}
BENCHMARK(ArmReadByName_Level19_Isolated);
BENCHMARK(ArmReadByName_Level19_NonIsolated);

} // namespace
