#include "platform/pci_device.h"

#include "platform/kal_status.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {

using nVOAPALS100::tStatus;

constexpr uint8_t kCapabilityIDPCIExpress = 0x10;
constexpr uint32_t kConfigStatus = 0x06;
constexpr uint16_t kStatusCapabilityList = 0x10;
constexpr uint32_t kConfigCapabilityPointer = 0x34;
constexpr uint32_t kConfigBIST = 0x0F;
// A capability list longer than this is taken as corrupt (a circular list).
constexpr uint32_t kCapabilityWalkLimit = 48;

constexpr uint32_t kPCIeLinkCapabilities = 12;
constexpr uint32_t kPCIeLinkStatus = 18;

constexpr uint32_t kPathBytes = 256;

// Record indexes: the first 14 hold 32-bit values, then the NUMA node and the slot path.
enum : uint32_t {
    kRecBusType,
    kRecBusSubType,
    kRecBusNumber,
    kRecDeviceNumber,
    kRecFunctionNumber,
    kRecVendorID,
    kRecDeviceID,
    kRecSubsystemVendorID,
    kRecSubsystemID,
    kRecRevision,
    kRecMaxLinkWidth,
    kRecLinkWidth,
    kRecMaxTransferRate,
    kRecTransferRate,
    kRecNumaNode,
    kRecSlotPath,
};

struct tSlotPathWalk {
    uint8_t targetBus;
    uint16_t domain;
    uint32_t rootIndex;
    uint8_t highestBus;
    uint8_t path[kPathBytes];
    uint32_t pathLength;
    bool done;
};

void appendPathByte(tSlotPathWalk& walk, uint8_t device, uint8_t function) {
    if (walk.pathLength < kPathBytes) {
        walk.path[walk.pathLength++] = static_cast<uint8_t>(device * 8 + (function & 7));
    }
}

bool configRead8(const nVOAPAL200_tDeviceInfo& info, uint32_t offset, uint8_t& value, tStatus& status) {
    if (nVOKAL100_pciConfigRead8(info.pciHandle, offset, &value) != 0) {
        KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
        return false;
    }
    return true;
}

bool configRead16(const nVOAPAL200_tDeviceInfo& info, uint32_t offset, uint16_t& value, tStatus& status) {
    if (nVOKAL100_pciConfigRead16(info.pciHandle, offset, &value) != 0) {
        KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
        return false;
    }
    return true;
}

// The place tried last for the PCI Express capability.
uint8_t findPCIExpressFallback(const nVOAPAL200_tDeviceInfo& info, tStatus& status) {
    if (nVOKAL100_pciConfigWrite16(info.pciHandle, 0, 0x5A5A) != 0) {
        KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
        return 0;
    }
    uint8_t bist = 0;
    if (!configRead8(info, kConfigBIST, bist, status)) {
        return 0;
    }
    const auto offset = static_cast<uint8_t>(bist * 4);
    if (offset < 64) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return 0;
    }
    uint8_t id = 0;
    if (!configRead8(info, offset, id, status)) {
        return 0;
    }
    if (id != kCapabilityIDPCIExpress) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return 0;
    }
    return offset;
}

} // namespace

void tPhysicalKVAMap::unmap() {
    if (_mapping != nullptr) {
        nVOKAL230_unmapPhysicalFromKernel(_mapping, static_cast<uint32_t>(cachingMode));
        _mapping = nullptr;
    }
}

// tDevice reads the physical-device word right after the kernel device handle.
static_assert(offsetof(nVOAPAL200_tDeviceInfo, pciHandle) ==
              offsetof(nVOAPAL200_tDeviceInfo, kernelDeviceHandle) + 8);

tPCIDevice::tPCIDevice(const nVOAPAL200_tDeviceInfo& deviceInfo, tStatus& status)
    : tDevice(&deviceInfo_.kernelDeviceHandle, status) {
    for (uint32_t i = 0; i < kPropertyRecords; ++i) {
        properties_[i].name = nullptr;
        properties_[i].typeCode = i < kRecNumaNode    ? kPropertyTypeUInt32
                                  : i == kRecNumaNode ? kPropertyTypeInt32
                                                      : kPropertyTypeString;
        properties_[i].kernelHandle = 0;
        properties_[i].value = 0;
    }
    for (tProperty*& entry : busProperties_) {
        entry = nullptr;
    }
    nVOAPAL200_copyMemory(&deviceInfo_, &deviceInfo, sizeof(deviceInfo_));
    deviceInfo_.owner = this;
    if (status.isNotFatal()) {
        computeSlotPath(status);
    }
}

tPCIDevice::~tPCIDevice() {
    // A client still connected would be called into a dead device.
    relinquishInterrupt();
    if (primaryLock_.spinLock != nullptr) {
        nVOKAL100_destroySpinLock(primaryLock_.spinLock);
        primaryLock_.spinLock = nullptr;
    }
}

// ---- interrupt reservation ------------------------------------------------------

uint8_t tPCIDevice::interruptTrampoline(void* context) {
    auto* device = static_cast<tPCIDevice*>(context);
    return device->_clientInterruptHandler->handleInterrupt() ? 1 : 0;
}

uint8_t tPCIDevice::lockedInterruptTrampoline(void* context) {
    auto* device = static_cast<tPCIDevice*>(context);
    tPrimaryLock& lock = device->primaryLock_;
    const uint64_t saved = nVOKAL110_acquireSpinLockInterrupt(lock.spinLock);
    lock.savedInterruptState = saved;
    const bool handled = device->_clientInterruptHandler->handleInterrupt();
    nVOKAL110_releaseSpinLockInterrupt(lock.spinLock, lock.savedInterruptState);
    return handled ? 1 : 0;
}

void tPCIDevice::reserveInterruptThrough(iPrimaryInterruptHandler* client,
                                         nVOKAL_tInterruptHandler trampoline, uint32_t flags,
                                         tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_MSG(_clientInterruptHandler == nullptr, "the device interrupt has a client already");
    VOSDBG_ASSERT(client != nullptr);
    _clientInterruptHandler = client;
    deviceInfo_.interruptCallback = reinterpret_cast<uintptr_t>(trampoline);
    deviceInfo_.interruptContext = reinterpret_cast<uintptr_t>(this);
    const nVOKAL_tStatus result =
        nVOKAL1400_reserveInterrupt(deviceInfo_.interruptNumber, trampoline, this, deviceInfo_.driverName,
                                    flags | NVOKAL_INTERRUPT_SHARED);
    KELVO_SET_STATUS_FROM_KAL(status, result);
    if (result != 0) {
        // Nothing was connected: keep no client, so that relinquish does not
        // release what was never reserved and a later reservation may succeed.
        _clientInterruptHandler = nullptr;
        deviceInfo_.interruptCallback = 0;
        deviceInfo_.interruptContext = 0;
    }
}

void tPCIDevice::reserveInterrupt(iPrimaryInterruptHandler* client, tStatus& status, uint32_t flags) {
    reserveInterruptThrough(client, &tPCIDevice::interruptTrampoline, flags, status);
}

void tPCIDevice::relinquishInterrupt() {
    if (_clientInterruptHandler == nullptr) {
        return;
    }
    nVOKAL100_relinquishInterrupt(
        deviceInfo_.interruptNumber,
        reinterpret_cast<nVOKAL_tInterruptHandler>(deviceInfo_.interruptCallback),
        reinterpret_cast<void*>(static_cast<uintptr_t>(deviceInfo_.interruptContext)));
    _clientInterruptHandler = nullptr;
}

tPrimaryLock* tPCIDevice::reserveInterruptWithPrimaryLock(iPrimaryInterruptHandler* client, tStatus& status,
                                                          uint32_t flags) {
    primaryLock_ = {nullptr, 0};
    if (status.isFatal()) {
        return nullptr;
    }
    primaryLock_.spinLock = nVOKAL100_createSpinLock();
    if (primaryLock_.spinLock == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return nullptr;
    }
    reserveInterruptThrough(client, &tPCIDevice::lockedInterruptTrampoline, flags, status);
    if (status.isFatal()) {
        nVOKAL100_destroySpinLock(primaryLock_.spinLock);
        primaryLock_ = {nullptr, 0};
        return nullptr;
    }
    return &primaryLock_;
}

void tPCIDevice::relinquishInterruptWithPrimaryLock(tPrimaryLock* lock) {
    if (lock == nullptr) {
        return;
    }
    relinquishInterrupt();
    if (lock->spinLock != nullptr) {
        nVOKAL100_destroySpinLock(lock->spinLock);
    }
    lock->spinLock = nullptr;
    lock->savedInterruptState = 0;
}

void tPCIDevice::onEnumeratedBridge(void* context, const nVOKAL_tPCIBridgeRecord* bridge) {
    auto& walk = *static_cast<tSlotPathWalk*>(context);
    if (walk.done || bridge == nullptr || bridge->domain != walk.domain) {
        return;
    }
    if (walk.highestBus != 0 && bridge->busNumber >= walk.highestBus) {
        ++walk.rootIndex; // a bridge above everything seen so far: the next root
    }
    if (walk.highestBus < bridge->subordinateBus) {
        walk.highestBus = static_cast<uint8_t>(bridge->subordinateBus);
    }
    if (walk.targetBus >= bridge->secondaryBus && walk.targetBus <= bridge->subordinateBus) {
        appendPathByte(walk, bridge->deviceNumber, bridge->functionNumber);
        if (walk.targetBus == bridge->secondaryBus) {
            walk.done = true;
        }
    }
}

void tPCIDevice::computeSlotPath(tStatus& status) {
    tSlotPathWalk walk;
    nVOKAL240_memSet(&walk, 0, sizeof(walk));
    const int32_t domain = nVOKAL240_getPCIDomain(deviceInfo_.pciHandle);
    walk.domain = static_cast<uint16_t>(domain < 0 ? 0 : domain);
    walk.targetBus = deviceInfo_.busNumber;
    // A failed walk leaves the path with the bridges reported so far.
    (void)nVOKAL100_enumeratePCIBuses(&tPCIDevice::onEnumeratedBridge, &walk);
    appendPathByte(walk, deviceInfo_.deviceNumber, deviceInfo_.functionNumber);

    slotPath_.clear();
    slotPath_.appendHex(walk.domain, 4);
    slotPath_.append(":");
    slotPath_.appendHex(walk.rootIndex, 2);
    for (uint32_t i = 0; i < walk.pathLength; ++i) {
        slotPath_.append(":");
        slotPath_.appendHex(walk.path[i], 2);
    }
    if (slotPath_.hasError()) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        slotPath_.clear(); // no partial path
    }
}

void tPCIDevice::initialize(const tEventDescriptor&, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    readPCIeLinkInfo(status);
}

void tPCIDevice::deinitialize() {}

void tPCIDevice::readPCIeLinkInfo(tStatus& status) {
    // The lookup keeps its own status: whatever stopped it (no capability, a
    // failed configuration read, an endless list) leaves a plain PCI function.
    tStatus lookup;
    const uint8_t capability = nVOAPAL200_pciFindCapability(kCapabilityIDPCIExpress, deviceInfo_, lookup);
    if (lookup.isFatal() || capability == 0) {
        return;
    }
    uint16_t value = 0;
    if (configRead16(deviceInfo_, capability + kPCIeLinkCapabilities, value, status)) {
        deviceInfo_.pcieMaxLinkSpeed = static_cast<uint8_t>(value & 0xF);
        deviceInfo_.pcieMaxLinkWidth = static_cast<uint8_t>((value >> 4) & 0x3F);
    } else {
        deviceInfo_.pcieMaxLinkSpeed = 0;
        deviceInfo_.pcieMaxLinkWidth = 0;
    }
    if (configRead16(deviceInfo_, capability + kPCIeLinkStatus, value, status)) {
        deviceInfo_.pcieLinkSpeed = static_cast<uint8_t>(value & 0xF);
        deviceInfo_.pcieLinkWidth = static_cast<uint8_t>((value >> 4) & 0x3F);
    } else {
        deviceInfo_.pcieLinkSpeed = 0;
        deviceInfo_.pcieLinkWidth = 0;
    }
}

void tPCIDevice::configureDMA(tDMAConfiguration::tDMAType dmaType, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (dmaType == kDMAType64Bit) {
        if (nVOKAL220_pciSetDMAMask(deviceInfo_.pciHandle, 0xFFFFFFFFFFFFFFFFULL) == 0) {
            dmaConfiguration().type = kDMAType64Bit;
            dmaConfiguration().deviceInfo = &deviceInfo_;
            return;
        }
        dmaType = kDMAType32Bit;
    }
    KELVO_SET_STATUS_FROM_KAL(status, nVOKAL220_pciSetDMAMask(deviceInfo_.pciHandle, 0xFFFFFFFFULL));
    if (status.isNotFatal()) {
        dmaConfiguration().type = dmaType;
        dmaConfiguration().deviceInfo = &deviceInfo_;
    }
}

void tPCIDevice::buildBusProperties() {
    struct tEntry {
        uint32_t record;
        const char* name;
    };
    static constexpr tEntry kNames[kPropertyRecords] = {
        {kRecBusType, "busType"},
        {kRecBusSubType, "busSubType"},
        {kRecBusNumber, "pciBusNumber"},
        {kRecDeviceNumber, "pciDeviceNumber"},
        {kRecFunctionNumber, "pciFunctionNumber"},
        {kRecVendorID, "pciVendorID"},
        {kRecDeviceID, "pciDeviceID"},
        {kRecSubsystemVendorID, "pciSubsystemVendorID"},
        {kRecSubsystemID, "pciSubsystemID"},
        {kRecRevision, "pciRevision"},
        {kRecNumaNode, "numaNode"},
        {kRecSlotPath, "pciSlotPath"},
        {kRecMaxLinkWidth, "pcieMaxLinkWidth"},
        {kRecLinkWidth, "pcieLinkWidth"},
        {kRecMaxTransferRate, "pcieMaxTransferRate"},
        {kRecTransferRate, "pcieTransferRate"},
    };
    const nVOAPAL200_tDeviceInfo& info = deviceInfo_;
    const bool express = info.pcieLinkWidth != 0;
    uint64_t values[kPropertyRecords] = {};
    values[kRecBusType] = kBusTypePCI;
    values[kRecBusSubType] = express ? kBusTypePCIe : kBusTypePCI;
    values[kRecBusNumber] = info.busNumber;
    values[kRecDeviceNumber] = info.deviceNumber;
    values[kRecFunctionNumber] = info.functionNumber;
    values[kRecVendorID] = info.vendorID;
    values[kRecDeviceID] = info.deviceID;
    values[kRecSubsystemVendorID] = info.subsystemVendorID;
    values[kRecSubsystemID] = info.subsystemID;
    values[kRecRevision] = info.revision;
    values[kRecNumaNode] = static_cast<uint32_t>(info.numaNode);
    values[kRecSlotPath] = reinterpret_cast<uintptr_t>(slotPath_.c_str());
    values[kRecMaxLinkWidth] = info.pcieMaxLinkWidth;
    values[kRecLinkWidth] = info.pcieLinkWidth;
    values[kRecMaxTransferRate] = info.pcieMaxLinkSpeed;
    values[kRecTransferRate] = info.pcieLinkSpeed;

    const uint32_t count = express ? 16 : 12;
    for (uint32_t i = 0; i <= kPropertyRecords; ++i) {
        busProperties_[i] = nullptr;
    }
    for (uint32_t i = 0; i < count; ++i) {
        tProperty& property = properties_[kNames[i].record];
        property.name = kNames[i].name;
        property.value = values[kNames[i].record];
        busProperties_[i] = &property;
    }
    busPropertyCount_ = count;
}

tProperty* const* tPCIDevice::getBusProperties() {
    return busProperties_;
}

void* tPCIDevice::mapMemoryWindow(uint8_t window, tStatus& status, uint32_t cachingFlag) {
    if (status.isFatal()) {
        return nullptr;
    }
    VOSDBG_ASSERT_CMP(window, <, deviceInfo_.numberOfMemoryWindows);
    const nVOAPAL200_tWindow& w = deviceInfo_.memoryWindows[window];
    void* address = nVOKAL230_mapPhysicalToKernel(w.base, w.size, cachingFlag == 1 ? 1 : 0);
    if (address == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
    }
    return address;
}

void tPCIDevice::unmapMemoryWindow(uint8_t, void* address, uint32_t cachingFlag) {
    if (address != nullptr) {
        nVOKAL230_unmapPhysicalFromKernel(address, cachingFlag == 1 ? 1 : 0);
    }
}

const nVOAPAL200_tWindow& tPCIDevice::memoryWindowRange(uint8_t window, uint64_t offset,
                                                        uint64_t size) const {
    VOSDBG_ASSERT_CMP(window, <, deviceInfo_.numberOfMemoryWindows);
    const nVOAPAL200_tWindow& w = deviceInfo_.memoryWindows[window];
    VOSDBG_ASSERT_MSG(offset <= w.size && size <= w.size - offset, "range outside the memory window");
    return w;
}

void tPCIDevice::mapMemoryWindowRange(uint8_t window, uint64_t offset, uint64_t size, tPhysicalKVAMap& map,
                                      tStatus& status, uint32_t cachingMode) {
    if (status.isFatal()) {
        return;
    }
    const nVOAPAL200_tWindow& w = memoryWindowRange(window, offset, size);
    VOSDBG_ASSERT_MSG(map._mapping == nullptr, "the map is still mapped");
    const uint32_t mode = (cachingMode == 1 || cachingMode == 2) ? cachingMode : 0;
    void* address = nVOKAL230_mapPhysicalToKernel(w.base + offset, size, mode);
    if (address == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    map._mapping = address;
    map.cachingMode = mode;
}

void tPCIDevice::mapMemoryWindowToUser(uint8_t window, uint64_t offset, uint64_t size, tUserMemoryMap& map,
                                       tStatus& status, uint32_t accessMode) {
    if (status.isFatal()) {
        return;
    }
    const nVOAPAL200_tWindow& w = memoryWindowRange(window, offset, size);
    map.mapPhysicalAddress(w.base + offset, size, accessMode, status);
}

uint64_t* tPCIDevice::mapIOWindow(uint8_t window, tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    VOSDBG_ASSERT_CMP(window, <, deviceInfo_.numberOfIOWindows);
    auto* holder = static_cast<uint64_t*>(nVOAPAL200_malloc(sizeof(uint64_t), &status));
    if (holder != nullptr) {
        *holder = deviceInfo_.ioWindows[window].base;
    }
    return holder;
}

void tPCIDevice::unmapIOWindow(uint64_t* holder) {
    freeKernelMemory(holder);
}

nVOAPAL200_tDeviceInfo* tPCIDevice::copyDeviceInfo(tStatus& status) {
    auto* copy =
        static_cast<nVOAPAL200_tDeviceInfo*>(nVOAPAL200_malloc(sizeof(nVOAPAL200_tDeviceInfo), &status));
    if (copy != nullptr) {
        nVOAPAL200_copyMemory(copy, &deviceInfo_, sizeof(nVOAPAL200_tDeviceInfo));
    }
    return copy;
}

void tPCIDevice::freeDeviceInfo(nVOAPAL200_tDeviceInfo* copy) {
    freeKernelMemory(copy);
}

void tPCIDevice::freeKernelMemory(void* block) {
    if (block != nullptr) {
        nVOKAL100_free(block);
    }
}

} // namespace kelvo_driver::nVOAPAL000

extern "C" uint8_t nVOAPAL200_pciFindCapability(uint8_t capabilityID,
                                                const nVOAPAL200_tDeviceInfo& deviceInfo,
                                                nVOAPALS100::tStatus& status) {
    using nVOAPALS100::tStatus;
    using namespace kelvo_driver::nVOAPAL000;
    if (status.isFatal()) {
        return 0;
    }
    VOSDBG_ASSERT(deviceInfo.busType == nVOAPAL200_kBusTypePCI);
    uint16_t statusRegister = 0;
    if (configRead16(deviceInfo, kConfigStatus, statusRegister, status) &&
        (statusRegister & kStatusCapabilityList) != 0) {
        uint8_t offset = 0;
        if (configRead8(deviceInfo, kConfigCapabilityPointer, offset, status)) {
            for (uint32_t steps = 0; offset != 0; ++steps) {
                if (steps == kCapabilityWalkLimit) {
                    KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
                    break;
                }
                uint16_t header = 0;
                if (!configRead16(deviceInfo, offset, header, status)) {
                    break;
                }
                if ((header & 0xFF) == capabilityID) {
                    return offset;
                }
                offset = static_cast<uint8_t>(header >> 8);
            }
        }
    }
    if (capabilityID != kCapabilityIDPCIExpress) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return 0;
    }
    return findPCIExpressFallback(deviceInfo, status);
}
