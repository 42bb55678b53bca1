// Storage costs: the storage maps' CRC-32 over a 4096-byte map's checksummed
// bytes (4092) against zlib's crc32 over the same bytes; a cached storage-map
// element get (the sector already read) against a plain memcpy of the same
// four bytes; and a whole sector written and read on the simulated flash
// through the SPI engine. The stand-in's clock runs at scale 1.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "storage/tymo_controllers.h"
#include "standin/control.h"
#include "regs/arm_dispatcher.h"
#include "storage/storage_map_dispatcher.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "bridge/tymo_reg_maps.h"
#include "sim/sim.h"
#include "storage/board_storage_maps.h"
#include "storage/crc32.h"
#include "storage/flash_window.h"

namespace {

using nVOAPALS100::tStatus;

std::vector<uint8_t> mapBytes() {
    std::vector<uint8_t> bytes(4092);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + 17);
    }
    return bytes;
}

void Crc32_StorageMap(benchmark::State& state) {
    const std::vector<uint8_t> bytes = mapBytes();
    storagemap::CRC32Checksum crc;
    tStatus status;
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc.compute(bytes.data(), bytes.size(), status));
    }
    if (crc.compute(bytes.data(), bytes.size(), status) != crc32(0, bytes.data(), bytes.size())) {
        state.SkipWithError("the two CRC-32 differ");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(Crc32_StorageMap);

void Crc32_Zlib(benchmark::State& state) {
    const std::vector<uint8_t> bytes = mapBytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(Crc32_Zlib);

// A Solstra module with BAR 0 mapped, the flash access set, "flashWindow" and the maps.
class FlashBoard {
public:
    FlashBoard() {
        module = bus.plug("solstra");
        module->flash().setBusyTimes(0, 0, 0);
        bar = nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(module->pciHandle(), 0),
                                            sim::Module::kBar0Size, 0);
        const uint64_t base = reinterpret_cast<uintptr_t>(bar);
        maps = std::make_unique<kelvo_driver::TYMORegMaps>(base, sim::Module::kBar0Size, arm, status);
        controllers =
            std::make_unique<kelvo_driver::TYMOControllers>(base, sim::Module::kBar0Size, *maps, status);
        window = std::make_unique<devicewindow::FlashWindow>(controllers->getFlashController(), status);
        storage = std::make_unique<kelvo_storagemaps::KelvoStorageMaps>(*window, dispatcher, status);
    }
    ~FlashBoard() {
        storage.reset();
        window.reset();
        controllers.reset();
        maps.reset();
        nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    }

    tStatus status;
    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    void* bar = nullptr;
    armki::ARMDispatcher arm;
    storagemap::StorageMapDispatcher dispatcher;
    std::unique_ptr<kelvo_driver::TYMORegMaps> maps;
    std::unique_ptr<kelvo_driver::TYMOControllers> controllers;
    std::unique_ptr<devicewindow::FlashWindow> window;
    std::unique_ptr<kelvo_storagemaps::KelvoStorageMaps> storage;
};

void ElementGet_CachedStorageMap(benchmark::State& state) {
    kal::clock::ScopedScale real(1);
    FlashBoard board;
    kelvo_storagemaps::ManufacturingStorageMap& map = board.storage->manufacturing();
    tStatus status;
    benchmark::DoNotOptimize(map.getBoardSerialNumber(status)); // reads the sector once
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.getBoardSerialNumber(status));
    }
    if (status.isFatal() || board.status.isFatal()) {
        state.SkipWithError("get failed");
    }
}
BENCHMARK(ElementGet_CachedStorageMap);

void ElementGet_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> sector(4096, 0x5A);
    uint32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sector.data());
        std::memcpy(&value, sector.data() + 12, sizeof(value));
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(ElementGet_Memcpy);

void Sector_WriteOnSimulatedFlash(benchmark::State& state) {
    kal::clock::ScopedScale real(1);
    FlashBoard board;
    std::vector<uint8_t> sector(4096);
    tStatus status;
    uint8_t seed = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < sector.size(); ++i) {
            sector[i] = static_cast<uint8_t>(i + seed);
        }
        ++seed;
        board.controllers->getFlashController().writeSector(0x20000, sector.data(), status);
    }
    if (status.isFatal()) {
        state.SkipWithError("sector write failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sector.size()));
}
BENCHMARK(Sector_WriteOnSimulatedFlash)->Unit(benchmark::kMillisecond);

void Sector_ReadOnSimulatedFlash(benchmark::State& state) {
    kal::clock::ScopedScale real(1);
    FlashBoard board;
    std::vector<uint8_t> sector(4096);
    tStatus status;
    for (auto _ : state) {
        board.controllers->getFlashController().readSector(0x8000, sector.data(), status);
        benchmark::DoNotOptimize(sector.data());
    }
    if (status.isFatal()) {
        state.SkipWithError("sector read failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sector.size()));
}
BENCHMARK(Sector_ReadOnSimulatedFlash)->Unit(benchmark::kMillisecond);

} // namespace
