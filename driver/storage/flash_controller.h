// The abstract flash driver under the flash window: the flash's geometry and
// whole-sector read and write. Sizes are powers of two; the sector size
// divides the flash size.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace devicewindow {

// Codes of the flash window and its controllers.
constexpr int64_t kStorageUnknownOperation = KELVO_STATUS_UNKNOWN_STORAGE_OPERATION;
constexpr int64_t kFlashOutOfRange = KELVO_STATUS_FLASH_OUT_OF_RANGE;
constexpr int64_t kFlashSizeNotMultipleOfSector = KELVO_STATUS_FLASH_SIZE_NOT_SECTOR_MULTIPLE;
constexpr int64_t kFlashNullBuffer = KELVO_STATUS_NULL_POINTER;
constexpr int64_t kFlashSizeNotPowerOfTwo = KELVO_STATUS_FLASH_SIZE_NOT_POWER_OF_TWO;
constexpr int64_t kFlashSectorSizeNotPowerOfTwo = KELVO_STATUS_FLASH_SECTOR_SIZE_NOT_POWER_OF_TWO;

// The answer of getSectorIndex and getSectorAddress on failure.
constexpr uint64_t kNoSector = 0xFFFFFFFF;

constexpr bool isPowerOfTwo(uint64_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

class FlashController : public kelvo_driver::nVOAPAL000::tObject {
public:
    // Checks, in this order: flash size a power of two (-240032), sector size
    // a power of two (-240033), flash size a multiple of the sector size
    // (-240030). Nothing on a failed status.
    FlashController(uint64_t sizeInBytes, uint64_t sectorSizeInBytes, nVOAPALS100::tStatus& status);
    virtual ~FlashController() = default;

    // Fills destination with the sector at sectorAddress.
    virtual void readSector(uint64_t sectorAddress, uint8_t* destination, nVOAPALS100::tStatus& status) = 0;
    // Replaces the sector at sectorAddress with source.
    virtual void writeSector(uint64_t sectorAddress, const uint8_t* source, nVOAPALS100::tStatus& status) = 0;

    virtual uint64_t getSizeInBytes() const { return sizeInBytes_; }
    virtual uint64_t getSectorSizeInBytes() const { return sectorSizeInBytes_; }
    virtual uint64_t getNumberOfSectors() const {
        return sectorSizeInBytes_ == 0 ? 0 : sizeInBytes_ / sectorSizeInBytes_;
    }
    // address / sector size for address <= size (size itself gives the
    // number of sectors); else -240029. kNoSector on any failure.
    virtual uint64_t getSectorIndex(uint64_t address, nVOAPALS100::tStatus& status) const;
    // index x sector size for index < number of sectors; else -240029.
    // kNoSector on any failure.
    virtual uint64_t getSectorAddress(uint64_t index, nVOAPALS100::tStatus& status) const;

    // -240029 unless address is the first byte of a sector of the flash.
    void validateSectorAddress(uint64_t address, nVOAPALS100::tStatus& status) const;

private:
    uint64_t sizeInBytes_;
    uint64_t sectorSizeInBytes_;
};

} // namespace devicewindow
