#include "storage/flash_controller.h"

namespace devicewindow {

using nVOAPALS100::tStatus;

FlashController::FlashController(uint64_t sizeInBytes, uint64_t sectorSizeInBytes, tStatus& status)
    : sizeInBytes_(sizeInBytes), sectorSizeInBytes_(sectorSizeInBytes) {
    if (status.isFatal()) {
        return;
    }
    if (!isPowerOfTwo(sizeInBytes)) {
        KELVO_SET_STATUS(status, kFlashSizeNotPowerOfTwo);
    } else if (!isPowerOfTwo(sectorSizeInBytes)) {
        KELVO_SET_STATUS(status, kFlashSectorSizeNotPowerOfTwo);
    } else if (sizeInBytes % sectorSizeInBytes != 0) {
        KELVO_SET_STATUS(status, kFlashSizeNotMultipleOfSector);
    }
}

uint64_t FlashController::getSectorIndex(uint64_t address, tStatus& status) const {
    if (status.isFatal()) {
        return kNoSector;
    }
    if (address > sizeInBytes_ || sectorSizeInBytes_ == 0) {
        KELVO_SET_STATUS(status, kFlashOutOfRange);
        return kNoSector;
    }
    return address / sectorSizeInBytes_;
}

uint64_t FlashController::getSectorAddress(uint64_t index, tStatus& status) const {
    if (status.isFatal()) {
        return kNoSector;
    }
    if (index >= getNumberOfSectors()) {
        KELVO_SET_STATUS(status, kFlashOutOfRange);
        return kNoSector;
    }
    return index * sectorSizeInBytes_;
}

void FlashController::validateSectorAddress(uint64_t address, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    tStatus local;
    const uint64_t sectorAddress = getSectorAddress(getSectorIndex(address, local), local);
    if (local.isFatal() || sectorAddress != address) {
        KELVO_SET_STATUS(status, kFlashOutOfRange);
    }
}

} // namespace devicewindow
