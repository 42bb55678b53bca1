#include "windows/device_window_dispatcher.h"

#include "nVOKAL.h"
#include "platform/user_buffer.h"

// The dispatcher's templates, built once here.
template class voregitools::RegistrationWrapper<devicewindow::DeviceWindow>;
template class voregitools::DispatcherBase<voregitools::RegistrationWrapper<devicewindow::DeviceWindow>>;
template class voregitools::WrapperDispatcher<devicewindow::DeviceWindow>;
template class voregitools::Dispatcher<devicewindow::DeviceWindow>;

namespace devicewindow {

using kelvo_driver::nVOAPAL000::tEventDescriptor;
using kelvo_driver::nVOAPAL000::tUserBuffer;
using nVOAPALS100::tStatus;

DeviceWindow* DeviceWindowDispatcher::lookUp(const tEventDescriptor& event, uint64_t nameAddress,
                                             uint64_t nameLength, tStatus& status) {
    DeviceWindow* window = nullptr;
    // Bounds the length, copies the name from user memory and ends it.
    getRegistration(event, nameAddress, nameLength, &window, status, nullptr);
    return status.isFatal() ? nullptr : window;
}

void DeviceWindowDispatcher::transfer(tTransfer kind, const tEventDescriptor& event, uint64_t nameAddress,
                                      uint64_t nameLength, uint64_t userBuffer, uint64_t offsetInBytes,
                                      uint64_t sizeInBytes, bool force, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    DeviceWindow* window = lookUp(event, nameAddress, nameLength, status);
    if (window == nullptr) {
        return;
    }
    uint8_t* buffer = nullptr;
    if (sizeInBytes != 0) {
        // The user's size is allocated only once the window accepts the range.
        if (!window->checkRange(offsetInBytes, sizeInBytes, status)) {
            return;
        }
        buffer = static_cast<uint8_t*>(nVOAPAL200_malloc(sizeInBytes, &status));
        if (buffer == nullptr) {
            return;
        }
        nVOKAL240_memSet(buffer, 0, sizeInBytes);
    }
    const tUserBuffer user(event, userBuffer, sizeInBytes);
    switch (kind) {
    case tTransfer::kGet:
    case tTransfer::kRead:
        if (kind == tTransfer::kGet) {
            window->get(offsetInBytes, sizeInBytes, buffer, status);
        } else {
            window->read(offsetInBytes, sizeInBytes, buffer, status);
        }
        if (status.isNotFatal() && sizeInBytes != 0) {
            user.write(0, buffer, sizeInBytes, status);
        }
        break;
    case tTransfer::kSet:
    case tTransfer::kWrite:
        if (sizeInBytes != 0) {
            user.read(0, buffer, sizeInBytes, status);
        }
        if (kind == tTransfer::kSet) {
            window->set(buffer, offsetInBytes, sizeInBytes, status);
        } else {
            window->write(buffer, offsetInBytes, sizeInBytes, force, status);
        }
        break;
    }
    if (buffer != nullptr) {
        nVOKAL100_free(buffer);
    }
}

void DeviceWindowDispatcher::get(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                 uint64_t offsetInBytes, uint64_t sizeInBytes, uint64_t userBuffer,
                                 tStatus& status) {
    transfer(tTransfer::kGet, event, nameAddress, nameLength, userBuffer, offsetInBytes, sizeInBytes, false,
             status);
}

void DeviceWindowDispatcher::read(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                  uint64_t offsetInBytes, uint64_t sizeInBytes, uint64_t userBuffer,
                                  tStatus& status) {
    transfer(tTransfer::kRead, event, nameAddress, nameLength, userBuffer, offsetInBytes, sizeInBytes, false,
             status);
}

void DeviceWindowDispatcher::set(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                 uint64_t userBuffer, uint64_t offsetInBytes, uint64_t sizeInBytes,
                                 tStatus& status) {
    transfer(tTransfer::kSet, event, nameAddress, nameLength, userBuffer, offsetInBytes, sizeInBytes, false,
             status);
}

void DeviceWindowDispatcher::write(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                   uint64_t userBuffer, uint64_t offsetInBytes, uint64_t sizeInBytes,
                                   bool force, tStatus& status) {
    transfer(tTransfer::kWrite, event, nameAddress, nameLength, userBuffer, offsetInBytes, sizeInBytes, force,
             status);
}

void DeviceWindowDispatcher::flush(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                   uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
                                   tStatus& status) {
    if (DeviceWindow* window = lookUp(event, nameAddress, nameLength, status)) {
        window->flush(offsetInBytes, sizeInBytes, force, status);
    }
}

void DeviceWindowDispatcher::refresh(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                     uint64_t offsetInBytes, uint64_t sizeInBytes, tStatus& status) {
    if (DeviceWindow* window = lookUp(event, nameAddress, nameLength, status)) {
        window->refresh(offsetInBytes, sizeInBytes, status);
    }
}

uint64_t DeviceWindowDispatcher::getSizeInBytes(const tEventDescriptor& event, uint64_t nameAddress,
                                                uint64_t nameLength, tStatus& status) {
    DeviceWindow* window = lookUp(event, nameAddress, nameLength, status);
    return window != nullptr ? window->getSizeInBytes() : 0;
}

} // namespace devicewindow
