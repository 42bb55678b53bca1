// How the I/O-control interfaces reach the product's device and its kernel
// sessions. Included where the device's interfaces are constructed.
#pragma once

#include <stdint.h>

#include "core/ioctl/device_access.h"
#include "core/kelvo_device.h"
#include "framework/io_gate.h"
#include "framework/kernel_session.h"
#include "framework/setup_level.h"

namespace kelvo_driver::ioctl {

template <> struct DeviceAccess<KelvoDevice, fenwicksharedsource::KernelSession> {
    using DeviceType = KelvoDevice;
    using SessionType = fenwicksharedsource::KernelSession;

    // Admission, the session's validity, then the setup level.
    class Gate : public kdut::AutoIOGate<kelvo_shared::SetupLevel, SessionType> {
    public:
        Gate(KelvoDevice& device, SessionType* session, uint32_t level, nVOAPALS100::tStatus& status)
            : AutoIOGate(device, session, device.getSetupTracker(), level, status) {}
    };

    static uint32_t setupLevel(KelvoDevice& device) { return device.getSetupTracker().getCurrentLevel(); }
    static void reset(KelvoDevice& device, const nVOAPAL000::tEventDescriptor& event, uint32_t level,
                      uint64_t parametersAddress, nVOAPALS100::tStatus& status) {
        device.kdut_reset(event, level, parametersAddress, status);
    }
    static void checkHardwareState(KelvoDevice& device, uint64_t word, nVOAPALS100::tStatus& status) {
        if (KelvoHelper* helper = device.getKelvoHelper()) {
            helper->checkHardwareState(word, status);
        } else {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        }
    }
    // Level 19 guarantees the level-3 task behind both.
    static bool areStorageMapChecksumsValid(KelvoDevice& device, nVOAPALS100::tStatus& status) {
        KelvoHelper* helper = device.getKelvoHelper();
        if (helper == nullptr) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
            return false;
        }
        return helper->areStorageMapChecksumsValid(status);
    }
    static bool areStorageMapVersionsValid(KelvoDevice& device, nVOAPALS100::tStatus& status) {
        KelvoHelper* helper = device.getKelvoHelper();
        if (helper == nullptr) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
            return false;
        }
        return helper->areStorageMapVersionsValid(status);
    }
    static armki::ARMDispatcher* armDispatcher(KelvoDevice& device) {
        KelvoHelper* helper = device.getKelvoHelper();
        return helper != nullptr ? &helper->getARMDispatcher() : nullptr;
    }
    static devicewindow::DeviceWindowDispatcher* deviceWindowDispatcher(KelvoDevice& device) {
        KelvoHelper* helper = device.getKelvoHelper();
        return helper != nullptr ? &helper->getDeviceWindowDispatcher() : nullptr;
    }
    static storagemap::StorageMapDispatcher* storageMapDispatcher(KelvoDevice& device) {
        KelvoHelper* helper = device.getKelvoHelper();
        return helper != nullptr ? &helper->getStorageMapDispatcher() : nullptr;
    }
    // One step: what another request of the session registers meanwhile stays registered.
    static void cleanup(SessionType& session, nVOAPALS100::tStatus& status) {
        session.getCleanupOperationComposite().cleanupAndClear(status);
    }
    static KelvoHelper* helper(KelvoDevice& device) { return device.getKelvoHelper(); }
    // The grant takes the DMA streams of the reserved channels from the
    // other sessions, whole, before the request answers (level 19, which the
    // gate guarantees, has DMA).
    static void reserveResources(KelvoDevice& device, SessionType& session, uint64_t mask,
                                 nVOAPALS100::tStatus& status) {
        session.reserveResources(mask, status);
        KelvoHelper* helper = device.getKelvoHelper();
        if (status.isNotFatal() && helper != nullptr) {
            helper->getDMADispatcher().claim(mask, session.getCleanupOperationComposite());
        }
    }
    // A reference to the handle's routing session; empty when it has none.
    static vohtl::SharedPtr<voark::RoutingSession> routingSession(SessionType& session) {
        return session.getRoutingSession();
    }

    // Level 14 (the gate guarantees it) behind the DMA operations.
    static qeldma::DMADispatcher* dmaDispatcher(KelvoDevice& device) {
        KelvoHelper* helper = device.getKelvoHelper();
        return helper != nullptr ? &helper->getDMADispatcher() : nullptr;
    }
    static kdut::CleanupOperationComposite* dmaCleanupList(SessionType& session) {
        return &session.getCleanupOperationComposite();
    }
    static void checkReserved(SessionType& session, uint64_t mask, nVOAPALS100::tStatus& status) {
        session.checkReserved(mask, status);
    }
    static void waitUntilBytesTransferred(KelvoDevice& device, SessionType& session, uint32_t channel,
                                          uint64_t start, uint64_t bytes, uint32_t timeout,
                                          uint32_t* timedOut, nVOAPALS100::tStatus& status) {
        if (KelvoHelper* helper = device.getKelvoHelper()) {
            helper->waitUntilBytesTransferred(session.getCleanupOperationComposite(), channel, start, bytes,
                                              timeout, timedOut, status);
        } else {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        }
    }
    static void cancelWaitUntilBytesTransferred(KelvoDevice& device, uint32_t channel) {
        if (KelvoHelper* helper = device.getKelvoHelper()) {
            helper->cancelWaitUntilBytesTransferred(channel);
        }
    }
    static void loadCalibrationToFirmware(KelvoDevice& device, uint64_t mask, nVOAPALS100::tStatus& status) {
        if (KelvoHelper* helper = device.getKelvoHelper()) {
            helper->loadCalibrationToFirmwareFromStorageMapSoftcopy(mask, status);
        } else {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        }
    }
    static uint32_t connectedAccessory(KelvoDevice& device) { return device.getConnectedAccessory(); }
    static uint32_t exchangeConnectedAccessory(KelvoDevice& device, uint32_t value) {
        return device.exchangeConnectedAccessory(value);
    }
    static KelvoHelper* kelvoHelper(KelvoDevice& device) { return device.getKelvoHelper(); }
    static fenwicksharedsource::KernelSession* kernelSession(SessionType& session) { return &session; }
};

} // namespace kelvo_driver::ioctl
