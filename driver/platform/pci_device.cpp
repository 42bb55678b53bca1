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
    : tDevice(&_deviceInfo.kernelDeviceHandle, status) {
    for (uint32_t i = 0; i < kPropertyRecords; ++i) {
        _properties[i].name = nullptr;
        _properties[i].typeCode = i < kRecNumaNode    ? kPropertyTypeUInt32
                                  : i == kRecNumaNode ? kPropertyTypeInt32
                                                      : kPropertyTypeString;
        _properties[i].kernelHandle = 0;
        _properties[i].value = 0;
    }
    for (tProperty*& entry : _busProperties) {
        entry = nullptr;
    }
    nVOAPAL200_copyMemory(&_deviceInfo, &deviceInfo, sizeof(_deviceInfo));
    _deviceInfo.owner = this;
    if (status.isNotFatal()) {
        computeSlotPath(status);
    }
}

tPCIDevice::~tPCIDevice() {
    // A client still connected would be called into a dead device.
    relinquishInterrupt();
    if (_primaryLock.spinLock != nullptr) {
        nVOKAL100_destroySpinLock(_primaryLock.spinLock);
        _primaryLock.spinLock = nullptr;
    }
}

// ---- interrupt reservation ------------------------------------------------------

uint8_t tPCIDevice::interruptTrampoline(void* context) {
    auto* device = static_cast<tPCIDevice*>(context);
    return device->_clientInterruptHandler->handleInterrupt() ? 1 : 0;
}

uint8_t tPCIDevice::lockedInterruptTrampoline(void* context) {
    auto* device = static_cast<tPCIDevice*>(context);
    tPrimaryLock& lock = device->_primaryLock;
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
    _deviceInfo.interruptCallback = reinterpret_cast<uintptr_t>(trampoline);
    _deviceInfo.interruptContext = reinterpret_cast<uintptr_t>(this);
    const nVOKAL_tStatus result =
        nVOKAL1400_reserveInterrupt(_deviceInfo.interruptNumber, trampoline, this, _deviceInfo.driverName,
                                    flags | NVOKAL_INTERRUPT_SHARED);
    KELVO_SET_STATUS_FROM_KAL(status, result);
    if (result != 0) {
        // Nothing was connected: keep no client, so that relinquish does not
        // release what was never reserved and a later reservation may succeed.
        _clientInterruptHandler = nullptr;
        _deviceInfo.interruptCallback = 0;
        _deviceInfo.interruptContext = 0;
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
        _deviceInfo.interruptNumber,
        reinterpret_cast<nVOKAL_tInterruptHandler>(_deviceInfo.interruptCallback),
        reinterpret_cast<void*>(static_cast<uintptr_t>(_deviceInfo.interruptContext)));
    _clientInterruptHandler = nullptr;
}

tPrimaryLock* tPCIDevice::reserveInterruptWithPrimaryLock(iPrimaryInterruptHandler* client, tStatus& status,
                                                          uint32_t flags) {
    _primaryLock = {nullptr, 0};
    if (status.isFatal()) {
        return nullptr;
    }
    _primaryLock.spinLock = nVOKAL100_createSpinLock();
    if (_primaryLock.spinLock == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return nullptr;
    }
    reserveInterruptThrough(client, &tPCIDevice::lockedInterruptTrampoline, flags, status);
    if (status.isFatal()) {
        nVOKAL100_destroySpinLock(_primaryLock.spinLock);
        _primaryLock = {nullptr, 0};
        return nullptr;
    }
    return &_primaryLock;
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
    const int32_t domain = nVOKAL240_getPCIDomain(_deviceInfo.pciHandle);
    walk.domain = static_cast<uint16_t>(domain < 0 ? 0 : domain);
    walk.targetBus = _deviceInfo.busNumber;
    // A failed walk leaves the path with the bridges reported so far.
    (void)nVOKAL100_enumeratePCIBuses(&tPCIDevice::onEnumeratedBridge, &walk);
    appendPathByte(walk, _deviceInfo.deviceNumber, _deviceInfo.functionNumber);

    _slotPath.clear();
    _slotPath.appendHex(walk.domain, 4);
    _slotPath.append(":");
    _slotPath.appendHex(walk.rootIndex, 2);
    for (uint32_t i = 0; i < walk.pathLength; ++i) {
        _slotPath.append(":");
        _slotPath.appendHex(walk.path[i], 2);
    }
    if (_slotPath.hasError()) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        _slotPath.clear(); // no partial path
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
    tStatus lookup;
    const uint8_t capability = nVOAPAL200_pciFindCapability(kCapabilityIDPCIExpress, _deviceInfo, lookup);
    if (lookup.isFatal()) {
        // Only an absent capability is tolerated; a failed or endless walk is reported.
        if (lookup.getCode() != tStatus::kNotAccessible) {
            status.merge(lookup);
        }
        return;
    }
    if (capability == 0) {
        return;
    }
    uint16_t value = 0;
    if (configRead16(_deviceInfo, capability + kPCIeLinkCapabilities, value, status)) {
        _deviceInfo.pcieMaxLinkSpeed = static_cast<uint8_t>(value & 0xF);
        _deviceInfo.pcieMaxLinkWidth = static_cast<uint8_t>((value >> 4) & 0x3F);
    } else {
        _deviceInfo.pcieMaxLinkSpeed = 0;
        _deviceInfo.pcieMaxLinkWidth = 0;
    }
    if (configRead16(_deviceInfo, capability + kPCIeLinkStatus, value, status)) {
        _deviceInfo.pcieLinkSpeed = static_cast<uint8_t>(value & 0xF);
        _deviceInfo.pcieLinkWidth = static_cast<uint8_t>((value >> 4) & 0x3F);
    } else {
        _deviceInfo.pcieLinkSpeed = 0;
        _deviceInfo.pcieLinkWidth = 0;
    }
}

void tPCIDevice::configureDMA(tDMAConfiguration::tDMAType dmaType, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (dmaType == kDMAType64Bit) {
        if (nVOKAL220_pciSetDMAMask(_deviceInfo.pciHandle, 0xFFFFFFFFFFFFFFFFULL) == 0) {
            dmaConfiguration().type = kDMAType64Bit;
            dmaConfiguration().deviceInfo = &_deviceInfo;
            return;
        }
        dmaType = kDMAType32Bit;
    }
    KELVO_SET_STATUS_FROM_KAL(status, nVOKAL220_pciSetDMAMask(_deviceInfo.pciHandle, 0xFFFFFFFFULL));
    if (status.isNotFatal()) {
        dmaConfiguration().type = dmaType;
        dmaConfiguration().deviceInfo = &_deviceInfo;
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
    const nVOAPAL200_tDeviceInfo& info = _deviceInfo;
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
    values[kRecSlotPath] = reinterpret_cast<uintptr_t>(_slotPath.c_str());
    values[kRecMaxLinkWidth] = info.pcieMaxLinkWidth;
    values[kRecLinkWidth] = info.pcieLinkWidth;
    values[kRecMaxTransferRate] = info.pcieMaxLinkSpeed;
    values[kRecTransferRate] = info.pcieLinkSpeed;

    const uint32_t count = express ? 16 : 12;
    for (uint32_t i = 0; i <= kPropertyRecords; ++i) {
        _busProperties[i] = nullptr;
    }
    for (uint32_t i = 0; i < count; ++i) {
        tProperty& property = _properties[kNames[i].record];
        property.name = kNames[i].name;
        property.value = values[kNames[i].record];
        _busProperties[i] = &property;
    }
    _busPropertyCount = count;
}

tProperty* const* tPCIDevice::getBusProperties() {
    return _busProperties;
}

void* tPCIDevice::mapMemoryWindow(uint8_t window, tStatus& status, uint32_t cachingFlag) {
    if (status.isFatal()) {
        return nullptr;
    }
    VOSDBG_ASSERT_CMP(window, <, _deviceInfo.numberOfMemoryWindows);
    const nVOAPAL200_tWindow& w = _deviceInfo.memoryWindows[window];
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

void tPCIDevice::mapMemoryWindowRange(uint8_t window, uint64_t offset, uint64_t size, tPhysicalKVAMap& map,
                                      tStatus& status, uint32_t cachingMode) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_CMP(window, <, _deviceInfo.numberOfMemoryWindows);
    const nVOAPAL200_tWindow& w = _deviceInfo.memoryWindows[window];
    VOSDBG_ASSERT_MSG(offset <= w.size && size <= w.size - offset, "range outside the memory window");
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

uint64_t* tPCIDevice::mapIOWindow(uint8_t window, tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    VOSDBG_ASSERT_CMP(window, <, _deviceInfo.numberOfIOWindows);
    auto* holder = static_cast<uint64_t*>(nVOAPAL200_malloc(sizeof(uint64_t), &status));
    if (holder != nullptr) {
        *holder = _deviceInfo.ioWindows[window].base;
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
        nVOAPAL200_copyMemory(copy, &_deviceInfo, sizeof(nVOAPAL200_tDeviceInfo));
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
