// The board's seven storage maps in the serial flash (through "flashWindow"),
// little-endian, byte order 0:
//   "Posc"                         0x0000  32768 bytes, no checksum  1.0.0d0 / 1.0.0d0
//   "Manufacturing"                0x8000  4096 bytes, CRC-32        1.0.0d1 / 1.0.0d0
//   "Header"                       0x9000  4096 bytes, CRC-32        1.0.0d0 / 1.0.0d0
//   "DefaultCalibrationChannel0"   0xA000  4096 bytes, CRC-32        1.0.0d1 / 1.0.0d0
//   "FactoryCalibrationChannel0"   0xB000  (as the default one)
//   "ExternalCalibrationChannel0"  0xC000
//   "SelfCalibrationChannel0"      0xD000
// A checksummed map begins with "checksum" (u32, the CRC-32 of map bytes 4
// to 4095), "mapVersion" and "oldestCompatibleMapVersion" (version words).
// In every field the id is the offset and the stride the element size.
//
// The driver's own readers (the VersionedStorageMapInterface operations)
// hold the map's registration mutex, as the storage-map I/O controls do.
#pragma once

#include <stdint.h>

#include "storage/kelvo_storage_maps.h"
#include "storage/storage_map_dispatcher.h"
#include "platform/sync.h"
#include "storage/storage_map.h"

namespace kelvo_storagemaps {

using storagemap::field;
using storagemap::FieldInfo;
using storagemap::Timestamp;
using storagemap::Value128;

namespace posc_fields {
inline constexpr FieldInfo kPOSC = field("POSC", 0, storagemap::kTypeU8, 32768, 1);
inline constexpr FieldInfo kAll[] = {kPOSC};
} // namespace posc_fields

// The head of every checksummed map.
namespace head_fields {
inline constexpr FieldInfo kChecksum = field("checksum", 0, storagemap::kTypeU32, 1, 4);
inline constexpr FieldInfo kMapVersion = field("mapVersion", 4, storagemap::kTypeVersion, 1, 4);
inline constexpr FieldInfo kOldestCompatibleMapVersion =
    field("oldestCompatibleMapVersion", 8, storagemap::kTypeVersion, 1, 4);
} // namespace head_fields

namespace manufacturing_fields {
inline constexpr FieldInfo kBoardSerialNumber = field("boardSerialNumber", 12, storagemap::kTypeU32, 1, 4);
inline constexpr FieldInfo kBoardRevision = field("boardRevision", 16, storagemap::kTypeU8, 1, 1);
inline constexpr FieldInfo kOldestCompatibleBoardRevision =
    field("oldestCompatibleBoardRevision", 17, storagemap::kTypeU8, 1, 1);
inline constexpr FieldInfo kOrderablePartNumber =
    field("orderablePartNumber", 18, storagemap::kTypeString, 1, 32);
inline constexpr FieldInfo kAllowUnsafeFirmware = field("allowUnsafeFirmware", 50, storagemap::kTypeU8, 1, 1);
inline constexpr FieldInfo kAll[] = {
    head_fields::kChecksum, head_fields::kMapVersion, head_fields::kOldestCompatibleMapVersion,
    kBoardSerialNumber,     kBoardRevision,           kOldestCompatibleBoardRevision,
    kOrderablePartNumber,   kAllowUnsafeFirmware};
} // namespace manufacturing_fields

namespace header_fields {
inline constexpr FieldInfo kPassword = field("password", 12, storagemap::kTypeString, 1, 32);
inline constexpr FieldInfo kComments = field("comments", 44, storagemap::kTypeString, 1, 1024);
inline constexpr FieldInfo kAll[] = {head_fields::kChecksum, head_fields::kMapVersion,
                                     head_fields::kOldestCompatibleMapVersion, kPassword, kComments};
} // namespace header_fields

namespace calibration_fields {
inline constexpr FieldInfo kTemperature = field("temperature", 12, storagemap::kTypeOpaque64, 1, 8);
inline constexpr FieldInfo kTime = field("time", 20, storagemap::kTypeTimestamp, 1, 16);
inline constexpr FieldInfo kCalibrationDueDate =
    field("calibrationDueDate", 36, storagemap::kTypeTimestamp, 1, 16);
inline constexpr FieldInfo kLimitedCalibrationFlag =
    field("limitedCalibrationFlag", 52, storagemap::kTypeU32, 1, 4);
inline constexpr FieldInfo kLimitedCalibrationDetails =
    field("limitedCalibrationDetails", 56, storagemap::kTypeString, 1, 1024);
inline constexpr FieldInfo kModulatorChargeBalanceOffsets =
    field("ModulatorChargeBalanceOffsets", 1080, storagemap::kTypeValue128, 4, 16);
inline constexpr FieldInfo kVoltageRemoteOffset =
    field("voltageRemoteOffset", 1144, storagemap::kTypeValue128, 2, 16);
inline constexpr FieldInfo kVoltageOffset = field("voltageOffset", 1176, storagemap::kTypeValue128, 2, 16);
inline constexpr FieldInfo kVoltageGain = field("voltageGain", 1208, storagemap::kTypeValue128, 2, 16);
inline constexpr FieldInfo kCurrentHighOffset =
    field("currentHighOffset", 1240, storagemap::kTypeValue128, 3, 16);
inline constexpr FieldInfo kCurrentLowOffset =
    field("currentLowOffset", 1288, storagemap::kTypeValue128, 3, 16);
inline constexpr FieldInfo kCurrentHighGain =
    field("currentHighGain", 1336, storagemap::kTypeValue128, 3, 16);
inline constexpr FieldInfo kCurrentLowGain = field("currentLowGain", 1384, storagemap::kTypeValue128, 3, 16);
inline constexpr FieldInfo kAll[] = {head_fields::kChecksum,
                                     head_fields::kMapVersion,
                                     head_fields::kOldestCompatibleMapVersion,
                                     kTemperature,
                                     kTime,
                                     kCalibrationDueDate,
                                     kLimitedCalibrationFlag,
                                     kLimitedCalibrationDetails,
                                     kModulatorChargeBalanceOffsets,
                                     kVoltageRemoteOffset,
                                     kVoltageOffset,
                                     kVoltageGain,
                                     kCurrentHighOffset,
                                     kCurrentLowOffset,
                                     kCurrentHighGain,
                                     kCurrentLowGain};
} // namespace calibration_fields

// Per-field accessors of a map class; each is one typed access of one
// element. A getter whose status fails answers zero.
#define KELVO_STORAGE_MAP_GETTER(Name, kField)                                                               \
    typename storagemap::ElementOf<kField.typeCode>::type get##Name(uint64_t index,                          \
                                                                    nVOAPALS100::tStatus& status) {          \
        typename storagemap::ElementOf<kField.typeCode>::type value{};                                       \
        get<kField>(index, 1, &value, status);                                                               \
        return status.isFatal() ? typename storagemap::ElementOf<kField.typeCode>::type{} : value;           \
    }
#define KELVO_STORAGE_MAP_SETTER(Name, kField)                                                               \
    void set##Name(const typename storagemap::ElementOf<kField.typeCode>::type& value, uint64_t index,       \
                   nVOAPALS100::tStatus& status) {                                                           \
        set<kField>(index, 1, &value, status);                                                               \
    }
#define KELVO_STORAGE_MAP_SCALAR(Name, kField)                                                               \
    KELVO_STORAGE_MAP_GETTER(Name, kField)                                                                   \
    KELVO_STORAGE_MAP_SETTER(Name, kField)                                                                   \
    typename storagemap::ElementOf<kField.typeCode>::type get##Name(nVOAPALS100::tStatus& status) {          \
        return get##Name(0, status);                                                                         \
    }                                                                                                        \
    void set##Name(const typename storagemap::ElementOf<kField.typeCode>::type& value,                       \
                   nVOAPALS100::tStatus& status) {                                                           \
        set##Name(value, 0, status);                                                                         \
    }
#define KELVO_STORAGE_MAP_STRING(Name, kField)                                                               \
    void get##Name(vohtl::BasicString& value, uint64_t index, nVOAPALS100::tStatus& status) {                \
        get<kField>(index, 1, &value, status);                                                               \
    }                                                                                                        \
    void get##Name(vohtl::BasicString& value, nVOAPALS100::tStatus& status) {                                \
        get##Name(value, 0, status);                                                                         \
    }                                                                                                        \
    void set##Name(const vohtl::BasicString& value, uint64_t index, nVOAPALS100::tStatus& status) {          \
        set<kField>(index, 1, &value, status);                                                               \
    }                                                                                                        \
    void set##Name(const vohtl::BasicString& value, nVOAPALS100::tStatus& status) {                          \
        set##Name(value, 0, status);                                                                         \
    }

// A checksummed map that the driver core reads: its head through the
// VersionedStorageMapInterface, under the registration mutex.
class VersionedMap : public storagemap::StorageMapCommon {
public:
    VersionedMap(const char* version, const char* oldest, uint64_t base, devicewindow::DeviceWindow& window,
                 const FieldInfo* fields, uint32_t fieldCount)
        : StorageMapCommon(version, oldest, 0, base, 4096, &crc_, &head_fields::kChecksum, window, fields,
                           fieldCount) {}

    KELVO_STORAGE_MAP_GETTER(Checksum, head_fields::kChecksum)
    uint32_t getChecksum(nVOAPALS100::tStatus& status) { return getChecksum(0, status); }
    KELVO_STORAGE_MAP_SCALAR(MapVersion, head_fields::kMapVersion)
    KELVO_STORAGE_MAP_SCALAR(OldestCompatibleMapVersion, head_fields::kOldestCompatibleMapVersion)

    // The registration mutex the driver's readers hold (null: none).
    void setEntryMutex(kelvo_driver::nVOAPAL000::tMutex* mutex) { entryMutex_ = mutex; }
    kelvo_driver::nVOAPAL000::tMutex* entryMutex() const { return entryMutex_; }

private:
    storagemap::CRC32Checksum crc_;
    kelvo_driver::nVOAPAL000::tMutex* entryMutex_ = nullptr;
};

// Holds a map's registration mutex for a scope (nothing when it has none).
class EntryLock {
public:
    explicit EntryLock(kelvo_driver::nVOAPAL000::tMutex* mutex) : mutex_(mutex) {
        if (mutex_ != nullptr) {
            nVOAPAL200_acquireMutex(mutex_);
        }
    }
    ~EntryLock() {
        if (mutex_ != nullptr) {
            nVOAPAL200_releaseMutex(mutex_);
        }
    }
    EntryLock(const EntryLock&) = delete;
    EntryLock& operator=(const EntryLock&) = delete;

private:
    kelvo_driver::nVOAPAL000::tMutex* mutex_;
};

// The VersionedStorageMapInterface over a versioned map.
template <typename Face, typename Map> class ReaderFace : public Face {
public:
    explicit ReaderFace(Map& map) : map_(map) {}
    uint32_t getMapVersion(nVOAPALS100::tStatus& status) override {
        EntryLock lock(map_.entryMutex());
        return map_.getMapVersion(status);
    }
    uint32_t getOldestCompatibleMapVersion(nVOAPALS100::tStatus& status) override {
        EntryLock lock(map_.entryMutex());
        return map_.getOldestCompatibleMapVersion(status);
    }
    bool isChecksumValid(nVOAPALS100::tStatus& status) override {
        EntryLock lock(map_.entryMutex());
        return map_.isChecksumValid(status);
    }

protected:
    Map& map_;
};

class PoscStorageMap : public storagemap::StorageMapCommon {
public:
    PoscStorageMap(devicewindow::DeviceWindow& window)
        : StorageMapCommon("1.0.0d0", "1.0.0d0", 0, 0x0000, 32768, nullptr, nullptr, window,
                           posc_fields::kAll, 1) {}
    KELVO_STORAGE_MAP_GETTER(POSC, posc_fields::kPOSC)
    KELVO_STORAGE_MAP_SETTER(POSC, posc_fields::kPOSC)
};

class ManufacturingStorageMap : public VersionedMap {
public:
    explicit ManufacturingStorageMap(devicewindow::DeviceWindow& window)
        : VersionedMap("1.0.0d1", "1.0.0d0", 0x8000, window, manufacturing_fields::kAll,
                       sizeof(manufacturing_fields::kAll) / sizeof(FieldInfo)) {}
    KELVO_STORAGE_MAP_SCALAR(BoardSerialNumber, manufacturing_fields::kBoardSerialNumber)
    KELVO_STORAGE_MAP_SCALAR(BoardRevision, manufacturing_fields::kBoardRevision)
    KELVO_STORAGE_MAP_SCALAR(OldestCompatibleBoardRevision,
                             manufacturing_fields::kOldestCompatibleBoardRevision)
    KELVO_STORAGE_MAP_STRING(OrderablePartNumber, manufacturing_fields::kOrderablePartNumber)
    KELVO_STORAGE_MAP_SCALAR(AllowUnsafeFirmware, manufacturing_fields::kAllowUnsafeFirmware)
};

class CalibrationStorageMap : public VersionedMap {
public:
    CalibrationStorageMap(devicewindow::DeviceWindow& window, uint64_t base)
        : VersionedMap("1.0.0d1", "1.0.0d0", base, window, calibration_fields::kAll,
                       sizeof(calibration_fields::kAll) / sizeof(FieldInfo)) {}
    KELVO_STORAGE_MAP_SCALAR(Time, calibration_fields::kTime)
    KELVO_STORAGE_MAP_SCALAR(CalibrationDueDate, calibration_fields::kCalibrationDueDate)
    KELVO_STORAGE_MAP_SCALAR(LimitedCalibrationFlag, calibration_fields::kLimitedCalibrationFlag)
    KELVO_STORAGE_MAP_STRING(LimitedCalibrationDetails, calibration_fields::kLimitedCalibrationDetails)
    KELVO_STORAGE_MAP_GETTER(ModulatorChargeBalanceOffsets,
                             calibration_fields::kModulatorChargeBalanceOffsets)
    KELVO_STORAGE_MAP_SETTER(ModulatorChargeBalanceOffsets,
                             calibration_fields::kModulatorChargeBalanceOffsets)
    KELVO_STORAGE_MAP_GETTER(VoltageRemoteOffset, calibration_fields::kVoltageRemoteOffset)
    KELVO_STORAGE_MAP_SETTER(VoltageRemoteOffset, calibration_fields::kVoltageRemoteOffset)
    KELVO_STORAGE_MAP_GETTER(VoltageOffset, calibration_fields::kVoltageOffset)
    KELVO_STORAGE_MAP_SETTER(VoltageOffset, calibration_fields::kVoltageOffset)
    KELVO_STORAGE_MAP_GETTER(VoltageGain, calibration_fields::kVoltageGain)
    KELVO_STORAGE_MAP_SETTER(VoltageGain, calibration_fields::kVoltageGain)
    KELVO_STORAGE_MAP_GETTER(CurrentHighOffset, calibration_fields::kCurrentHighOffset)
    KELVO_STORAGE_MAP_SETTER(CurrentHighOffset, calibration_fields::kCurrentHighOffset)
    KELVO_STORAGE_MAP_GETTER(CurrentLowOffset, calibration_fields::kCurrentLowOffset)
    KELVO_STORAGE_MAP_SETTER(CurrentLowOffset, calibration_fields::kCurrentLowOffset)
    KELVO_STORAGE_MAP_GETTER(CurrentHighGain, calibration_fields::kCurrentHighGain)
    KELVO_STORAGE_MAP_SETTER(CurrentHighGain, calibration_fields::kCurrentHighGain)
    KELVO_STORAGE_MAP_GETTER(CurrentLowGain, calibration_fields::kCurrentLowGain)
    KELVO_STORAGE_MAP_SETTER(CurrentLowGain, calibration_fields::kCurrentLowGain)
};

} // namespace kelvo_storagemaps

namespace voquantacalibrationtools {

class HeaderStorageMap : public kelvo_storagemaps::VersionedMap {
public:
    explicit HeaderStorageMap(devicewindow::DeviceWindow& window)
        : VersionedMap("1.0.0d0", "1.0.0d0", 0x9000, window, kelvo_storagemaps::header_fields::kAll,
                       sizeof(kelvo_storagemaps::header_fields::kAll) /
                           sizeof(kelvo_storagemaps::FieldInfo)) {}
    KELVO_STORAGE_MAP_STRING(Password, kelvo_storagemaps::header_fields::kPassword)
    KELVO_STORAGE_MAP_STRING(Comments, kelvo_storagemaps::header_fields::kComments)
};

} // namespace voquantacalibrationtools

namespace kelvo_storagemaps {

// The seven maps over the flash window, registered by name in the
// storage-map dispatcher at construction and removed at destruction.
class KelvoStorageMaps : public KelvoStorageMapsInterface {
public:
    static constexpr uint32_t kNumberOfMaps = 7;
    // Registration names in registration order.
    static const char* const kNames[kNumberOfMaps];

    // Construction touches neither the window nor the device. A failed
    // registration leaves its error; the later ones do nothing.
    KelvoStorageMaps(devicewindow::DeviceWindow& window, storagemap::StorageMapDispatcher& dispatcher,
                     nVOAPALS100::tStatus& status);
    // Removes the names in reverse order (a missing one is skipped).
    ~KelvoStorageMaps() override;
    KelvoStorageMaps(const KelvoStorageMaps&) = delete;
    KelvoStorageMaps& operator=(const KelvoStorageMaps&) = delete;

    VersionedStorageMapInterface& getHeaderMap() override { return headerFace_; }
    ManufacturingStorageMapInterface& getManufacturingMap() override { return manufacturingFace_; }
    CalibrationStorageMapInterface& getCalibrationMapFace(uint32_t index) { return calibrationFaces_[index]; }

    PoscStorageMap& posc() { return posc_; }
    ManufacturingStorageMap& manufacturing() { return manufacturing_; }
    voquantacalibrationtools::HeaderStorageMap& header() { return header_; }
    CalibrationStorageMap& calibration(uint32_t index) { return *calibration_[index]; }

private:
    class ManufacturingFace : public ReaderFace<ManufacturingStorageMapInterface, ManufacturingStorageMap> {
    public:
        using ReaderFace::ReaderFace;
        uint32_t getBoardSerialNumber(nVOAPALS100::tStatus& status) override {
            EntryLock lock(map_.entryMutex());
            return map_.getBoardSerialNumber(status);
        }
        uint8_t getBoardRevision(nVOAPALS100::tStatus& status) override {
            EntryLock lock(map_.entryMutex());
            return map_.getBoardRevision(status);
        }
        uint8_t getAllowUnsafeFirmware(nVOAPALS100::tStatus& status) override {
            EntryLock lock(map_.entryMutex());
            return map_.getAllowUnsafeFirmware(status);
        }
        uint8_t getOldestCompatibleBoardRevision(nVOAPALS100::tStatus& status) override {
            EntryLock lock(map_.entryMutex());
            return map_.getOldestCompatibleBoardRevision(status);
        }
    };
    class CalibrationFace : public ReaderFace<CalibrationStorageMapInterface, CalibrationStorageMap> {
    public:
        using ReaderFace::ReaderFace;
        votypes::FixedPoint128<64, true>
        getModulatorChargeBalanceOffset(uint32_t index, nVOAPALS100::tStatus& status) override {
            EntryLock lock(map_.entryMutex());
            const Value128 value = map_.getModulatorChargeBalanceOffsets(index, status);
            return votypes::FixedPoint128<64, true>(
                value.words[0] | (static_cast<uint64_t>(value.words[1]) << 32),
                value.words[2] | (static_cast<uint64_t>(value.words[3]) << 32));
        }
    };
    using HeaderFace = ReaderFace<VersionedStorageMapInterface, voquantacalibrationtools::HeaderStorageMap>;

    storagemap::StorageMapInterface* mapAt(uint32_t position);

    storagemap::StorageMapDispatcher& dispatcher_;
    PoscStorageMap posc_;
    ManufacturingStorageMap manufacturing_;
    voquantacalibrationtools::HeaderStorageMap header_;
    CalibrationStorageMap defaultCalibration_;
    CalibrationStorageMap factoryCalibration_;
    CalibrationStorageMap externalCalibration_;
    CalibrationStorageMap selfCalibration_;
    CalibrationStorageMap* calibration_[kelvo_driver::kNumberOfCalibrationMaps];
    HeaderFace headerFace_;
    ManufacturingFace manufacturingFace_;
    CalibrationFace calibrationFaces_[kelvo_driver::kNumberOfCalibrationMaps];
};

} // namespace kelvo_storagemaps
