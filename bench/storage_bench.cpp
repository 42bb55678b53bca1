// Storage costs: the storage maps' CRC-32 over a 4096-byte map's checksummed
// bytes (4092) against zlib's crc32 over the same bytes; a cached storage-map
// element get (the sector already read) against a plain memcpy of the same
// four bytes; a whole sector written and read on the simulated flash
// through the SPI engine; and the whole flash (1 MiB) read through the device
// window "flashWindow" with the I/O controls at level 19 (deviceWindow_read),
// against the same SPI transactions issued straight on the same module's
// registers (per byte the window's page register written and one byte of the
// window read, the read transaction described once). The stand-in's clock
// runs at scale 1 (the bring-up to level 19 at 1000).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "storage/tymo_controllers.h"
#include "standin/control.h"
#include "host/host.h"
#include "host/kelvo_host.h"
#include "ioctl_header.h"
#include "kelvo/ioctl.h"
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

// A host with one Solstra module at level 19 and a handle on it.
class LevelNineteen {
public:
    LevelNineteen() {
        kal::clock::ScopedScale fast(1000);
        if (kelvo_host_start() != 0) {
            return;
        }
        index_ = kelvo_host_add_module("solstra");
        handle = index_ >= 0 ? kelvo_open("smu_kelvo", static_cast<unsigned>(index_)) : -1;
        module = index_ >= 0 ? kelvo_host::module(static_cast<unsigned>(index_)) : nullptr;
        kelvo_kelvo_getSetupLevel_in in{0};
        kelvo_kelvo_getSetupLevel_out out{};
        kelvo_ioctl_header header = kelvo_bench::headerOf(in, out);
        ready = handle >= 0 && module != nullptr &&
                kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header) == 0 && out.setupLevel == 19;
    }
    ~LevelNineteen() {
        if (handle >= 0) {
            kelvo_close(handle);
        }
        module.reset();
        kelvo_host_stop();
    }
    bool ready = false;
    int handle = -1;
    std::shared_ptr<sim::Module> module;

private:
    int index_ = -1;
};

// The whole flash read through "flashWindow" (read: the sectors refreshed from
// the flash, then copied out), once untimed first so that every timed read
// finds the same sectors cached.
void FlashWindow_Read1MiB(benchmark::State& state) {
    LevelNineteen host;
    if (!host.ready) {
        state.SkipWithError("no device at level 19");
        return;
    }
    kal::clock::ScopedScale real(1);
    static constexpr char kWindow[] = "flashWindow";
    std::vector<std::uint8_t> bytes(sim::SerialFlash::kSize);
    kelvo_deviceWindow_read_in in{reinterpret_cast<std::uintptr_t>(kWindow),
                                  sizeof(kWindow) - 1,
                                  0,
                                  bytes.size(),
                                  reinterpret_cast<std::uintptr_t>(bytes.data()),
                                  0,
                                  0};
    kelvo_deviceWindow_read_out out{};
    kelvo_ioctl_header header = kelvo_bench::headerOf(in, out);
    const auto read = [&] {
        return kelvo_ioctl(host.handle, KELVO_IOCTL_deviceWindow_read, &header) == 0 && out.status == 0;
    };
    bool ok = read();
    for (auto _ : state) {
        ok = ok && read();
        benchmark::DoNotOptimize(bytes.data());
    }
    if (!ok || bytes != host.module->flash().contents()) {
        state.SkipWithError("the read failed or differs from the flash");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(FlashWindow_Read1MiB)->Unit(benchmark::kMillisecond);

// The same byte transactions on the same module with nothing but the kernel
// layer's register accesses: the read transaction (opcode 0x03, 8 opcode
// bits, 24 address bits, 8 data bits) described once in the SPI master's read
// mode and prefix registers, then per byte its address into the window's page
// register and one byte read inside the window. The two registers get back
// what the driver had left in them.
void FlashWindow_RawSpiBaseline(benchmark::State& state) {
    LevelNineteen host;
    if (!host.ready) {
        state.SkipWithError("no device at level 19");
        return;
    }
    kal::clock::ScopedScale real(1);
    void* bar = nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(host.module->pciHandle(), 0),
                                              sim::Module::kBar0Size, 0);
    auto* const base = static_cast<volatile uint8_t*>(bar);
    constexpr uint64_t kReadMode = sim::BridgeRegisters::kSpiOffset + 0x4;
    constexpr uint64_t kPrefix = sim::BridgeRegisters::kSpiOffset + 0xC;
    const sim::LatchBlock& spi = host.module->bridgeRegisters().spi();
    const auto savedMode = static_cast<uint32_t>(spi.latch(0x4, 4));
    const auto savedPrefix = static_cast<uint32_t>(spi.latch(0xC, 4));
    nVOKAL100_memoryWrite32(base + kReadMode, 0x80000000u | 8u | 24u << 16 | 8u << 24);
    nVOKAL100_memoryWrite32(base + kPrefix, (savedPrefix & 0xFFu) | 0x03u << 16);
    std::vector<std::uint8_t> bytes(sim::SerialFlash::kSize);
    for (auto _ : state) {
        for (uint32_t address = 0; address < bytes.size(); ++address) {
            nVOKAL100_memoryWrite32(base + sim::BridgeCore::kPageRegisterOffset, address);
            bytes[address] = nVOKAL100_memoryRead8(base + sim::BridgeCore::kWindowOffset + (address & 0xFFF));
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    nVOKAL100_memoryWrite32(base + kReadMode, savedMode);
    nVOKAL100_memoryWrite32(base + kPrefix, savedPrefix);
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    if (bytes != host.module->flash().contents()) {
        state.SkipWithError("the transactions read other bytes than the flash holds");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(FlashWindow_RawSpiBaseline)->Unit(benchmark::kMillisecond);

} // namespace
