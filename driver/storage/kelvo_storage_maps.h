// What the driver core uses of the non-volatile storage. The storage
// subsystem implements these interfaces over the board's storage maps in flash.
#pragma once

#include <stdint.h>

#include "platform/fixedpoint.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_storagemaps {

// One storage map as the driver core checks it. Versions are packed version
// words (major in bits 24-31, build in bits 0-13), compared as unsigned
// numbers. A read error of the map stays in the status.
class VersionedStorageMapInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~VersionedStorageMapInterface() = default;
    virtual uint32_t getMapVersion(nVOAPALS100::tStatus& status) = 0;
    virtual uint32_t getOldestCompatibleMapVersion(nVOAPALS100::tStatus& status) = 0;
    // True when the CRC-32 over the map without its checksum field equals the stored checksum.
    virtual bool isChecksumValid(nVOAPALS100::tStatus& status) = 0;
};

// A calibration map of channel 0, with what the calibration loader reads.
class CalibrationStorageMapInterface : public VersionedStorageMapInterface {
public:
    // Element index of "ModulatorChargeBalanceOffsets": a signed 128-bit
    // fixed-point value with 64 fractional bits (0 on a read error).
    virtual votypes::FixedPoint128<64, true>
    getModulatorChargeBalanceOffset(uint32_t index, nVOAPALS100::tStatus& status) = 0;
};

// The "Manufacturing" map (flash 0x8000).
class ManufacturingStorageMapInterface : public VersionedStorageMapInterface {
public:
    virtual uint32_t getBoardSerialNumber(nVOAPALS100::tStatus& status) = 0;
    virtual uint8_t getBoardRevision(nVOAPALS100::tStatus& status) = 0;
    // Element 0 of "allowUnsafeFirmware" and of "oldestCompatibleBoardRevision".
    virtual uint8_t getAllowUnsafeFirmware(nVOAPALS100::tStatus& status) = 0;
    virtual uint8_t getOldestCompatibleBoardRevision(nVOAPALS100::tStatus& status) = 0;
};

// The board's storage maps, as far as the driver core reads them.
class KelvoStorageMapsInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~KelvoStorageMapsInterface() = default;
    virtual VersionedStorageMapInterface& getHeaderMap() = 0;            // flash 0x9000
    virtual ManufacturingStorageMapInterface& getManufacturingMap() = 0; // flash 0x8000
};

} // namespace kelvo_storagemaps

namespace kelvo_driver {

constexpr uint32_t kNumberOfCalibrationMaps = 4;

// The four calibration maps of channel 0 in flash order (default, factory,
// external, self calibration) and the range of map versions the driver reads.
struct CalibrationMapSet {
    kelvo_storagemaps::CalibrationStorageMapInterface* maps[kNumberOfCalibrationMaps];
    uint32_t newestVersion; // 0x01000001
    uint32_t oldestVersion; // 0x01000000
};

// Packed version words of the storage maps the driver reads.
constexpr uint32_t kStorageMapVersion_1_0_0_d0 = 0x01000000;
constexpr uint32_t kStorageMapVersion_1_0_0_d1 = 0x01000001;

// True when a map whose versions run from oldest to current can be read by a
// driver that supports lowest to highest: the two ranges overlap.
constexpr bool storageMapVersionsOverlap(uint32_t oldest, uint32_t current, uint32_t lowest,
                                         uint32_t highest) {
    return lowest <= highest && oldest <= current && oldest <= highest && lowest <= current;
}

} // namespace kelvo_driver
