// The controllers of the sequencer and measurement side: the measure unit,
// the charge balancers with their calibration set, the external PLL loader,
// and the bundle that builds them over the board generation's maps (the
// sequencer lies in the isolated FPGA on Solstra boards and in the
// non-isolated one on Duskmere boards).
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "controllers/local_ram_controller.h"
#include "controllers/sequence_engine.h"
#include "framework/hardware_state_checker.h"
#include "framework/product_caps.h"
#include "framework/timeout_handler.h"
#include "platform/memory.h"
#include "platform/owned.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/vohtl/sharedptr.h"
#include "platform/vohtl/vector.h"
#include "reglayouts/kelvo_flex_loop_reg_map.h"
#include "regmaps/isolated_reg_maps_wrapper.h"
#include "regmaps/kelvo_adf4002_interface_reg_map.h"
#include "regmaps/kelvo_flex_loop_reg_map.h"
#include "regmaps/kelvo_measure_stream_status_reg_map.h"
#include "regmaps/kelvo_seq_flex_loop_reg_map.h"
#include "regmaps/kelvo_sequencer_reg_map.h"
#include "regmaps/non_isolated_reg_maps_wrapper.h"

namespace kelvo_driver {

constexpr int64_t kMeasureUnitTimedOut = KELVO_STATUS_MEASURE_UNIT_TIMED_OUT;
constexpr int64_t kTriggerNotArmed = KELVO_STATUS_TRIGGER_NOT_ARMED;
constexpr int64_t kChargeBalanceTimedOut = KELVO_STATUS_CHARGE_BALANCE_TIMED_OUT;
constexpr int64_t kChargeBalanceFailed = KELVO_STATUS_CHARGE_BALANCE_FAILED;
constexpr int64_t kExternalPLLNotLocked = KELVO_STATUS_EXTERNAL_PLL_NOT_LOCKED;

// Arms and resets a measure unit of the sequencer's flex loop; all its waits
// spin. Lock order: the unit's lock, then the tree lock of the map a register
// sequence uses (each poll read takes it alone; the waits hold only the
// unit's lock).
class MeasureUnitController : public MeasureUnitControllerInterface {
public:
    static constexpr uint32_t kMainMu = 0;
    static constexpr uint32_t kUnitCount = 3;
    static constexpr uint64_t kInitialInterval = 20;
    static constexpr uint64_t kMaximumInterval = 500;
    static constexpr uint64_t kGeneratingTimeout = 500000;
    static constexpr uint64_t kAbortTimeout = 1000;

    MeasureUnitController(uint32_t measureUnit, kelvo_regmaps::tKelvoMeasureStreamStatusRegMap& streamStatus,
                          kelvo_regmaps::tKelvoSeqFlexLoopRegMap& seqFlexLoop,
                          kdut::HardwareStateCheckerInterface& checker, nVOAPALS100::tStatus& status);
    ~MeasureUnitController() override = default;

    // Starts packet generation and waits for it; a failure resets the unit.
    void arm(nVOAPALS100::tStatus& status) override;
    // Aborts the measurement, waits for the abort, stops packet generation
    // and waits until it has ended.
    void reset(nVOAPALS100::tStatus& status) override;
    void cleanup(nVOAPALS100::tStatus& status) override { reset(status); }
    // Polls the aborted-measurement flag until it equals expected (main unit only).
    void waitForAborted(uint32_t measureUnit, uint32_t expected, nVOAPALS100::tStatus& status);
    // Under the main unit's lock: when the main unit generates DC-bus packets,
    // strobes its trigger override and answers true; otherwise 0xBFFA4019
    // (not armed), nothing written. A failed read keeps its code.
    bool overrideTrigger(nVOAPALS100::tStatus& status) override;
    // Under the main unit's lock: whether its event is latched (read from the hardware).
    bool isEventLatched(nVOAPALS100::tStatus& status) override;

    // How a measure unit other than the main one filters and records its points.
    struct UnitConfiguration {
        uint32_t downsampleRate; // 22 bits
        uint8_t filterOrder;     // 2 bits
        uint8_t windowLsb;       // 3 bits
        bool pointCompressible;
        uint32_t pointsPerRecord; // 25 bits
        bool measureContinuous;
    };
    // Under the unit's lock: aborts the unit's measurement, then writes its
    // CIC filter and record configuration (each register once, forced) and
    // marks the unit configured. The main unit, a unit without a lock (3 and
    // up) or a value wider than its field: -52005, nothing written.
    void configure(uint32_t measureUnit, const UnitConfiguration& configuration,
                   nVOAPALS100::tStatus& status);
    // Under the unit's lock: no points are read back from these units, so
    // points ends empty. The units refused as by configure: -52005, points
    // untouched.
    void read(uint32_t measureUnit, vohtl::Vector<uint32_t>& points, nVOAPALS100::tStatus& status);
    bool isConfigured(uint32_t measureUnit) const {
        return measureUnit < kUnitCount && unitFlags_[measureUnit];
    }

private:
    // A unit other than the main one that has a lock; else -52005.
    bool checkOtherUnit(uint32_t measureUnit, nVOAPALS100::tStatus& status) const;
    bool readGenerating(nVOAPALS100::tStatus& status);
    bool readAborted(nVOAPALS100::tStatus& status);
    void waitForGenerating(uint32_t expected, nVOAPALS100::tStatus& status);
    // Strobes StopPacketGeneration when stop, else StartPacketGeneration (forced write).
    void strobePacketGen(bool stop, nVOAPALS100::tStatus& status);

    [[maybe_unused]] uint32_t measureUnit_; // the main unit: the only one this driver drives
    kelvo_regmaps::tKelvoMeasureStreamStatusRegMap& streamStatus_;
    kelvo_regmaps::tKelvoSeqFlexLoopRegMap& seqFlexLoop_;
    vohtl::SharedPtr<nVOAPAL000::tMutex> unitLocks_[kUnitCount];
    kdut::CheckHardwareStateTimeoutHandler handler_;
    bool unitFlags_[kUnitCount] = {}; // set by the configuration of other units only
};

// Starts, waits for and checks the charge-balance calculation of one loop;
// writes offsets given by a client or by calibration data.
class ChargeBalanceController : public ChargeBalanceControllerInterface {
public:
    static constexpr uint64_t kInitialInterval = 1;
    static constexpr uint64_t kMaximumInterval = 128;
    static constexpr uint64_t kTimeout = 1000000;

    ChargeBalanceController(kelvo_regmaps::tKelvoFlexLoopRegMap& primary,
                            kelvo_regmaps::tKelvoFlexLoopRegMap* secondary,
                            kdut::HardwareStateCheckerInterface& checker, uint8_t loopCount,
                            nVOAPALS100::tStatus& status);
    ~ChargeBalanceController() override = default;

    uint32_t calculateOffset(uint8_t loop, nVOAPALS100::tStatus& status) override;
    void setOffset(uint8_t loop, uint16_t value, nVOAPALS100::tStatus& status) override;
    uint32_t getLoopCount() const override { return loopCount_; }

private:
    static void storeOffset(kelvo_regmaps::tKelvoFlexLoopRegMap& map, uint8_t loop, uint32_t offset,
                            nVOAPALS100::tStatus& status);

    nVOAPAL000::tMutex lock_;
    kelvo_regmaps::tKelvoFlexLoopRegMap& primary_;
    kelvo_regmaps::tKelvoFlexLoopRegMap* secondary_;
    kdut::CheckHardwareStateTimeoutHandler handler_;
    uint8_t loopCount_;
};

// One charge-balance controller (four loops) per physical channel.
class CalibrationControllers : public CalibrationControllersInterface {
public:
    CalibrationControllers(kelvo_regmaps::tKelvoFlexLoopRegMap& primary,
                           kelvo_regmaps::tKelvoFlexLoopRegMap* secondary,
                           kdut::HardwareStateCheckerInterface& checker, const corran_caps::ProductCaps& caps,
                           nVOAPALS100::tStatus& status);
    ~CalibrationControllers() override = default;

    ChargeBalanceControllerInterface& getChargeBalanceController(uint32_t physicalChannel) override;

private:
    ChargeBalanceController controller_;
    ChargeBalanceController* channels_[kNumberOfPhysicalChannels];
};

using LocalRAMControllerType = wexmoortools::LocalRAMController<kelvo_regmaps::tKelvoSequencerRegMap>;

// The bundle of the sequencer side. Every map it takes must exist (the
// groups of levels 5 and 9 were built); a missing one is -52020 and leaves
// the bundle without controllers.
class IsolatedControllers : public nVOAPAL000::tObject {
public:
    static constexpr uint32_t kCommandFifoDepth = 1024;

    IsolatedControllers(IsolatedRegMapsWrapper& isolated, NonIsolatedRegMapsWrapper& nonIsolated,
                        kdut::HardwareStateCheckerInterface& checker, const corran_caps::ProductCaps& caps,
                        nVOAPALS100::tStatus& status);
    virtual ~IsolatedControllers();
    IsolatedControllers(const IsolatedControllers&) = delete;
    IsolatedControllers& operator=(const IsolatedControllers&) = delete;

    // Null only when the construction failed.
    LocalRAMControllerType* getLocalRAM() const { return localRAM_.get(); }
    SequenceEngineController* getSequenceEngineController() const { return engineController_.get(); }
    MeasureUnitController* getMeasureUnitController() const { return measureUnit_.get(); }
    CalibrationControllers* getCalibrationControllers() const { return calibration_.get(); }
    kdut::HardwareStateCheckerInterface& getChecker() const { return checker_; }

private:
    // Destroyed in the reverse order.
    nVOAPAL000::tOwned<LocalRAMControllerType> localRAM_;
    nVOAPAL000::tOwned<SequenceEngine> engine_;
    nVOAPAL000::tOwned<SequenceEngineController> engineController_;
    nVOAPAL000::tOwned<MeasureUnitController> measureUnit_;
    nVOAPAL000::tOwned<CalibrationControllers> calibration_;
    kdut::HardwareStateCheckerInterface& checker_;
};

} // namespace kelvo_driver

namespace fenwicksharedsource {

// Shifts words into a serial device one after the other: per word, a wait
// for the status register to show the expected value under the mask (1000 us),
// then a forced write of the word to the shift register.
template <typename ShiftReg, typename StatusReg, uint32_t kStatusMask, uint32_t kExpectedStatus,
          int32_t kTimeoutCode>
class SequentialLoaderController : public kelvo_driver::nVOAPAL000::tObject {
public:
    static constexpr uint64_t kStatusTimeout = 1000;

    SequentialLoaderController(ShiftReg& shift, StatusReg& statusReg) : shift_(&shift), status_(&statusReg) {}
    virtual ~SequentialLoaderController() = default;

    virtual void loadValues(const uint32_t* words, uint32_t count, nVOAPALS100::tStatus& status);

private:
    ShiftReg* shift_;
    StatusReg* status_;
};

// Loads the module's fixed ADF4002 configuration and checks that the PLL locked.
class ExternalPLLController : public kelvo_driver::nVOAPAL000::tObject {
public:
    static constexpr uint32_t kSettleMicroseconds = 10000;
    static constexpr uint32_t kWordCount = 4;
    static constexpr uint32_t kWords[kWordCount] = {0x1F8093, 0x1F8092, 0x100028, 0x1B01};

    explicit ExternalPLLController(kelvo_regmaps::tKelvoAdf4002InterfaceRegMap& map)
        : shift_(&map.Adf4002Shift), status_(&map.Adf4002Status) {}
    virtual ~ExternalPLLController() = default;

    // Nothing on a fatal status. The words go through a temporary array (-52000).
    virtual void setUp(nVOAPALS100::tStatus& status);

private:
    kelvo_regmaps::tKelvoAdf4002InterfaceRegMap::tAdf4002ShiftReg* shift_;
    kelvo_regmaps::tKelvoAdf4002InterfaceRegMap::tAdf4002StatusReg* status_;
};

} // namespace fenwicksharedsource
