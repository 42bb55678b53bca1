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
    : _device(&device), _accessor(mappedWindow0, window0Size(device)) {}

void tBrixel::setSpace(tSpace space, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    switch (space) {
    case kSpaceDirect:
        _windowBase = 0;
        _space = kSpaceDirect;
        return;
    case kSpaceConfigPortWindow: {
        const uint32_t cpwbsr = _accessor.read32(kCPWBSR);
        const uint32_t base = cpwbsr & ~0xFFu;
        const uint32_t log2Size = cpwbsr & kCPWBSR_WSIZE_MASK;
        const uint64_t size = 1ULL << log2Size;
        // The window comes from the bridge: one that cannot be used (a dead
        // bridge reads all ones) is an error, not a reason to halt.
        if (base == 0 || size < kConfigPortWindowSizeMinimum || !_accessor.contains(base, size)) {
            KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
            return;
        }
        _windowBase = base;
        _pageMask = 0xFFFFFFFFu << log2Size;
        _accessor.write32(kCPWBSR, _savedCPWBSR | kCPWBSR_ENABLE);
        _accessor.write32(kConfigPortWindowPage, _currentPage);
        _space = kSpaceConfigPortWindow;
        return;
    }
    default:
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
}

uint64_t tBrixel::translate(uint32_t offset) {
    if (_space == kSpaceConfigPortWindow) {
        const uint32_t page = offset & _pageMask;
        if (page != _currentPage) {
            _accessor.write32(kConfigPortWindowPage, page);
            _currentPage = page;
        }
        offset &= ~_pageMask;
    }
    return static_cast<uint64_t>(_windowBase) + offset;
}

uint32_t tBrixel::read32(uint32_t offset) {
    return _accessor.read32(translate(offset));
}
uint16_t tBrixel::read16(uint32_t offset) {
    return _accessor.read16(translate(offset));
}
uint8_t tBrixel::read8(uint32_t offset) {
    return _accessor.read8(translate(offset));
}

bool tBrixel::fits(uint32_t offset, uint32_t width) const {
    if (_space == kSpaceConfigPortWindow) {
        const uint64_t windowSize = static_cast<uint64_t>(~_pageMask) + 1;
        return (offset & ~_pageMask) + static_cast<uint64_t>(width) <= windowSize;
    }
    return _accessor.contains(static_cast<uint64_t>(_windowBase) + offset, width);
}

void tBrixel::saveWindowRegisters() {
    _savedCPWBSR = _accessor.read32(kCPWBSR);
    _savedPage = _accessor.read32(kConfigPortWindowPage);
}

void tBrixel::restoreWindowRegisters() {
    _accessor.write32(kCPWBSR, _savedCPWBSR);
    _accessor.write32(kConfigPortWindowPage, _savedPage);
    _currentPage = _savedPage;
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
                _value = (value >> bitPosition) & 0x1F;
                brixel.setSpace(tBrixel::kSpaceConfigPortWindow, status);
            }
        }
    }
    _startingOffset = offset;
}

// ---- the capability walk ---------------------------------------------------

uint32_t tVOCapabilityPCIAccessor::_findNextOffset(uint32_t header, uint32_t offset, tStatus& status) {
    uint32_t next = header & 0xFFFC;
    switch (header & 3) {
    case 0: // absolute
        break;
    case 1: // the upper half from the word before the header
        next |= _brixel.read32(offset - 4) & 0xFFFF0000u;
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
    _brixel.saveWindowRegisters();
    _brixel.setSpace(tBrixel::kSpaceConfigPortWindow, status);
    const uint16_t wanted = capability.getID();

    bool found = false;
    uint32_t offset = kNoOffset;
    if (status.isNotFatal()) {
        const uint32_t start = capability.startingOffset();
        offset =
            start != 0 ? _findNextOffset(_brixel.read32(start), start, status) : _brixel.capabilityListHead();
        for (uint32_t steps = 0; status.isNotFatal() && offset != 0; ++steps) {
            if (steps == kWalkLimit) {
                KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
                break;
            }
            const uint32_t header = _brixel.read32(offset);
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
        capability.readCapability(_brixel, offset, status);
    } else {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        capability.readCapability(_brixel, kNoOffset, status);
    }
    _brixel.restoreWindowRegisters();
}

tVOCapabilityBrixelAccessor::tVOCapabilityBrixelAccessor(tBrixel& brixel, tStatus& status)
    : tVOCapabilityPCIAccessor(brixel) {
    if (status.isFatal()) {
        return;
    }
    _brixel.saveWindowRegisters();
    _brixel.setSpace(tBrixel::kSpaceConfigPortWindow, status);
    if (status.isNotFatal()) {
        const uint32_t directory = _brixel.read32(tBrixel::kCapabilityDirectoryPointer);
        if (directory == 0 || directory % 4 != 0) {
            KELVO_SET_STATUS(status, tStatus::kNotImplemented);
        } else {
            const uint32_t selector = _brixel.read32(directory);
            const uint32_t head = _brixel.read32((selector & 1) != 0 ? tBrixel::kCapabilityListHead1
                                                                     : tBrixel::kCapabilityListHead0);
            if (head == 0 || head % 4 != 0) {
                KELVO_SET_STATUS(status, tStatus::kNotImplemented);
            } else {
                _brixel.setCapabilityListHead(head);
            }
        }
    }
    _brixel.restoreWindowRegisters();
}

} // namespace kelvo_driver::nVOAPAL000
