// The setup tasks around the sequencer: level 10 (the subroutine package and
// its registrar), 11 (the isolated controllers and the calibration
// dispatcher), 12 (the board revision in the sequencer's software register),
// 13 (the external PLL) and 17 (the subroutines downloaded into local RAM).
#pragma once

#include <stdint.h>

#include "controllers/isolated_controllers.h"
#include "controllers/subroutines.h"
#include "core/calibration_dispatcher.h"
#include "core/setup_levels.h"
#include "framework/hardware_state_checker_composite.h"
#include "framework/simple_register_verifier.h"
#include "platform/vohtl/sharedptr.h"
#include "regmaps/kelvo_reg_access_reg_map.h"

namespace kelvo_driver {

class KelvoHelper;

// A custom package that is incomplete or larger than local RAM reserves.
constexpr int64_t kInvalidSubroutinePackage = KELVO_STATUS_INVALID_SUBROUTINE_PACKAGE;
constexpr uint32_t kUnknownSubroutine = static_cast<uint32_t>(KELVO_STATUS_UNKNOWN_SUBROUTINE);
constexpr int64_t kIsolatedSignatureWrong = KELVO_STATUS_ISOLATED_SIGNATURE;
constexpr int64_t kRegisterAccessFailed = KELVO_STATUS_REGISTER_ACCESS_FAILED;
// The subroutine block of local RAM: words 0 to 8191; the end marker in the last word.
constexpr uint64_t kSubroutineReservedSize = 8192;
constexpr uint32_t kEndMarkerAddress = 16383;
// The subroutine that board start-up runs.
constexpr uint32_t kStartupSubroutineId = 0x956E9395u;

// The default subroutine tables of the two generations, in package order.
struct SubroutineTable {
    const uint32_t* ids;
    const uint32_t* addresses;
    uint32_t count;
};
const SubroutineTable& defaultSubroutineTable(bool solstra);

// Level 10.
class SubroutinePackageRegister : public SubroutinePackageRegisterInterface {
public:
    // The default package of the board generation when words 4 to 8 are all
    // zero; otherwise the caller's arrays, which need all five words non-zero
    // and at most 8192 commands and 8192 subroutines (0xBFFA432A, nothing
    // allocated or copied).
    void setup(const nVOAPAL000::tEventDescriptor& event, uint64_t commandsAddress, uint32_t commandCount,
               uint64_t idsAddress, uint64_t addressesAddress, uint32_t subroutineCount,
               const corran_caps::ProductCaps* caps, nVOAPALS100::tStatus& status);

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    wexmoortools::SubroutineRegistrarInterface* getSubroutineRegistrar() override { return registrar_.get(); }
    wexmoortools::SubroutinePackageInterface* getSubroutinePackage() override { return package_.get(); }

private:
    void createDefault(const corran_caps::ProductCaps& caps, nVOAPALS100::tStatus& status);
    void createFromUser(const nVOAPAL000::tEventDescriptor& event, uint64_t commandsAddress,
                        uint32_t commandCount, uint64_t idsAddress, uint64_t addressesAddress,
                        uint32_t subroutineCount, nVOAPALS100::tStatus& status);

    vohtl::SharedPtr<wexmoortools::SubroutinePackageInterface> package_;
    vohtl::SharedPtr<wexmoortools::SubroutineRegistrarInterface> registrar_;
};

// Level 11: the isolated controllers, the calibration dispatcher and the
// verifiers of the register access and the isolated board signature; the
// link's accessor learns of the first, so that it reads its error bit again
// before it fails an access.
class IsolatedObjects : public IsolatedObjectsInterface {
public:
    using RegisterAccessVerifier =
        kdut::SimpleRegisterVerifierTemplate<kelvo_regmaps::tKelvoRegAccessRegMap::tRegAccessStatusReg,
                                             0x80000000u, 0u, KELVO_STATUS_REGISTER_ACCESS_FAILED>;

    explicit IsolatedObjects(kdut::HardwareStateCheckerComposite& checkers) : checkers_(checkers) {}

    void setup(IsolatedRegMaps& isolated, NonIsolatedRegMaps& nonIsolated,
               const corran_caps::ProductCaps& caps, nVOAPALS100::tStatus& status);

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    MeasureUnitControllerInterface& getMeasureUnitController() override {
        return *controllers_->getMeasureUnitController();
    }
    SequenceEngineControllerInterface& getSequenceEngineController() override {
        return *controllers_->getSequenceEngineController();
    }
    CalibrationDispatcher& getCalibrationDispatcher() override { return *dispatcher_; }
    IsolatedControllers* getIsolatedControllers() override { return controllers_; }

private:
    kdut::HardwareStateCheckerComposite& checkers_;
    RegisterAccessVerifier* accessVerifier_ = nullptr;
    vohtl::SharedPtr<kdut::HardwareStateCheckerInterface> signatureVerifier_;
    IsolatedControllers* controllers_ = nullptr;
    CalibrationDispatcher* dispatcher_ = nullptr;
};

// Level 12: the board revision of the "Manufacturing" map into the sequencer's
// software register: general-use register 6 (offset 0x118), written only when
// its soft copy changes or is dirty.
class BoardRevisionProgrammer : public SetupTask {
public:
    static constexpr uint32_t kRevisionRegister = 6;

    void setup(kelvo_storagemaps::ManufacturingStorageMapInterface& manufacturing,
               kelvo_regmaps::tKelvoSequencerChSeqRegMap& sequencer, nVOAPALS100::tStatus& status);
    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);
};

// Level 13: the ADF4002 configuration loaded and locked.
class ExternalPLLAndSensorsTask : public SetupTask {
public:
    explicit ExternalPLLAndSensorsTask(kelvo_regmaps::tKelvoAdf4002InterfaceRegMap& map) : controller_(map) {}
    void setup(nVOAPALS100::tStatus& status) { controller_.setUp(status); }
    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

private:
    fenwicksharedsource::ExternalPLLController controller_;
};

// Level 17: the package's commands into local RAM from word 0, then the end
// marker into word 16383.
class LocalRAMConfigure : public SetupTask {
public:
    void setup(wexmoortools::SubroutinePackageInterface* package, LocalRAMControllerType& localRAM,
               nVOAPALS100::tStatus& status);
    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);
};

// The sequencer's channel map of the board: the isolated side's on Solstra,
// the non-isolated side's on Duskmere (null when the maps are missing).
kelvo_regmaps::tKelvoSequencerChSeqRegMap* sequencerChannelMap(IsolatedRegMaps& isolated,
                                                               NonIsolatedRegMaps& nonIsolated,
                                                               const corran_caps::ProductCaps& caps);

} // namespace kelvo_driver
