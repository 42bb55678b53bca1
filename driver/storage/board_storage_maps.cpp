#include "storage/board_storage_maps.h"

namespace kelvo_storagemaps {

using nVOAPALS100::tStatus;

const char* const KelvoStorageMaps::kNames[kNumberOfMaps] = {
    "Posc",
    "Manufacturing",
    "Header",
    "DefaultCalibrationChannel0",
    "FactoryCalibrationChannel0",
    "ExternalCalibrationChannel0",
    "SelfCalibrationChannel0",
};

KelvoStorageMaps::KelvoStorageMaps(devicewindow::DeviceWindow& window,
                                   storagemap::StorageMapDispatcher& dispatcher, tStatus& status)
    : dispatcher_(dispatcher), posc_(window), manufacturing_(window), header_(window),
      defaultCalibration_(window, 0xA000), factoryCalibration_(window, 0xB000),
      externalCalibration_(window, 0xC000),
      selfCalibration_(window, 0xD000), calibration_{&defaultCalibration_, &factoryCalibration_,
                                                     &externalCalibration_, &selfCalibration_},
      headerFace_(header_),
      manufacturingFace_(manufacturing_), calibrationFaces_{CalibrationFace(defaultCalibration_),
                                                            CalibrationFace(factoryCalibration_),
                                                            CalibrationFace(externalCalibration_),
                                                            CalibrationFace(selfCalibration_)} {
    for (uint32_t i = 0; i < kNumberOfMaps && status.isNotFatal(); ++i) {
        dispatcher_.add(kNames[i], *mapAt(i), status);
    }
    if (status.isFatal()) {
        return;
    }
    // The driver's own readers hold the same mutex as the I/O controls.
    VersionedMap* versioned[] = {&manufacturing_,       &header_,
                                 &defaultCalibration_,  &factoryCalibration_,
                                 &externalCalibration_, &selfCalibration_};
    for (uint32_t i = 0; i < kNumberOfMaps - 1 && status.isNotFatal(); ++i) {
        kelvo_driver::nVOAPAL000::tMutex* mutex = nullptr;
        storagemap::StorageMapInterface* map = nullptr;
        vohtl::BasicString name;
        if (name.assign(kNames[i + 1], status) && name.append("_Ver", status) &&
            name.append(versioned[i]->getVersion(), status)) {
            dispatcher_.getRegistration(name.c_str(), &map, status, &mutex);
        }
        versioned[i]->setEntryMutex(mutex);
    }
}

KelvoStorageMaps::~KelvoStorageMaps() {
    for (uint32_t i = kNumberOfMaps; i > 0; --i) {
        tStatus removal;
        dispatcher_.remove(kNames[i - 1], removal);
    }
}

storagemap::StorageMapInterface* KelvoStorageMaps::mapAt(uint32_t position) {
    switch (position) {
    case 0:
        return &posc_;
    case 1:
        return &manufacturing_;
    case 2:
        return &header_;
    default:
        return calibration_[position - 3];
    }
}

} // namespace kelvo_storagemaps
