#include "bridge/brixel.h"

#include "platform/pci_device.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

using nVOAPALS100::tStatus;

namespace {
constexpr uint32_t kNoOffset = 0xFFFFFFFF;

uint64_t window0Size(const tPCIDevice& device) {
    VOSDBG_ASSERT(device.deviceInfo().numberOfMemoryWindows >= 1);
    return device.deviceInfo().memoryWindows[0].size;
}
} // namespace

// ---- tBrixel ---------------------------------------------------------------

tBrixel::tBrixel(tPCIDevice& device, void* mappedWindow0)
    : device_(&device), accessor_(mappedWindow0, window0Size(device)) {}

void tBrixel::setSpace(tSpace space, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    switch (space) {
    case kSpaceDirect:
        windowBase_ = 0;
        space_ = kSpaceDirect;
        return;
    case kSpaceConfigPortWindow: {
        const uint32_t cpwbsr = accessor_.read32(kCPWBSR);
        const uint32_t base = cpwbsr & ~0xFFu;
        const uint32_t log2Size = cpwbsr & kCPWBSR_WSIZE_MASK;
        const uint64_t size = 1ULL << log2Size;
        // The window comes from the bridge: one that cannot be used (a dead
        // bridge reads all ones) is an error, not a reason to halt.
        if (base == 0 || size < kConfigPortWindowSizeMinimum || !accessor_.contains(base, size)) {
            KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
            return;
        }
        windowBase_ = base;
        pageMask_ = 0xFFFFFFFFu << log2Size;
        accessor_.write32(kCPWBSR, savedCPWBSR_ | kCPWBSR_ENABLE);
        accessor_.write32(kConfigPortWindowPage, currentPage_);
        space_ = kSpaceConfigPortWindow;
        return;
    }
    default:
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
}

uint64_t tBrixel::translate(uint32_t offset) {
    if (space_ == kSpaceConfigPortWindow) {
        const uint32_t page = offset & pageMask_;
        if (page != currentPage_) {
            accessor_.write32(kConfigPortWindowPage, page);
            currentPage_ = page;
        }
        offset &= ~pageMask_;
    }
    return static_cast<uint64_t>(windowBase_) + offset;
}

uint32_t tBrixel::read32(uint32_t offset) {
    return accessor_.read32(translate(offset));
}
uint16_t tBrixel::read16(uint32_t offset) {
    return accessor_.read16(translate(offset));
}
uint8_t tBrixel::read8(uint32_t offset) {
    return accessor_.read8(translate(offset));
}

bool tBrixel::fits(uint32_t offset, uint32_t width) const {
    if (space_ == kSpaceConfigPortWindow) {
        const uint64_t windowSize = static_cast<uint64_t>(~pageMask_) + 1;
        return (offset & ~pageMask_) + static_cast<uint64_t>(width) <= windowSize;
    }
    return accessor_.contains(static_cast<uint64_t>(windowBase_) + offset, width);
}

void tBrixel::saveWindowRegisters() {
    savedCPWBSR_ = accessor_.read32(kCPWBSR);
    savedPage_ = accessor_.read32(kConfigPortWindowPage);
}

void tBrixel::restoreWindowRegisters() {
    accessor_.write32(kCPWBSR, savedCPWBSR_);
    accessor_.write32(kConfigPortWindowPage, savedPage_);
    currentPage_ = savedPage_;
}

// ---- tGeographicAddress ----------------------------------------------------

void tGeographicAddress::readCapability(tBrixel& brixel, uint32_t offset, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint32_t registerAddress = brixel.read32(offset + 4);
    const uint32_t descriptor = brixel.read32(offset + 8);
    const uint32_t space = descriptor & 0xF;
    const uint32_t widthCode = (descriptor >> 8) & 0x7;
    const uint32_t bitPosition = (descriptor >> 16) & 0x1F;
    if (space != 0) {
        brixel.setSpace(static_cast<tBrixel::tSpace>(space), status);
        if (status.isNotFatal()) {
            const uint32_t width = widthCode == 1 ? 1 : widthCode == 2 ? 2 : 4;
            // The register address comes from the bridge: keep the read inside the window.
            if (!brixel.fits(registerAddress, width)) {
                KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
            } else {
                const uint32_t value = width == 1   ? brixel.read8(registerAddress)
                                       : width == 2 ? brixel.read16(registerAddress)
                                                    : brixel.read32(registerAddress);
                value_ = (value >> bitPosition) & 0x1F;
                brixel.setSpace(tBrixel::kSpaceConfigPortWindow, status);
            }
        }
    }
    startingOffset_ = offset;
}

// ---- the capability walk ---------------------------------------------------

uint32_t tVOCapabilityPCIAccessor::_findNextOffset(uint32_t header, uint32_t offset, tStatus& status) {
    uint32_t next = header & 0xFFFC;
    switch (header & 3) {
    case 0: // absolute
        break;
    case 1: // the upper half from the word before the header
        next |= brixel_.read32(offset - 4) & 0xFFFF0000u;
        break;
    case 2: // relative
        if (next == 0) {
            // Would point at itself: the list is corrupt.
            KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
            return 0;
        }
        next += offset;
        break;
    default:
        KELVO_SET_STATUS(status, tStatus::kUnsupportedFormat);
        return 0;
    }
    return next;
}

void tVOCapabilityPCIAccessor::getCapability(tVOCapability& capability, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    brixel_.saveWindowRegisters();
    brixel_.setSpace(tBrixel::kSpaceConfigPortWindow, status);
    const uint16_t wanted = capability.getID();

    bool found = false;
    uint32_t offset = kNoOffset;
    if (status.isNotFatal()) {
        const uint32_t start = capability.startingOffset();
        offset =
            start != 0 ? _findNextOffset(brixel_.read32(start), start, status) : brixel_.capabilityListHead();
        for (uint32_t steps = 0; status.isNotFatal() && offset != 0; ++steps) {
            if (steps == kWalkLimit) {
                KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
                break;
            }
            const uint32_t header = brixel_.read32(offset);
            const uint32_t next = _findNextOffset(header, offset, status);
            if (status.isFatal()) {
                break;
            }
            if ((header >> 16) == wanted) {
                found = true;
                break;
            }
            offset = next;
        }
        if (status.isFatal()) {
            offset = kNoOffset;
        }
    }
    if (found) {
        capability.readCapability(brixel_, offset, status);
    } else {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        capability.readCapability(brixel_, kNoOffset, status);
    }
    brixel_.restoreWindowRegisters();
}

tVOCapabilityBrixelAccessor::tVOCapabilityBrixelAccessor(tBrixel& brixel, tStatus& status)
    : tVOCapabilityPCIAccessor(brixel) {
    if (status.isFatal()) {
        return;
    }
    brixel_.saveWindowRegisters();
    brixel_.setSpace(tBrixel::kSpaceConfigPortWindow, status);
    if (status.isNotFatal()) {
        const uint32_t directory = brixel_.read32(tBrixel::kCapabilityDirectoryPointer);
        if (directory == 0 || directory % 4 != 0) {
            KELVO_SET_STATUS(status, tStatus::kNotImplemented);
        } else {
            const uint32_t selector = brixel_.read32(directory);
            const uint32_t head = brixel_.read32((selector & 1) != 0 ? tBrixel::kCapabilityListHead1
                                                                     : tBrixel::kCapabilityListHead0);
            if (head == 0 || head % 4 != 0) {
                KELVO_SET_STATUS(status, tStatus::kNotImplemented);
            } else {
                brixel_.setCapabilityListHead(head);
            }
        }
    }
    brixel_.restoreWindowRegisters();
}

} // namespace kelvo_driver::nVOAPAL000
