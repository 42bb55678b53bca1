// Hardware-state checkers of the storage maps in flash: whether their
// versions are ones the driver reads and whether their checksums hold.
#pragma once

#include "framework/hardware_state_checker.h"
#include "platform/status.h"
#include "storage/kelvo_storage_maps.h"

namespace kelvo_driver {

constexpr int64_t kStorageMapVersionUnsupported = KELVO_STATUS_STORAGE_MAP_VERSION;
constexpr int64_t kStorageMapChecksumInvalid = KELVO_STATUS_STORAGE_MAP_CHECKSUM;

// Supported versions of the header and manufacturing maps.
constexpr uint32_t kHeaderMapLowestVersion = kStorageMapVersion_1_0_0_d0;
constexpr uint32_t kHeaderMapHighestVersion = kStorageMapVersion_1_0_0_d0;
constexpr uint32_t kManufacturingMapLowestVersion = kStorageMapVersion_1_0_0_d0;
constexpr uint32_t kManufacturingMapHighestVersion = kStorageMapVersion_1_0_0_d1;

// Both checkers read the header and manufacturing maps of the board's storage
// maps and the four calibration maps of the set; none of them is owned.
class StorageMapVersionChecker : public kdut::HardwareStateCheckerInterface {
public:
    StorageMapVersionChecker(kelvo_storagemaps::KelvoStorageMapsInterface* storageMaps,
                             const CalibrationMapSet* calibrationMaps)
        : storageMaps_(storageMaps), calibrationMaps_(calibrationMaps) {}

    // 0xBFFA4082 when a map's versions do not overlap the supported ones (a
    // map's own read error stays as it is).
    void checkHardwareState(nVOAPALS100::tStatus& status) override;
    // False at once on a fatal status; the maps are tested header,
    // manufacturing, then the calibration maps in flash order, and the first
    // that fails ends the test.
    virtual bool areVersionsValid(nVOAPALS100::tStatus& status);

private:
    kelvo_storagemaps::KelvoStorageMapsInterface* storageMaps_;
    const CalibrationMapSet* calibrationMaps_;
};

class StorageMapChecksumChecker : public kdut::HardwareStateCheckerInterface {
public:
    StorageMapChecksumChecker(kelvo_storagemaps::KelvoStorageMapsInterface* storageMaps,
                              const CalibrationMapSet* calibrationMaps)
        : storageMaps_(storageMaps), calibrationMaps_(calibrationMaps) {}

    // 0xBFFA4088 when a map's checksum is wrong.
    void checkHardwareState(nVOAPALS100::tStatus& status) override;
    virtual bool areChecksumsValid(nVOAPALS100::tStatus& status);

private:
    kelvo_storagemaps::KelvoStorageMapsInterface* storageMaps_;
    const CalibrationMapSet* calibrationMaps_;
};

} // namespace kelvo_driver
