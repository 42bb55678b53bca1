// The dispatcher of device windows by name ("flashWindow", "NisoFpgaWindow",
// "IsoFpgaWindow"), with the window operations that user mode reaches by name.
// It outlives every window registered in it; windows are registered
// unversioned, and the setup task that built a window owns it and removes its
// name at teardown.
//
// Each window operation takes the caller's event descriptor, the window's
// name as a user address and a length (the name need not be terminated in
// user memory; longer than 4096 characters: -52005) and does the user-memory
// copies itself. No lock of its own around a window call: each window
// serialises its own operations. The operations are in windows/device_window_dispatcher.cpp.
#pragma once

#include <stdint.h>

#include "framework/dispatcher.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"
#include "windows/device_window.h"

namespace devicewindow {

class DeviceWindowDispatcher : public voregitools::Dispatcher<DeviceWindow> {
public:
    DeviceWindowDispatcher() = default;
    ~DeviceWindowDispatcher() override {}

    // get: soft-copy bytes to the user buffer; read: refreshed from the
    // device first. A range beyond the window gets the window's own code
    // before any buffer is allocated; a zero-byte request passes a null
    // buffer, which the window refuses (-240031). -52000 when the kernel
    // buffer cannot be had. Nothing reaches the user buffer unless the whole
    // operation succeeded.
    void get(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
             uint64_t nameLength, uint64_t offsetInBytes, uint64_t sizeInBytes, uint64_t userBuffer,
             nVOAPALS100::tStatus& status);
    void read(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
              uint64_t nameLength, uint64_t offsetInBytes, uint64_t sizeInBytes, uint64_t userBuffer,
              nVOAPALS100::tStatus& status);
    // set: the user's bytes into the soft copy; write: and on to the device
    // (force as the window's write). Range, zero size and buffer as get.
    void set(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
             uint64_t nameLength, uint64_t userBuffer, uint64_t offsetInBytes, uint64_t sizeInBytes,
             nVOAPALS100::tStatus& status);
    void write(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
               uint64_t nameLength, uint64_t userBuffer, uint64_t offsetInBytes, uint64_t sizeInBytes,
               bool force, nVOAPALS100::tStatus& status);
    // The window's flush and refresh with the arguments unchanged.
    void flush(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
               uint64_t nameLength, uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
               nVOAPALS100::tStatus& status);
    void refresh(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                 uint64_t nameLength, uint64_t offsetInBytes, uint64_t sizeInBytes,
                 nVOAPALS100::tStatus& status);
    // The window's size; 0 on any failure.
    uint64_t getSizeInBytes(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                            uint64_t nameLength, nVOAPALS100::tStatus& status);

private:
    // The registered window of the user's name, or null with the lookup's code.
    DeviceWindow* lookUp(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                         uint64_t nameLength, nVOAPALS100::tStatus& status);
    // The shared steps of get and read (toUser) and of set and write.
    enum class tTransfer { kGet, kRead, kSet, kWrite };
    void transfer(tTransfer kind, const kelvo_driver::nVOAPAL000::tEventDescriptor& event,
                  uint64_t nameAddress, uint64_t nameLength, uint64_t userBuffer, uint64_t offsetInBytes,
                  uint64_t sizeInBytes, bool force, nVOAPALS100::tStatus& status);
};

} // namespace devicewindow
