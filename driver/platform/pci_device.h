// The platform layer's PCI function: the device description, capability
// lookup and PCI Express link state, the slot path, the bus properties, the
// DMA mask and the mappings of the memory windows.
//
// tPCIDevice derives from the device core's tDevice, which reads the kernel
// layer's device handle from this device's copy of the description. It also
// reserves the device interrupt for exactly one client handler, optionally
// under a primary lock that the client can share with its deferred work.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/basicstring.h"
#include "platform/device.h"
#include "platform/device_info.h"
#include "platform/memory.h"
#include "platform/property.h"
#include "platform/status.h"
#include "platform/user_memory_map.h"

namespace kelvo_driver::nVOAPAL000 {

// A range of a memory window mapped into kernel space; unmapped by unmap or,
// at the latest, by its destructor.
class tPhysicalKVAMap : public tObject {
public:
    tPhysicalKVAMap() = default;
    ~tPhysicalKVAMap() { unmap(); }
    tPhysicalKVAMap(const tPhysicalKVAMap&) = delete;
    tPhysicalKVAMap& operator=(const tPhysicalKVAMap&) = delete;

    void unmap();
    void* mapping() const { return _mapping; }

    void* _mapping = nullptr;
    uint64_t cachingMode = 0;
};

// A client of the device interrupt: handleInterrupt runs at interrupt level
// and answers true when the interrupt came from its device.
class iPrimaryInterruptHandler : public tObject {
public:
    virtual ~iPrimaryInterruptHandler() = 0;
    virtual bool handleInterrupt() = 0;
};
inline iPrimaryInterruptHandler::~iPrimaryInterruptHandler() = default;

// The primary lock: an interrupt spin lock held around the client's
// handleInterrupt, with the interrupt state its acquisition saved.
struct tPrimaryLock {
    nVOKAL_tHandle spinLock;      // null when none
    uint64_t savedInterruptState; // valid while the lock is held
};

class tPCIDevice : public tDevice {
public:
    // DMA types (the device core's tDMAConfiguration::tDMAType).
    static constexpr tDMAConfiguration::tDMAType kDMATypeDisabled = tDMAConfiguration::kDMATypeDisabled;
    static constexpr tDMAConfiguration::tDMAType kDMAType32Bit = tDMAConfiguration::kDMAType32Bit;
    static constexpr tDMAConfiguration::tDMAType kDMAType64Bit = tDMAConfiguration::kDMAType64Bit;

    static constexpr uint32_t kPropertyRecords = 16;
    // "busType" and "busSubType" codes: " pci" and "pcie" read from the top byte.
    static constexpr uint32_t kBusTypePCI = 0x20706369;
    static constexpr uint32_t kBusTypePCIe = 0x70636965;

    // Copies the description, points its owner at this device and computes
    // the slot path (-52000 when its text cannot grow).
    tPCIDevice(const nVOAPAL200_tDeviceInfo& deviceInfo, nVOAPALS100::tStatus& status);
    ~tPCIDevice() override;
    tPCIDevice(const tPCIDevice&) = delete;
    tPCIDevice& operator=(const tPCIDevice&) = delete;

    // Reads the PCI Express link fields into the description. The capability
    // is looked up with a status of its own: a function without it, or whose
    // capability list cannot be walked, keeps the fields at 0 and is no error.
    // A failed read of the link words is -52008 (and that pair stays 0).
    void initialize(const tEventDescriptor& descriptor, nVOAPALS100::tStatus& status) override;
    void deinitialize() override;
    // Sets the DMA mask: 64 bits for kDMAType64Bit when the system allows it,
    // else 32 bits (and type 1 for a refused 64-bit request).
    void configureDMA(tDMAConfiguration::tDMAType dmaType, nVOAPALS100::tStatus& status) override;
    // Fills the bus property records and their list: 12 entries, 16 for a
    // PCI Express function (non-zero current link width).
    void buildBusProperties() override;
    // The null-terminated list built by buildBusProperties.
    tProperty* const* getBusProperties() override;

    // Connects the device interrupt to client (one client at a time: an
    // invariant). Nothing on a fatal status. The kernel layer's refusal is
    // translated, and the device then holds no client.
    virtual void reserveInterrupt(iPrimaryInterruptHandler* client, nVOAPALS100::tStatus& status,
                                  uint32_t flags);
    // Disconnects the client, when there is one: when it returns, no
    // handleInterrupt call runs or follows.
    virtual void relinquishInterrupt();
    // The same with the primary lock held around every handleInterrupt call.
    // Returns the lock, or null (no spin lock: -52000; or the reservation's code).
    virtual tPrimaryLock* reserveInterruptWithPrimaryLock(iPrimaryInterruptHandler* client,
                                                          nVOAPALS100::tStatus& status, uint32_t flags);
    // Relinquishes and destroys the lock (nothing for null).
    virtual void relinquishInterruptWithPrimaryLock(tPrimaryLock* lock);

    // The kernel layer's interrupt callbacks (context: the device).
    static uint8_t interruptTrampoline(void* context);
    static uint8_t lockedInterruptTrampoline(void* context);

    // Maps a whole memory window; null (and -52000) when the kernel layer refuses.
    // cachingFlag 1 maps with caching mode 1, anything else with 0.
    void* mapMemoryWindow(uint8_t window, nVOAPALS100::tStatus& status, uint32_t cachingFlag);
    void unmapMemoryWindow(uint8_t window, void* address, uint32_t cachingFlag);
    // Maps [offset, offset + size) of a memory window into map (which must be
    // unmapped); caching modes 1 and 2 pass through, others become 0.
    void mapMemoryWindowRange(uint8_t window, uint64_t offset, uint64_t size, tPhysicalKVAMap& map,
                              nVOAPALS100::tStatus& status, uint32_t cachingMode);
    // Maps [offset, offset + size) of a memory window into a user memory map:
    // ceil(size / page size) pages from the window's base + offset, cacheable
    // when accessMode is 1. A start that is not page-aligned is -52005; the
    // kernel layer's refusal becomes its platform code.
    void mapMemoryWindowToUser(uint8_t window, uint64_t offset, uint64_t size, tUserMemoryMap& map,
                               nVOAPALS100::tStatus& status, uint32_t accessMode);
    // A heap holder of an I/O window's base; freed with unmapIOWindow.
    uint64_t* mapIOWindow(uint8_t window, nVOAPALS100::tStatus& status);
    void unmapIOWindow(uint64_t* holder);
    // A heap copy of the description; freed with freeDeviceInfo.
    nVOAPAL200_tDeviceInfo* copyDeviceInfo(nVOAPALS100::tStatus& status);
    void freeDeviceInfo(nVOAPAL200_tDeviceInfo* copy);
    static void freeKernelMemory(void* block);

    const nVOAPAL200_tDeviceInfo& deviceInfo() const { return deviceInfo_; }
    // The slot path text ("" when it could not be made).
    const char* slotPath() const { return slotPath_.c_str(); }
    uint32_t busPropertyCount() const { return busPropertyCount_; }
    uint32_t dmaType() const { return getDMAConfiguration().type; }
    const nVOAPAL200_tDeviceInfo* dmaDeviceInfo() const {
        return static_cast<const nVOAPAL200_tDeviceInfo*>(getDMAConfiguration().deviceInfo);
    }

    // Bus walk callback of computeSlotPath (context: the walk's state).
    static void onEnumeratedBridge(void* context, const nVOKAL_tPCIBridgeRecord* bridge);

    iPrimaryInterruptHandler* clientInterruptHandler() const { return _clientInterruptHandler; }

protected:
    void computeSlotPath(nVOAPALS100::tStatus& status);
    void readPCIeLinkInfo(nVOAPALS100::tStatus& status);
    void reserveInterruptThrough(iPrimaryInterruptHandler* client, nVOKAL_tInterruptHandler trampoline,
                                 uint32_t flags, nVOAPALS100::tStatus& status);

private:
    // The memory window of that index, halting when it or the range
    // [offset, offset + size) lies outside the device's windows.
    const nVOAPAL200_tWindow& memoryWindowRange(uint8_t window, uint64_t offset, uint64_t size) const;

    nVOAPAL200_tDeviceInfo deviceInfo_;
    tProperty properties_[kPropertyRecords];
    tProperty* busProperties_[kPropertyRecords + 1];
    uint32_t busPropertyCount_ = 0;
    tPrimaryLock primaryLock_ = {nullptr, 0};
    iPrimaryInterruptHandler* _clientInterruptHandler = nullptr;
    tBasicString slotPath_;
};

} // namespace kelvo_driver::nVOAPAL000

extern "C" {
// The configuration offset of a PCI capability, 0 when absent (-52006; for the
// PCI Express capability after one more place has been tried). A failed
// configuration access sets -52008; so does a list that does not end within
// 48 capabilities.
uint8_t nVOAPAL200_pciFindCapability(uint8_t capabilityID, const nVOAPAL200_tDeviceInfo& deviceInfo,
                                     nVOAPALS100::tStatus& status);
}
