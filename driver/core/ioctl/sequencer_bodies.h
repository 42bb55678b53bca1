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
#include "core/ioctl/code_table.h"
#include "core/kelvo_helper.h"
#include "framework/kernel_session.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

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

} // namespace sequencer

// ---- the sequence engine and the subroutines ---------------------------------------

#define KELVO_ENGINE_BODY(op, call)                                                                          \
    template <> struct Operation<Op::op> {                                                                   \
        template <class Access, class Device, class In, class Out>                                           \
        static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in,             \
                        [[maybe_unused]] Out& out, nVOAPALS100::tStatus& status) {                           \
            if (status.isFatal()) {                                                                          \
                return;                                                                                      \
            }                                                                                                \
            if (in.channelMask != channels::kValidChannelMask) {                                             \
                KELVO_SET_STATUS(status, sequencer::kInvalidChannel);                                        \
                return;                                                                                      \
            }                                                                                                \
            KelvoHelper* helper = sequencer::helperOf<Access>(device, status);                               \
            fenwicksharedsource::KernelSession* session = sequencer::sessionOf<Access>(event, status);       \
            if (helper != nullptr && session != nullptr) {                                                   \
                call;                                                                                        \
            }                                                                                                \
        }                                                                                                    \
    };

KELVO_ENGINE_BODY(wexmoor_startSequenceEngine,
                  helper->startSequenceEngine(*session, in.channelMask, in.commandCount, status))
KELVO_ENGINE_BODY(wexmoor_resetSequenceEngine, helper->resetSequenceEngine(*session, in.channelMask, status))
KELVO_ENGINE_BODY(wexmoor_isSequenceEngineRunning,
                  out.running = helper->isSequenceEngineRunning(*session, in.channelMask, status) ? 1 : 0)
#undef KELVO_ENGINE_BODY

template <> struct Operation<Op::wexmoor_getSubroutines> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (KelvoHelper* helper =
                status.isNotFatal() ? sequencer::helperOf<Access>(device, status) : nullptr) {
            helper->getSubroutines(event, in.idBuffer, in.addressBuffer, in.subroutineCount, status);
        }
    }
};

template <> struct Operation<Op::wexmoor_getNumSubroutines> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (KelvoHelper* helper =
                status.isNotFatal() ? sequencer::helperOf<Access>(device, status) : nullptr) {
            out.subroutineCount = helper->getNumSubroutines(status);
        }
    }
};

// ---- the measure unit: channel 0, then the reservation with the channel
// number itself as the mask (empty for channel 0, which every session holds) --

#define KELVO_MEASURE_UNIT_BODY(op, call)                                                                    \
    template <> struct Operation<Op::op> {                                                                   \
        template <class Access, class Device, class In, class Out>                                           \
        static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,       \
                        nVOAPALS100::tStatus& status) {                                                      \
            if (!sequencer::channelIsZero(in.channel, status)) {                                             \
                return;                                                                                      \
            }                                                                                                \
            KelvoHelper* helper = sequencer::helperOf<Access>(device, status);                               \
            fenwicksharedsource::KernelSession* session = sequencer::sessionOf<Access>(event, status);       \
            if (helper != nullptr && session != nullptr &&                                                   \
                sequencer::reserved(*session, in.channel, status)) {                                         \
                call;                                                                                        \
            }                                                                                                \
        }                                                                                                    \
    };

KELVO_MEASURE_UNIT_BODY(measureUnit_arm, helper->armMeasureUnit(*session, status))
KELVO_MEASURE_UNIT_BODY(measureUnit_reset, helper->resetMeasureUnit(*session, status))
#undef KELVO_MEASURE_UNIT_BODY

// ---- triggers and event latches ---------------------------------------------------

template <> struct Operation<Op::triggersAndEvents_overrideTrigger> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (KelvoHelper* helper =
                status.isNotFatal() ? sequencer::helperOf<Access>(device, status) : nullptr) {
            out.result = helper->overrideTrigger(in.triggerWord, in.trigger, status) ? 1 : 0;
        }
    }
};

template <> struct Operation<Op::triggersAndEvents_checkEventLatch> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (!sequencer::maskIsValid(in.channelMask, false, status)) {
            return;
        }
        if (KelvoHelper* helper = sequencer::reservedHelper<Access>(device, event, in.channelMask, status)) {
            out.latched = helper->checkEventLatch(in.channelMask, in.event, status) ? 1 : 0;
        }
    }
};

template <> struct Operation<Op::triggersAndEvents_clearEventLatch> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (!sequencer::maskIsValid(in.channelMask, false, status)) {
            return;
        }
        if (KelvoHelper* helper = sequencer::reservedHelper<Access>(device, event, in.channelMask, status)) {
            helper->clearEventLatch(status);
        }
    }
};

// ---- hardware conditions ----------------------------------------------------------

template <> struct Operation<Op::hwCondition_checkBoardAndChannelBasedHardwareErrors> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (!sequencer::maskIsValid(in.channelMask, true, status)) {
            return;
        }
        if (KelvoHelper* helper = sequencer::helperOf<Access>(device, status)) {
            helper->checkBoardAndChannelBasedHardwareErrors(status);
        }
    }
};

template <> struct Operation<Op::hwCondition_clearChannelBasedHardwareErrors> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (!sequencer::maskIsValid(in.channelMask, false, status)) {
            return;
        }
        if (KelvoHelper* helper = sequencer::reservedHelper<Access>(device, event, in.channelMask, status)) {
            helper->clearChannelBasedHardwareErrors(status);
        }
    }
};

// ---- channel operations -----------------------------------------------------------

template <> struct Operation<Op::corran_queryInCompliance> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (!sequencer::channelIsZero(in.channel, status)) {
            return;
        }
        if (KelvoHelper* helper = sequencer::helperOf<Access>(device, status)) {
            out.inCompliance = helper->queryInCompliance(in.channel, status) ? 1 : 0;
        }
    }
};

// Does nothing: the answer is the gate's (level 11).
template <> struct Operation<Op::corran_getHardwareErrors> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out&,
                    nVOAPALS100::tStatus& status) {
        if (KelvoHelper* helper =
                status.isNotFatal() ? sequencer::helperOf<Access>(device, status) : nullptr) {
            helper->getHardwareErrors(status);
        }
    }
};

template <> struct Operation<Op::corran_calculateChargeBalanceOffset> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (!sequencer::channelIsZero(in.channel, status)) {
            return;
        }
        if (KelvoHelper* helper =
                sequencer::reservedHelper<Access>(device, event, uint64_t{1} << in.channel, status)) {
            out.offset =
                static_cast<uint16_t>(helper->getCalibrationDispatcher().read(in.channel, in.loop, status));
        }
    }
};

template <> struct Operation<Op::corran_configureChargeBalanceOffset> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (!sequencer::channelIsZero(in.channel, status)) {
            return;
        }
        if (KelvoHelper* helper =
                sequencer::reservedHelper<Access>(device, event, uint64_t{1} << in.channel, status)) {
            helper->getCalibrationDispatcher().write(in.channel, in.loop, in.offset, status);
        }
    }
};

} // namespace kelvo_driver::ioctl
