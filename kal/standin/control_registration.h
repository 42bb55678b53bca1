// Control surface of the stand-in's registration records and DPCs (part of
// control.h): what the host reads to play the kernel's side, and the knobs
// tests turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kal {

// ---- registration of the driver, device interfaces and properties --------
//
// Kernel devices are made by the host (the kernel) before it calls the
// driver's add-device callback; the driver registers interfaces and the
// device's properties under the device's handle. A handle that is not
// registered (unregistered twice, never registered, or of another kind) is a
// driver fault: the stand-in halts.
namespace registration {

struct Interface {
    void* handle = nullptr;
    void* device = nullptr;
    std::string name;
    std::uint32_t index = 0;
    void* context = nullptr; // the per-open context every open starts from
    bool announced = false;  // nVOKAL240_notifyUserspaceAddEvent was called
};

struct Property {
    void* handle = nullptr;
    std::uint32_t kind = 0;
    void* owner = nullptr;  // a kernel device (kinds 0 and 1) or an interface (kind 2)
    void* device = nullptr; // the kernel device it belongs to
    std::string name;
    std::vector<std::uint8_t> value;
};

// Makes a kernel device handle (never null).
void* createDevice();
// Forgets a kernel device. Returns how many interfaces and properties were
// still registered under it (they are dropped): more than 0 is a driver leak.
std::size_t destroyDevice(void* device);

// The descriptor the driver registered, null when none is registered.
void* driver();
// The registered interfaces of a device, in index order.
std::vector<Interface> interfaces(void* device);
std::optional<Interface> findInterface(void* device, const std::string& name);
// The registered properties of an owner (kernel device or interface), in
// registration order; kind selects one kind, or every kind when negative.
std::vector<Property> properties(void* owner, int kind = -1);
std::optional<Property> findProperty(void* owner, const std::string& name);
// Everything still registered, over all devices (for leak checks).
std::size_t liveInterfaces();
std::size_t liveProperties();

// Call counts since the last reset.
struct Counters {
    std::uint64_t driverRegistrations = 0;
    std::uint64_t driverUnregistrations = 0;
    std::uint64_t interfaceRegistrations = 0; // calls, failed ones included
    std::uint64_t interfaceUnregistrations = 0;
    std::uint64_t addEvents = 0;
    std::uint64_t propertyRegistrations = 0; // calls, failed ones included
    std::uint64_t propertyUnregistrations = 0;
};
Counters counters();

// Fault injection. The next nVOKAL200_registerDriver answers code (< 0)
// without registering.
void failDriverRegistration(std::int32_t code);
// The nth nVOKAL240_registerDeviceInterface call from now (1 = the next) returns 0.
void failInterfaceRegistration(std::uint64_t nth);
// The nth nVOKAL200_registerProperty call from now (1 = the next) returns 0.
void failPropertyRegistration(std::uint64_t nth);
void clearFaults();

// Forgets every record, counter and fault (between tests; at host start).
void reset();

} // namespace registration

// ---- deferred procedure calls -------------------------------------------
namespace dpc {
// The nth nVOKAL100_createDPC call from now (1 = the next) returns 0: the creation
// fault kind kal::faults::kDPC (control.h).
void failCreate(std::uint64_t nth);
// While held, scheduled DPCs stay pending (so tests can schedule twice before a run).
void hold(bool on);
// Waits until no DPC is running and, unless held, none is pending.
void drain();
// DPCs created and not destroyed.
std::size_t live();
} // namespace dpc

} // namespace kal
