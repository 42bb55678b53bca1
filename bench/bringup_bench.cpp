// The bring-up of a module: CPU time of the whole process for the setup from
// nothing to level 9 on each board, with the stand-in clock 1000 times
// faster (the one-second settle costs a millisecond of waiting; what remains
// is the driver's and the simulated module's work), beside the product's
// levels 1 to 3 alone; and a register read by name through the I/O controls
// on the isolated FPGA (through the isolation link) against the same read on
// the non-isolated FPGA and against a getppid system call.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "control.h"
#include "core/kelvo_helper.h"
#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "host.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"

namespace {

using nVOAPALS100::tStatus;

// The scratch register of the required block of every board map.
constexpr std::uint32_t kScratchField = 0x0033B4C6;

// The product's levels 1 to 9, nothing above: the setup ends at level 9.
const kelvo_driver::SetupLevelTable& levelsToNine() {
    static const kelvo_driver::SetupLevelTable table = [] {
        kelvo_driver::SetupLevelTable t{};
        for (std::uint32_t level = 1; level <= 9; ++level) {
            t.tasks[level - 1] = kelvo_driver::getProductSetupLevelTable().tasks[level - 1];
        }
        return t;
    }();
    return table;
}

// The product's levels 1 to 3 only.
const kelvo_driver::SetupLevelTable& levelsToThree() {
    static const kelvo_driver::SetupLevelTable table = [] {
        kelvo_driver::SetupLevelTable t{};
        for (std::uint32_t level = 1; level <= 3; ++level) {
            t.tasks[level - 1] = kelvo_driver::getProductSetupLevelTable().tasks[level - 1];
        }
        return t;
    }();
    return table;
}

// A started host with the clock sped up and a level table for a scope.
class Host {
public:
    explicit Host(const kelvo_driver::SetupLevelTable& table) : scale_(kal::clock::scale()) {
        kal::clock::setScale(1000.0);
        kelvo_driver::setSetupLevelTableForTests(&table);
        started = kelvo_host_start() == 0;
    }
    ~Host() {
        kelvo_host_stop();
        kelvo_driver::setSetupLevelTableForTests(nullptr);
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

void Setup_ToLevel9(benchmark::State& state, const char* board) {
    setupOf(state, board, levelsToNine(), 9);
}
void Setup_ToLevel3(benchmark::State& state, const char* board) {
    setupOf(state, board, levelsToThree(), 3);
}
BENCHMARK_CAPTURE(Setup_ToLevel9, solstra, "solstra")->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Setup_ToLevel9, duskmere_a, "duskmere-a")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Setup_ToLevel9, duskmere_b, "duskmere-b")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Setup_ToLevel3, solstra, "solstra")->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// One arm_read by name of the scratch register of a board map's required block.
void readByName(benchmark::State& state, const char* side) {
    Host host(levelsToNine());
    const int index = host.started ? kelvo_host_add_module("solstra") : -1;
    const int handle = index >= 0 ? kelvo_open("smu_kelvo", static_cast<unsigned>(index)) : -1;
    if (handle < 0) {
        state.SkipWithError("no device");
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
}

void ReadByName_Isolated(benchmark::State& state) {
    readByName(state, "Iso");
}
void ReadByName_NonIsolated(benchmark::State& state) {
    readByName(state, "Niso");
}
void ReadByName_Getppid(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(getppid());
    }
}
BENCHMARK(ReadByName_Isolated);
BENCHMARK(ReadByName_NonIsolated);
BENCHMARK(ReadByName_Getppid);

} // namespace
