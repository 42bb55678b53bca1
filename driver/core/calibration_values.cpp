#include "core/calibration_values.h"

#include "core/kelvo_helper.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {
constexpr int32_t kRoundTripShift = 51;
constexpr int32_t kOffsetShift = 63;
} // namespace

bool ChannelCalibrationLoader::usable(kelvo_storagemaps::CalibrationStorageMapInterface& map,
                                      tStatus& status) const {
    if (!map.isChecksumValid(status) || status.isFatal()) {
        return false;
    }
    const uint32_t current = map.getMapVersion(status);
    const uint32_t oldest = map.getOldestCompatibleMapVersion(status);
    return status.isNotFatal() &&
           storageMapVersionsOverlap(oldest, current, maps_->oldestVersion, maps_->newestVersion);
}

void ChannelCalibrationLoader::load(bool search, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT(maps_ != nullptr && controller_ != nullptr);
    if (!search) {
        if (maps_->maps[kSelfMap] != nullptr) {
            loadFromMap(*maps_->maps[kSelfMap], status);
        }
        return;
    }
    const uint32_t order[] = {kSelfMap, kExternalMap, kFactoryMap, kDefaultMap};
    for (uint32_t index : order) {
        kelvo_storagemaps::CalibrationStorageMapInterface* map = maps_->maps[index];
        if (map != nullptr && usable(*map, status)) {
            loadFromMap(*map, status);
            return;
        }
        if (status.isFatal()) {
            return;
        }
    }
}

uint16_t ChannelCalibrationLoader::offsetOf(const ChargeBalanceOffset& value, tStatus& status) {
    if (isNotSet(value) || status.isFatal()) {
        return 0;
    }
    ChargeBalanceOffset copy = value;
    copy.RightShift(-kRoundTripShift, true);
    copy.RightShift(kRoundTripShift, true);
    if (!(copy == value)) {
        KELVO_SET_STATUS(status, kCalibrationOffsetUnusable);
        return 0;
    }
    ChargeBalanceOffset shifted = value;
    shifted.RightShift(kOffsetShift, true);
    if (shifted.low > 0xFFFF) {
        // A negative or oversized value: the controller's field cannot hold it.
        KELVO_SET_STATUS(status, kCalibrationOffsetUnusable);
        return 0;
    }
    return static_cast<uint16_t>(shifted.low);
}

void ChannelCalibrationLoader::loadFromMap(kelvo_storagemaps::CalibrationStorageMapInterface& map,
                                           tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint32_t current = map.getMapVersion(status);
    const uint32_t oldest = map.getOldestCompatibleMapVersion(status);
    if (status.isFatal()) {
        return;
    }
    if (!storageMapVersionsOverlap(oldest, current, maps_->oldestVersion, maps_->newestVersion)) {
        KELVO_SET_STATUS(status, kCalibrationMapVersionUnsupported);
        return;
    }
    const uint32_t loops = controller_->getLoopCount() & 0xFF;
    for (uint32_t loop = 0; loop < loops; ++loop) {
        const ChargeBalanceOffset value = map.getModulatorChargeBalanceOffset(loop, status);
        const uint16_t offset = offsetOf(value, status);
        controller_->setOffset(static_cast<uint8_t>(loop), offset, status);
    }
}

SetupTask* LoadCalibrationValues::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    auto& isolated = helper.getTaskAs<IsolatedObjectsInterface>();
    auto& tymo = helper.getTaskAs<TYMOObjectsInterface>();
    LoadCalibrationValues* task = new (status, false) LoadCalibrationValues();
    if (task != nullptr) {
        task->setup(isolated, tymo, status);
    }
    return task;
}

void LoadCalibrationValues::setup(IsolatedObjectsInterface& isolated, TYMOObjectsInterface& tymo,
                                  tStatus& status) {
    CalibrationControllersInterface* controllers = isolated.getCalibrationControllers();
    VOSDBG_ASSERT(controllers != nullptr);
    if (controllers == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    loaders_[0].initialize(&tymo.getCalibrationMapSet(), &controllers->getChargeBalanceController(0));
    if (status.isNotFatal()) {
        loadChannels(1, true, status);
    }
}

void LoadCalibrationValues::loadChannels(uint64_t channelMask, bool search, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if ((channelMask >> kNumberOfLoaders) != 0) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    for (uint32_t channel = 0; channel < kNumberOfLoaders; ++channel) {
        if ((channelMask & (uint64_t{1} << channel)) != 0) {
            loaders_[channel].load(search, status);
        }
    }
}

} // namespace kelvo_driver
