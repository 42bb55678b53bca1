// The subroutine download into local RAM: the Duskmere package (4135
// commands) written through the local-RAM controller, per command word,
// against the raw register writes it needs (three a word: command high and
// low, write address) through the same accessor. On the Duskmere board the
// sequencer sits in the non-isolated FPGA (BAR 0); on the Solstra board in the
// isolated FPGA, reached through the isolation link. The ratio of each pair
// is the controller's cost over the bus traffic itself. The stand-in's clock
// runs at scale 1.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bridge/embedded_images.h"
#include "controllers/isolated_controllers.h"
#include "standin/control.h"
#include <lz4.h>
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "regmaps/kelvo_reg_access_reg_map.h"
#include "regmaps/kelvo_sequencer_reg_map.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs/front_end_accessors.h"
#include "sim/sim.h"

namespace {

using nVOAPALS100::tStatus;

// The Duskmere package's command words, decompressed from the embedded image.
std::vector<uint64_t> duskmerePackage() {
    std::vector<uint64_t> words(embeddy_DuskmereSubroutineData_bin_original_size / 8);
    const int size = LZ4_decompress_safe(reinterpret_cast<const char*>(embeddy_DuskmereSubroutineData_bin),
                                         reinterpret_cast<char*>(words.data()),
                                         static_cast<int>(embeddy_DuskmereSubroutineData_bin_size),
                                         static_cast<int>(words.size() * 8));
    words.resize(size > 0 ? static_cast<size_t>(size) / 8 : 0);
    return words;
}

// A module with BAR 0 mapped and the accessor that reaches its sequencer.
class Board {
public:
    explicit Board(bool solstra) {
        module = bus.plug(solstra ? "solstra" : "duskmere-a");
        bar = nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(module->pciHandle(), 0),
                                            sim::Module::kBar0Size, 0);
        region = voquantasharedsource::tPCIMemorySpace(
            reinterpret_cast<uintptr_t>(bar) + sim::Module::kNisoFpgaBase, sim::Module::kNisoFpgaSize);
        tStatus status;
        if (solstra) {
            regAccess = std::make_unique<kelvo_regmaps::tKelvoRegAccessRegMap>(&fpga, 0x200, 0, 0x20);
            windowed = std::make_unique<kelvo_driver::WindowedFrontEndAccessor>(*regAccess, nullptr, nullptr,
                                                                                status);
            accessor = windowed.get();
        } else {
            accessor = &fpga;
        }
        const uint32_t base = static_cast<uint32_t>(module->sequencerSide()->placement().localRam);
        map = std::make_unique<kelvo_regmaps::tKelvoSequencerRegMap>(accessor, base, 0, 0x80);
        ram = std::make_unique<kelvo_driver::LocalRAMControllerType>(*map, status);
    }
    ~Board() {
        ram.reset();
        map.reset();
        windowed.reset();
        regAccess.reset();
        nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    }

    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    void* bar = nullptr;
    voquantasharedsource::tPCIMemorySpace region;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter fpga{&region};
    std::unique_ptr<kelvo_regmaps::tKelvoRegAccessRegMap> regAccess;
    std::unique_ptr<kelvo_driver::WindowedFrontEndAccessor> windowed;
    voquantasharedsource::FrontEndAccessorInterface* accessor = nullptr;
    std::unique_ptr<kelvo_regmaps::tKelvoSequencerRegMap> map;
    std::unique_ptr<kelvo_driver::LocalRAMControllerType> ram;
};

void download(benchmark::State& state, bool solstra) {
    kal::clock::ScopedScale real(1);
    Board board(solstra);
    const std::vector<uint64_t> words = duskmerePackage();
    tStatus status;
    for (auto _ : state) {
        board.ram->write(words.data(), words.size(), 0, status);
    }
    if (status.isFatal() || board.module->sequencerSide()->sequencer().ramWord(2) != words[2]) {
        state.SkipWithError("download failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * words.size()));
}

void rawWrites(benchmark::State& state, bool solstra) {
    kal::clock::ScopedScale real(1);
    Board board(solstra);
    const std::vector<uint64_t> words = duskmerePackage();
    const uint32_t base = static_cast<uint32_t>(board.module->sequencerSide()->placement().localRam);
    tStatus status;
    for (auto _ : state) {
        for (size_t i = 0; i < words.size(); ++i) {
            board.accessor->write32(base + 0x8, static_cast<uint32_t>(words[i] >> 32), status);
            board.accessor->write32(base + 0xC, static_cast<uint32_t>(words[i]), status);
            board.accessor->write32(base + 0x0, static_cast<uint32_t>(i), status);
        }
    }
    if (status.isFatal()) {
        state.SkipWithError("writes failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * words.size()));
}

void LocalRam_Download_Duskmere(benchmark::State& state) {
    download(state, false);
}
BENCHMARK(LocalRam_Download_Duskmere)->Unit(benchmark::kMillisecond);

void LocalRam_RawWrites_Duskmere(benchmark::State& state) {
    rawWrites(state, false);
}
BENCHMARK(LocalRam_RawWrites_Duskmere)->Unit(benchmark::kMillisecond);

void LocalRam_Download_SolstraOverLink(benchmark::State& state) {
    download(state, true);
}
BENCHMARK(LocalRam_Download_SolstraOverLink)->Unit(benchmark::kMillisecond);

void LocalRam_RawWrites_SolstraOverLink(benchmark::State& state) {
    rawWrites(state, true);
}
BENCHMARK(LocalRam_RawWrites_SolstraOverLink)->Unit(benchmark::kMillisecond);

} // namespace
