// Register access costs: by-identifier get and set on the stream-circuit map
// (the largest map of the register-access maps) against a direct member
// access and a hash-map lookup of the same identifier; and a register round
// trip to the isolated FPGA over the simulated isolation link against one to
// the non-isolated FPGA. The stand-in's clock runs at scale 1.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "control.h"
#include "nVOKAL.h"
#include "pci_bus.h"
#include "regmaps/kelvo_reg_access_reg_map.h"
#include "regmaps/stream_circuit_reg_map.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs/front_end_accessors.h"
#include "sim.h"

namespace {

using nVOAPALS100::tStatus;

// An accessor that touches nothing: get and set never reach it.
class NullAccessor : public voquantasharedsource::FrontEndAccessorInterface {
public:
    void write32(uint32_t, uint32_t, tStatus&) override {}
    uint32_t read32(uint32_t, tStatus&) override { return 0; }
};

constexpr uint32_t kEvictionField = 0x262A7254; // bits 25-29 of tStreamEvictionReg
constexpr uint32_t kEvictionMask = 0x3E000000;
constexpr uint32_t kEvictionLsb = 25;

void ById_Get(benchmark::State& state) {
    NullAccessor bus;
    kelvo_regmaps::tStreamCircuitRegMap map(&bus, 0, 0, 0x1000);
    tStatus status;
    uint64_t value = 0;
    for (auto _ : state) {
        map.get(kEvictionField, value, status, 0);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(ById_Get);

void ById_Set(benchmark::State& state) {
    NullAccessor bus;
    kelvo_regmaps::tStreamCircuitRegMap map(&bus, 0, 0, 0x1000);
    tStatus status;
    uint64_t value = 0;
    for (auto _ : state) {
        map.set(kEvictionField, ++value & 0x1F, status, 0);
    }
    benchmark::DoNotOptimize(map.StreamEviction.softCopy);
}
BENCHMARK(ById_Set);

void DirectMember_Get(benchmark::State& state) {
    NullAccessor bus;
    kelvo_regmaps::tStreamCircuitRegMap map(&bus, 0, 0, 0x1000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.StreamEviction.softCopy);
        uint64_t value = arm::extractField(map.StreamEviction.softCopy, kEvictionMask, kEvictionLsb);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(DirectMember_Get);

void DirectMember_Set(benchmark::State& state) {
    NullAccessor bus;
    kelvo_regmaps::tStreamCircuitRegMap map(&bus, 0, 0, 0x1000);
    uint64_t value = 0;
    for (auto _ : state) {
        arm::insertIntoRecord(map.StreamEviction, kEvictionMask,
                              arm::insertedBits(++value & 0x1F, kEvictionMask, kEvictionLsb, 5));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(DirectMember_Set);

// The same identifiers in a std::unordered_map of field descriptions.
struct FieldRef {
    arm::tRegisterRecord* record;
    uint32_t mask;
    uint32_t lsb;
    uint32_t width;
};

std::unordered_map<uint32_t, FieldRef> hashTable(kelvo_regmaps::tStreamCircuitRegMap& map) {
    std::unordered_map<uint32_t, FieldRef> table;
    // Every identifier the map's get serves, so the table is as large as the map's.
    const arm::tIdTable& get = map.tables().get;
    for (uint32_t i = 0; i < get.count; ++i) {
        const arm::tIdEntry& e = get.entries[i];
        table[e.id] = {nullptr, arm::fieldMask(e.lsb, e.width), e.lsb, e.width};
    }
    table[kEvictionField].record = &map.StreamEviction;
    return table;
}

void UnorderedMap_Get(benchmark::State& state) {
    NullAccessor bus;
    kelvo_regmaps::tStreamCircuitRegMap map(&bus, 0, 0, 0x1000);
    const auto table = hashTable(map);
    uint32_t id = kEvictionField;
    for (auto _ : state) {
        benchmark::DoNotOptimize(id);
        const FieldRef& f = table.find(id)->second;
        uint64_t value = arm::extractField(f.record->softCopy, f.mask, f.lsb);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(UnorderedMap_Get);

void UnorderedMap_Set(benchmark::State& state) {
    NullAccessor bus;
    kelvo_regmaps::tStreamCircuitRegMap map(&bus, 0, 0, 0x1000);
    const auto table = hashTable(map);
    uint32_t id = kEvictionField;
    uint64_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(id);
        const FieldRef& f = table.find(id)->second;
        arm::insertIntoRecord(*f.record, f.mask, arm::insertedBits(++value & 0x1F, f.mask, f.lsb, f.width));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(UnorderedMap_Set);

// A Solstra module with BAR 0 mapped, its FPGA region and the isolated side's accessor.
class Board {
public:
    Board() {
        module = bus.plug("solstra");
        barSize = sim::Module::kBar0Size;
        bar = nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(module->pciHandle(), 0), barSize, 0);
        region = voquantasharedsource::tPCIMemorySpace(
            reinterpret_cast<uintptr_t>(bar) + sim::Module::kNisoFpgaBase, sim::Module::kNisoFpgaSize);
        tStatus status;
        regAccess = std::make_unique<kelvo_regmaps::tKelvoRegAccessRegMap>(&fpga, 0x200, 0, 0x20);
        windowed = std::make_unique<kelvo_driver::WindowedFrontEndAccessor>(*regAccess, nullptr, status);
    }
    ~Board() {
        windowed.reset();
        regAccess.reset();
        nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    }

    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    void* bar = nullptr;
    uint64_t barSize = 0;
    voquantasharedsource::tPCIMemorySpace region;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter fpga{&region};
    std::unique_ptr<kelvo_regmaps::tKelvoRegAccessRegMap> regAccess;
    std::unique_ptr<kelvo_driver::WindowedFrontEndAccessor> windowed;
};

void RoundTrip_NonIsolated(benchmark::State& state) {
    kal::clock::ScopedScale real(1);
    Board board;
    tStatus status;
    uint32_t value = 0;
    for (auto _ : state) {
        board.fpga.write32(0x1000, ++value, status);
        benchmark::DoNotOptimize(board.fpga.read32(0x1000, status));
    }
    if (status.isFatal()) {
        state.SkipWithError("access failed");
    }
}
BENCHMARK(RoundTrip_NonIsolated);

void RoundTrip_Isolated(benchmark::State& state) {
    kal::clock::ScopedScale real(1);
    Board board;
    tStatus status;
    uint32_t value = 0;
    for (auto _ : state) {
        board.windowed->write32(0x1000, ++value, status);
        benchmark::DoNotOptimize(board.windowed->read32(0x1000, status));
    }
    if (status.isFatal()) {
        state.SkipWithError("access failed");
    }
}
BENCHMARK(RoundTrip_Isolated);

} // namespace

BENCHMARK_MAIN();
