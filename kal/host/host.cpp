// The host: the kernel's side (loader, devices, handles) and the user-mode
// C API over the driver's callbacks.
#include "host.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "control.h"
#include "pci_bus.h"

extern "C" nVOKAL_tStatus nVOAPAL200_driverEntry(nVOKAL_tDriverDescriptor* descriptor);

namespace {

constexpr std::uint32_t kDestinationBase = 0x4B000000; // kelvo_destination of handle h is base + h

struct Device {
    unsigned index = 0;
    void* kernelDevice = nullptr;
    void* context = nullptr; // the driver's device
    bool removing = false;
    int opensInFlight = 0;
};

struct Map {
    void* kernelMap = nullptr;
    void* context = nullptr; // the driver's map
};

struct Handle {
    unsigned deviceIndex = 0;
    void* context = nullptr; // the driver's session
    int inFlight = 0;
    bool closing = false;
    bool revoked = false; // the device went away and the host closed the session
    std::map<std::uint64_t, Map> maps;
};

struct Host {
    std::mutex lock;
    std::condition_variable changed;
    // Serialises start, stop, add and remove (the kernel's PnP lock).
    std::mutex pnpLock;
    bool started = false;
    std::unique_ptr<nVOKAL_tDriverDescriptor> descriptor;
    nVOKAL_tDriverDescriptor callbacks{};
    std::map<unsigned, Device> devices;
    unsigned nextDeviceIndex = 0;
    std::map<int, Handle> handles;
    int nextHandle = 0;
    std::uint64_t nextMap = 1;
    std::vector<std::string> faults;
    // The simulated bus and the modules plugged for devices (by device index).
    std::mutex busLock;
    std::unique_ptr<sim::Bus> bus;
    std::map<unsigned, std::shared_ptr<sim::Module>> modules;
};

Host& host() {
    static Host h;
    return h;
}

void fault(Host& h, const std::string& text) {
    std::fprintf(stderr, "kelvo host: driver fault: %s\n", text.c_str());
    h.faults.push_back(text);
}

// Takes a reference on a handle for one call: its context, or an error code.
std::int32_t acquire(Host& h, int handle, void*& context) {
    std::lock_guard g(h.lock);
    auto it = h.handles.find(handle);
    if (!h.started || it == h.handles.end() || it->second.closing) {
        return h.started ? KELVO_E_INVALID : KELVO_E_STATE;
    }
    if (it->second.revoked) {
        return KELVO_E_STATE;
    }
    ++it->second.inFlight;
    context = it->second.context;
    return 0;
}

void release(Host& h, int handle) {
    std::lock_guard g(h.lock);
    auto it = h.handles.find(handle);
    if (it != h.handles.end()) {
        --it->second.inFlight;
        h.changed.notify_all();
    }
}

// A read or a write on a handle: the driver's callback runs in the
// stand-in's process mode, so the caller's buffer is reached as a process's.
template <typename Callback>
std::int32_t transfer(int handle, const void* buffer, std::uint64_t size, std::uint64_t* count,
                      Callback nVOKAL_tDriverDescriptor::*callback) {
    Host& h = host();
    void* context = nullptr;
    if (const std::int32_t refused = acquire(h, handle, context); refused != 0) {
        return refused;
    }
    std::int32_t result = 0;
    {
        const kal::usermem::ProcessMode client;
        result = (h.callbacks.*callback)(context, kal::usermem::address(buffer), size, 0, count);
    }
    release(h, handle);
    return result;
}

// Closes the driver's session of a handle once no call is in progress on
// it: unmaps what it still maps, then the close callback. Called without the
// lock; the handle is marked closing or revoked by the caller.
void closeSession(Host& h, int handle) {
    std::map<std::uint64_t, Map> maps;
    void* context = nullptr;
    {
        std::unique_lock l(h.lock);
        auto it = h.handles.find(handle);
        h.changed.wait(l, [&] { return it->second.inFlight == 0; });
        maps.swap(it->second.maps);
        context = it->second.context;
        it->second.context = nullptr;
    }
    for (auto& [id, map] : maps) {
        h.callbacks.unmapMemory(map.context);
        kal::usermaps::destroy(map.kernelMap);
    }
    if (context != nullptr) {
        h.callbacks.close(context);
    }
}

// Unplugs the module of a device, if it has one.
void unplugModule(Host& h, unsigned deviceIndex) {
    std::lock_guard g(h.busLock);
    auto it = h.modules.find(deviceIndex);
    if (it == h.modules.end()) {
        return;
    }
    if (h.bus) {
        h.bus->unplug(it->second);
    }
    h.modules.erase(it);
}

// Removes one device (the PnP lock is held): remove callback, the device's
// handles closed, destroy callback, its kernel device forgotten and its
// module (if any) unplugged.
void removeDevice(Host& h, unsigned deviceIndex) {
    Device device;
    {
        std::unique_lock l(h.lock);
        auto it = h.devices.find(deviceIndex);
        it->second.removing = true;
        h.changed.wait(l, [&] { return it->second.opensInFlight == 0; });
        device = it->second;
    }
    h.callbacks.removeDevice(device.context);
    std::vector<int> revoked;
    {
        std::lock_guard g(h.lock);
        for (auto& [id, handle] : h.handles) {
            if (handle.deviceIndex == deviceIndex && !handle.revoked && !handle.closing) {
                handle.revoked = true;
                revoked.push_back(id);
            }
        }
    }
    for (int id : revoked) {
        closeSession(h, id);
    }
    {
        // Handles of the device that their owners are closing right now.
        std::unique_lock l(h.lock);
        h.changed.wait(l, [&] {
            return std::none_of(h.handles.begin(), h.handles.end(), [&](const auto& entry) {
                return entry.second.deviceIndex == deviceIndex && entry.second.closing;
            });
        });
    }
    h.callbacks.destroyDevice(device.context);
    const std::size_t left = kal::registration::destroyDevice(device.kernelDevice);
    {
        std::lock_guard g(h.lock);
        if (left != 0) {
            fault(h, "device " + std::to_string(deviceIndex) + " left " + std::to_string(left) +
                         " interface or property registrations behind");
        }
        h.devices.erase(deviceIndex);
    }
    unplugModule(h, deviceIndex);
}

std::vector<kal::registration::Property> listedProperties(Host& h, unsigned deviceIndex, const char* interfaceName) {
    void* kernelDevice = nullptr;
    {
        std::lock_guard g(h.lock);
        auto it = h.devices.find(deviceIndex);
        if (it == h.devices.end() || it->second.removing) {
            return {};
        }
        kernelDevice = it->second.kernelDevice;
    }
    if (interfaceName == nullptr) {
        return kal::registration::properties(kernelDevice);
    }
    auto itf = kal::registration::findInterface(kernelDevice, interfaceName);
    return itf ? kal::registration::properties(itf->handle) : std::vector<kal::registration::Property>{};
}

int copyName(const std::string& name, char* buffer, std::size_t size) {
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min(size - 1, name.size());
        std::memcpy(buffer, name.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(name.size());
}

} // namespace

namespace kelvo_host {

const nVOKAL_tDriverDescriptor* descriptor() {
    std::lock_guard g(host().lock);
    return host().descriptor.get();
}

bool started() {
    std::lock_guard g(host().lock);
    return host().started;
}

int addDevice(nVOKAL_tAddDeviceCallback addDeviceCallback, nVOKAL_tPCIDevice* record) {
    Host& h = host();
    std::lock_guard pnp(h.pnpLock);
    if (!started() || addDeviceCallback == nullptr) {
        return KELVO_E_STATE;
    }
    void* kernelDevice = kal::registration::createDevice();
    void* context = kernelDevice;
    const nVOKAL_tStatus result = addDeviceCallback(record, &context);
    std::lock_guard g(h.lock);
    if (result < 0 || context == nullptr) {
        if (result >= 0) {
            fault(h, "add device succeeded without a device");
        }
        const std::size_t left = kal::registration::destroyDevice(kernelDevice);
        if (left != 0) {
            fault(h, "a failed add device left " + std::to_string(left) + " registrations behind");
        }
        return result < 0 ? result : KELVO_E_STATE;
    }
    Device device;
    device.index = h.nextDeviceIndex++;
    device.kernelDevice = kernelDevice;
    device.context = context;
    h.devices[device.index] = device;
    return static_cast<int>(device.index);
}

int addModule(const sim::Identity& identity, const std::function<void(sim::Module&)>& prepare) {
    Host& h = host();
    std::shared_ptr<sim::Module> module;
    nVOKAL_tAddDeviceCallback callback = nullptr;
    {
        std::lock_guard g(h.lock);
        if (!h.started) {
            return KELVO_E_STATE;
        }
        callback = h.callbacks.addDevice;
    }
    {
        std::lock_guard g(h.busLock);
        if (!h.bus) {
            return KELVO_E_STATE;
        }
        const auto board = std::find_if(sim::boardNames().begin(), sim::boardNames().end(), [&](const std::string& b) {
            const auto known = sim::boardIdentity(b);
            return known && known->vendorID == identity.vendorID && known->deviceID == identity.deviceID &&
                   known->subsystemVendorID == identity.subsystemVendorID &&
                   known->subsystemID == identity.subsystemID && known->revision == identity.revision;
        });
        module = board != sim::boardNames().end() ? h.bus->plug(*board) : h.bus->plugForeign(identity);
    }
    if (prepare) {
        prepare(*module);
    }
    nVOKAL_tPCIDevice record{};
    kal::pci::describe(module->pciHandle(), record);
    const int index = addDevice(callback, &record);
    std::lock_guard g(h.busLock);
    if (index < 0) {
        if (h.bus) {
            h.bus->unplug(module);
        }
    } else {
        h.modules[static_cast<unsigned>(index)] = module;
    }
    return index;
}

int addModule(std::string_view board, const std::function<void(sim::Module&)>& prepare) {
    const auto identity = sim::boardIdentity(board);
    if (!identity) {
        return KELVO_E_INVALID;
    }
    return addModule(*identity, prepare);
}

std::shared_ptr<sim::Module> module(unsigned deviceIndex) {
    std::lock_guard g(host().busLock);
    auto it = host().modules.find(deviceIndex);
    return it == host().modules.end() ? nullptr : it->second;
}

void* device(unsigned deviceIndex) {
    std::lock_guard g(host().lock);
    auto it = host().devices.find(deviceIndex);
    return it == host().devices.end() ? nullptr : it->second.context;
}

void* kernelDevice(unsigned deviceIndex) {
    std::lock_guard g(host().lock);
    auto it = host().devices.find(deviceIndex);
    return it == host().devices.end() ? nullptr : it->second.kernelDevice;
}

void* context(int handle) {
    std::lock_guard g(host().lock);
    auto it = host().handles.find(handle);
    return it == host().handles.end() ? nullptr : it->second.context;
}

std::size_t openHandles() {
    std::lock_guard g(host().lock);
    return host().handles.size();
}

std::int32_t read(int handle, void* buffer, std::uint64_t size, std::uint64_t* count) {
    return transfer(handle, buffer, size, count, &nVOKAL_tDriverDescriptor::read);
}

std::int32_t write(int handle, const void* buffer, std::uint64_t size, std::uint64_t* count) {
    return transfer(handle, buffer, size, count, &nVOKAL_tDriverDescriptor::write);
}

std::int32_t mapMemory(int handle, std::uint16_t selector, std::uint64_t size, std::uint32_t accessMode,
                       std::uint64_t* map) {
    Host& h = host();
    void* context = nullptr;
    if (const std::int32_t refused = acquire(h, handle, context); refused != 0) {
        return refused;
    }
    void* kernelMap = kal::usermaps::create(size, accessMode, 0);
    std::uint32_t created = 0;
    void* mapContext = nullptr;
    const std::int32_t result = h.callbacks.mapMemory(context, selector, kernelMap, &created, &mapContext);
    std::uint64_t id = 0;
    {
        std::lock_guard g(h.lock);
        if (result >= 0 && created != 0) {
            id = h.nextMap++;
            h.handles[handle].maps[id] = Map{kernelMap, mapContext};
        }
    }
    if (id == 0) {
        kal::usermaps::destroy(kernelMap);
    }
    if (map != nullptr) {
        *map = id;
    }
    release(h, handle);
    return result;
}

std::int32_t unmapMemory(int handle, std::uint64_t map) {
    Host& h = host();
    void* context = nullptr;
    if (const std::int32_t refused = acquire(h, handle, context); refused != 0) {
        return refused;
    }
    Map found;
    bool known = false;
    {
        std::lock_guard g(h.lock);
        auto& maps = h.handles[handle].maps;
        auto it = maps.find(map);
        if (it != maps.end()) {
            found = it->second;
            maps.erase(it);
            known = true;
        }
    }
    if (known) {
        h.callbacks.unmapMemory(found.context);
        kal::usermaps::destroy(found.kernelMap);
    }
    release(h, handle);
    return known ? 0 : KELVO_E_INVALID;
}

std::vector<std::string> faults() {
    std::lock_guard g(host().lock);
    return host().faults;
}

} // namespace kelvo_host

// ---- the C API --------------------------------------------------------------

extern "C" int kelvo_host_start(void) {
    Host& h = host();
    std::lock_guard pnp(h.pnpLock);
    {
        std::lock_guard g(h.lock);
        if (h.started) {
            return KELVO_E_STATE;
        }
        h.faults.clear();
    }
    auto descriptor = std::make_unique<nVOKAL_tDriverDescriptor>();
    const nVOKAL_tStatus result = nVOAPAL200_driverEntry(descriptor.get());
    std::lock_guard g(h.lock);
    if (result < 0) {
        if (kal::registration::driver() != nullptr) {
            fault(h, "the driver stayed registered after its entry failed");
        }
        return result;
    }
    if (kal::registration::driver() != descriptor.get()) {
        fault(h, "the driver entry succeeded without registering the driver");
    }
    h.callbacks = *descriptor;
    h.descriptor = std::move(descriptor);
    h.started = true;
    std::lock_guard b(h.busLock);
    h.bus = std::make_unique<sim::Bus>();
    return 0;
}

extern "C" void kelvo_host_stop(void) {
    Host& h = host();
    std::lock_guard pnp(h.pnpLock);
    std::vector<int> open;
    std::vector<unsigned> devices;
    {
        std::lock_guard g(h.lock);
        if (!h.started) {
            return;
        }
        for (auto& [id, handle] : h.handles) {
            if (!handle.revoked && !handle.closing) {
                handle.closing = true;
                open.push_back(id);
            }
        }
        for (auto& [index, device] : h.devices) {
            devices.push_back(index);
        }
    }
    for (int id : open) {
        closeSession(h, id);
        std::lock_guard g(h.lock);
        h.handles.erase(id);
        h.changed.notify_all();
    }
    for (unsigned index : devices) {
        removeDevice(h, index);
    }
    h.callbacks.unload(h.descriptor.get());
    std::lock_guard g(h.lock);
    if (kal::registration::driver() != nullptr) {
        fault(h, "the driver stayed registered after unload");
    }
    if (kal::registration::liveInterfaces() != 0 || kal::registration::liveProperties() != 0) {
        fault(h, "registrations left after unload");
    }
    if (kal::dpc::live() != 0) {
        fault(h, "DPCs left after unload");
    }
    {
        std::lock_guard b(h.busLock);
        h.modules.clear();
        h.bus.reset();
    }
    h.handles.clear();
    h.descriptor.reset();
    h.callbacks = nVOKAL_tDriverDescriptor{};
    h.started = false;
}

extern "C" int kelvo_host_add_test_device(void) {
    return kelvo_host::addDevice(kelvo_host::addTestDevice, nullptr);
}

extern "C" int kelvo_host_add_module(const char* board) {
    if (board == nullptr) {
        return KELVO_E_INVALID;
    }
    return kelvo_host::addModule(std::string_view(board));
}

extern "C" int kelvo_host_add_module_with_flash(const char* board, const char* flashPath) {
    if (board == nullptr || flashPath == nullptr || !sim::boardIdentity(board)) {
        return KELVO_E_INVALID;
    }
    std::ifstream file(flashPath, std::ios::binary);
    if (!file) {
        return KELVO_E_INVALID;
    }
    std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (image.size() != sim::SerialFlash::kSize) {
        return KELVO_E_INVALID;
    }
    return kelvo_host::addModule(std::string_view(board), [&image](sim::Module& m) { m.flash().load(image); });
}

extern "C" int kelvo_host_save_flash(unsigned deviceIndex, const char* flashPath) {
    const auto module = kelvo_host::module(deviceIndex);
    if (!module || flashPath == nullptr) {
        return kelvo_host::started() || !module ? KELVO_E_INVALID : KELVO_E_STATE;
    }
    const std::vector<std::uint8_t> image = module->flash().contents();
    std::ofstream file(flashPath, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    file.close();
    return file ? 0 : KELVO_E_INVALID;
}

extern "C" int kelvo_host_remove_module(unsigned deviceIndex) {
    if (!kelvo_host::module(deviceIndex)) {
        return kelvo_host::started() ? KELVO_E_INVALID : KELVO_E_STATE;
    }
    return kelvo_host_remove_device(deviceIndex);
}

extern "C" int kelvo_host_remove_device(unsigned deviceIndex) {
    Host& h = host();
    std::lock_guard pnp(h.pnpLock);
    {
        std::lock_guard g(h.lock);
        auto it = h.devices.find(deviceIndex);
        if (!h.started || it == h.devices.end() || it->second.removing) {
            return h.started ? KELVO_E_INVALID : KELVO_E_STATE;
        }
    }
    removeDevice(h, deviceIndex);
    return 0;
}

extern "C" int kelvo_open(const char* interfaceName, unsigned deviceIndex) {
    Host& h = host();
    if (interfaceName == nullptr) {
        return KELVO_E_INVALID;
    }
    void* kernelDevice = nullptr;
    {
        std::lock_guard g(h.lock);
        if (!h.started) {
            return KELVO_E_STATE;
        }
        auto it = h.devices.find(deviceIndex);
        if (it == h.devices.end() || it->second.removing) {
            return KELVO_E_INVALID;
        }
        kernelDevice = it->second.kernelDevice;
        ++it->second.opensInFlight;
    }
    auto finishOpen = [&] {
        auto it = h.devices.find(deviceIndex);
        --it->second.opensInFlight;
        h.changed.notify_all();
    };
    // User space sees an interface once the driver announced it.
    auto found = kal::registration::findInterface(kernelDevice, interfaceName);
    if (!found || !found->announced) {
        std::lock_guard g(h.lock);
        finishOpen();
        return KELVO_E_INVALID;
    }
    void* context = found->context;
    const nVOKAL_tStatus result = h.callbacks.open(nullptr, &context);
    std::lock_guard g(h.lock);
    finishOpen();
    if (result < 0) {
        return result;
    }
    const int id = h.nextHandle++;
    Handle handle;
    handle.deviceIndex = deviceIndex;
    handle.context = context;
    h.handles[id] = std::move(handle);
    return id;
}

extern "C" int kelvo_ioctl(int handle, unsigned int code, void* argument) {
    Host& h = host();
    void* context = nullptr;
    if (const std::int32_t refused = acquire(h, handle, context); refused != 0) {
        return refused;
    }
    std::int32_t result = 0;
    {
        // The caller's memory is what a process's would be: whatever of it
        // is there with the access a copy needs, never the kernel layer's.
        // The driver's copies refuse anything else with their bad-address
        // code (for the header, the request's result).
        const kal::usermem::ProcessMode client;
        result = h.callbacks.ioControl(context, code, kal::usermem::address(argument));
    }
    release(h, handle);
    return result;
}

extern "C" int kelvo_close(int handle) {
    Host& h = host();
    bool revoked = false;
    {
        std::lock_guard g(h.lock);
        auto it = h.handles.find(handle);
        if (it == h.handles.end() || it->second.closing) {
            return h.started ? KELVO_E_INVALID : KELVO_E_STATE;
        }
        it->second.closing = true;
        revoked = it->second.revoked;
    }
    if (!revoked) {
        closeSession(h, handle);
    }
    std::lock_guard g(h.lock);
    h.handles.erase(handle);
    h.changed.notify_all();
    return 0;
}

extern "C" unsigned kelvo_destination(int handle) {
    return kDestinationBase + static_cast<std::uint32_t>(handle);
}

extern "C" int kelvo_read_message(unsigned destination, struct kelvo_message* message) {
    if (message == nullptr) {
        return KELVO_E_INVALID;
    }
    kal::sockets::Message taken;
    if (!kal::sockets::pop(destination, taken)) {
        return 0;
    }
    *message = kelvo_message{};
    message->type = taken.type;
    if (taken.bytes.size() >= 12) {
        std::memcpy(&message->cookie, taken.bytes.data(), 8);
        std::memcpy(&message->size, taken.bytes.data() + 8, 4);
        std::memcpy(message->payload, taken.bytes.data() + 12,
                    std::min<std::size_t>(sizeof(message->payload), taken.bytes.size() - 12));
    }
    return 1;
}

extern "C" int kelvo_list_devices(unsigned* indexes, unsigned capacity) {
    Host& h = host();
    std::lock_guard g(h.lock);
    unsigned n = 0;
    for (auto& [index, device] : h.devices) {
        if (device.removing) {
            continue;
        }
        if (indexes != nullptr && n < capacity) {
            indexes[n] = index;
        }
        ++n;
    }
    return static_cast<int>(n);
}

extern "C" int kelvo_interface_name(unsigned deviceIndex, unsigned position, char* name, size_t size) {
    void* kernelDevice = nullptr;
    {
        std::lock_guard g(host().lock);
        auto it = host().devices.find(deviceIndex);
        if (it == host().devices.end() || it->second.removing) {
            return KELVO_E_INVALID;
        }
        kernelDevice = it->second.kernelDevice;
    }
    auto interfaces = kal::registration::interfaces(kernelDevice);
    std::vector<kal::registration::Interface> announced;
    for (auto& i : interfaces) {
        if (i.announced) {
            announced.push_back(i);
        }
    }
    if (position >= announced.size()) {
        return KELVO_E_INVALID;
    }
    return copyName(announced[position].name, name, size);
}

extern "C" int kelvo_property_name(unsigned deviceIndex, const char* interfaceName, unsigned position, char* name,
                                   size_t size, unsigned* kind) {
    auto properties = listedProperties(host(), deviceIndex, interfaceName);
    if (position >= properties.size()) {
        return KELVO_E_INVALID;
    }
    if (kind != nullptr) {
        *kind = properties[position].kind;
    }
    return copyName(properties[position].name, name, size);
}

extern "C" int kelvo_property_read(unsigned deviceIndex, const char* interfaceName, const char* propertyName,
                                   void* value, size_t size) {
    if (propertyName == nullptr) {
        return KELVO_E_INVALID;
    }
    for (const auto& p : listedProperties(host(), deviceIndex, interfaceName)) {
        if (p.name == propertyName) {
            if (value != nullptr) {
                std::memcpy(value, p.value.data(), std::min(size, p.value.size()));
            }
            return static_cast<int>(p.value.size());
        }
    }
    return KELVO_E_INVALID;
}
