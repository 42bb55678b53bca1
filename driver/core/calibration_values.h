// Setup level 15: the charge-balance offsets of the best usable calibration
// map in flash loaded into the charge-balance controller of the module's one
// channel.
//
// With search, the maps are tried self, external, factory, default; the first
// whose checksum holds and whose versions overlap the driver's window
// (1.0.0d0 to 1.0.0d1) is loaded; none: nothing changes and no error. Without
// search the self-calibration map is loaded again. Each stored offset (a signed
// 128-bit value with 64 fractional bits; the "not set" value loads 0) must
// survive a shift left and back by 51 bits, and its value in half units must
// fit the controller's 16-bit field; otherwise 0xBFFA4300 and 0 for that loop
// (the maps are user-writable: a negative or oversized value is refused, not
// trusted).
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "core/setup_levels.h"
#include "platform/fixedpoint.h"
#include "platform/status.h"
#include "storage/kelvo_storage_maps.h"

namespace kelvo_driver {

constexpr int64_t kCalibrationOffsetUnusable = KELVO_STATUS_VALUE_OUT_OF_RANGE;
constexpr int64_t kCalibrationMapVersionUnsupported = KELVO_STATUS_STORAGE_MAP_VERSION;

using ChargeBalanceOffset = votypes::FixedPoint128<64, true>;

// The loader of one physical channel.
class ChannelCalibrationLoader {
public:
    // Indices of the maps in the set (flash order).
    static constexpr uint32_t kDefaultMap = 0;
    static constexpr uint32_t kFactoryMap = 1;
    static constexpr uint32_t kExternalMap = 2;
    static constexpr uint32_t kSelfMap = 3;

    void initialize(const CalibrationMapSet* maps, ChargeBalanceControllerInterface* controller) {
        maps_ = maps;
        controller_ = controller;
    }
    void load(bool search, nVOAPALS100::tStatus& status);
    // Loads every loop's offset of map into the controller.
    void loadFromMap(kelvo_storagemaps::CalibrationStorageMapInterface& map, nVOAPALS100::tStatus& status);

    // The 16-bit offset of a stored value; 0xBFFA4300 (and 0) when it does not fit.
    static uint16_t offsetOf(const ChargeBalanceOffset& value, nVOAPALS100::tStatus& status);
    static bool isNotSet(const ChargeBalanceOffset& value) {
        return value.high == 0x7FFFFFFFFFFFFFFFull && value.low == ~uint64_t{0};
    }

private:
    bool usable(kelvo_storagemaps::CalibrationStorageMapInterface& map, nVOAPALS100::tStatus& status) const;

    const CalibrationMapSet* maps_ = nullptr;
    ChargeBalanceControllerInterface* controller_ = nullptr;
};

class LoadCalibrationValues : public LoadCalibrationValuesInterface {
public:
    static constexpr uint32_t kNumberOfLoaders = CalibrationControllersInterface::kNumberOfPhysicalChannels;

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    // Loader 0 over the level-3 maps and the level-11 controller, then loads channel 0 with search.
    void setup(IsolatedObjectsInterface& isolated, TYMOObjectsInterface& tymo, nVOAPALS100::tStatus& status);
    // Runs the loader of every set bit, lowest first; a bit without a loader:
    // -52005 and nothing loaded.
    void loadChannels(uint64_t channelMask, bool search, nVOAPALS100::tStatus& status) override;

private:
    ChannelCalibrationLoader loaders_[kNumberOfLoaders];
};

} // namespace kelvo_driver
