// The host's test device (see test_device.h). Built on the driver's device
// core, like a driver's own device, so it is compiled without type
// information like the driver.
#include "host/test_device.h"

#include "host/host.h"
#include "platform/device.h"
#include "platform/entry.h"
#include "platform/io_notifier.h"
#include "platform/kal_status.h"
#include "platform/user_buffer.h"

namespace kelvo_host {

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;

class tTestSession : public tSession {
public:
    tTestSession(tDeviceInterface* deviceInterface, tStatus& status) : tSession(deviceInterface, status) {}
    ~tTestSession() override {
        if (notifier.isOpen()) {
            notifier.close();
        }
    }
    tIONotifier notifier;
};

class tTestDevice : public tDevice {
public:
    tTestDevice(void* kernelDevice, tStatus& status)
        : tDevice(words_, status), words_{reinterpret_cast<uintptr_t>(kernelDevice), 0},
          main_(this, "kelvo_test", mainProperties_), aux_(this, "kelvo_test_aux"),
          interfaces_{&main_, &aux_, nullptr}, role_{"role", kPropertyTypeString, 0,
                                                     reinterpret_cast<uintptr_t>("main")},
          mainProperties_{&role_, nullptr}, serial_{"serialNumber", kPropertyTypeString, 0,
                                                    reinterpret_cast<uintptr_t>("TEST-0001")},
          model_{"modelName", kPropertyTypeString, 0, reinterpret_cast<uintptr_t>("test device")},
          deviceProperties_{&serial_, &model_, nullptr},
          busType_{"busType", kPropertyTypeUInt32, 0, 0x20706369}, busProperties_{nullptr, nullptr} {}

    tDeviceInterface* const* getDeviceInterfaces() override { return interfaces_; }
    tProperty* const* getDeviceProperties() override { return deviceProperties_; }

    tSession* open(const tEventDescriptor&, tDeviceInterface* deviceInterface, tStatus& status) override {
        auto* session = new (status, false) tTestSession(deviceInterface, status);
        if (status.isFatal() && session != nullptr) {
            delete session;
            session = nullptr;
        }
        return session;
    }
    void closeAndFreeSession(const tEventDescriptor&, tSession* session) override {
        delete static_cast<tTestSession*>(session);
    }
    void start(const tEventDescriptor& descriptor, tStatus&) override { resumeIOProcessing(descriptor); }

    uint32_t decodeIOControl(const tEventDescriptor& descriptor, uint32_t code, tUserBuffer& input,
                             tUserBuffer& output, tStatus& status) override {
        tSession* session = sessionOf(descriptor);
        if (!enterIOGate(session, status, kWaitForever)) {
            return 0;
        }
        uint32_t result = 0;
        uint8_t bytes[64] = {};
        switch (code) {
        case test_device::kEcho: {
            uint64_t size = input.getSize() < output.getSize() ? input.getSize() : output.getSize();
            for (uint64_t offset = 0; offset < size && status.isNotFatal(); offset += sizeof(bytes)) {
                const uint64_t chunk = size - offset < sizeof(bytes) ? size - offset : sizeof(bytes);
                input.read(offset, bytes, chunk, status);
                output.write(offset, bytes, chunk, status);
            }
            break;
        }
        case test_device::kResult:
        case test_device::kStatus:
            if (input.getSize() < 4) {
                KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
                break;
            }
            input.read(0, &result, 4, status);
            if (code == test_device::kStatus) {
                if (status.isNotFatal()) {
                    KELVO_SET_STATUS(status, static_cast<int32_t>(result));
                }
                result = 0;
            }
            break;
        case test_device::kNotify: {
            auto* testSession = static_cast<tTestSession*>(session);
            const uint32_t size =
                input.getSize() > sizeof(bytes) ? sizeof(bytes) : static_cast<uint32_t>(input.getSize());
            input.read(0, bytes, size, status);
            if (!testSession->notifier.isOpen()) {
                KELVO_SET_STATUS(status, tStatus::kInvalidState);
            } else {
                testSession->notifier.notify(bytes, static_cast<uint32_t>(input.getSize()), status);
            }
            break;
        }
        default:
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
            break;
        }
        exitIOGate(session);
        return result;
    }

    void createIONotifier(const tEventDescriptor& descriptor, uint32_t, tIONotifierParams& params,
                          tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        auto* session = static_cast<tTestSession*>(sessionOf(descriptor));
        if (session->notifier.isOpen()) {
            KELVO_SET_STATUS(status, tStatus::kInvalidState);
            return;
        }
        session->notifier.open(params, status);
    }
    void destroyIONotifier(const tEventDescriptor& descriptor, uint32_t) override {
        auto* session = static_cast<tTestSession*>(sessionOf(descriptor));
        session->notifier.close();
    }

    void initialize(const tEventDescriptor&, tStatus&) override {}
    void deinitialize() override {}
    void buildBusProperties() override { busProperties_[0] = &busType_; }
    tProperty* const* getBusProperties() override { return busProperties_; }

private:
    uint64_t words_[2]; // the kernel device handle and the physical-device word
    tDeviceInterface main_;
    tDeviceInterface aux_;
    tDeviceInterface* interfaces_[3];
    tProperty role_;
    tProperty* mainProperties_[2];
    tProperty serial_;
    tProperty model_;
    tProperty* deviceProperties_[3];
    tProperty busType_;
    tProperty* busProperties_[2];
};

} // namespace

// The generic steps of adding a device: construct, initialise, start,
// register the interfaces and properties, announce; unwind on failure.
nVOKAL_tStatus addTestDevice(nVOKAL_tPCIDevice*, void** deviceContext) {
    tStatus status;
    void* kernelDevice = *deviceContext;
    *deviceContext = nullptr;
    auto* device = new (status, false) tTestDevice(kernelDevice, status);
    if (device != nullptr && status.isNotFatal()) {
        device->initialize(tEventDescriptor(0), status);
    }
    if (status.isFatal()) {
        delete device;
        return nVOAPAL200_statusToKALStatus(status.getCode());
    }
    *deviceContext = device;
    device->commonChangePnPState(tEventDescriptor(0), kPnPStateReady, kSuspendReasonStart, false, status);
    tDeviceInterface* const* interfaces = device->getDeviceInterfaces();
    if (status.isNotFatal()) {
        for (uint32_t i = 0; interfaces[i] != nullptr; ++i) {
            nVOKAL_tHandle handle = nVOKAL240_registerDeviceInterface(
                nVOAPAL200_getDriverObject(), kernelDevice, interfaces[i]->getName(), i, interfaces[i]);
            if (handle == nullptr) {
                for (uint32_t j = i; j > 0; --j) {
                    nVOKAL200_unregisterDeviceInterface(interfaces[j - 1]->getKernelHandle());
                    interfaces[j - 1]->setKernelHandle(nullptr);
                }
                KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
                break;
            }
            interfaces[i]->setKernelHandle(handle);
        }
    }
    if (status.isNotFatal()) {
        device->buildBusProperties();
        device->registerBusProperties(status);
        device->registerDeviceProperties(status);
        device->registerInterfaceProperties(status);
    }
    if (status.isNotFatal()) {
        for (uint32_t i = 0; interfaces[i] != nullptr; ++i) {
            nVOKAL240_notifyUserspaceAddEvent(interfaces[i]->getKernelHandle());
        }
        return nVOAPAL200_statusToKALStatus(status.getCode());
    }
    nVOAPAL200_removeDevice(device);
    nVOAPAL200_destroyDevice(device);
    *deviceContext = nullptr;
    return nVOAPAL200_statusToKALStatus(status.getCode());
}

} // namespace kelvo_host
