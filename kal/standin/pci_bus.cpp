// Stand-in for the kernel layer's PCI operations over the functions plugged
// into kal::pci (see pci_bus.h).
#include "standin/pci_bus.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <tuple>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/kernel_memory.h"
#include "nVOKAL.h"

namespace {

constexpr std::uint32_t kBars = 6;
constexpr std::uint64_t kHandleBase = 0x5C100000;
constexpr std::uint64_t kPhysicalBase = 0x4000000000ULL;
constexpr std::uint64_t kPhysicalPerFunction = 0x10000000ULL; // 256 MiB of BAR space per function
// Kernel addresses of device mappings: the upper half of the address space,
// which a process cannot touch.
constexpr std::uint64_t kMappingBase = 0xFFFFD00000000000ULL;
constexpr std::uint64_t kMappingGranule = 0x100000ULL;
// The user copies refuse them by address alone.
static_assert(kMappingBase >= kal::kernelmem::kUserTop);

struct Entry {
    std::shared_ptr<kal::pci::Function> function;
    kal::pci::Location location;
    kal::pci::Knobs knobs;
    std::uint64_t barAddress[kBars] = {};
    std::uint64_t barSize[kBars] = {};
    bool msi = false;
    std::uint32_t msiVector = 0;
};

struct Mapping {
    std::uint64_t start; // its kernel address
    std::uint64_t id;
    std::uint32_t bar;
    std::uint64_t barOffset;
    std::uint64_t size;
    std::uint32_t cachingMode;
};

// A two-level table of slots by number, read without a lock: leaves of 4096
// slots, made on first use under the bus lock and kept for the process.
template <typename Slot, std::size_t kLeaves> class Table {
public:
    static constexpr unsigned kLeafBits = 12;
    // The slot of a number, or null when no leaf holds it.
    Slot* find(std::uint64_t n) const {
        if ((n >> kLeafBits) >= kLeaves) {
            return nullptr;
        }
        Leaf* leaf = leaves_[n >> kLeafBits].load();
        return leaf == nullptr ? nullptr : &leaf->slots[n & ((1u << kLeafBits) - 1)];
    }
    // The slot of a number, its leaf made when missing; null when the number
    // is beyond the table or there is no memory for the leaf.
    Slot* make(std::uint64_t n) {
        if ((n >> kLeafBits) >= kLeaves) {
            return nullptr;
        }
        if (leaves_[n >> kLeafBits].load() == nullptr) {
            Leaf* made = new (std::nothrow) Leaf;
            if (made == nullptr) {
                return nullptr;
            }
            leaves_[n >> kLeafBits].store(made);
        }
        return find(n);
    }

private:
    struct Leaf {
        Slot slots[1u << kLeafBits] = {};
    };
    std::atomic<Leaf*> leaves_[kLeaves] = {};
};

// What device accesses read of a function without the lock. Slots are never
// reused: function ids are not.
struct FunctionSlot {
    std::atomic<kal::pci::Function*> function{nullptr}; // null once unplugged
    std::atomic<std::uint64_t> dmaMask{0};              // the mask last accepted
};
// Kernel mappings by their 1 MiB granule above kMappingBase (every granule a
// mapping covers points at it): 48 TiB of mapping addresses.
constexpr std::size_t kMappingLeaves = (0x300000000000ULL / kMappingGranule) >> 12;
using MappingTable = Table<std::atomic<const Mapping*>, kMappingLeaves>;
using FunctionTable = Table<FunctionSlot, 4096>;

struct BusState {
    std::mutex lock;
    std::map<std::uint64_t, Entry> entries; // by id
    std::uint64_t nextId = 1;
    std::vector<nVOKAL_tPCIBridgeRecord> bridges;
    std::map<std::uint64_t, std::unique_ptr<Mapping>> mappings; // by kernel address
    std::uint64_t nextMapping = kMappingBase;
};

BusState& bus() {
    static BusState s;
    return s;
}

// Device accesses find the mapping and then the function through these,
// inside a read section: an unmap or unplug takes its entry out and waits for
// the sections before the mapping or the function goes.
MappingTable gMappingTable;
FunctionTable gFunctionTable;

std::uint64_t idOf(nVOKAL_tHandle handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value < kHandleBase || (value - kHandleBase) % 16 != 0) {
        return 0;
    }
    return (value - kHandleBase) / 16;
}

nVOKAL_tHandle handleOf(std::uint64_t id) {
    return reinterpret_cast<nVOKAL_tHandle>(static_cast<std::uintptr_t>(kHandleBase + id * 16));
}

// Line interrupts are shared: eight lines for every function.
std::uint32_t lineInterruptOf(nVOKAL_tHandle handle) {
    return static_cast<std::uint32_t>(16 + idOf(handle) % 8);
}

// Caller holds the lock.
Entry* find(BusState& s, nVOKAL_tHandle handle) {
    auto it = s.entries.find(idOf(handle));
    return it == s.entries.end() ? nullptr : &it->second;
}

std::shared_ptr<kal::pci::Function> functionOf(nVOKAL_tHandle handle) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, handle);
    return e == nullptr ? nullptr : e->function;
}

bool sameBridge(const nVOKAL_tPCIBridgeRecord& a, const nVOKAL_tPCIBridgeRecord& b) {
    return a.domain == b.domain && a.busNumber == b.busNumber && a.deviceNumber == b.deviceNumber &&
           a.functionNumber == b.functionNumber;
}

// The function a configuration access of width bytes at offset reaches;
// null when the offset is out of range or misaligned, or the handle unknown.
std::shared_ptr<kal::pci::Function> configTarget(nVOKAL_tHandle handle, std::uint32_t offset,
                                                 std::uint32_t width) {
    if (offset >= 4096 || offset % width != 0) {
        return nullptr;
    }
    return functionOf(handle);
}

nVOKAL_tStatus configRead(nVOKAL_tHandle handle, std::uint32_t offset, std::uint32_t width,
                          std::uint32_t& value) {
    auto fn = configTarget(handle, offset, width);
    if (fn == nullptr) {
        return NVOKAL_PCI_E_INVALID;
    }
    return fn->configRead(offset, width, value) ? 0 : NVOKAL_PCI_E_FAILED;
}

// A configuration read of sizeof(T) bytes; value (when given) receives it on success.
template <typename T> nVOKAL_tStatus configReadAs(nVOKAL_tHandle handle, std::uint32_t offset, T* value) {
    std::uint32_t v = 0;
    const nVOKAL_tStatus code = configRead(handle, offset, sizeof(T), v);
    if (code == 0 && value != nullptr) {
        *value = static_cast<T>(v);
    }
    return code;
}

nVOKAL_tStatus configWrite(nVOKAL_tHandle handle, std::uint32_t offset, std::uint32_t width,
                           std::uint32_t value) {
    auto fn = configTarget(handle, offset, width);
    if (fn == nullptr) {
        return NVOKAL_PCI_E_INVALID;
    }
    return fn->configWrite(offset, width, value) ? 0 : NVOKAL_PCI_E_FAILED;
}

// Resolves a device access inside a read section: the function (null after
// unplug), BAR and offset, or not mapped.
struct Target {
    bool mapped = false;
    kal::pci::Function* function = nullptr;
    std::uint32_t bar = 0;
    std::uint64_t offset = 0;
};

Target resolve(const volatile void* address, std::uint32_t width) {
    Target t;
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    if (a < kMappingBase) {
        return t;
    }
    const auto* slot = gMappingTable.find((a - kMappingBase) / kMappingGranule);
    const Mapping* m = slot == nullptr ? nullptr : slot->load();
    if (m == nullptr || a < m->start) {
        return t;
    }
    const std::uint64_t inside = a - m->start;
    if (inside >= m->size || m->size - inside < width) {
        return t;
    }
    t.mapped = true;
    t.bar = m->bar;
    t.offset = m->barOffset + inside;
    if (const FunctionSlot* f = gFunctionTable.find(m->id)) {
        t.function = f->function.load();
    }
    return t;
}

std::uint64_t readMemory(const volatile void* address, std::uint32_t width) {
    {
        const kal::detail::ReadSection section;
        const Target t = resolve(address, width);
        if (t.mapped) {
            if (t.function == nullptr) {
                return width == 8 ? ~0ULL : ((1ULL << (8 * width)) - 1);
            }
            return t.function->memoryRead(t.bar, t.offset, width);
        }
    }
    KAL_FAIL("device memory access at an address that is not mapped");
}

void writeMemory(volatile void* address, std::uint32_t width, std::uint64_t value) {
    {
        const kal::detail::ReadSection section;
        const Target t = resolve(address, width);
        if (t.mapped) {
            if (t.function != nullptr) {
                t.function->memoryWrite(t.bar, t.offset, width, value);
            }
            return;
        }
    }
    KAL_FAIL("device memory access at an address that is not mapped");
}

} // namespace

namespace kal::pci {

nVOKAL_tHandle plug(std::shared_ptr<Function> function, const Location& where) {
    if (function == nullptr) {
        return nullptr;
    }
    auto& s = bus();
    std::lock_guard g(s.lock);
    for (const auto& [id, e] : s.entries) {
        if (e.location == where) {
            return nullptr;
        }
    }
    const std::uint64_t id = s.nextId;
    FunctionSlot* slot = gFunctionTable.make(id);
    if (slot == nullptr) {
        return nullptr;
    }
    ++s.nextId;
    slot->function.store(function.get());
    Entry e;
    e.location = where;
    std::uint64_t next = kPhysicalBase + id * kPhysicalPerFunction;
    for (std::uint32_t bar = 0; bar < kBars; ++bar) {
        const std::uint64_t size = function->barSize(bar);
        if (size == 0) {
            continue;
        }
        // Natural alignment, as BAR sizing makes it.
        std::uint64_t align = 1;
        while (align < size) {
            align <<= 1;
        }
        next = (next + align - 1) & ~(align - 1);
        e.barAddress[bar] = next;
        e.barSize[bar] = size;
        next += size;
    }
    e.function = std::move(function);
    s.entries.emplace(id, std::move(e));
    return handleOf(id);
}

void unplug(nVOKAL_tHandle handle) {
    std::shared_ptr<Function> keep; // released once no access uses it
    {
        auto& s = bus();
        std::lock_guard g(s.lock);
        auto it = s.entries.find(idOf(handle));
        if (it == s.entries.end()) {
            return;
        }
        FunctionSlot* slot = gFunctionTable.find(it->first);
        slot->function.store(nullptr);
        slot->dmaMask.store(0);
        keep = std::move(it->second.function);
        s.entries.erase(it);
    }
    kal::detail::waitForReaders();
}

bool occupied(const Location& where) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    return std::any_of(s.entries.begin(), s.entries.end(),
                       [&](const auto& kv) { return kv.second.location == where; });
}

Location locationOf(nVOKAL_tHandle handle) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, handle);
    return e == nullptr ? Location{} : e->location;
}

void addBridge(const nVOKAL_tPCIBridgeRecord& bridge) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    s.bridges.push_back(bridge);
}

void removeBridge(const nVOKAL_tPCIBridgeRecord& bridge) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    std::erase_if(s.bridges, [&](const auto& b) { return sameBridge(b, bridge); });
}

std::vector<nVOKAL_tPCIBridgeRecord> bridges() {
    std::vector<nVOKAL_tPCIBridgeRecord> list;
    {
        auto& s = bus();
        std::lock_guard g(s.lock);
        list = s.bridges;
    }
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return std::tie(a.domain, a.busNumber, a.deviceNumber, a.functionNumber) <
               std::tie(b.domain, b.busNumber, b.deviceNumber, b.functionNumber);
    });
    return list;
}

std::uint64_t barAddress(nVOKAL_tHandle handle, std::uint32_t bar) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, handle);
    return e == nullptr || bar >= kBars ? 0 : e->barAddress[bar];
}

bool describe(nVOKAL_tHandle handle, nVOKAL_tPCIDevice& record) {
    std::shared_ptr<Function> fn;
    Entry copy;
    {
        auto& s = bus();
        std::lock_guard g(s.lock);
        Entry* e = find(s, handle);
        if (e == nullptr) {
            return false;
        }
        copy = *e;
        fn = e->function;
    }
    record = nVOKAL_tPCIDevice{};
    auto read16 = [&](std::uint32_t offset) -> std::uint16_t {
        std::uint32_t v = 0xFFFF;
        return fn->configRead(offset, 2, v) ? static_cast<std::uint16_t>(v) : 0xFFFF;
    };
    record.pciHandle = handle;
    record.busNumber = copy.location.bus;
    record.deviceNumber = copy.location.device;
    record.functionNumber = copy.location.function;
    record.vendorID = read16(0x00);
    record.deviceID = read16(0x02);
    record.revision = static_cast<std::uint16_t>(read16(0x08) & 0xFF);
    record.subsystemVendorID = read16(0x2C);
    record.subsystemID = read16(0x2E);
    record.lineInterrupt = copy.knobs.lineInterrupt ? 1 : 0;
    record.interruptNumber = copy.knobs.lineInterrupt ? lineInterruptOf(handle) : 0;
    for (std::uint32_t bar = 0; bar < kBars; ++bar) {
        if (copy.barSize[bar] != 0) {
            record.resources[bar].start = copy.barAddress[bar];
            record.resources[bar].size = copy.barSize[bar];
            record.resources[bar].flags = NVOKAL_PCI_RESOURCE_MEMORY;
        }
    }
    return true;
}

void setKnobs(nVOKAL_tHandle handle, const Knobs& knobs) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    if (Entry* e = find(s, handle)) {
        e->knobs = knobs;
    }
}

Knobs knobs(nVOKAL_tHandle handle) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, handle);
    return e == nullptr ? Knobs{} : e->knobs;
}

std::uint64_t dmaMask(nVOKAL_tHandle handle) {
    const std::uint64_t id = idOf(handle);
    const FunctionSlot* slot = id == 0 ? nullptr : gFunctionTable.find(id);
    return slot == nullptr ? 0 : slot->dmaMask.load();
}

bool msiGranted(nVOKAL_tHandle handle) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, handle);
    return e != nullptr && e->msi;
}

std::uint32_t interruptNumber(nVOKAL_tHandle handle) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, handle);
    if (e == nullptr) {
        return 0;
    }
    if (e->msi) {
        return e->msiVector;
    }
    return e->knobs.lineInterrupt ? lineInterruptOf(handle) : 0;
}

std::size_t liveMappings() {
    auto& s = bus();
    std::lock_guard g(s.lock);
    return s.mappings.size();
}

std::optional<std::uint32_t> cachingMode(const void* address) {
    auto& s = bus();
    std::lock_guard g(s.lock);
    auto found = s.mappings.find(reinterpret_cast<std::uintptr_t>(address));
    if (found == s.mappings.end()) {
        return std::nullopt;
    }
    return found->second->cachingMode;
}

} // namespace kal::pci

extern "C" nVOKAL_tStatus nVOKAL230_pciRequestMSI(nVOKAL_tPCIDevice* record, uint32_t vectorCount) noexcept {
    if (record == nullptr || vectorCount == 0) {
        return NVOKAL_PCI_E_INVALID;
    }
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, record->pciHandle);
    if (e == nullptr) {
        return NVOKAL_PCI_E_INVALID;
    }
    if (e->knobs.refuseMSI) {
        return NVOKAL_PCI_E_REFUSED;
    }
    e->msi = true;
    e->msiVector = static_cast<uint32_t>(0x80 + idOf(record->pciHandle) % 64);
    record->interruptNumber = e->msiVector;
    return 0;
}

extern "C" nVOKAL_tStatus nVOKAL100_enumeratePCIBuses(nVOKAL_tPCIBridgeCallback callback,
                                                      void* context) noexcept {
    if (callback == nullptr) {
        return NVOKAL_PCI_E_INVALID;
    }
    for (const auto& bridge : kal::pci::bridges()) {
        callback(context, &bridge);
    }
    return 0;
}

extern "C" int32_t nVOKAL240_getPCIDomain(nVOKAL_tHandle pciHandle) noexcept {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, pciHandle);
    if (e == nullptr || e->knobs.unknownDomain) {
        return -1;
    }
    return e->location.domain;
}

extern "C" int32_t nVOKAL1_getDeviceNUMANode(nVOKAL_tHandle pciHandle) noexcept {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, pciHandle);
    return e == nullptr ? -1 : e->knobs.numaNode;
}

extern "C" nVOKAL_tStatus nVOKAL220_pciSetDMAMask(nVOKAL_tHandle pciHandle, uint64_t mask) noexcept {
    auto& s = bus();
    std::lock_guard g(s.lock);
    Entry* e = find(s, pciHandle);
    if (e == nullptr) {
        return NVOKAL_PCI_E_INVALID;
    }
    if (e->knobs.refuseDMA || (e->knobs.refuse64BitDMA && mask > 0xFFFFFFFFULL)) {
        return NVOKAL_PCI_E_REFUSED;
    }
    gFunctionTable.find(idOf(pciHandle))->dmaMask.store(mask);
    return 0;
}

extern "C" nVOKAL_tStatus nVOKAL100_pciConfigRead8(nVOKAL_tHandle pciHandle, uint32_t offset,
                                                   uint8_t* value) noexcept {
    return configReadAs(pciHandle, offset, value);
}

extern "C" nVOKAL_tStatus nVOKAL100_pciConfigRead16(nVOKAL_tHandle pciHandle, uint32_t offset,
                                                    uint16_t* value) noexcept {
    return configReadAs(pciHandle, offset, value);
}

extern "C" nVOKAL_tStatus nVOKAL100_pciConfigRead32(nVOKAL_tHandle pciHandle, uint32_t offset,
                                                    uint32_t* value) noexcept {
    return configReadAs(pciHandle, offset, value);
}

extern "C" nVOKAL_tStatus nVOKAL100_pciConfigWrite8(nVOKAL_tHandle pciHandle, uint32_t offset,
                                                    uint8_t value) noexcept {
    return configWrite(pciHandle, offset, 1, value);
}

extern "C" nVOKAL_tStatus nVOKAL100_pciConfigWrite16(nVOKAL_tHandle pciHandle, uint32_t offset,
                                                     uint16_t value) noexcept {
    return configWrite(pciHandle, offset, 2, value);
}

extern "C" nVOKAL_tStatus nVOKAL100_pciConfigWrite32(nVOKAL_tHandle pciHandle, uint32_t offset,
                                                     uint32_t value) noexcept {
    return configWrite(pciHandle, offset, 4, value);
}

extern "C" void* nVOKAL230_mapPhysicalToKernel(uint64_t physicalAddress, uint64_t size,
                                               uint32_t cachingMode) noexcept {
    if (size == 0 || physicalAddress + size < physicalAddress ||
        kal::faults::shouldFail(kal::faults::kDeviceMapping)) {
        return nullptr;
    }
    auto& s = bus();
    std::lock_guard g(s.lock);
    for (auto& [id, e] : s.entries) {
        for (std::uint32_t bar = 0; bar < kBars; ++bar) {
            const std::uint64_t base = e.barAddress[bar];
            if (e.barSize[bar] == 0 || physicalAddress < base || physicalAddress - base >= e.barSize[bar] ||
                e.barSize[bar] - (physicalAddress - base) < size) {
                continue;
            }
            if (e.knobs.refuseMapping) {
                return nullptr;
            }
            const std::uint64_t address = s.nextMapping;
            const std::uint64_t granules = (size + kMappingGranule - 1) / kMappingGranule;
            const std::uint64_t first = (address - kMappingBase) / kMappingGranule;
            for (std::uint64_t g = first; g < first + granules; ++g) {
                if (gMappingTable.make(g) == nullptr) {
                    return nullptr;
                }
            }
            auto mapping = std::make_unique<Mapping>(
                Mapping{address, id, bar, physicalAddress - base, size, cachingMode});
            const Mapping* published = mapping.get();
            s.mappings.emplace(address, std::move(mapping));
            s.nextMapping += (granules + 1) * kMappingGranule;
            for (std::uint64_t g = first; g < first + granules; ++g) {
                gMappingTable.find(g)->store(published);
            }
            return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
        }
    }
    return nullptr;
}

extern "C" void nVOKAL230_unmapPhysicalFromKernel(void* address, uint32_t cachingMode) noexcept {
    if (address == nullptr) {
        return;
    }
    std::unique_ptr<Mapping> gone; // freed once no access uses it
    {
        auto& s = bus();
        std::lock_guard g(s.lock);
        auto found = s.mappings.find(reinterpret_cast<std::uintptr_t>(address));
        if (found != s.mappings.end()) {
            gone = std::move(found->second);
            s.mappings.erase(found);
            const std::uint64_t first = (gone->start - kMappingBase) / kMappingGranule;
            const std::uint64_t granules = (gone->size + kMappingGranule - 1) / kMappingGranule;
            for (std::uint64_t granule = first; granule < first + granules; ++granule) {
                gMappingTable.find(granule)->store(nullptr);
            }
        }
    }
    const bool known = gone != nullptr;
    const std::uint32_t mapped = known ? gone->cachingMode : 0;
    if (known) {
        kal::detail::waitForReaders();
    }
    if (!known) {
        KAL_FAIL("nVOKAL230_unmapPhysicalFromKernel of an address that is not a mapping");
    }
    if (mapped != cachingMode) {
        KAL_FAIL("nVOKAL230_unmapPhysicalFromKernel with caching mode " + std::to_string(cachingMode) +
                 " of a mapping made with " + std::to_string(mapped));
    }
}

extern "C" uint8_t nVOKAL100_memoryRead8(const volatile void* address) noexcept {
    return static_cast<uint8_t>(readMemory(address, 1));
}
extern "C" uint16_t nVOKAL100_memoryRead16(const volatile void* address) noexcept {
    return static_cast<uint16_t>(readMemory(address, 2));
}
extern "C" uint32_t nVOKAL100_memoryRead32(const volatile void* address) noexcept {
    return static_cast<uint32_t>(readMemory(address, 4));
}
extern "C" uint64_t nVOKAL100_memoryRead64(const volatile void* address) noexcept {
    return readMemory(address, 8);
}
extern "C" void nVOKAL100_memoryWrite8(volatile void* address, uint8_t value) noexcept {
    writeMemory(address, 1, value);
}
extern "C" void nVOKAL100_memoryWrite16(volatile void* address, uint16_t value) noexcept {
    writeMemory(address, 2, value);
}
extern "C" void nVOKAL100_memoryWrite32(volatile void* address, uint32_t value) noexcept {
    writeMemory(address, 4, value);
}
extern "C" void nVOKAL100_memoryWrite64(volatile void* address, uint64_t value) noexcept {
    writeMemory(address, 8, value);
}
