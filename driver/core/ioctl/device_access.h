// What the I/O-control interfaces need of their device and session classes.
//
// The interfaces are templates over the device class and the session class.
// They reach both only through DeviceAccess<Device, Session>, whose primary
// template forwards to members of these names; a device class whose members
// are named otherwise specialises it instead.
#pragma once

#include <stdint.h>

#include <type_traits>

#include "framework/cleanup_operation.h"
#include "framework/routing_session.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"

namespace fenwicksharedsource {
class KernelSession;
}

namespace kelvo_driver {
class KelvoHelper;
}

namespace qeldma {
class DMADispatcher;
}

namespace kelvo_driver::ioctl {

template <class Device, class Session> struct DeviceAccess {
    // The I/O gate of an operation: constructed with (device, the request's
    // session or null, the required setup level, a status of its own), it
    // admits the request (device state, the session's validity, the level)
    // or leaves the refusal in that status; it is left when it goes out of
    // scope.
    using Gate = typename Device::IOControlGate;
    using DeviceType = Device;
    using SessionType = Session;

    // The setup tracker's current level (0 to 19).
    static uint32_t setupLevel(Device& device) { return device.getCurrentSetupLevel(); }
    // The device's reset request (it opens its own gate at level 0).
    static void reset(Device& device, const nVOAPAL000::tEventDescriptor& event, uint32_t level,
                      uint64_t parametersAddress, nVOAPALS100::tStatus& status) {
        device.reset(event, level, parametersAddress, status);
    }
    // Runs the hardware-state checkers of the device.
    static void checkHardwareState(Device& device, uint64_t word, nVOAPALS100::tStatus& status) {
        device.checkHardwareState(word, status);
    }
    // The storage-map checkers of level 3 (the all-maps tests).
    static bool areStorageMapChecksumsValid(Device& device, nVOAPALS100::tStatus& status) {
        return device.areStorageMapChecksumsValid(status);
    }
    static bool areStorageMapVersionsValid(Device& device, nVOAPALS100::tStatus& status) {
        return device.areStorageMapVersionsValid(status);
    }
    // The three registries of level 1; null before it.
    static auto* armDispatcher(Device& device) { return device.getARMDispatcher(); }
    static auto* deviceWindowDispatcher(Device& device) { return device.getDeviceWindowDispatcher(); }
    static auto* storageMapDispatcher(Device& device) { return device.getStorageMapDispatcher(); }

    // Runs the session's cleanup operations (last added first, all of them,
    // statuses merged) and forgets them.
    static void cleanup(Session& session, nVOAPALS100::tStatus& status) {
        auto& composite = session.getCleanupOperationComposite();
        composite.cleanupAndClear(status);
    }
    // The device's component access (the cooling, temperature and
    // power-allocation forwarders of the KelvoHelper); null before setup. A
    // test device may offer stand-in forwarders instead.
    static auto* helper(Device& device) {
        if constexpr (requires { device.getControllerForwarders(); }) {
            return device.getControllerForwarders();
        } else {
            return device.getKelvoHelper();
        }
    }
    // Reserves mask for the session in the device's reservation manager.
    static void reserveResources(Device&, Session& session, uint64_t mask, nVOAPALS100::tStatus& status) {
        session.reserveResources(mask, status);
    }
    // A reference to the handle's routing session, held for the whole
    // operation; empty when it has none.
    static vohtl::SharedPtr<voark::RoutingSession> routingSession(Session& session) {
        return session.getRoutingSession();
    }
    // The objects setup built (the controllers behind the instrument's
    // operations); null for a device that has none.
    static KelvoHelper* kelvoHelper(Device& device) {
        if constexpr (requires { device.getKelvoHelper(); }) {
            return device.getKelvoHelper();
        } else {
            return nullptr;
        }
    }
    // The kernel session of a request (reservations, cleanup operations); null for another session class.
    static fenwicksharedsource::KernelSession* kernelSession(Session& session) {
        if constexpr (std::is_convertible_v<Session*, fenwicksharedsource::KernelSession*>) {
            return &session;
        } else {
            return nullptr;
        }
    }

    // The DMA dispatcher (level 14; null when the device has none) and the
    // session's cleanup list that it keeps in step (null when none).
    static qeldma::DMADispatcher* dmaDispatcher(Device& device) { return device.getDMADispatcher(); }
    static kdut::CleanupOperationComposite* dmaCleanupList(Session& session) {
        return session.getDMACleanupList();
    }
    // 0xBFFA431A when the session does not hold mask.
    static void checkReserved(Session& session, uint64_t mask, nVOAPALS100::tStatus& status) {
        session.checkReserved(mask, status);
    }
    // The session's wait on a DMA channel below 2 (ended by its cleanup), and the channel's cancel
    // (0xBFFA40E4).
    static void waitUntilBytesTransferred(Device& device, Session& session, uint32_t channel, uint64_t start,
                                          uint64_t bytes, uint32_t timeout, uint32_t* timedOut,
                                          nVOAPALS100::tStatus& status) {
        device.waitUntilBytesTransferred(session, channel, start, bytes, timeout, timedOut, status);
    }
    static void cancelWaitUntilBytesTransferred(Device& device, uint32_t channel) {
        device.cancelWaitUntilBytesTransferred(channel);
    }
    // Loads the calibration values of the mask's channels again (level 15's loader).
    static void loadCalibrationToFirmware(Device& device, uint64_t mask, nVOAPALS100::tStatus& status) {
        device.loadCalibrationToFirmwareFromStorageMapSoftcopy(mask, status);
    }
    // The device's connected-accessory word, and its atomic exchange for a
    // new value (answering the word replaced).
    static uint32_t connectedAccessory(Device& device) { return device.getConnectedAccessory(); }
    static uint32_t exchangeConnectedAccessory(Device& device, uint32_t value) {
        return device.exchangeConnectedAccessory(value);
    }
};

} // namespace kelvo_driver::ioctl
