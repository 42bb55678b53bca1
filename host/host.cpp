// The host: the kernel's side (loader, devices, handles) and the user-mode
// C API over the driver's callbacks.
#include "host/host.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "standin/barrier.h"
#include "standin/control.h"
#include "standin/pci_bus.h"

extern "C" nVOKAL_tStatus nVOAPAL200_driverEntry(nVOKAL_tDriverDescriptor* descriptor);

namespace {

constexpr std::uint32_t kDestinationBase = 0x4B000000; // kelvo_destination of handle h is base + h

struct Device {
    unsigned index = 0;
    void* kernelDevice = nullptr;
    void* context = nullptr; // the driver's device
    bool removing = false;
    // Calls using the kernel device outside the lock (open, listing); the
    // removal waits for them before the device goes.
    int users = 0;
};

struct Map {
    void* kernelMap = nullptr;
    void* context = nullptr; // the driver's map
};

// A handle's entry. The table holds one reference; kelvo_close, a device's
// removal and the host's stop each hold another while they work on it
// outside the lock, so the entry outlives whichever finishes last. A request
// takes no reference and no lock: it finds the entry in the handle index and
// marks it in a request slot of its own thread (RequestSlots), and no one
// ends the session (or takes the entry out of the table) while a slot holds
// it with closing or revoked set, after which no request is admitted. A
// request leaves without the lock: it clears its slot and wakes the enders
// (Host::enders) when there are any. The request's side of each of these
// store-then-load handshakes is a light fence, the rare side's (an ender's,
// the entry's deleter's) a heavy one (standin/barrier.h).
struct Handle {
    unsigned deviceIndex = 0;
    void* context = nullptr; // the driver's session; null once closed
    // Requests admitted under the lock (a thread whose request slots are all
    // in use or gone): counted here instead of in a slot.
    std::atomic<int> inFlight{0};
    // Set under the lock, read by requests without it.
    std::atomic<bool> closing{false}; // kelvo_close was called: requests answer KELVO_E_INVALID
    std::atomic<bool> revoked{false}; // the device went away or the host stops: requests answer KELVO_E_STATE
    std::atomic<bool> ending{false};  // one caller is closing the driver's session
    bool ended = false;               // the session is closed
    std::map<std::uint64_t, Map> maps;
};

// ---- requests in flight, per thread -----------------------------------------
// Each thread that sends requests owns a record of request slots (made on its
// first request, taken over by a later thread once it ends, never freed): a
// slot holds the entry of a request of that thread in the driver's callbacks,
// so a request writes only memory of its own thread. Whoever waits for the
// requests on an entry to end looks through every record. Nested requests of
// one thread take the next slot; one nested deeper than the slots reach
// counts itself in the entry under the lock instead.
constexpr int kRequestSlots = 4;

// A cache line of its own: the slots are written on every request.
struct alignas(64) RequestSlots {
    std::atomic<Handle*> slot[kRequestSlots] = {};
    int used = 0;                  // slots in use, by the owning thread only
    std::atomic<bool> taken{true}; // a thread owns the record
    RequestSlots* next = nullptr;  // set before the record is linked, then fixed
};

std::atomic<RequestSlots*> gRequestSlots{nullptr};

// The calling thread's record; gives it back when the thread ends.
struct RequestSlotsOwner {
    RequestSlots* slots = nullptr;
    ~RequestSlotsOwner();
};
thread_local RequestSlotsOwner tRequestSlots;
// The thread's record while it has one (what requests read: a trivial
// thread-local costs no initialisation check).
thread_local RequestSlots* tMine = nullptr;
// Set once the thread's owner is destroyed: later requests of the thread (from
// other thread-locals' destructors) count themselves in the entry.
thread_local bool tRequestSlotsGone = false;

RequestSlotsOwner::~RequestSlotsOwner() {
    tRequestSlotsGone = true;
    tMine = nullptr;
    if (slots != nullptr) {
        slots->taken.store(false, std::memory_order_release);
        slots = nullptr;
    }
}

// The calling thread's record, or null (the thread is ending, or no memory).
RequestSlots* takeSlots() {
    if (tRequestSlotsGone) {
        return nullptr;
    }
    for (RequestSlots* r = gRequestSlots.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        bool taken = false;
        if (!r->taken.load(std::memory_order_relaxed) &&
            r->taken.compare_exchange_strong(taken, true, std::memory_order_acquire)) {
            tRequestSlots.slots = r;
            tMine = r;
            return r;
        }
    }
    auto* made = new (std::nothrow) RequestSlots;
    if (made == nullptr) {
        return nullptr;
    }
    made->next = gRequestSlots.load(std::memory_order_relaxed);
    while (!gRequestSlots.compare_exchange_weak(made->next, made, std::memory_order_release,
                                                std::memory_order_relaxed)) {
    }
    tRequestSlots.slots = made;
    tMine = made;
    return made;
}

RequestSlots* mySlots() {
    return tMine != nullptr ? tMine : takeSlots();
}

// Whether a request slot of any thread holds the entry.
bool inSomeSlot(const Handle* entry) {
    for (RequestSlots* r = gRequestSlots.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        for (const auto& slot : r->slot) {
            if (slot.load() == entry) {
                return true;
            }
        }
    }
    return false;
}

// Entries go once no request slot holds them: a request that found the entry
// in the index just before it left holds it for a few instructions, to see
// that it is gone.
struct HandleDeleter {
    void operator()(Handle* entry) const {
        // The entry is out of the index: a request that marks it from here
        // on sees that.
        kal::barrier::heavyFence();
        while (inSomeSlot(entry)) {
            std::this_thread::yield();
        }
        delete entry;
    }
};
using HandleRef = std::shared_ptr<Handle>;

// ---- the handle index -----------------------------------------------------------
// The entries of the open handles by number, read without a lock: a leaf per
// 4096 numbers, made on first use and kept for the process (numbers are never
// reused). Written under the host's lock.
constexpr unsigned kIndexLeafBits = 12;
constexpr std::size_t kIndexLeafSize = std::size_t{1} << kIndexLeafBits;
constexpr std::size_t kIndexLeaves = (std::size_t{1} << 31) >> kIndexLeafBits;

struct IndexLeaf {
    std::atomic<Handle*> entry[kIndexLeafSize] = {};
};
// Zero at load: no leaf before the first open.
std::atomic<IndexLeaf*> gIndex[kIndexLeaves];

Handle* indexed(int handle) {
    if (handle < 0) {
        return nullptr;
    }
    const auto number = static_cast<std::size_t>(handle);
    const IndexLeaf* leaf = gIndex[number >> kIndexLeafBits].load(std::memory_order_acquire);
    return leaf == nullptr ? nullptr : leaf->entry[number & (kIndexLeafSize - 1)].load();
}

// Publishes (or, with null, withdraws) the entry of a handle; false when the
// leaf for its number could not be made. Under the lock.
bool setIndexed(int handle, Handle* entry) {
    const auto number = static_cast<std::size_t>(handle);
    std::atomic<IndexLeaf*>& leafSlot = gIndex[number >> kIndexLeafBits];
    IndexLeaf* leaf = leafSlot.load(std::memory_order_acquire);
    if (leaf == nullptr) {
        if (entry == nullptr) {
            return true;
        }
        leaf = new (std::nothrow) IndexLeaf;
        if (leaf == nullptr) {
            return false;
        }
        leafSlot.store(leaf, std::memory_order_release);
    }
    leaf->entry[number & (kIndexLeafSize - 1)].store(entry);
    return true;
}

struct Host {
    std::mutex lock;
    std::condition_variable changed;
    // Callers of endSession waiting for requests in flight. A request clears
    // its slot (or counts itself down), fences lightly and then reads this;
    // an ender counts itself here, fences heavily and then reads the slots
    // and the count, so either the ender sees the request gone or the request
    // sees the ender and wakes it.
    std::atomic<int> enders{0};
    // Start and stop hold it alone; adds and removals share it, each working
    // on a device of its own (the kernel probes devices in parallel).
    std::shared_mutex pnpLock;
    // Written under the lock; requests read it without.
    std::atomic<bool> started{false};
    std::unique_ptr<nVOKAL_tDriverDescriptor> descriptor;
    nVOKAL_tDriverDescriptor callbacks{};
    std::map<unsigned, Device> devices;
    unsigned nextDeviceIndex = 0;
    std::map<int, HandleRef> handles;
    int nextHandle = 0;
    std::uint64_t nextMap = 1;
    std::vector<std::string> faults;
    // The simulated bus and the modules plugged for devices (by device index).
    std::mutex busLock;
    std::unique_ptr<sim::Bus> bus;
    std::map<unsigned, std::shared_ptr<sim::Module>> modules;
};

// The host lives as long as the process: a client that ends without
// kelvo_host_stop must not have its modules unplugged by a static destructor
// from stand-in state that the process has already destroyed.
Host& host() {
    static Host* const h = new Host;
    return *h;
}

// Runs the body of an entry point: no exception leaves the host.
template <typename Body> auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const sim::BusFull&) {
        return KELVO_E_FULL;
    } catch (const std::bad_alloc&) {
        return KELVO_E_NO_MEMORY;
    } catch (...) {
        return KELVO_E_FAILURE;
    }
}

// A map node made ahead of a callback, so that recording what the callback
// did cannot fail afterwards.
template <typename M> typename M::node_type spareNode(typename M::mapped_type value) {
    M spare;
    spare.emplace(typename M::key_type{}, std::move(value));
    return spare.extract(spare.begin());
}

// Records a driver fault (the lock is held); describe builds its text.
template <typename Describe> void fault(Host& h, Describe&& describe) noexcept {
    try {
        std::string text = describe();
        std::fprintf(stderr, "kelvo host: driver fault: %s\n", text.c_str());
        h.faults.push_back(std::move(text));
    } catch (...) {
        std::fprintf(stderr, "kelvo host: driver fault (no memory to record it)\n");
    }
}

// After the request's slot is cleared.
void wakeEnders(Host& h) {
    kal::barrier::lightFence();
    if (h.enders.load(std::memory_order_relaxed) != 0) {
        std::lock_guard g(h.lock);
        h.changed.notify_all();
    }
}

// The refusal of a request on an entry, or 0 when the entry admits it.
// kelvo_close marks closing before ending, so ending is read first: a request
// that sees a close under way also sees that it is the close.
std::int32_t refusalOf(const Handle& entry) {
    const bool ended = entry.revoked.load() || entry.ending.load();
    if (entry.closing.load()) {
        return KELVO_E_INVALID;
    }
    return ended ? KELVO_E_STATE : 0;
}

// One request admitted on a handle: its entry (which stays until the request
// ends) and the slot that holds it, or null when the request was counted in
// the entry.
struct Admitted {
    Handle* entry = nullptr;
    std::atomic<Handle*>* slot = nullptr;
};

// Admits a request under the lock, counted in the entry.
Admitted admitLocked(Host& h, int handle, std::int32_t& refused) {
    std::lock_guard g(h.lock);
    if (!h.started.load()) {
        refused = KELVO_E_STATE;
        return {};
    }
    auto it = h.handles.find(handle);
    if (it == h.handles.end()) {
        refused = KELVO_E_INVALID;
        return {};
    }
    refused = refusalOf(*it->second);
    if (refused != 0) {
        return {};
    }
    ++it->second->inFlight;
    return {it->second.get(), nullptr};
}

// Admits one request on a handle without a lock: its entry goes into a slot
// of the calling thread, then the entry is checked to be still in the index
// and open (an ender marks the entry first and then looks through the slots:
// one of the two sees the other). Null entry with the refusal's code when it
// is refused.
Admitted admit(Host& h, int handle, std::int32_t& refused) {
    if (!h.started.load()) {
        refused = KELVO_E_STATE;
        return {};
    }
    Handle* entry = indexed(handle);
    if (entry == nullptr) {
        // The stop marks the host stopped before it empties the index.
        refused = h.started.load() ? KELVO_E_INVALID : KELVO_E_STATE;
        return {};
    }
    RequestSlots* mine = mySlots();
    if (mine == nullptr || mine->used == kRequestSlots) {
        return admitLocked(h, handle, refused);
    }
    std::atomic<Handle*>& slot = mine->slot[mine->used];
    slot.store(entry, std::memory_order_relaxed);
    kal::barrier::lightFence();
    if (indexed(handle) != entry) {
        // Taken out of the index meanwhile (and perhaps gone): not touched.
        slot.store(nullptr, std::memory_order_release);
        wakeEnders(h);
        refused = h.started.load() ? KELVO_E_INVALID : KELVO_E_STATE;
        return {};
    }
    refused = refusalOf(*entry);
    if (refused != 0) {
        slot.store(nullptr, std::memory_order_release);
        wakeEnders(h);
        return {};
    }
    ++mine->used;
    return {entry, &slot};
}

void release(Host& h, const Admitted& admitted) {
    // The entry may go as soon as the request is out: only h after that.
    if (admitted.slot != nullptr) {
        admitted.slot->store(nullptr, std::memory_order_release);
        --tMine->used;
    } else {
        admitted.entry->inFlight.fetch_sub(1);
    }
    wakeEnders(h);
}

// Whether a request on the entry is in the driver's callbacks.
bool requestsIn(const Handle& entry) {
    return entry.inFlight.load() != 0 || inSomeSlot(&entry);
}

// One request on a handle: admitted, run by call(host, its entry) (which
// must not throw: the request is released after it), released. The
// refusal's code when not admitted.
template <typename Call> std::int32_t onAdmitted(int handle, const Call& call) {
    return guarded([&] {
        Host& h = host();
        std::int32_t refused = 0;
        const Admitted admitted = admit(h, handle, refused);
        if (admitted.entry == nullptr) {
            return refused;
        }
        const std::int32_t result = call(h, *admitted.entry);
        release(h, admitted);
        return result;
    });
}

// A request on a handle whose call(host, the session's context) runs in the
// stand-in's process mode: the caller's memory is what a process's would be
// (whatever of it is there with the access a copy needs, never the kernel
// layer's); the driver's copies refuse anything else with their bad-address
// code.
template <typename Call> std::int32_t admitted(int handle, const Call& call) {
    return onAdmitted(handle, [&](Host& h, Handle& entry) {
        const kal::usermem::ProcessMode client;
        return call(h, entry.context);
    });
}

// A read or a write on a handle: the driver's callback runs in the
// stand-in's process mode, so the caller's buffer is reached as a process's.
template <typename Callback>
std::int32_t transfer(int handle, const void* buffer, std::uint64_t size, std::uint64_t* count,
                      Callback nVOKAL_tDriverDescriptor::*callback) {
    return admitted(handle, [&](Host& h, void* context) {
        return (h.callbacks.*callback)(context, kal::usermem::address(buffer), size, 0, count);
    });
}

// Ends the driver's session of a handle that is closing or revoked. The first
// caller waits for the requests in flight, unmaps what the session still maps
// and closes it; a later caller (the owner's close racing a removal or a
// stop) waits until that is done. Called without the lock.
void endSession(Host& h, const HandleRef& entry) {
    std::unique_lock l(h.lock);
    if (entry->ending) {
        h.changed.wait(l, [&] { return entry->ended; });
        return;
    }
    entry->ending = true;
    ++h.enders;
    // The marks (closing or revoked, ending) and the count before the slots are read.
    kal::barrier::heavyFence();
    h.changed.wait(l, [&] { return !requestsIn(*entry); });
    --h.enders;
    std::map<std::uint64_t, Map> maps;
    maps.swap(entry->maps);
    void* context = std::exchange(entry->context, nullptr);
    l.unlock();
    for (auto& [id, map] : maps) {
        h.callbacks.unmapMemory(map.context);
        kal::usermaps::destroy(map.kernelMap);
    }
    if (context != nullptr) {
        h.callbacks.close(context);
    }
    l.lock();
    entry->ended = true;
    h.changed.notify_all();
}

// Revokes the handles of one device (every handle when all is set) and ends
// their sessions, those their owners are closing included.
void revokeHandles(Host& h, unsigned deviceIndex, bool all) {
    auto mine = [&](const Handle& entry) { return all || entry.deviceIndex == deviceIndex; };
    {
        std::lock_guard g(h.lock);
        for (auto& [id, entry] : h.handles) {
            if (mine(*entry)) {
                entry->revoked = true;
            }
        }
    }
    for (;;) {
        HandleRef next;
        {
            std::lock_guard g(h.lock);
            for (auto& [id, entry] : h.handles) {
                if (mine(*entry) && !entry->ended) {
                    next = entry;
                    break;
                }
            }
        }
        if (!next) {
            return;
        }
        endSession(h, next);
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

// Removes one device that the caller marked removing (the PnP lock is
// held): remove callback, the device's handles closed, destroy callback, its
// kernel device forgotten and its module (if any) unplugged.
void removeDevice(Host& h, unsigned deviceIndex) {
    Device device;
    {
        std::unique_lock l(h.lock);
        Device& entry = h.devices.at(deviceIndex); // only its remover, the one that marked it, erases it
        h.changed.wait(l, [&] { return entry.users == 0; });
        device = entry;
    }
    h.callbacks.removeDevice(device.context);
    // No handle of the device appears from here on: opens are refused once
    // it is removing, and those under way finished before the wait above.
    revokeHandles(h, deviceIndex, false);
    h.callbacks.destroyDevice(device.context);
    const std::size_t left = kal::registration::destroyDevice(device.kernelDevice);
    {
        std::lock_guard g(h.lock);
        if (left != 0) {
            fault(h, [&] {
                return "device " + std::to_string(deviceIndex) + " left " + std::to_string(left) +
                       " interface or property registrations behind";
            });
        }
        h.devices.erase(deviceIndex);
    }
    unplugModule(h, deviceIndex);
}

// Holds a device for a call that uses its kernel device outside the lock:
// the kernel device, or null (with the refusal's code) when the host is
// stopped or the device unknown or going.
class DeviceUse {
public:
    DeviceUse(Host& h, unsigned deviceIndex) : h_(h), index_(deviceIndex) {
        std::lock_guard g(h.lock);
        if (!h.started) {
            refused_ = KELVO_E_STATE;
            return;
        }
        auto it = h.devices.find(deviceIndex);
        if (it == h.devices.end() || it->second.removing) {
            refused_ = KELVO_E_INVALID;
            return;
        }
        ++it->second.users;
        kernelDevice_ = it->second.kernelDevice;
    }
    ~DeviceUse() {
        if (kernelDevice_ == nullptr) {
            return;
        }
        std::lock_guard g(h_.lock);
        auto it = h_.devices.find(index_); // there while it has users
        if (it != h_.devices.end() && --it->second.users == 0) {
            h_.changed.notify_all();
        }
    }
    DeviceUse(const DeviceUse&) = delete;
    DeviceUse& operator=(const DeviceUse&) = delete;

    void* kernelDevice() const { return kernelDevice_; }
    std::int32_t refused() const { return refused_; }

private:
    Host& h_;
    unsigned index_;
    void* kernelDevice_ = nullptr;
    std::int32_t refused_ = 0;
};

// The properties of a device (interfaceName null) or of one of its
// interfaces; empty for an unknown device or interface.
std::vector<kal::registration::Property> listedProperties(Host& h, unsigned deviceIndex,
                                                          const char* interfaceName) {
    const DeviceUse use(h, deviceIndex);
    if (use.kernelDevice() == nullptr) {
        return {};
    }
    if (interfaceName == nullptr) {
        return kal::registration::properties(use.kernelDevice());
    }
    auto itf = kal::registration::findInterface(use.kernelDevice(), interfaceName);
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

// Adds a device with the PnP lock held (see kelvo_host::addDevice).
int addDeviceLocked(Host& h, nVOKAL_tAddDeviceCallback addDeviceCallback, nVOKAL_tPCIDevice* record) {
    if (!kelvo_host::started() || addDeviceCallback == nullptr) {
        return KELVO_E_STATE;
    }
    auto node = spareNode<decltype(h.devices)>(Device{});
    void* kernelDevice = kal::registration::createDevice();
    void* context = kernelDevice;
    const nVOKAL_tStatus result = addDeviceCallback(record, &context);
    std::lock_guard g(h.lock);
    if (result < 0 || context == nullptr) {
        if (result >= 0) {
            fault(h, [] { return std::string("add device succeeded without a device"); });
        }
        const std::size_t left = kal::registration::destroyDevice(kernelDevice);
        if (left != 0) {
            fault(h, [&] {
                return "a failed add device left " + std::to_string(left) + " registrations behind";
            });
        }
        return result < 0 ? result : KELVO_E_STATE;
    }
    Device& device = node.mapped();
    device.index = h.nextDeviceIndex++;
    device.kernelDevice = kernelDevice;
    device.context = context;
    node.key() = device.index;
    const unsigned index = device.index;
    h.devices.insert(std::move(node));
    return static_cast<int>(index);
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
    return guarded([&] {
        Host& h = host();
        std::shared_lock pnp(h.pnpLock);
        return addDeviceLocked(h, addDeviceCallback, record);
    });
}

namespace {
std::atomic<bool> gFpgasLoaded[2] = {false, false};
} // namespace

void setFpgasLoadedAtPlugging(bool nonIsolated, bool isolated) {
    gFpgasLoaded[0] = nonIsolated;
    gFpgasLoaded[1] = isolated;
}

int addModule(const sim::Identity& identity, const std::function<void(sim::Module&)>& prepare) {
    return guarded([&] {
        Host& h = host();
        // Held throughout, so that the bus the module goes into is the one of
        // the host that adds it.
        std::shared_lock pnp(h.pnpLock);
        nVOKAL_tAddDeviceCallback callback = nullptr;
        {
            std::lock_guard g(h.lock);
            if (!h.started) {
                return KELVO_E_STATE;
            }
            callback = h.callbacks.addDevice;
        }
        auto node = spareNode<decltype(h.modules)>(nullptr);
        std::shared_ptr<sim::Module> module;
        {
            std::lock_guard g(h.busLock);
            if (!h.bus) {
                return KELVO_E_STATE;
            }
            const auto board =
                std::find_if(sim::boardNames().begin(), sim::boardNames().end(), [&](const std::string& b) {
                    const auto known = sim::boardIdentity(b);
                    return known && known->vendorID == identity.vendorID &&
                           known->deviceID == identity.deviceID &&
                           known->subsystemVendorID == identity.subsystemVendorID &&
                           known->subsystemID == identity.subsystemID && known->revision == identity.revision;
                });
            sim::ModuleOptions options;
            options.fpgasLoaded[0] = gFpgasLoaded[0].load();
            options.fpgasLoaded[1] = gFpgasLoaded[1].load();
            module = board != sim::boardNames().end() ? h.bus->plug(*board, options)
                                                      : h.bus->plugForeign(identity, options);
        }
        int index = KELVO_E_FAILURE;
        try {
            module->enableBoard();
            // The product streams over both DMA channels (board start-up
            // feeds the sequencer over channel 1): the engines serve them.
            module->enableDma();
            if (prepare) {
                prepare(*module);
            }
            nVOKAL_tPCIDevice record{};
            kal::pci::describe(module->pciHandle(), record);
            index = addDeviceLocked(h, callback, &record);
        } catch (...) {
            std::lock_guard g(h.busLock);
            h.bus->unplug(module);
            throw;
        }
        std::lock_guard g(h.busLock);
        if (index < 0) {
            h.bus->unplug(module);
        } else {
            node.key() = static_cast<unsigned>(index);
            node.mapped() = std::move(module);
            h.modules.insert(std::move(node));
        }
        return index;
    });
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
    return it == host().handles.end() ? nullptr : it->second->context;
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
    return guarded([&] {
        // Made before the request is admitted: nothing after it throws.
        auto node = spareNode<std::map<std::uint64_t, Map>>(Map{});
        return onAdmitted(handle, [&](Host& h, Handle& entry) {
            void* kernelMap = kal::usermaps::create(size, accessMode, 0);
            std::uint32_t created = 0;
            void* mapContext = nullptr;
            const std::int32_t result =
                h.callbacks.mapMemory(entry.context, selector, kernelMap, &created, &mapContext);
            std::uint64_t id = 0;
            {
                std::lock_guard g(h.lock);
                if (result >= 0 && created != 0) {
                    id = h.nextMap++;
                    node.key() = id;
                    node.mapped() = Map{kernelMap, mapContext};
                    entry.maps.insert(std::move(node));
                }
            }
            if (id == 0) {
                kal::usermaps::destroy(kernelMap);
            }
            if (map != nullptr) {
                *map = id;
            }
            return result;
        });
    });
}

std::int32_t unmapMemory(int handle, std::uint64_t map) {
    return onAdmitted(handle, [&](Host& h, Handle& entry) {
        Map found;
        bool known = false;
        {
            std::lock_guard g(h.lock);
            auto it = entry.maps.find(map);
            if (it != entry.maps.end()) {
                found = it->second;
                entry.maps.erase(it);
                known = true;
            }
        }
        if (known) {
            h.callbacks.unmapMemory(found.context);
            kal::usermaps::destroy(found.kernelMap);
        }
        return known ? 0 : KELVO_E_INVALID;
    });
}

std::vector<std::string> faults() {
    std::lock_guard g(host().lock);
    return host().faults;
}

} // namespace kelvo_host

// ---- the C API --------------------------------------------------------------

extern "C" int kelvo_host_start(void) noexcept {
    return guarded([] {
        Host& h = host();
        std::unique_lock pnp(h.pnpLock);
        {
            std::lock_guard g(h.lock);
            if (h.started) {
                return KELVO_E_STATE;
            }
            h.faults.clear();
        }
        auto descriptor = std::make_unique<nVOKAL_tDriverDescriptor>();
        auto bus = std::make_unique<sim::Bus>();
        const nVOKAL_tStatus result = nVOAPAL200_driverEntry(descriptor.get());
        std::lock_guard g(h.lock);
        if (result < 0) {
            if (kal::registration::driver() != nullptr) {
                fault(h, [] { return std::string("the driver stayed registered after its entry failed"); });
            }
            return result;
        }
        if (kal::registration::driver() != descriptor.get()) {
            fault(h, [] { return std::string("the driver entry succeeded without registering the driver"); });
        }
        h.callbacks = *descriptor;
        h.descriptor = std::move(descriptor);
        h.started = true;
        std::lock_guard b(h.busLock);
        h.bus = std::move(bus);
        return 0;
    });
}

namespace {

void stop(Host& h) {
    std::unique_lock pnp(h.pnpLock);
    {
        std::lock_guard g(h.lock);
        if (!h.started) {
            return;
        }
    }
    // Nothing below allocates: a stop cannot fail part way. Each device is
    // removed as kelvo_host_remove_device does it, its handles closed after
    // its remove callback: a request that waits without limit (a DMA wait)
    // ends only once the removal has suspended the device's I/O. Then the
    // handles of no device, if any.
    for (;;) {
        unsigned next = 0;
        {
            std::lock_guard g(h.lock);
            if (h.devices.empty()) {
                break;
            }
            next = h.devices.begin()->first;
            h.devices.begin()->second.removing = true;
        }
        removeDevice(h, next);
    }
    revokeHandles(h, 0, true);
    h.callbacks.unload(h.descriptor.get());
    std::lock_guard g(h.lock);
    if (kal::registration::driver() != nullptr) {
        fault(h, [] { return std::string("the driver stayed registered after unload"); });
    }
    if (kal::registration::liveInterfaces() != 0 || kal::registration::liveProperties() != 0) {
        fault(h, [] { return std::string("registrations left after unload"); });
    }
    if (kal::dpc::live() != 0) {
        fault(h, [] { return std::string("DPCs left after unload"); });
    }
    {
        std::lock_guard b(h.busLock);
        h.modules.clear();
        h.bus.reset();
    }
    // Every session is closed; a kelvo_close still running keeps its entry.
    // Requests that find the index empty from here on see the host stopped.
    h.started = false;
    for (auto& [id, entry] : h.handles) {
        setIndexed(id, nullptr);
    }
    h.handles.clear();
    h.descriptor.reset();
    h.callbacks = nVOKAL_tDriverDescriptor{};
}

} // namespace

extern "C" void kelvo_host_stop(void) noexcept {
    try {
        stop(host());
    } catch (...) {
        std::fputs("kelvo host: the stop failed part way\n", stderr);
    }
}

extern "C" int kelvo_host_set_clock_scale(double factor) noexcept {
    if (!(factor > 0.0) || factor > 1e12) {
        return KELVO_E_INVALID;
    }
    return guarded([&] {
        kal::clock::setScale(factor);
        return 0;
    });
}

extern "C" int kelvo_host_add_test_device(void) noexcept {
    return kelvo_host::addDevice(kelvo_host::addTestDevice, nullptr);
}

extern "C" int kelvo_host_add_module(const char* board) noexcept {
    if (board == nullptr) {
        return KELVO_E_INVALID;
    }
    return guarded([&] { return kelvo_host::addModule(std::string_view(board)); });
}

extern "C" int kelvo_host_add_module_with_flash(const char* board, const char* flashPath) noexcept {
    if (board == nullptr || flashPath == nullptr || !sim::boardIdentity(board)) {
        return KELVO_E_INVALID;
    }
    return guarded([&] {
        std::ifstream file(flashPath, std::ios::binary);
        if (!file) {
            return KELVO_E_INVALID;
        }
        std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                        std::istreambuf_iterator<char>());
        if (image.size() != sim::SerialFlash::kSize) {
            return KELVO_E_INVALID;
        }
        return kelvo_host::addModule(std::string_view(board),
                                     [&image](sim::Module& m) { m.flash().load(image); });
    });
}

extern "C" int kelvo_host_save_flash(unsigned deviceIndex, const char* flashPath) noexcept {
    return guarded([&] {
        const auto module = kelvo_host::module(deviceIndex);
        if (!module) {
            return kelvo_host::started() ? KELVO_E_INVALID : KELVO_E_STATE;
        }
        if (flashPath == nullptr) {
            return KELVO_E_INVALID;
        }
        const std::vector<std::uint8_t> image = module->flash().contents();
        std::ofstream file(flashPath, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        file.close();
        return file ? 0 : KELVO_E_INVALID;
    });
}

extern "C" int kelvo_host_remove_module(unsigned deviceIndex) noexcept {
    if (!kelvo_host::module(deviceIndex)) {
        return kelvo_host::started() ? KELVO_E_INVALID : KELVO_E_STATE;
    }
    return kelvo_host_remove_device(deviceIndex);
}

extern "C" int kelvo_host_remove_device(unsigned deviceIndex) noexcept {
    Host& h = host();
    std::shared_lock pnp(h.pnpLock);
    {
        std::lock_guard g(h.lock);
        auto it = h.devices.find(deviceIndex);
        if (!h.started || it == h.devices.end() || it->second.removing) {
            return h.started ? KELVO_E_INVALID : KELVO_E_STATE;
        }
        // Claimed: a second removal answers KELVO_E_INVALID.
        it->second.removing = true;
    }
    removeDevice(h, deviceIndex);
    return 0;
}

extern "C" int kelvo_open(const char* interfaceName, unsigned deviceIndex) noexcept {
    if (interfaceName == nullptr) {
        return KELVO_E_INVALID;
    }
    return guarded([&] {
        Host& h = host();
        const DeviceUse use(h, deviceIndex);
        if (use.kernelDevice() == nullptr) {
            return use.refused();
        }
        // User space sees an interface once the driver announced it.
        auto found = kal::registration::findInterface(use.kernelDevice(), interfaceName);
        if (!found || !found->announced) {
            return KELVO_E_INVALID;
        }
        auto node = spareNode<decltype(h.handles)>(HandleRef(new Handle, HandleDeleter{}));
        void* context = found->context;
        const nVOKAL_tStatus result = h.callbacks.open(nullptr, &context);
        if (result < 0) {
            return result;
        }
        // Recorded before the device's use ends, so that a removal waiting
        // for it finds the handle.
        std::unique_lock g(h.lock);
        const int id = h.nextHandle;
        if (!setIndexed(id, node.mapped().get())) {
            g.unlock();
            h.callbacks.close(context);
            return KELVO_E_NO_MEMORY;
        }
        ++h.nextHandle;
        node.key() = id;
        node.mapped()->deviceIndex = deviceIndex;
        node.mapped()->context = context;
        h.handles.insert(std::move(node));
        return id;
    });
}

extern "C" int kelvo_ioctl(int handle, unsigned int code, void* argument) noexcept {
    return admitted(handle, [&](Host& h, void* context) {
        return h.callbacks.ioControl(context, code, kal::usermem::address(argument));
    });
}

extern "C" int kelvo_close(int handle) noexcept {
    Host& h = host();
    HandleRef entry;
    {
        std::lock_guard g(h.lock);
        auto it = h.handles.find(handle);
        if (it == h.handles.end() || it->second->closing) {
            return h.started ? KELVO_E_INVALID : KELVO_E_STATE;
        }
        entry = it->second;
        entry->closing = true;
    }
    // Closes the session, or waits for the removal or stop that revoked the
    // handle to have closed it.
    endSession(h, entry);
    std::lock_guard g(h.lock);
    auto it = h.handles.find(handle);
    if (it != h.handles.end() && it->second == entry) {
        setIndexed(handle, nullptr);
        h.handles.erase(it);
    }
    return 0;
}

extern "C" unsigned kelvo_destination(int handle) noexcept {
    return kDestinationBase + static_cast<std::uint32_t>(handle);
}

extern "C" int kelvo_read_message(unsigned destination, struct kelvo_message* message) noexcept {
    if (message == nullptr) {
        return KELVO_E_INVALID;
    }
    return guarded([&] {
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
    });
}

extern "C" int kelvo_list_devices(unsigned* indexes, unsigned capacity) noexcept {
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

extern "C" int kelvo_interface_name(unsigned deviceIndex, unsigned position, char* name,
                                    size_t size) noexcept {
    return guarded([&] {
        std::vector<kal::registration::Interface> interfaces;
        {
            const DeviceUse use(host(), deviceIndex);
            if (use.kernelDevice() == nullptr) {
                return KELVO_E_INVALID;
            }
            interfaces = kal::registration::interfaces(use.kernelDevice());
        }
        std::erase_if(interfaces, [](const auto& i) { return !i.announced; });
        if (position >= interfaces.size()) {
            return KELVO_E_INVALID;
        }
        return copyName(interfaces[position].name, name, size);
    });
}

extern "C" int kelvo_property_name(unsigned deviceIndex, const char* interfaceName, unsigned position,
                                   char* name, size_t size, unsigned* kind) noexcept {
    return guarded([&] {
        auto properties = listedProperties(host(), deviceIndex, interfaceName);
        if (position >= properties.size()) {
            return KELVO_E_INVALID;
        }
        if (kind != nullptr) {
            *kind = properties[position].kind;
        }
        return copyName(properties[position].name, name, size);
    });
}

extern "C" int kelvo_property_read(unsigned deviceIndex, const char* interfaceName, const char* propertyName,
                                   void* value, size_t size) noexcept {
    if (propertyName == nullptr) {
        return KELVO_E_INVALID;
    }
    return guarded([&] {
        for (const auto& p : listedProperties(host(), deviceIndex, interfaceName)) {
            if (p.name == propertyName) {
                if (value != nullptr) {
                    std::memcpy(value, p.value.data(), std::min(size, p.value.size()));
                }
                return static_cast<int>(p.value.size());
            }
        }
        return KELVO_E_INVALID;
    });
}
