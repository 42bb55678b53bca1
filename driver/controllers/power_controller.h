// The power controller (the transformer drive of the non-isolated board, and
// the hook through which a cooling mode would reach the hardware) and the
// chassis-cooling controller, which keeps the cooling mode that the chassis
// cooling service or a client last asked for and applies the override rule.
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "framework/product_caps.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regmaps/kelvo_transformer_control_reg_map.h"

namespace kelvo_driver {

class PowerController : public nVOAPAL000::tObject {
public:
    // The two drive settings of the transformer.
    static constexpr uint16_t kSettingA = 399;
    static constexpr uint16_t kSettingB = 199;

    // Stores its arguments; no register access.
    PowerController(corran_shared::PowerAllocationController* powerAllocationController,
                    const corran_caps::PowerAllocationLimitInMicroWatts* limitObject,
                    kelvo_regmaps::tKelvoTransformerControlRegMap* transformerControlMap, uint16_t settingA,
                    uint16_t settingB);
    virtual ~PowerController() {}

    // No register access on either board generation.
    virtual void setCoolingMode(uint8_t mode, nVOAPALS100::tStatus& status);
    // Enable off, setting A, setting B, enable on: each a field write that
    // reaches the register only when the soft copy changed (or is dirty).
    // The first failure ends the sequence; a missing map or a register
    // outside its window is -52006.
    virtual void enableTransformer(nVOAPALS100::tStatus& status);

    corran_shared::PowerAllocationController* getPowerAllocationController() const {
        return powerAllocationController_;
    }
    const corran_caps::PowerAllocationLimitInMicroWatts* getLimitObject() const { return limitObject_; }

private:
    corran_shared::PowerAllocationController* powerAllocationController_;
    const corran_caps::PowerAllocationLimitInMicroWatts* limitObject_;
    kelvo_regmaps::tKelvoTransformerControlRegMap* transformerControlMap_;
    uint16_t settingA_;
    uint16_t settingB_;
};

class PXICoolingControllerImpl final : public PXICoolingController {
public:
    // Override states.
    static constexpr uint32_t kOverride = 1;
    static constexpr uint32_t kServiceRequest = 2;

    // Creates the mutex (-52000 when it cannot be had). state: the device's
    // record, which outlives the controller.
    PXICoolingControllerImpl(uint32_t requestedCoolingMode, CoolingModeState* state,
                             PowerController* powerController, nVOAPALS100::tStatus& status);
    ~PXICoolingControllerImpl() override = default;

    // Under the lock; nothing when the status holds an error. A request that
    // is not an override is dropped without error while an override is in
    // force. A new mode goes through the power controller first and is
    // stored with its override state only when that succeeded; the same mode
    // stores the override state only. The mode is a byte.
    void setCoolingMode(uint32_t mode, uint32_t overrideState, nVOAPALS100::tStatus& status) override;
    // The stored mode, under the lock.
    uint32_t getCoolingMode() override;
    // The product's requested cooling mode; no lock.
    uint32_t getRequestedCoolingMode() override { return requestedCoolingMode_; }

private:
    uint32_t requestedCoolingMode_;
    PowerController* powerController_;
    CoolingModeState* state_;
    nVOAPAL000::tMutex mutex_;
};

} // namespace kelvo_driver
