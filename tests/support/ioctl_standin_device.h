// A stand-in device for the I/O-control interfaces: the real device core's gate, a settable setup level,
// recorded resets and hardware checks, and the registries (`registries = false`: as before level 1).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "core/ioctl/interfaces.h"
#include "framework/dispatcher.h"
#include "platform/device_core.h"
#include "regs/arm_dispatcher.h"
#include "storage/storage_map_dispatcher.h"
#include "windows/device_window.h"
#include "windows/device_window_dispatcher.h"

namespace kelvo_test {

using kelvo_driver::nVOAPAL000::tDeviceCore;
using kelvo_driver::nVOAPAL000::tDeviceInterface;
using kelvo_driver::nVOAPAL000::tEventDescriptor;
using kelvo_driver::nVOAPAL000::tSession;
using nVOAPALS100::tStatus;

// What the device framework's gate answers.
constexpr int32_t kInvalidated = KELVO_STATUS_SESSION_INVALIDATED;
constexpr int32_t kLevelNotReached = KELVO_STATUS_SETUP_TARGET_REACHED;

class StandInSession : public tSession {
public:
    StandInSession(tDeviceInterface* deviceInterface, tStatus& status) : tSession(deviceInterface, status) {}
    bool invalid = false;
    uint64_t reserved = 0;
    // No routing session: the routing codes answer as a demoted session does.
    vohtl::SharedPtr<voark::RoutingSession> getRoutingSession() const { return {}; }

    struct Composite {
        int runs = 0;
        int64_t code = 0;
        void cleanupAndClear(tStatus& status) {
            ++runs;
            KELVO_SET_STATUS(status, code);
        }
    } composite;
    Composite& getCleanupOperationComposite() { return composite; }
    // No DMA: the DMA operations answer as a broken invariant does.
    kdut::CleanupOperationComposite* getDMACleanupList() { return nullptr; }
    void checkReserved(uint64_t mask, tStatus& status) {
        if ((mask & ~reserved) != 0) {
            KELVO_SET_STATUS(status, KELVO_STATUS_CHANNEL_NOT_RESERVED);
        }
    }
    void reserveResources(uint64_t mask, tStatus&) { reserved |= mask; }
};

// The component forwarders the controller bodies call.
struct StandInHelper {
    int16_t readTemperatureSensor(tStatus&) { return 0x123; }
    void setCoolingMode(uint32_t, uint32_t, tStatus&) {}
    uint32_t getCoolingMode() { return 16; }
    uint32_t getRequestedCoolingMode() { return 0x20; }
    uint32_t stagePowerAllocation(uint32_t, uint32_t, tStatus&) { return 7; }
    void commitPowerAllocation(uint32_t, tStatus&) {}
    void discardPowerAllocation(uint32_t, tStatus&) {}
    uint32_t getActualPowerAllocation(uint32_t, tStatus&) { return 5; }
};

class StandInDevice : public tDeviceCore {
public:
    explicit StandInDevice(tStatus& status) : tDeviceCore(status), kelvo(this), cooling(this) {
        interfaces_[0] = &kelvo;
        interfaces_[1] = &cooling;
        resumeIOProcessing(tEventDescriptor(0));
    }
    ~StandInDevice() override { closeIOGate(tEventDescriptor(0)); }

    tDeviceInterface* const* getDeviceInterfaces() override { return interfaces_; }
    tSession* open(const tEventDescriptor&, tDeviceInterface* deviceInterface, tStatus& status) override {
        return new (status, false) StandInSession(deviceInterface, status);
    }
    void closeAndFreeSession(const tEventDescriptor&, tSession* session) override {
        delete static_cast<StandInSession*>(session);
    }
    void initialize(const tEventDescriptor&, tStatus&) override {}
    void deinitialize() override {}

    uint32_t getCurrentSetupLevel() const { return level; }
    void reset(const tEventDescriptor& event, uint32_t toLevel, uint64_t parameters, tStatus& status) {
        resets.emplace_back(toLevel, parameters, event, getIOCount());
        KELVO_SET_STATUS(status, resetAnswer);
    }
    void checkHardwareState(uint64_t word, tStatus& status) {
        checkedWords.push_back(word);
        KELVO_SET_STATUS(status, hardwareAnswer);
    }
    armki::ARMDispatcher* getARMDispatcher() { return registries ? &*arm : nullptr; }
    devicewindow::DeviceWindowDispatcher* getDeviceWindowDispatcher() {
        return registries ? &*windows : nullptr;
    }
    storagemap::StorageMapDispatcher* getStorageMapDispatcher() { return registries ? &*storage : nullptr; }
    StandInHelper* getControllerForwarders() { return &helper; }
    bool areStorageMapChecksumsValid(tStatus&) { return true; }
    bool areStorageMapVersionsValid(tStatus&) { return true; }
    qeldma::DMADispatcher* getDMADispatcher() { return nullptr; }
    template <class Session>
    void waitUntilBytesTransferred(Session&, uint32_t, uint64_t, uint64_t, uint32_t, uint32_t* timedOut,
                                   tStatus&) {
        *timedOut = 1;
    }
    void cancelWaitUntilBytesTransferred(uint32_t) {}
    void loadCalibrationToFirmwareFromStorageMapSoftcopy(uint64_t, tStatus&) {}
    uint32_t getConnectedAccessory() const { return accessory; }
    uint32_t exchangeConnectedAccessory(uint32_t value) { return std::exchange(accessory, value); }

    using Reset =
        std::tuple<uint32_t, uint64_t, tEventDescriptor, uint32_t>; // level, parameters, event, I/O count
    uint32_t level = 19;
    bool registries = true;
    int64_t resetAnswer = 0;
    int64_t hardwareAnswer = 0;
    uint32_t accessory = 0;
    std::vector<Reset> resets;
    std::vector<uint64_t> checkedWords;
    StandInHelper helper;
    std::atomic<int> gates{0}; // gates opened
    std::optional<armki::ARMDispatcher> arm{std::in_place};
    std::optional<storagemap::StorageMapDispatcher> storage{std::in_place};
    std::optional<devicewindow::DeviceWindowDispatcher> windows{std::in_place};

    // The device core's gate, then the framework gate's refusals: an invalidated session, a level unmet.
    class IOControlGate {
    public:
        IOControlGate(StandInDevice& device, StandInSession* session, uint32_t level, tStatus& status)
            : device_(device), session_(session) {
            ++device.gates;
            entered_ = device.enterIOGate(session, status, kelvo_driver::nVOAPAL000::kWaitForever);
            if (entered_ && session != nullptr && session->invalid) {
                KELVO_SET_STATUS(status, kInvalidated);
            } else if (entered_ && level > device.level) {
                KELVO_SET_STATUS(status, kLevelNotReached);
            }
        }
        ~IOControlGate() {
            if (entered_) {
                device_.exitIOGate(session_);
            }
        }

    private:
        StandInDevice& device_;
        StandInSession* session_;
        bool entered_ = false;
    };

    kelvo_driver::tInterfaceTemplate_kelvo<StandInDevice, StandInSession> kelvo;
    kelvo_driver::tInterfaceTemplate_pxiCooling<StandInDevice, StandInSession> cooling;

private:
    tDeviceInterface* interfaces_[3] = {};
};

} // namespace kelvo_test
