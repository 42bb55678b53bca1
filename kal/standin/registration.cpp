// Stand-in for the kernel layer's registration of drivers, device interfaces
// and properties: records kept for the host, which plays the kernel and user
// mode over them.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "nVOKAL.h"

namespace {

// Handles are addresses of these tags, so they are never 0 and never reused
// while registered.
struct Tag {
    char unused;
};

struct RegistryState {
    std::mutex lock;
    void* driver = nullptr;
    std::map<void*, Tag*> devices; // kernel device handle -> tag
    std::vector<kal::registration::Interface> interfaces;
    std::vector<kal::registration::Property> properties;
    kal::registration::Counters counters;
    std::int32_t driverFailure = 0;
    std::uint64_t interfaceFailAt = 0; // absolute call number, 0 = none
    std::uint64_t propertyFailAt = 0;
};

RegistryState& state() {
    static RegistryState s;
    return s;
}

std::vector<kal::registration::Interface>::iterator findInterfaceByHandle(RegistryState& s, void* handle) {
    return std::find_if(s.interfaces.begin(), s.interfaces.end(),
                        [&](const kal::registration::Interface& i) { return i.handle == handle; });
}

} // namespace

namespace kal::registration {

void* createDevice() {
    auto& s = state();
    std::lock_guard g(s.lock);
    Tag* tag = new Tag{};
    s.devices.emplace(tag, tag);
    return tag;
}

std::size_t destroyDevice(void* device) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto it = s.devices.find(device);
    if (it == s.devices.end()) {
        return 0;
    }
    std::size_t left = 0;
    for (auto i = s.interfaces.begin(); i != s.interfaces.end();) {
        if (i->device == device) {
            delete static_cast<Tag*>(i->handle);
            i = s.interfaces.erase(i);
            ++left;
        } else {
            ++i;
        }
    }
    for (auto p = s.properties.begin(); p != s.properties.end();) {
        if (p->device == device) {
            delete static_cast<Tag*>(p->handle);
            p = s.properties.erase(p);
            ++left;
        } else {
            ++p;
        }
    }
    delete it->second;
    s.devices.erase(it);
    return left;
}

void* driver() {
    std::lock_guard g(state().lock);
    return state().driver;
}

std::vector<Interface> interfaces(void* device) {
    auto& s = state();
    std::lock_guard g(s.lock);
    std::vector<Interface> out;
    for (const auto& i : s.interfaces) {
        if (i.device == device) {
            out.push_back(i);
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Interface& a, const Interface& b) { return a.index < b.index; });
    return out;
}

std::optional<Interface> findInterface(void* device, const std::string& name) {
    auto& s = state();
    std::lock_guard g(s.lock);
    for (const auto& i : s.interfaces) {
        if (i.device == device && i.name == name) {
            return i;
        }
    }
    return std::nullopt;
}

std::vector<Property> properties(void* owner, int kind) {
    auto& s = state();
    std::lock_guard g(s.lock);
    std::vector<Property> out;
    for (const auto& p : s.properties) {
        if (p.owner == owner && (kind < 0 || p.kind == static_cast<std::uint32_t>(kind))) {
            out.push_back(p);
        }
    }
    return out;
}

std::optional<Property> findProperty(void* owner, const std::string& name) {
    auto& s = state();
    std::lock_guard g(s.lock);
    for (const auto& p : s.properties) {
        if (p.owner == owner && p.name == name) {
            return p;
        }
    }
    return std::nullopt;
}

std::size_t liveInterfaces() {
    std::lock_guard g(state().lock);
    return state().interfaces.size();
}

std::size_t liveProperties() {
    std::lock_guard g(state().lock);
    return state().properties.size();
}

Counters counters() {
    std::lock_guard g(state().lock);
    return state().counters;
}

void failDriverRegistration(std::int32_t code) {
    std::lock_guard g(state().lock);
    state().driverFailure = code;
}

void failInterfaceRegistration(std::uint64_t nth) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.interfaceFailAt = nth == 0 ? 0 : s.counters.interfaceRegistrations + nth;
}

void failPropertyRegistration(std::uint64_t nth) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.propertyFailAt = nth == 0 ? 0 : s.counters.propertyRegistrations + nth;
}

void clearFaults() {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.driverFailure = 0;
    s.interfaceFailAt = 0;
    s.propertyFailAt = 0;
}

void reset() {
    auto& s = state();
    std::lock_guard g(s.lock);
    for (auto& i : s.interfaces) {
        delete static_cast<Tag*>(i.handle);
    }
    for (auto& p : s.properties) {
        delete static_cast<Tag*>(p.handle);
    }
    for (auto& d : s.devices) {
        delete d.second;
    }
    s.interfaces.clear();
    s.properties.clear();
    s.devices.clear();
    s.driver = nullptr;
    s.counters = Counters{};
    s.driverFailure = 0;
    s.interfaceFailAt = 0;
    s.propertyFailAt = 0;
}

} // namespace kal::registration

extern "C" nVOKAL_tStatus nVOKAL200_registerDriver(void* descriptor) noexcept {
    kal::exec::assertMayBlock("nVOKAL200_registerDriver");
    auto& s = state();
    std::lock_guard g(s.lock);
    ++s.counters.driverRegistrations;
    if (descriptor == nullptr) {
        KAL_FAIL("nVOKAL200_registerDriver with a null descriptor");
    }
    if (s.driverFailure != 0) {
        const std::int32_t code = s.driverFailure;
        s.driverFailure = 0;
        return code;
    }
    if (s.driver != nullptr) {
        return nVOKAL_kStatusBusy; // one driver at a time
    }
    s.driver = descriptor;
    return 0;
}

extern "C" void nVOKAL200_unregisterDriver(void* argument) noexcept {
    kal::exec::assertMayBlock("nVOKAL200_unregisterDriver");
    auto& s = state();
    std::lock_guard g(s.lock);
    ++s.counters.driverUnregistrations;
    if (s.driver == nullptr || argument != s.driver) {
        KAL_FAIL("nVOKAL200_unregisterDriver of a driver that is not registered");
    }
    s.driver = nullptr;
}

extern "C" nVOKAL_tHandle nVOKAL240_registerDeviceInterface(void* driverDescriptor,
                                                            nVOKAL_tHandle kernelDevice, const char* name,
                                                            uint32_t index, void* context) noexcept {
    kal::exec::assertMayBlock("nVOKAL240_registerDeviceInterface");
    auto& s = state();
    std::lock_guard g(s.lock);
    const std::uint64_t n = ++s.counters.interfaceRegistrations;
    if (driverDescriptor == nullptr || driverDescriptor != s.driver) {
        KAL_FAIL("nVOKAL240_registerDeviceInterface for a driver that is not registered");
    }
    if (s.devices.find(kernelDevice) == s.devices.end()) {
        KAL_FAIL("nVOKAL240_registerDeviceInterface under an unknown kernel device");
    }
    if (name == nullptr) {
        KAL_FAIL("nVOKAL240_registerDeviceInterface without a name");
    }
    if (s.interfaceFailAt != 0 && n == s.interfaceFailAt) {
        return nullptr;
    }
    if (std::strlen(name) > 255) {
        return nullptr;
    }
    for (const auto& i : s.interfaces) {
        if (i.device == kernelDevice && i.name == name) {
            return nullptr;
        }
    }
    kal::registration::Interface record;
    record.handle = new Tag{};
    record.device = kernelDevice;
    record.name = name;
    record.index = index;
    record.context = context;
    s.interfaces.push_back(record);
    return record.handle;
}

extern "C" void nVOKAL200_unregisterDeviceInterface(nVOKAL_tHandle interfaceHandle) noexcept {
    kal::exec::assertMayBlock("nVOKAL200_unregisterDeviceInterface");
    auto& s = state();
    std::lock_guard g(s.lock);
    ++s.counters.interfaceUnregistrations;
    auto it = findInterfaceByHandle(s, interfaceHandle);
    if (interfaceHandle == nullptr || it == s.interfaces.end()) {
        KAL_FAIL("nVOKAL200_unregisterDeviceInterface of an interface that is not registered");
    }
    delete static_cast<Tag*>(it->handle);
    s.interfaces.erase(it);
}

extern "C" void nVOKAL240_notifyUserspaceAddEvent(nVOKAL_tHandle interfaceHandle) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    ++s.counters.addEvents;
    auto it = findInterfaceByHandle(s, interfaceHandle);
    if (interfaceHandle == nullptr || it == s.interfaces.end()) {
        KAL_FAIL("nVOKAL240_notifyUserspaceAddEvent for an interface that is not registered");
    }
    it->announced = true;
}

extern "C" nVOKAL_tHandle nVOKAL200_registerProperty(uint32_t kind, nVOKAL_tHandle owner, const char* name,
                                                     const void* value, uint64_t length) noexcept {
    kal::exec::assertMayBlock("nVOKAL200_registerProperty");
    auto& s = state();
    std::lock_guard g(s.lock);
    const std::uint64_t n = ++s.counters.propertyRegistrations;
    void* device = nullptr;
    if (kind == nVOKAL_kPropertyKindDevice || kind == nVOKAL_kPropertyKindBus) {
        if (s.devices.find(owner) == s.devices.end()) {
            KAL_FAIL("nVOKAL200_registerProperty under an unknown kernel device");
        }
        device = owner;
    } else if (kind == nVOKAL_kPropertyKindInterface) {
        auto it = findInterfaceByHandle(s, owner);
        if (owner == nullptr || it == s.interfaces.end()) {
            KAL_FAIL("nVOKAL200_registerProperty under an interface that is not registered");
        }
        device = it->device;
    } else {
        return nullptr;
    }
    if (name == nullptr || (value == nullptr && length != 0)) {
        KAL_FAIL("nVOKAL200_registerProperty without a name or value");
    }
    if (s.propertyFailAt != 0 && n == s.propertyFailAt) {
        return nullptr;
    }
    kal::registration::Property record;
    record.handle = new Tag{};
    record.kind = kind;
    record.owner = owner;
    record.device = device;
    record.name = name;
    const auto* bytes = static_cast<const std::uint8_t*>(value);
    record.value.assign(bytes, bytes + length);
    s.properties.push_back(std::move(record));
    return s.properties.back().handle;
}

extern "C" void nVOKAL200_unregisterProperty(nVOKAL_tHandle propertyHandle) noexcept {
    kal::exec::assertMayBlock("nVOKAL200_unregisterProperty");
    auto& s = state();
    std::lock_guard g(s.lock);
    ++s.counters.propertyUnregistrations;
    auto it = std::find_if(s.properties.begin(), s.properties.end(),
                           [&](const kal::registration::Property& p) { return p.handle == propertyHandle; });
    if (propertyHandle == nullptr || it == s.properties.end()) {
        KAL_FAIL("nVOKAL200_unregisterProperty of a property that is not registered");
    }
    delete static_cast<Tag*>(it->handle);
    s.properties.erase(it);
}
