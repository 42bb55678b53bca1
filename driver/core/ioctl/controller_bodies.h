// The operation bodies that reach the non-isolated controllers through the
// KelvoHelper: the four cooling codes, the temperature sensor and the four
// power-allocation codes. The dispatcher has opened the gate (level 19) and, for
// the temperature sensor, refused every sensor but 0 already.
#pragma once

#include <stdint.h>

#include "controllers/channel.h"
#include "core/ioctl/channel_checks.h"
#include "core/ioctl/context.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

namespace detail {

// The component access of the device; null (and an invalid state) when it has none.
template <class Access, class Device> auto* helperOf(Device& device, nVOAPALS100::tStatus& status) {
    auto* helper = Access::helper(device);
    if (helper == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
    }
    return helper;
}

// Channel 0 only (0xBFFA4303), and held by the request's session (0xBFFA431A).
template <class Access>
bool channelIsReserved(const nVOAPAL000::tEventDescriptor& event, uint8_t channel,
                       nVOAPALS100::tStatus& status) {
    return channels::channelIsZero(channel, status) &&
           channels::sessionReserved<Access>(
               event, voquantasharedsource::ChannelBitmaskBase::convertToBitmask(channel), status);
}

} // namespace detail

template <class A> void voquantaPXICooling_getCoolingMode(Ctx<A, Op::voquantaPXICooling_getCoolingMode>& c) {
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        c.out.coolingMode = helper->getCoolingMode();
    }
}

template <class A>
void pxiCooling_getRequestedCoolingMode(Ctx<A, Op::pxiCooling_getRequestedCoolingMode>& c) {
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        c.out.coolingMode = helper->getRequestedCoolingMode();
    }
}

// A plain request of the chassis cooling service (applied only while no
// override is in force) and an override (always applied).
template <class A, Op op> void setCoolingMode(Ctx<A, op>& c, uint32_t overrideState) {
    if (c.status.isFatal()) {
        return;
    }
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        helper->setCoolingMode(c.in.coolingMode, overrideState, c.status);
    }
}
template <class A> void pxiCooling_setCoolingMode(Ctx<A, Op::pxiCooling_setCoolingMode>& c) {
    setCoolingMode(c, 2);
}
template <class A>
void voquantaPXICooling_overrideCoolingMode(Ctx<A, Op::voquantaPXICooling_overrideCoolingMode>& c) {
    setCoolingMode(c, 1);
}

template <class A> void corran_readTemperatureSensor(Ctx<A, Op::corran_readTemperatureSensor>& c) {
    if (c.status.isFatal()) {
        return;
    }
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        c.out.temperature = static_cast<uint16_t>(helper->readTemperatureSensor(c.status));
    }
}

template <class A> void corran_stagePowerAllocation(Ctx<A, Op::corran_stagePowerAllocation>& c) {
    if (!detail::channelIsReserved<A>(c.event, c.in.channel, c.status)) {
        return;
    }
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        c.out.result = helper->stagePowerAllocation(c.in.channel, c.in.powerMicrowatts, c.status);
    }
}

template <class A> void corran_commitPowerAllocation(Ctx<A, Op::corran_commitPowerAllocation>& c) {
    if (!detail::channelIsReserved<A>(c.event, c.in.channel, c.status)) {
        return;
    }
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        helper->commitPowerAllocation(c.in.channel, c.status);
    }
}

template <class A> void corran_discardPowerAllocation(Ctx<A, Op::corran_discardPowerAllocation>& c) {
    if (!detail::channelIsReserved<A>(c.event, c.in.channel, c.status)) {
        return;
    }
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        helper->discardPowerAllocation(c.in.channel, c.status);
    }
}

template <class A> void corran_getActualPowerAllocation(Ctx<A, Op::corran_getActualPowerAllocation>& c) {
    if (!detail::channelIsReserved<A>(c.event, c.in.channel, c.status)) {
        return;
    }
    if (auto* helper = detail::helperOf<A>(c.device, c.status)) {
        c.out.powerMicrowatts = helper->getActualPowerAllocation(c.in.channel, c.status);
    }
}

} // namespace kelvo_driver::ioctl
