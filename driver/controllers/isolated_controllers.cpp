#include "controllers/isolated_controllers.h"

#include "framework/mutex_holder.h"
#include "framework/poller.h"
#include "platform/time.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

using tSleepPoller =
    orut::Poller<nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise>>;
using tSpinPoller =
    orut::Poller<nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSpin, nVOAPAL000::tTimebasePrecise>>;

} // namespace

// ---- measure unit ------------------------------------------------------------------

MeasureUnitController::MeasureUnitController(uint32_t measureUnit,
                                             kelvo_regmaps::tKelvoMeasureStreamStatusRegMap& streamStatus,
                                             kelvo_regmaps::tKelvoSeqFlexLoopRegMap& seqFlexLoop,
                                             kdut::HardwareStateCheckerInterface& checker, tStatus& status)
    : measureUnit_(measureUnit), streamStatus_(streamStatus), seqFlexLoop_(seqFlexLoop),
      handler_(checker, static_cast<int32_t>(kMeasureUnitTimedOut)) {
    for (auto& lock : unitLocks_) {
        if (status.isFatal()) {
            return;
        }
        auto* mutex = new (status, false) nVOAPAL000::tMutex();
        if (mutex == nullptr) {
            return;
        }
        nVOAPAL200_createMutex(mutex, &status);
        lock = vohtl::SharedPtr<nVOAPAL000::tMutex>(mutex, status);
    }
}

// Each poll read under its map's tree lock; the waits between reads without it.
bool MeasureUnitController::readGenerating(tStatus& status) {
    const arm::tRegMapHold hold(seqFlexLoop_);
    return seqFlexLoop_.MuStatus[kMainMu].readGeneratingDcBusPackets(status);
}

bool MeasureUnitController::readAborted(tStatus& status) {
    const arm::tRegMapHold hold(streamStatus_);
    return streamStatus_.MeasureStreamAbortedMeasurement.readAbortedMeasurement(status);
}

void MeasureUnitController::waitForGenerating(uint32_t expected, tStatus& status) {
    const tSpinPoller poller(kInitialInterval, kMaximumInterval, 0, &handler_);
    poller.poll(*this, &MeasureUnitController::readGenerating, expected, 1, kGeneratingTimeout, true,
                tSpinPoller::kEqual, status);
}

void MeasureUnitController::waitForAborted(uint32_t measureUnit, uint32_t expected, tStatus& status) {
    VOSDBG_ASSERT_MSG(measureUnit == kMainMu,
                      "ASSERT(measureUnit == kelvo_regmaps::nKelvoConstants::kMainMu) "
                      "Only MainMu has an aborted status field so far");
    if (status.isFatal() || measureUnit != kMainMu) {
        return;
    }
    const tSpinPoller poller(kInitialInterval, kMaximumInterval, 0, &handler_);
    poller.poll(*this, &MeasureUnitController::readAborted, expected, 1, kAbortTimeout, true,
                tSpinPoller::kEqual, status);
}

void MeasureUnitController::strobePacketGen(bool stop, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const arm::tRegMapHold hold(seqFlexLoop_);
    auto& config = seqFlexLoop_.MuPacketGenConfig;
    if (stop) {
        config.writeStopPacketGeneration(true, status, true);
    } else {
        config.writeStartPacketGeneration(true, status, true);
    }
}

void MeasureUnitController::arm(tStatus& status) {
    if (status.isFatal() || !unitLocks_[kMainMu]) {
        return;
    }
    kdut::internal::MutexHolder hold(*unitLocks_[kMainMu]);
    strobePacketGen(false, status);
    waitForGenerating(1, status);
    if (status.isFatal()) {
        tStatus recovery;
        reset(recovery);
        status.merge(recovery);
    }
}

void MeasureUnitController::reset(tStatus& status) {
    if (status.isFatal() || !unitLocks_[kMainMu]) {
        return;
    }
    kdut::internal::MutexHolder hold(*unitLocks_[kMainMu]);
    {
        const arm::tRegMapHold tree(seqFlexLoop_);
        auto& control = seqFlexLoop_.MuCtrl[kMainMu];
        control.setAbortMeasure(true, status);
        if (status.isNotFatal()) {
            control.flush(status, false);
        }
    }
    waitForAborted(kMainMu, 1, status);
    strobePacketGen(true, status);
    if (status.isNotFatal()) {
        waitForGenerating(0, status);
    }
}

bool MeasureUnitController::overrideTrigger(tStatus& status) {
    if (status.isFatal() || !unitLocks_[kMainMu]) {
        return false;
    }
    kdut::internal::MutexHolder hold(*unitLocks_[kMainMu]);
    const arm::tRegMapHold tree(seqFlexLoop_);
    tStatus read;
    const bool overridable = seqFlexLoop_.MuStatus[kMainMu].readGeneratingDcBusPackets(read);
    if (read.isFatal()) {
        status.merge(read);
        return overridable;
    }
    if (!overridable) {
        KELVO_SET_STATUS(status, kTriggerNotArmed);
        return false;
    }
    seqFlexLoop_.MuCtrl[kMainMu].writeTriggerOverride(true, status, false);
    return true;
}

bool MeasureUnitController::isEventLatched(tStatus& status) {
    if (status.isFatal() || !unitLocks_[kMainMu]) {
        return false;
    }
    kdut::internal::MutexHolder hold(*unitLocks_[kMainMu]);
    const arm::tRegMapHold tree(seqFlexLoop_);
    tStatus read;
    const bool notLatched = seqFlexLoop_.MuStatus[kMainMu].readEventNotLatched(read);
    status.merge(read);
    return !notLatched;
}

bool MeasureUnitController::checkOtherUnit(uint32_t measureUnit, tStatus& status) const {
    if (measureUnit == kMainMu || measureUnit >= kUnitCount || !unitLocks_[measureUnit]) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return false;
    }
    return true;
}

void MeasureUnitController::configure(uint32_t measureUnit, const UnitConfiguration& configuration,
                                      tStatus& status) {
    if (status.isFatal() || !checkOtherUnit(measureUnit, status)) {
        return;
    }
    // The widths of the fields the values go to.
    if (configuration.downsampleRate > 0x3FFFFFu || configuration.filterOrder > 0x3u ||
        configuration.windowLsb > 0x7u || configuration.pointsPerRecord > 0x1FFFFFFu) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    kdut::internal::MutexHolder hold(*unitLocks_[measureUnit]);
    const arm::tRegMapHold tree(seqFlexLoop_);
    auto& control = seqFlexLoop_.MuCtrl[measureUnit];
    control.setAbortMeasure(true, status);
    control.flush(status, true);
    auto& filter = seqFlexLoop_.CicFilterConfig[measureUnit];
    filter.setDownsampleRate(configuration.downsampleRate, status);
    filter.setFilterOrder(configuration.filterOrder, status);
    filter.setWindowLsb(configuration.windowLsb, status);
    filter.setPointCompressible(configuration.pointCompressible, status);
    filter.flush(status, true);
    auto& record = seqFlexLoop_.MuRecordConfig[measureUnit];
    record.setPointsPerRecord(configuration.pointsPerRecord, status);
    record.setMeasureContinuous(configuration.measureContinuous, status);
    record.flush(status, true);
    if (status.isNotFatal()) {
        unitFlags_[measureUnit] = true;
    }
}

void MeasureUnitController::read(uint32_t measureUnit, vohtl::Vector<uint32_t>& points, tStatus& status) {
    if (status.isFatal() || !checkOtherUnit(measureUnit, status)) {
        return;
    }
    kdut::internal::MutexHolder hold(*unitLocks_[measureUnit]);
    points.clear();
}

// ---- charge balance ----------------------------------------------------------------

ChargeBalanceController::ChargeBalanceController(kelvo_regmaps::tKelvoFlexLoopRegMap& primary,
                                                 kelvo_regmaps::tKelvoFlexLoopRegMap* secondary,
                                                 kdut::HardwareStateCheckerInterface& checker,
                                                 uint8_t loopCount, tStatus& status)
    : primary_(primary), secondary_(secondary),
      handler_(checker, static_cast<int32_t>(kChargeBalanceTimedOut)), loopCount_(loopCount) {
    nVOAPAL200_createMutex(&lock_, &status);
}

uint32_t ChargeBalanceController::calculateOffset(uint8_t loop, tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    if (loop >= loopCount_) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return 0;
    }
    kdut::internal::MutexHolder hold(lock_);
    {
        const arm::tRegMapHold tree(primary_);
        primary_.ChargeBalancerControl.writeStartCalculation(static_cast<uint8_t>(1u << loop), status, true);
    }
    using tStatusLayout = kelvo_regmaps::layout::KelvoFlexLoopRegMap::ChargeBalancerStatus;
    const uint32_t done = 1u << (tStatusLayout::kFinishedShift + loop);
    const uint32_t failed = 1u << (tStatusLayout::kFailedShift + loop);
    struct Finished {
        kelvo_regmaps::tKelvoFlexLoopRegMap* map;
        uint32_t poll(tStatus& s) {
            const arm::tRegMapHold tree(*map);
            arm::refreshRecord(map->ChargeBalancerStatus, s);
            return map->ChargeBalancerStatus.softCopy;
        }
    } finished{&primary_};
    const tSleepPoller poller(kInitialInterval, kMaximumInterval, 0, &handler_);
    poller.poll(finished, &Finished::poll, 0, done | failed, kTimeout, true, tSleepPoller::kAnyBitSet,
                status);
    if (status.isNotFatal() && (finished.poll(status) & failed) != 0) {
        KELVO_SET_STATUS(status, kChargeBalanceFailed);
    }
    const arm::tRegMapHold tree(primary_);
    if (status.isNotFatal()) {
        arm::refreshRecord(primary_.ChargeBalanceOffset[loop], status);
    }
    return primary_.ChargeBalanceOffset[loop].getLoopOffset(status);
}

void ChargeBalanceController::storeOffset(kelvo_regmaps::tKelvoFlexLoopRegMap& map, uint8_t loop,
                                          uint32_t offset, tStatus& status) {
    const arm::tRegMapHold tree(map);
    map.ChargeBalanceOffset[loop].writeLoopOffset(static_cast<uint16_t>(offset), status, false);
}

void ChargeBalanceController::setOffset(uint8_t loop, uint16_t value, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (loop >= loopCount_) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    storeOffset(primary_, loop, value, status);
    if (status.isNotFatal() && secondary_ != nullptr) {
        storeOffset(*secondary_, loop, value, status);
    }
}

CalibrationControllers::CalibrationControllers(kelvo_regmaps::tKelvoFlexLoopRegMap& primary,
                                               kelvo_regmaps::tKelvoFlexLoopRegMap* secondary,
                                               kdut::HardwareStateCheckerInterface& checker,
                                               const corran_caps::ProductCaps& caps, tStatus& status)
    : controller_(primary, secondary, checker, 4, status), channels_{&controller_} {
    VOSDBG_ASSERT_MSG(corran_caps::isSolstraProduct(caps.subsystemID) ||
                          corran_caps::isDuskmereProduct(caps.subsystemID),
                      " Invalid subsystem ID for Kelvo Caps!");
}

ChargeBalanceControllerInterface&
CalibrationControllers::getChargeBalanceController(uint32_t physicalChannel) {
    VOSDBG_ASSERT_CMP(physicalChannel, <, kNumberOfPhysicalChannels);
    return *channels_[physicalChannel < kNumberOfPhysicalChannels ? physicalChannel : 0];
}

// ---- the bundle --------------------------------------------------------------------

IsolatedControllers::IsolatedControllers(IsolatedRegMapsWrapper& isolated,
                                         NonIsolatedRegMapsWrapper& nonIsolated,
                                         kdut::HardwareStateCheckerInterface& checker,
                                         const corran_caps::ProductCaps& caps, tStatus& status)
    : checker_(checker) {
    if (status.isFatal()) {
        return;
    }
    const bool solstra = corran_caps::isSolstraProduct(caps.subsystemID);
    kelvo_regmaps::tKelvoSequencerRegMap* localRAMMap = nullptr;
    kelvo_regmaps::tKelvoSequencerChSeqRegMap* engineMap = nullptr;
    kelvo_regmaps::tKelvoSeqFlexLoopRegMap* seqFlexLoop = nullptr;
    kelvo_regmaps::tKelvoFlexLoopRegMap* secondary = nullptr;
    if (solstra) {
        if (isolated.isSolstra && isolated.getSolstraRegMap() != nullptr) {
            localRAMMap = &isolated.getSolstraRegMap()->Board.Sequencer;
        }
        engineMap = isolated.getSequencerChSeqRegMap();
        seqFlexLoop = isolated.getSeqFlexLoopRegMap();
    } else if (nonIsolated.isDuskmere && nonIsolated.getDuskmereRegMap() != nullptr) {
        kelvo_regmaps::tDuskmereNisoTopRegMap& top = *nonIsolated.getDuskmereRegMap();
        localRAMMap = &top.Board.KelvoSequencer;
        if (top.SeqTop.Channels[0] != nullptr) {
            engineMap = &top.SeqTop.Channels[0]->SeqChannel.KelvoSequencerSeq;
            seqFlexLoop = &top.SeqTop.Channels[0]->SeqChannel.KelvoSeqFlexLoop;
        }
        if (top.Channels[0] != nullptr) {
            secondary = &top.Channels[0]->KelvoFlexLoop;
        }
    }
    kelvo_regmaps::tKelvoFlexLoopRegMap* primary = isolated.getFlexLoopRegMap();
    kelvo_regmaps::tKelvoMeasureStreamStatusRegMap* streamStatus =
        nonIsolated.getMeasureStreamStatusRegMap(0);
    if (localRAMMap == nullptr || engineMap == nullptr || seqFlexLoop == nullptr || primary == nullptr ||
        streamStatus == nullptr || (!solstra && secondary == nullptr)) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    localRAM_.reset(new (status, false) LocalRAMControllerType(*localRAMMap, status));
    engine_.reset(new (status, false) SequenceEngine(*engineMap));
    if (status.isNotFatal()) {
        engineController_.reset(new (status, false)
                                    SequenceEngineController(*engine_, checker, kCommandFifoDepth, status));
    }
    if (status.isNotFatal()) {
        measureUnit_.reset(new (status, false) MeasureUnitController(
            MeasureUnitController::kMainMu, *streamStatus, *seqFlexLoop, checker, status));
    }
    if (status.isNotFatal()) {
        calibration_.reset(new (status, false)
                               CalibrationControllers(*primary, secondary, checker, caps, status));
    }
}

IsolatedControllers::~IsolatedControllers() = default;

} // namespace kelvo_driver

namespace fenwicksharedsource {

template <typename ShiftReg, typename StatusReg, uint32_t kStatusMask, uint32_t kExpectedStatus,
          int32_t kTimeoutCode>
void SequentialLoaderController<ShiftReg, StatusReg, kStatusMask, kExpectedStatus, kTimeoutCode>::loadValues(
    const uint32_t* words, uint32_t count, nVOAPALS100::tStatus& status) {
    using kelvo_driver::nVOAPAL000::tTimebasePrecise;
    using kelvo_driver::nVOAPAL000::tTimeout;
    using kelvo_driver::nVOAPAL000::tTimeWasterSleep;
    struct Reader {
        StatusReg* reg;
        uint32_t poll(nVOAPALS100::tStatus& s) {
            const arm::tRegMapHold tree(reg->owner);
            arm::refreshRecord(*reg, s);
            return reg->softCopy;
        }
    } reader{status_};
    const orut::Poller<tTimeout<tTimeWasterSleep, tTimebasePrecise>> poller(1, 128, kTimeoutCode);
    for (uint32_t i = 0; i < count && status.isNotFatal(); ++i) {
        poller.poll(reader, &Reader::poll, kExpectedStatus, kStatusMask, kStatusTimeout, true,
                    decltype(poller)::kEqual, status);
        if (status.isNotFatal()) {
            const arm::tRegMapHold tree(shift_->owner);
            arm::insertIntoRecord(*shift_, 0xFFFFFFFFu, words[i]);
            shift_->flush(status, true);
        }
    }
}

void ExternalPLLController::setUp(nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    using Loader = SequentialLoaderController<kelvo_regmaps::tKelvoAdf4002InterfaceRegMap::tAdf4002ShiftReg,
                                              kelvo_regmaps::tKelvoAdf4002InterfaceRegMap::tAdf4002StatusReg,
                                              0, 0, KELVO_STATUS_EXTERNAL_PLL_NOT_LOCKED>;
    auto* words = static_cast<uint32_t*>(nVOAPAL200_malloc(sizeof(kWords), &status));
    if (words == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < kWordCount; ++i) {
        words[i] = kWords[i];
    }
    Loader loader(*shift_, *status_);
    loader.loadValues(words, kWordCount, status);
    nVOKAL100_free(words);
    if (status.isFatal()) {
        return;
    }
    kelvo_driver::nVOAPAL000::sleepMicroseconds(kSettleMicroseconds);
    bool locked = false;
    {
        const arm::tRegMapHold tree(status_->owner);
        locked = status_->readAdf4002Locked(status);
    }
    if (status.isNotFatal() && !locked) {
        KELVO_SET_STATUS(status, kelvo_driver::kExternalPLLNotLocked);
    }
}

} // namespace fenwicksharedsource
