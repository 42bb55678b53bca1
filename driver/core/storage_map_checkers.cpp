#include "core/storage_map_checkers.h"

#include "platform/vosdbg.h"

namespace kelvo_driver {

using kelvo_storagemaps::VersionedStorageMapInterface;
using nVOAPALS100::tStatus;

namespace {

bool versionsSupported(VersionedStorageMapInterface& map, uint32_t lowest, uint32_t highest,
                       tStatus& status) {
    const uint32_t oldest = map.getOldestCompatibleMapVersion(status);
    const uint32_t current = map.getMapVersion(status);
    return status.isNotFatal() && storageMapVersionsOverlap(oldest, current, lowest, highest);
}

} // namespace

bool StorageMapVersionChecker::areVersionsValid(tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    VOSDBG_ASSERT(storageMaps_ != nullptr && calibrationMaps_ != nullptr);
    if (!versionsSupported(storageMaps_->getHeaderMap(), kHeaderMapLowestVersion, kHeaderMapHighestVersion,
                           status) ||
        !versionsSupported(storageMaps_->getManufacturingMap(), kManufacturingMapLowestVersion,
                           kManufacturingMapHighestVersion, status)) {
        return false;
    }
    for (uint32_t i = 0; i < kNumberOfCalibrationMaps && status.isNotFatal(); ++i) {
        VOSDBG_ASSERT(calibrationMaps_->maps[i] != nullptr);
        if (!versionsSupported(*calibrationMaps_->maps[i], calibrationMaps_->oldestVersion,
                               calibrationMaps_->newestVersion, status)) {
            return false;
        }
    }
    return status.isNotFatal();
}

void StorageMapVersionChecker::checkHardwareState(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (!areVersionsValid(status) && status.isNotFatal()) {
        KELVO_SET_STATUS(status, kStorageMapVersionUnsupported);
    }
}

bool StorageMapChecksumChecker::areChecksumsValid(tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    VOSDBG_ASSERT(storageMaps_ != nullptr && calibrationMaps_ != nullptr);
    if (!storageMaps_->getHeaderMap().isChecksumValid(status) ||
        !storageMaps_->getManufacturingMap().isChecksumValid(status)) {
        return false;
    }
    for (uint32_t i = 0; i < kNumberOfCalibrationMaps && status.isNotFatal(); ++i) {
        VOSDBG_ASSERT(calibrationMaps_->maps[i] != nullptr);
        if (!calibrationMaps_->maps[i]->isChecksumValid(status)) {
            return false;
        }
    }
    return status.isNotFatal();
}

void StorageMapChecksumChecker::checkHardwareState(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (!areChecksumsValid(status) && status.isNotFatal()) {
        KELVO_SET_STATUS(status, kStorageMapChecksumInvalid);
    }
}

} // namespace kelvo_driver
