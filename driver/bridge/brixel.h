// The bridge accessor and the bridge's vendor capabilities.
//
// tBrixel reads the bridge's registers over the mapped memory window 0,
// directly (space 1) or through the bridge's paged configuration-port window
// (space 4). The vendor capability walk finds a capability in the bridge's
// list; tGeographicAddress is the one this driver reads: the PXI geographic
// address (slot number).
//
// Typical use (the device object): map window 0, build a tBrixel over it, let
// a tVOCapabilityBrixelAccessor find the list head, getCapability with a
// tGeographicAddress, unmap.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

class tPCIDevice;

class tBrixel {
public:
    enum tSpace : uint32_t {
        kSpaceDirect = 1,
        kSpaceConfigPortWindow = 4,
    };

    // Registers of window 0 (0x0C, 0x10 and 0x14 are read through the window).
    static constexpr uint32_t kCapabilityDirectoryPointer = 0x0C;
    static constexpr uint32_t kCapabilityListHead0 = 0x10;
    static constexpr uint32_t kCapabilityListHead1 = 0x14;
    static constexpr uint32_t kCPWBSR = 0xC0;
    static constexpr uint32_t kConfigPortWindowPage = 0xE0;
    static constexpr uint32_t kCPWBSR_WSIZE_MASK = 31;
    static constexpr uint32_t kCPWBSR_ENABLE = 0x80;
    static constexpr uint32_t kConfigPortWindowSizeMinimum = 256;

    // Over a mapping of the device's memory window 0 (its whole size).
    tBrixel(tPCIDevice& device, void* mappedWindow0);

    // Space 1: direct. Space 4: reads CPWBSR, enables the window and restores
    // the current page. A window that does not lie inside window 0 (a dead
    // bridge reads all ones), has no base or is below 256 bytes: -52008.
    // Any other space: -52005. Nothing on a fatal status.
    void setSpace(tSpace space, nVOAPALS100::tStatus& status);
    // Reads in the current space (in space 4 switching the page as needed).
    uint32_t read32(uint32_t offset);
    uint16_t read16(uint32_t offset);
    uint8_t read8(uint32_t offset);
    // Whether width bytes at offset can be read in the current space.
    bool fits(uint32_t offset, uint32_t width) const;

    // Saves CPWBSR and the page register; restore writes both back and makes
    // the saved page the current one.
    void saveWindowRegisters();
    void restoreWindowRegisters();

    tPCIDevice& device() const { return *device_; }
    const tPCIMemorySpaceAccessor& accessor() const { return accessor_; }
    tSpace space() const { return space_; }
    uint32_t currentPage() const { return currentPage_; }
    uint32_t pageMask() const { return pageMask_; }
    uint32_t windowBase() const { return windowBase_; }
    uint32_t capabilityListHead() const { return capabilityListHead_; }
    void setCapabilityListHead(uint32_t head) { capabilityListHead_ = head; }

private:
    uint64_t translate(uint32_t offset);

    tPCIDevice* device_;
    tPCIMemorySpaceAccessor accessor_;
    tSpace space_ = kSpaceDirect;
    uint32_t savedCPWBSR_ = 0;
    uint32_t savedPage_ = 0;
    uint32_t windowBase_ = 0;
    uint32_t currentPage_ = 0;
    uint32_t pageMask_ = 0;
    uint32_t capabilityListHead_ = 0;
};

// A capability of the bridge's vendor list.
class tVOCapability : public tObject {
public:
    explicit tVOCapability(uint32_t startingOffset = 0) : startingOffset_(startingOffset) {}
    virtual ~tVOCapability() = default;
    virtual uint16_t getID() const = 0;
    // Reads the body at offset (the header's offset); nothing on a fatal status.
    virtual void readCapability(tBrixel& brixel, uint32_t offset, nVOAPALS100::tStatus& status) = 0;

    // Where the next walk starts: 0 at the list head, else after this offset.
    uint32_t startingOffset() const { return startingOffset_; }

protected:
    uint32_t startingOffset_;
};

// The PXI geographic address: body word +4 the register address, +8 the
// descriptor (bits 0-3 space, bits 8-10 width, bits 16-20 bit position).
class tGeographicAddress : public tVOCapability {
public:
    static constexpr uint16_t kID = 0x4741;
    static constexpr uint32_t kNoValue = 0xFFFFFFFF;

    uint16_t getID() const override { return kID; }
    void readCapability(tBrixel& brixel, uint32_t offset, nVOAPALS100::tStatus& status) override;
    // The 5-bit address, kNoValue until read.
    uint32_t value() const { return value_; }

private:
    uint32_t value_ = kNoValue;
};

// The walk over the bridge's vendor capability list.
class tVOCapabilityPCIAccessor : public tObject {
public:
    // A list longer than this is taken as corrupt (a circular list): -52008.
    static constexpr uint32_t kWalkLimit = 256;

    explicit tVOCapabilityPCIAccessor(tBrixel& brixel) : brixel_(brixel) {}
    virtual ~tVOCapabilityPCIAccessor() = default;

    // Finds the capability's ID in the list and lets it read its body.
    // Absent: -52006. Next-pointer mode 3: -52018. A relative next pointer of
    // 0 or an endless list: -52008. The bridge's window registers are left as
    // they were found.
    void getCapability(tVOCapability& capability, nVOAPALS100::tStatus& status);

protected:
    // The next offset of the header h found at offset.
    uint32_t _findNextOffset(uint32_t header, uint32_t offset, nVOAPALS100::tStatus& status);

    tBrixel& brixel_;
};

// The walk with the list head set up from the bridge's capability directory:
// a directory pointer or list head that is zero or not a multiple of 4 sets
// -52002. The window registers are written back in every case.
class tVOCapabilityBrixelAccessor : public tVOCapabilityPCIAccessor {
public:
    tVOCapabilityBrixelAccessor(tBrixel& brixel, nVOAPALS100::tStatus& status);
};

} // namespace kelvo_driver::nVOAPAL000
