// The operation bodies of the sequencer (start, reset and running state of
// the sequence engine, the registered subroutines), the measure unit, the
// trigger and event latches, the compliance and hardware-error queries, the
// charge-balance offsets and the two hardware-condition checks. Each checks
// its channel arguments, then forwards to the KelvoHelper.
//
// Channel rules: a channel number must be 0 and a channel mask may hold only
// bit 0 (0xBFFA4303 otherwise, nothing called); "reserved" is the session's
// reservation check of the mask (0xBFFA431A when another holds it). Each check
// runs only while the status holds no error.
#pragma once

#include <stdint.h>

#include "core/calibration_dispatcher.h"
#include "core/ioctl/channel_checks.h"
#include "core/ioctl/context.h"
#include "core/kelvo_helper.h"
#include "framework/kernel_session.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

namespace sequencer {

using channels::channelIsZero;
using channels::kInvalidChannel;
using channels::maskIsValid;

// The helper and the kernel session of a request; null (and -52002 in the
// status) for a device without them.
template <class Access, class Device> KelvoHelper* helperOf(Device& device, nVOAPALS100::tStatus& status) {
    KelvoHelper* helper = Access::kelvoHelper(device);
    if (helper == nullptr && status.isNotFatal()) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotImplemented);
    }
    return helper;
}

template <class Access>
fenwicksharedsource::KernelSession* sessionOf(const nVOAPAL000::tEventDescriptor& event,
                                              nVOAPALS100::tStatus& status) {
    auto* session = static_cast<typename Access::SessionType*>(nVOAPAL000::sessionOf(event));
    fenwicksharedsource::KernelSession* kernel =
        session != nullptr ? Access::kernelSession(*session) : nullptr;
    if (kernel == nullptr && status.isNotFatal()) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotImplemented);
    }
    return kernel;
}

inline bool reserved(fenwicksharedsource::KernelSession& session, uint64_t mask,
                     nVOAPALS100::tStatus& status) {
    if (status.isNotFatal()) {
        session.checkReserved(mask, status);
    }
    return status.isNotFatal();
}

// The helper, when the request's session holds the reservation of mask
// (null, with the status set, otherwise).
template <class Access, class Device>
KelvoHelper* reservedHelper(Device& device, const nVOAPAL000::tEventDescriptor& event, uint64_t mask,
                            nVOAPALS100::tStatus& status) {
    KelvoHelper* helper = helperOf<Access>(device, status);
    fenwicksharedsource::KernelSession* session = sessionOf<Access>(event, status);
    return helper != nullptr && session != nullptr && reserved(*session, mask, status) ? helper : nullptr;
}

// The helper and the kernel session of a request, both present.
struct Target {
    KelvoHelper* helper = nullptr;
    fenwicksharedsource::KernelSession* session = nullptr;
    explicit operator bool() const { return helper != nullptr && session != nullptr; }
};

// The sequence engine's checks: the mask holds exactly the product's channels.
template <class A, Op op> Target engineOf(Ctx<A, op>& c) {
    if (c.status.isFatal()) {
        return {};
    }
    if (c.in.channelMask != channels::kValidChannelMask) {
        KELVO_SET_STATUS(c.status, kInvalidChannel);
        return {};
    }
    return {helperOf<A>(c.device, c.status), sessionOf<A>(c.event, c.status)};
}

// The measure unit's checks: channel 0, then the reservation with the channel
// number itself as the mask (empty for channel 0, which every session holds).
template <class A, Op op> Target measureUnitOf(Ctx<A, op>& c) {
    if (!channelIsZero(c.in.channel, c.status)) {
        return {};
    }
    const Target target{helperOf<A>(c.device, c.status), sessionOf<A>(c.event, c.status)};
    return target && reserved(*target.session, c.in.channel, c.status) ? target : Target{};
}

} // namespace sequencer

// ---- the sequence engine and the subroutines ---------------------------------------

template <class A> void wexmoor_startSequenceEngine(Ctx<A, Op::wexmoor_startSequenceEngine>& c) {
    if (const sequencer::Target t = sequencer::engineOf(c)) {
        t.helper->startSequenceEngine(*t.session, c.in.channelMask, c.in.commandCount, c.status);
    }
}

template <class A> void wexmoor_resetSequenceEngine(Ctx<A, Op::wexmoor_resetSequenceEngine>& c) {
    if (const sequencer::Target t = sequencer::engineOf(c)) {
        t.helper->resetSequenceEngine(*t.session, c.in.channelMask, c.status);
    }
}

template <class A> void wexmoor_isSequenceEngineRunning(Ctx<A, Op::wexmoor_isSequenceEngineRunning>& c) {
    if (const sequencer::Target t = sequencer::engineOf(c)) {
        c.out.running = t.helper->isSequenceEngineRunning(*t.session, c.in.channelMask, c.status) ? 1 : 0;
    }
}

template <class A> void wexmoor_getSubroutines(Ctx<A, Op::wexmoor_getSubroutines>& c) {
    if (KelvoHelper* helper = c.status.isNotFatal() ? sequencer::helperOf<A>(c.device, c.status) : nullptr) {
        helper->getSubroutines(c.event, c.in.idBuffer, c.in.addressBuffer, c.in.subroutineCount, c.status);
    }
}

template <class A> void wexmoor_getNumSubroutines(Ctx<A, Op::wexmoor_getNumSubroutines>& c) {
    if (KelvoHelper* helper = c.status.isNotFatal() ? sequencer::helperOf<A>(c.device, c.status) : nullptr) {
        c.out.subroutineCount = helper->getNumSubroutines(c.status);
    }
}

// ---- the measure unit -------------------------------------------------------------

template <class A> void measureUnit_arm(Ctx<A, Op::measureUnit_arm>& c) {
    if (const sequencer::Target t = sequencer::measureUnitOf(c)) {
        t.helper->armMeasureUnit(*t.session, c.status);
    }
}

template <class A> void measureUnit_reset(Ctx<A, Op::measureUnit_reset>& c) {
    if (const sequencer::Target t = sequencer::measureUnitOf(c)) {
        t.helper->resetMeasureUnit(*t.session, c.status);
    }
}

// ---- triggers and event latches ---------------------------------------------------

template <class A> void triggersAndEvents_overrideTrigger(Ctx<A, Op::triggersAndEvents_overrideTrigger>& c) {
    if (KelvoHelper* helper = c.status.isNotFatal() ? sequencer::helperOf<A>(c.device, c.status) : nullptr) {
        c.out.result = helper->overrideTrigger(c.in.triggerWord, c.in.trigger, c.status) ? 1 : 0;
    }
}

template <class A> void triggersAndEvents_checkEventLatch(Ctx<A, Op::triggersAndEvents_checkEventLatch>& c) {
    if (!sequencer::maskIsValid(c.in.channelMask, false, c.status)) {
        return;
    }
    if (KelvoHelper* helper = sequencer::reservedHelper<A>(c.device, c.event, c.in.channelMask, c.status)) {
        c.out.latched = helper->checkEventLatch(c.in.channelMask, c.in.event, c.status) ? 1 : 0;
    }
}

template <class A> void triggersAndEvents_clearEventLatch(Ctx<A, Op::triggersAndEvents_clearEventLatch>& c) {
    if (!sequencer::maskIsValid(c.in.channelMask, false, c.status)) {
        return;
    }
    if (KelvoHelper* helper = sequencer::reservedHelper<A>(c.device, c.event, c.in.channelMask, c.status)) {
        helper->clearEventLatch(c.status);
    }
}

// ---- hardware conditions ----------------------------------------------------------

template <class A>
void hwCondition_checkBoardAndChannelBasedHardwareErrors(
    Ctx<A, Op::hwCondition_checkBoardAndChannelBasedHardwareErrors>& c) {
    if (!sequencer::maskIsValid(c.in.channelMask, true, c.status)) {
        return;
    }
    if (KelvoHelper* helper = sequencer::helperOf<A>(c.device, c.status)) {
        helper->checkBoardAndChannelBasedHardwareErrors(c.status);
    }
}

template <class A>
void hwCondition_clearChannelBasedHardwareErrors(Ctx<A, Op::hwCondition_clearChannelBasedHardwareErrors>& c) {
    if (!sequencer::maskIsValid(c.in.channelMask, false, c.status)) {
        return;
    }
    if (KelvoHelper* helper = sequencer::reservedHelper<A>(c.device, c.event, c.in.channelMask, c.status)) {
        helper->clearChannelBasedHardwareErrors(c.status);
    }
}

// ---- channel operations -----------------------------------------------------------

template <class A> void corran_queryInCompliance(Ctx<A, Op::corran_queryInCompliance>& c) {
    if (!sequencer::channelIsZero(c.in.channel, c.status)) {
        return;
    }
    if (KelvoHelper* helper = sequencer::helperOf<A>(c.device, c.status)) {
        c.out.inCompliance = helper->queryInCompliance(c.in.channel, c.status) ? 1 : 0;
    }
}

// Does nothing: the answer is the gate's (level 11).
template <class A> void corran_getHardwareErrors(Ctx<A, Op::corran_getHardwareErrors>& c) {
    if (KelvoHelper* helper = c.status.isNotFatal() ? sequencer::helperOf<A>(c.device, c.status) : nullptr) {
        helper->getHardwareErrors(c.status);
    }
}

template <class A>
void corran_calculateChargeBalanceOffset(Ctx<A, Op::corran_calculateChargeBalanceOffset>& c) {
    if (!sequencer::channelIsZero(c.in.channel, c.status)) {
        return;
    }
    if (KelvoHelper* helper =
            sequencer::reservedHelper<A>(c.device, c.event, uint64_t{1} << c.in.channel, c.status)) {
        c.out.offset =
            static_cast<uint16_t>(helper->getCalibrationDispatcher().read(c.in.channel, c.in.loop, c.status));
    }
}

template <class A>
void corran_configureChargeBalanceOffset(Ctx<A, Op::corran_configureChargeBalanceOffset>& c) {
    if (!sequencer::channelIsZero(c.in.channel, c.status)) {
        return;
    }
    if (KelvoHelper* helper =
            sequencer::reservedHelper<A>(c.device, c.event, uint64_t{1} << c.in.channel, c.status)) {
        helper->getCalibrationDispatcher().write(c.in.channel, c.in.loop, c.in.offset, c.status);
    }
}

} // namespace kelvo_driver::ioctl
