// Setup levels 6 and 7. Level 6 builds the non-isolated controllers over the
// level-5 register maps and installs the non-isolated board signature
// verifier among the hardware-state checks; level 7 switches on the
// transformer drive through the power controller and lets it settle.
#pragma once

#include <stdint.h>

#include "controllers/non_isolated_controllers.h"
#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "framework/hardware_state_checker_composite.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"

namespace kelvo_driver {

// The non-isolated FPGA's board signature is wrong.
constexpr int64_t kNonIsolatedSignatureWrong = KELVO_STATUS_NON_ISOLATED_SIGNATURE;

class NonIsolatedObjects : public NonIsolatedObjectsInterface {
public:
    NonIsolatedObjects() = default;

    // Reads the level-5 group through its face.
    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    // Builds the controllers, then (when that succeeded) the signature
    // verifier, which checks the FPGA once, and adds it to the checks. The
    // teardown takes the verifier out of the checks, then destroys the
    // controllers; the verifier goes with the task.
    void setup(kdut::HardwareStateCheckerComposite& checkers, NonIsolatedRegMaps& regMaps,
               CoolingModeState* coolingState, const Caps& caps, nVOAPALS100::tStatus& status);

    PXICoolingController& getPXICoolingController() override { return controllers_->coolingController; }
    TemperatureSensorController& getTemperatureSensorController() override {
        return controllers_->temperatureSensorController;
    }
    corran_shared::PowerAllocationController& getPowerAllocationController() override {
        return controllers_->powerAllocationController;
    }
    NonIsolatedRegMaps* getNonIsolatedRegMaps() override { return regMaps_; }
    NonIsolatedControllers* getNonIsolatedControllers() override { return controllers_; }

private:
    NonIsolatedRegMaps* regMaps_ = nullptr;
    bool isSolstra_ = false;
    bool isDuskmere_ = false;
    vohtl::SharedPtr<kdut::HardwareStateCheckerInterface> signatureVerifier_;
    NonIsolatedControllers* controllers_ = nullptr;
};

// Level 7: the transformer drive on, then one second to settle.
class PowerMonitorsTask : public SetupTask {
public:
    static constexpr uint32_t kSettleMicroseconds = 1000000;

    PowerMonitorsTask() = default;
    ~PowerMonitorsTask() override = default;

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    void setup(NonIsolatedObjectsInterface& nonIsolatedObjects, nVOAPALS100::tStatus& status);

private:
    PowerController* powerController_ = nullptr;
};

} // namespace kelvo_driver
