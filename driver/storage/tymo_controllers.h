// The flash access set: the bridge's SPI engine over its configuration-port
// memory window, the flash's write-protect line on the timing chip and the
// serial-flash controller over both. Built at setup level 3 from the bridge
// and timing-chip register maps.
#pragma once

#include <stdint.h>

#include "storage/serial_flash_controller.h"
#include "bridge/spi_controller.h"
#include "bridge/write_protect_controller.h"
#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"
#include "bridge/tymo_reg_maps.h"
#include "reglayouts/tymo_do.h"

namespace kelvo_driver {

// The configuration-port window is not the 4 KiB the flash's sectors need
// (a smaller one cannot hold a sector's offsets, a larger one would program
// bytes that the 4 KiB erase did not clear), or does not lie inside BAR 0.
constexpr int64_t kFlashWindowUnsupported = KELVO_STATUS_FLASH_WINDOW_SIZE;

class TYMOControllers : public nVOAPAL000::tObject {
public:
    static constexpr uint64_t kFlashSizeInBytes = 0x100000;
    static constexpr uint32_t kWindowSizeExponent = 12;
    static constexpr uint32_t kWriteProtectMask =
        tymo_regmaps::layout::DO::Static_Digital_Output_Register::kFlashWriteProtect;

    // bar: where BAR 0 is mapped; barMappedSize: its mapped size. The window
    // is read from the configuration-port window register (a failed read
    // uses the soft copy).
    TYMOControllers(uint64_t bar, uint64_t barMappedSize, TYMORegMaps& maps, nVOAPALS100::tStatus& status);
    virtual ~TYMOControllers() = default;
    TYMOControllers(const TYMOControllers&) = delete;
    TYMOControllers& operator=(const TYMOControllers&) = delete;

    nonvolatilememorytools::SST25VFFlashController& getFlashController() { return flash_; }
    brixeltools::SPIController& getSPIController() { return spi_; }
    tymotools::WriteProtectController& getWriteProtectController() { return writeProtect_; }

private:
    nVOAPAL000::tPCIMemorySpaceAccessor window_;
    brixeltools::SPIController spi_;
    tymotools::WriteProtectController writeProtect_;
    nonvolatilememorytools::SST25VFFlashController flash_;
};

} // namespace kelvo_driver
