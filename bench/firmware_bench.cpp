// Firmware costs:
// - building the larger embedded FPGA image (allocate, zero, decompress)
//   against LZ4_decompress_safe alone on the same block into a buffer
//   allocated once (the baseline; goal: at least 0.9 of its speed); the same
//   build with the process's allocator set to keep freed pages is a program
//   of its own (own_process/), since those settings stay for the process;
// - the download of the larger FPGA image through the simulated bridge, time
//   per 64-bit write, against a plain loop of the same writes through the
//   stand-in's memory write to the data port (the baseline).
// Setup to level 5, CPU time per board, is in bringup_bench.cpp.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "bridge/embedded_images.h"
#include "bridge/firmware.h"
#include "bridge/firmware_download.h"
#include "bridge/tymo_reg_maps.h"
#include "standin/control.h"
#include "host/host.h"
#include "kelvo/product_ids.h"
#include "host/kelvo_host.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "regs/arm_dispatcher.h"
#include "sim/sim.h"

namespace {

using nVOAPALS100::tStatus;

void FirmwareImage_Build(benchmark::State& state) {
    corran_caps::ProductCaps caps{};
    caps.subsystemID = KELVO_SUBSYSTEM_ID_DUSKMERE_A; // the non-isolated image of 3825788 bytes
    for (auto _ : state) {
        tStatus status;
        kdut::FirmwareBase* image = kelvo_driver::FirmwareFactory().createEmbeddedFirmware(0, caps, status);
        benchmark::DoNotOptimize(image->data());
        delete image;
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * embeddy_DuskmereNisoFpgaTop_bin_original_size));
}
BENCHMARK(FirmwareImage_Build);

void FirmwareImage_Lz4Only(benchmark::State& state) {
    const auto size = static_cast<int>(embeddy_DuskmereNisoFpgaTop_bin_original_size);
    std::vector<char> buffer(static_cast<std::size_t>(size));
    for (auto _ : state) {
        const int produced =
            LZ4_decompress_safe(reinterpret_cast<const char*>(embeddy_DuskmereNisoFpgaTop_bin), buffer.data(),
                                static_cast<int>(embeddy_DuskmereNisoFpgaTop_bin_size), size);
        benchmark::DoNotOptimize(produced);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(FirmwareImage_Lz4Only);

// A Duskmere module (its non-isolated image is the larger one) with BAR 0
// mapped and the bridge maps, both FPGAs as at power-up.
class LoadBoard {
public:
    LoadBoard() {
        sim::ModuleOptions options;
        options.fpgasLoaded[0] = false;
        options.fpgasLoaded[1] = false;
        module = bus.plug("duskmere-a", options);
        bar = nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(module->pciHandle(), 0),
                                            sim::Module::kBar0Size, 0);
        maps = std::make_unique<kelvo_driver::TYMORegMaps>(reinterpret_cast<uintptr_t>(bar),
                                                           sim::Module::kBar0Size, arm, status);
        caps.subsystemID = KELVO_SUBSYSTEM_ID_DUSKMERE_A;
    }
    ~LoadBoard() {
        maps.reset();
        nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    }

    tStatus status;
    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    void* bar = nullptr;
    armki::ARMDispatcher arm;
    std::unique_ptr<kelvo_driver::TYMORegMaps> maps;
    corran_caps::ProductCaps caps{};
};

constexpr uint64_t kLargerImageWords = 3825788 / 8;

void FpgaDownload_PerWrite(benchmark::State& state) {
    kal::clock::ScopedScale fast(1000.0); // the few ready and done polls
    LoadBoard board;
    tStatus status;
    std::unique_ptr<kdut::FirmwareBase> image(
        kelvo_driver::FirmwareFactory().createEmbeddedFirmware(0, board.caps, status));
    for (auto _ : state) {
        brixeltools::BrixelFirmwareDownloader plain(
            board.maps->brixelRegMap, kelvo_driver::kFirmwareTargetNonIsolatedFPGA, image->size(), 2);
        plain.download(*image, status);
    }
    if (status.isFatal() || !board.module->bridgeRegisters().fpgaLoading().configured(0)) {
        state.SkipWithError("the download failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kLargerImageWords));
}
BENCHMARK(FpgaDownload_PerWrite)->Unit(benchmark::kMillisecond);

void FpgaDownload_PlainWrites(benchmark::State& state) {
    LoadBoard board;
    uint8_t* const bridge = static_cast<uint8_t*>(board.bar);
    uint8_t* const dataPort = bridge + 0x460;
    for (auto _ : state) {
        // A load of the same count on the same port, so the engine takes every word.
        nVOKAL100_memoryWrite32(bridge + 0x510, 2u << 8);
        nVOKAL100_memoryWrite32(bridge + 0x458, 3825788u);
        nVOKAL100_memoryWrite32(bridge + 0x440, 1u);
        for (uint64_t i = 0; i < kLargerImageWords; ++i) {
            nVOKAL100_memoryWrite64(dataPort, i);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kLargerImageWords));
}
BENCHMARK(FpgaDownload_PlainWrites)->Unit(benchmark::kMillisecond);

} // namespace
