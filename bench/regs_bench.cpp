// Register access costs: by-identifier get and set on the stream-circuit map
// (the largest map of the register-access maps) against a direct member
// access and a hash-map lookup of the same identifier; a register round
// trip to the isolated FPGA over the simulated isolation link against one to
// the non-isolated FPGA (the stand-in's clock runs at scale 1); and the
// register-map dispatcher's lookup of a versioned name among 10, 100 and 1000
// registered maps (the cost should not grow with the count).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "soft_map.h"
#include "standin/control.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "regmaps/kelvo_reg_access_reg_map.h"
#include "regmaps/stream_circuit_reg_map.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs/arm_dispatcher.h"
#include "regs/front_end_accessors.h"
#include "sim/sim.h"

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
        windowed =
            std::make_unique<kelvo_driver::WindowedFrontEndAccessor>(*regAccess, nullptr, nullptr, status);
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

// A map that does nothing, of the version the lookups name.
inline constexpr char kIdleVersion[] = "1.0.0d379";
using IdleMap = kelvo_bench::SoftMap<0, kIdleVersion>;

// count maps under names as long as the boards' (a long shared prefix, the
// map's number last); each iteration looks up the middle one by name with
// its version suffix, as the register-map I/O controls do.
void Dispatcher_LookupByName(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const std::string prefix = "SolstraNisoTopRegMap_BoardWin_SolstraNisoBoardRegMap_StandardRegsWin_Map";
    std::deque<IdleMap> maps(count);
    armki::ARMDispatcher dispatcher;
    tStatus status;
    for (std::size_t i = 0; i < count; ++i) {
        dispatcher.add((prefix + std::to_string(i)).c_str(), maps[i], status);
    }
    const std::string name = prefix + std::to_string(count / 2) + "_Ver1.0.0d379";
    for (auto _ : state) {
        arm::DynamicAccessInterfaceBase<tStatus>* map = nullptr;
        kelvo_driver::nVOAPAL000::tMutex* mutex = nullptr;
        dispatcher.getRegistration(name.c_str(), &map, status, &mutex);
        benchmark::DoNotOptimize(map);
        benchmark::DoNotOptimize(mutex);
    }
    if (!status.isSuccess()) {
        state.SkipWithError("the lookup failed");
    }
    for (std::size_t i = 0; i < count; ++i) {
        dispatcher.remove((prefix + std::to_string(i)).c_str(), status);
    }
}
BENCHMARK(Dispatcher_LookupByName)->Arg(10)->Arg(100)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
