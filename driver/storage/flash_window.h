// The flash window: the device window "flashWindow" over the serial flash.
// Flash is rewritten a whole erase sector at a time, so the window keeps,
// per sector touched so far, a soft copy that callers edit and a hardware
// copy of what the flash holds. A flush rewrites each sector whose part of
// the range differs from the hardware copy, from the hardware copy with only
// the flushed range of the soft copy merged in.
//
// The hardware copy never claims what the flash does not hold: it takes the
// merged bytes only after a sector write that succeeded; a sector whose write
// failed is stale (its next flush rewrites it as if forced); a sector whose
// read failed is dropped, so that the next access reads it again.
//
// Every operation holds the window's recursive mutex for its whole length,
// flash traffic included. Ranges beyond the flash: -240029; null buffers:
// -240031 (also for zero bytes).
#pragma once

#include <stdint.h>

#include "windows/device_window.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "storage/flash_controller.h"

namespace devicewindow {

// One sector's two copies; used only under its window's lock. Offsets are
// relative to the sector's start.
class FlashSector : public kelvo_driver::nVOAPAL000::tObject {
public:
    // Allocates both copies (-52000) and reads the sector into them.
    FlashSector(FlashController& controller, uint64_t sectorAddress, nVOAPALS100::tStatus& status);
    ~FlashSector();
    FlashSector(const FlashSector&) = delete;
    FlashSector& operator=(const FlashSector&) = delete;

    void get(uint64_t offset, uint64_t size, uint8_t* destination, nVOAPALS100::tStatus& status) const;
    void set(const uint8_t* source, uint64_t offset, uint64_t size, nVOAPALS100::tStatus& status);
    // Writes the sector when the range differs from the hardware copy, when
    // forced, or when an earlier write failed. scratch: one sector of memory
    // for the merged bytes.
    void flush(uint64_t offset, uint64_t size, bool force, uint8_t* scratch, nVOAPALS100::tStatus& status);
    // Reads the sector into the hardware copy and the range into the soft copy.
    // A failure leaves the hardware copy spoilt: the window drops the sector.
    void refresh(uint64_t offset, uint64_t size, nVOAPALS100::tStatus& status);

    uint64_t getSectorAddress() const { return sectorAddress_; }
    bool isStale() const { return stale_; }

private:
    bool inside(uint64_t offset, uint64_t size, nVOAPALS100::tStatus& status) const;

    FlashController& controller_;
    uint64_t sectorAddress_;
    uint64_t sectorSize_;
    uint8_t* softCopy_ = nullptr;
    uint8_t* hardwareCopy_ = nullptr;
    bool stale_ = false;
};

class FlashWindow : public DeviceWindow {
public:
    // The controller is not owned and must outlive the window. -52000 when
    // the mutex, the sector table or the merge buffer cannot be had; -240030
    // when the flash is not a whole number of sectors.
    FlashWindow(FlashController& controller, nVOAPALS100::tStatus& status);
    ~FlashWindow() override;
    FlashWindow(const FlashWindow&) = delete;
    FlashWindow& operator=(const FlashWindow&) = delete;

    void get(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
             nVOAPALS100::tStatus& status) override;
    void set(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
             nVOAPALS100::tStatus& status) override;
    void flush(uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
               nVOAPALS100::tStatus& status) override;
    void read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
              nVOAPALS100::tStatus& status) override;
    void write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
               nVOAPALS100::tStatus& status) override;
    void refresh(uint64_t offsetInBytes, uint64_t sizeInBytes, nVOAPALS100::tStatus& status) override;
    uint64_t getSizeInBytes() const override { return controller_.getSizeInBytes(); }
    const char* getVersion() const override { return ""; }
    const char* getOldestCompatibleVersion() const override { return ""; }
    // A range beyond the flash is -240029.
    bool checkRange(uint64_t offsetInBytes, uint64_t sizeInBytes,
                    nVOAPALS100::tStatus& status) const override;

private:
    enum tOperation : uint32_t { kSet = 0, kFlush = 1, kRefresh = 2, kGet = 3 };
    void walk(uint8_t* buffer, uint64_t offsetInBytes, uint64_t sizeInBytes, uint32_t operation, bool force,
              nVOAPALS100::tStatus& status);
    // The sector's cache entry, read from the flash first (justRead) when
    // there was none.
    FlashSector* sectorAt(uint64_t index, bool& justRead, nVOAPALS100::tStatus& status);
    void drop(uint64_t index);

    FlashController& controller_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    FlashSector** sectors_ = nullptr;
    uint64_t numberOfSectors_ = 0;
    uint8_t* scratch_ = nullptr;
};

} // namespace devicewindow
