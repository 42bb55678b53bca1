// The operation bodies that reach the non-isolated controllers through the
// KelvoHelper: the four cooling codes, the temperature sensor and the four
// power-allocation codes. The stub has opened the gate (level 19) and, for
// the temperature sensor, refused every sensor but 0 already.
#pragma once

#include <stdint.h>

#include "controllers/channel.h"
#include "core/ioctl/channel_checks.h"
#include "core/ioctl/code_table.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

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

template <> struct Operation<Op::voquantaPXICooling_getCoolingMode> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            out.coolingMode = helper->getCoolingMode();
        }
    }
};

template <> struct Operation<Op::pxiCooling_getRequestedCoolingMode> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            out.coolingMode = helper->getRequestedCoolingMode();
        }
    }
};

// A plain request of the chassis cooling service (applied only while no
// override is in force) and an override (always applied).
template <uint32_t kOverrideState> struct SetCoolingMode {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            helper->setCoolingMode(in.coolingMode, kOverrideState, status);
        }
    }
};
template <> struct Operation<Op::pxiCooling_setCoolingMode> : SetCoolingMode<2> {};
template <> struct Operation<Op::voquantaPXICooling_overrideCoolingMode> : SetCoolingMode<1> {};

template <> struct Operation<Op::corran_readTemperatureSensor> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            out.temperature = static_cast<uint16_t>(helper->readTemperatureSensor(status));
        }
    }
};

template <> struct Operation<Op::corran_stagePowerAllocation> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (!detail::channelIsReserved<Access>(event, in.channel, status)) {
            return;
        }
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            out.result = helper->stagePowerAllocation(in.channel, in.powerMicrowatts, status);
        }
    }
};

template <> struct Operation<Op::corran_commitPowerAllocation> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (!detail::channelIsReserved<Access>(event, in.channel, status)) {
            return;
        }
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            helper->commitPowerAllocation(in.channel, status);
        }
    }
};

template <> struct Operation<Op::corran_discardPowerAllocation> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (!detail::channelIsReserved<Access>(event, in.channel, status)) {
            return;
        }
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            helper->discardPowerAllocation(in.channel, status);
        }
    }
};

template <> struct Operation<Op::corran_getActualPowerAllocation> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (!detail::channelIsReserved<Access>(event, in.channel, status)) {
            return;
        }
        if (auto* helper = detail::helperOf<Access>(device, status)) {
            out.powerMicrowatts = helper->getActualPowerAllocation(in.channel, status);
        }
    }
};

} // namespace kelvo_driver::ioctl
