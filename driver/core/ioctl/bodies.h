// The operation bodies of setup level, reset, cleanup,
// reservation, the hardware-state checks, and the counts and name lists of
// the three registries (the register-map operations are in arm_bodies.h).
// Each runs as its row in the code table says: inside the gate the dispatcher
// opened (the reset opens its own), with the operation status seeded from the
// caller's word. A body fills the output record's result fields; the
// dispatcher writes the status word.
#pragma once

#include <stdint.h>

#include "core/ioctl/arm_bodies.h"
#include "core/ioctl/context.h"
#include "core/ioctl/name_lists.h"
#include "core/ioctl/routing_bodies.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

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

} // namespace detail

template <class A> void kelvo_getSetupLevel(Ctx<A, Op::kelvo_getSetupLevel>& c) {
    c.out.setupLevel = A::setupLevel(c.device);
}

template <class A> void kdut_reset(Ctx<A, Op::kdut_reset>& c) {
    if (c.status.isFatal()) {
        return;
    }
    if (c.in.setupLevel >= KELVO_SETUP_LEVEL_COMPLETE + 1) {
        KELVO_SET_STATUS(c.status, nVOAPALS100::tStatus::kInvalidParameter);
        return;
    }
    A::reset(c.device, c.event, c.in.setupLevel, c.in.resetParametersAddress, c.status);
}

template <class A> void kdut_checkHardwareState(Ctx<A, Op::kdut_checkHardwareState>& c) {
    if (c.status.isNotFatal()) {
        A::checkHardwareState(c.device, c.in.word, c.status);
    }
}

// Nothing is checked per channel: the gate's answer, then -52002.
template <class A> void kdut_checkChannelHardwareState(Ctx<A, Op::kdut_checkChannelHardwareState>& c) {
    KELVO_SET_STATUS(c.status, nVOAPALS100::tStatus::kNotImplemented);
}

template <class A> void kdut_cleanup(Ctx<A, Op::kdut_cleanup>& c) {
    auto* session = c.session();
    if (c.status.isNotFatal() && session != nullptr) {
        A::cleanup(*session, c.status);
    }
}

template <class A> void kdut_reserveResources(Ctx<A, Op::kdut_reserveResources>& c) {
    auto* session = c.session();
    if (c.status.isNotFatal() && session != nullptr) {
        A::reserveResources(c.device, *session, c.in.resourceMask, c.status);
    }
}

// The count and the name list of one registry.
template <class A, Op op, class Registry> void registrationCount(Ctx<A, op>& c, Registry* registry) {
    if (c.status.isNotFatal() && detail::present(registry, c.status)) {
        c.out.count = registry->getNumberOfRegistrations();
    }
}
template <class A, Op op, class Registry> void registrationNames(Ctx<A, op>& c, Registry* registry) {
    if (c.status.isNotFatal() && detail::present(registry, c.status)) {
        writeRegistrationNames(*registry, c.event, c.in.buffer, c.status);
    }
}

template <class A> void arm_getNumberOfRegistrations(Ctx<A, Op::arm_getNumberOfRegistrations>& c) {
    registrationCount(c, A::armDispatcher(c.device));
}
template <class A> void arm_getRegistrationNames(Ctx<A, Op::arm_getRegistrationNames>& c) {
    registrationNames(c, A::armDispatcher(c.device));
}
template <class A>
void deviceWindow_getNumberOfRegistrations(Ctx<A, Op::deviceWindow_getNumberOfRegistrations>& c) {
    registrationCount(c, A::deviceWindowDispatcher(c.device));
}
template <class A> void deviceWindow_getRegistrationNames(Ctx<A, Op::deviceWindow_getRegistrationNames>& c) {
    registrationNames(c, A::deviceWindowDispatcher(c.device));
}
template <class A>
void storageMap_getNumberOfRegistrations(Ctx<A, Op::storageMap_getNumberOfRegistrations>& c) {
    registrationCount(c, A::storageMapDispatcher(c.device));
}
template <class A> void storageMap_getRegistrationNames(Ctx<A, Op::storageMap_getRegistrationNames>& c) {
    registrationNames(c, A::storageMapDispatcher(c.device));
}

template <class A> void arm_getSizeOfRegistrationList(Ctx<A, Op::arm_getSizeOfRegistrationList>& c) {
    auto* dispatcher = A::armDispatcher(c.device);
    if (c.status.isNotFatal() && detail::present(dispatcher, c.status)) {
        c.out.size = dispatcher->getSizeOfRegistrationList();
    }
}

template <class A> void arm_getRegistrationList(Ctx<A, Op::arm_getRegistrationList>& c) {
    auto* dispatcher = A::armDispatcher(c.device);
    if (c.status.isNotFatal() && detail::present(dispatcher, c.status)) {
        writeRegistrationList(*dispatcher, c.event, c.in.buffer, c.status);
    }
}

} // namespace kelvo_driver::ioctl

#include "core/ioctl/accessory_bodies.h"
#include "core/ioctl/controller_bodies.h"
#include "core/ioctl/device_window_bodies.h"
#include "core/ioctl/dma_bodies.h"
#include "core/ioctl/sequencer_bodies.h"
#include "core/ioctl/storage_map_bodies.h"
