#include "controllers/sequence_engine.h"

#include "framework/mutex_holder.h"
#include "framework/poller.h"
#include "platform/time.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {
using tSleepPoller =
    orut::Poller<nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise>>;
} // namespace

void SequenceEngine::start(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const arm::tRegMapHold hold(map_);
    map_.SequencerControl.writeStart(true, status, false);
}

bool SequenceEngine::isRunning(tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    const arm::tRegMapHold hold(map_);
    return map_.SequencerStatus.readRunning(status);
}

uint32_t SequenceEngine::getCommandFifoFullness(tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    const arm::tRegMapHold hold(map_);
    arm::refreshRecord(map_.CommandFifoFullness, status);
    return map_.CommandFifoFullness.softCopy;
}

SequenceEngineController::SequenceEngineController(SequenceEngine& engine,
                                                   kdut::HardwareStateCheckerInterface& checker,
                                                   uint32_t commandFifoDepth, tStatus& status)
    : engine_(engine), handler_(checker, static_cast<int32_t>(kSequenceEngineTimedOut)),
      commandFifoDepth_(commandFifoDepth) {
    nVOAPAL200_createMutex(&lock_, &status);
}

void SequenceEngineController::start(uint32_t commandCount, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    if (engine_.isRunning(status)) {
        KELVO_SET_STATUS(status, kSequenceEngineRunning);
        return;
    }
    if (status.isFatal()) {
        return;
    }
    if (commandCount > commandFifoDepth_) {
        KELVO_SET_STATUS(status, kTooManyCommands);
        return;
    }
    if (commandCount > 0) {
        // Fullness >= commandCount: the difference fullness - commandCount has no borrow.
        struct Filled {
            SequenceEngine* engine;
            uint32_t count;
            bool poll(tStatus& s) { return engine->getCommandFifoFullness(s) >= count; }
        } filled{&engine_, commandCount};
        const tSleepPoller poller(kInitialInterval, kMaximumInterval, 0, &handler_);
        poller.poll(filled, &Filled::poll, 1, 1, kFifoTimeout, true, tSleepPoller::kEqual, status);
    }
    engine_.start(status);
}

void SequenceEngineController::waitUntilStopped(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    const tSleepPoller poller(kInitialInterval, kMaximumInterval, 0, &handler_);
    poller.poll(engine_, &SequenceEngine::isRunning, 0, 1, kStopTimeout, true, tSleepPoller::kEqual, status);
}

void SequenceEngineController::waitForStop(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    waitUntilStopped(status);
}

void SequenceEngineController::reset(tStatus& status) {
    waitUntilStopped(status);
}

bool SequenceEngineController::isRunning(tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    kdut::internal::MutexHolder hold(lock_);
    return engine_.isRunning(status);
}

} // namespace kelvo_driver
