// The operation bodies of setup level, reset, cleanup,
// reservation, the hardware-state checks, and the counts and name lists of
// the three registries (the register-map operations are in arm_bodies.h).
// Each runs inside the gate its stub opened (the reset opens its own), with
// the operation status seeded from the caller's word.
//
// Operation<op>::run<Access>(device, event, input, output, status) fills the
// output record's result fields; the stub writes the status word.
#pragma once

#include <stdint.h>

#include "core/ioctl/arm_bodies.h"
#include "core/ioctl/code_table.h"
#include "core/ioctl/name_lists.h"
#include "core/ioctl/routing_bodies.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

// One specialisation per code answered by a body (the stub checks it).
template <Op op> struct Operation;

namespace detail {

// A registry that level 1 guarantees; its absence is a broken invariant
// reported as an invalid state rather than followed.
template <class Registry> bool present(Registry* registry, nVOAPALS100::tStatus& status) {
    if (registry == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        return false;
    }
    return true;
}

template <class Session> Session* sessionOf(const nVOAPAL000::tEventDescriptor& event) {
    return static_cast<Session*>(nVOAPAL000::sessionOf(event));
}

} // namespace detail

template <> struct Operation<Op::kelvo_getSetupLevel> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus&) {
        out.setupLevel = Access::setupLevel(device);
    }
};

template <> struct Operation<Op::kdut_reset> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        if (in.setupLevel >= KELVO_SETUP_LEVEL_COMPLETE + 1) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
            return;
        }
        Access::reset(device, event, in.setupLevel, in.resetParametersAddress, status);
    }
};

template <> struct Operation<Op::kdut_checkHardwareState> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (status.isNotFatal()) {
            Access::checkHardwareState(device, in.word, status);
        }
    }
};

// Nothing is checked per channel: the gate's answer, then -52002.
template <> struct Operation<Op::kdut_checkChannelHardwareState> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor&, const In&, Out&,
                    nVOAPALS100::tStatus& status) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotImplemented);
    }
};

template <> struct Operation<Op::kdut_cleanup> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In&, Out&,
                    nVOAPALS100::tStatus& status) {
        auto* session = detail::sessionOf<typename Access::SessionType>(event);
        if (status.isNotFatal() && session != nullptr) {
            Access::cleanup(*session, status);
        }
    }
};

template <> struct Operation<Op::kdut_reserveResources> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        auto* session = detail::sessionOf<typename Access::SessionType>(event);
        if (status.isNotFatal() && session != nullptr) {
            Access::reserveResources(*session, in.resourceMask, status);
        }
    }
};

// The counts and name lists of one registry.
#define KELVO_REGISTRY_BODIES(prefix, registry)                                                              \
    template <> struct Operation<Op::prefix##_getNumberOfRegistrations> {                                    \
        template <class Access, class Device, class In, class Out>                                           \
        static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,            \
                        nVOAPALS100::tStatus& status) {                                                      \
            auto* dispatcher = Access::registry(device);                                                     \
            if (status.isNotFatal() && detail::present(dispatcher, status)) {                                \
                out.count = dispatcher->getNumberOfRegistrations();                                          \
            }                                                                                                \
        }                                                                                                    \
    };                                                                                                       \
    template <> struct Operation<Op::prefix##_getRegistrationNames> {                                        \
        template <class Access, class Device, class In, class Out>                                           \
        static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,       \
                        nVOAPALS100::tStatus& status) {                                                      \
            auto* dispatcher = Access::registry(device);                                                     \
            if (status.isNotFatal() && detail::present(dispatcher, status)) {                                \
                writeRegistrationNames(*dispatcher, event, in.buffer, status);                               \
            }                                                                                                \
        }                                                                                                    \
    };

KELVO_REGISTRY_BODIES(arm, armDispatcher)
KELVO_REGISTRY_BODIES(deviceWindow, deviceWindowDispatcher)
KELVO_REGISTRY_BODIES(storageMap, storageMapDispatcher)
#undef KELVO_REGISTRY_BODIES

template <> struct Operation<Op::arm_getSizeOfRegistrationList> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        auto* dispatcher = Access::armDispatcher(device);
        if (status.isNotFatal() && detail::present(dispatcher, status)) {
            out.size = dispatcher->getSizeOfRegistrationList();
        }
    }
};

template <> struct Operation<Op::arm_getRegistrationList> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        auto* dispatcher = Access::armDispatcher(device);
        if (status.isNotFatal() && detail::present(dispatcher, status)) {
            writeRegistrationList(*dispatcher, event, in.buffer, status);
        }
    }
};

} // namespace kelvo_driver::ioctl

#include "core/ioctl/accessory_bodies.h"
#include "core/ioctl/controller_bodies.h"
#include "core/ioctl/device_window_bodies.h"
#include "core/ioctl/dma_bodies.h"
#include "core/ioctl/sequencer_bodies.h"
#include "core/ioctl/storage_map_bodies.h"
