#include "regs/front_end_accessors.h"

namespace voquantasharedsource {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kNoData = 0xFFFFFFFFu;

// Words travel through byte buffers in little-endian order, as the bus carries them.
void storeWord(uint8_t* bytes, uint32_t word) {
    for (uint32_t k = 0; k < 4; ++k) {
        bytes[k] = static_cast<uint8_t>(word >> (8 * k));
    }
}

uint32_t loadWord(const uint8_t* bytes) {
    uint32_t word = 0;
    for (uint32_t k = 0; k < 4; ++k) {
        word |= static_cast<uint32_t>(bytes[k]) << (8 * k);
    }
    return word;
}

// Whether [offset, offset + size) lies inside a space of spaceSize bytes (overflow-safe).
bool inside(uint64_t offset, uint64_t size, uint64_t spaceSize) {
    return size <= spaceSize && offset <= spaceSize - size;
}

} // namespace

// ---- PCI memory space ------------------------------------------------------

void PCIMemorySpaceAccessorAdapter::write32(uint32_t offset, uint32_t value, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (memorySpace_ == nullptr || !memorySpace_->contains(offset, 4)) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return;
    }
    memorySpace_->write32(offset, value);
}

uint32_t PCIMemorySpaceAccessorAdapter::read32(uint32_t offset, tStatus& status) {
    if (status.isFatal()) {
        return kNoData;
    }
    if (memorySpace_ == nullptr || !memorySpace_->contains(offset, 4)) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return kNoData;
    }
    return memorySpace_->read32(offset);
}

// ---- per-channel forwarding ------------------------------------------------

void ChannelBasedFrontEndAccessor::write32(uint32_t offset, uint32_t value, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    accessor_->write32(channelOffset(offset), value, status);
}

uint32_t ChannelBasedFrontEndAccessor::read32(uint32_t offset, tStatus& status) {
    if (status.isFatal()) {
        return kNoData;
    }
    return accessor_->read32(channelOffset(offset), status);
}

// ---- "NisoFpgaWindow" --------------------------------------------------------

bool MemorySpaceAccessorToMemoryWindowAdapter::acceptable(uint64_t offsetInBytes, uint64_t sizeInBytes,
                                                          tStatus& status) const {
    if ((offsetInBytes % 4) != 0 || (sizeInBytes % 4) != 0 ||
        !inside(offsetInBytes, sizeInBytes, windowSize_) || memorySpace_ == nullptr ||
        !inside(offsetInBytes, sizeInBytes, memorySpace_->size())) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return false;
    }
    return true;
}

void MemorySpaceAccessorToMemoryWindowAdapter::read(uint64_t offsetInBytes, uint64_t sizeInBytes,
                                                    uint8_t* destination, tStatus& status) {
    if (status.isFatal() || !acceptable(offsetInBytes, sizeInBytes, status)) {
        return;
    }
    for (uint64_t done = 0; done < sizeInBytes; done += 4) {
        storeWord(destination + done, memorySpace_->read32(offsetInBytes + done));
    }
}

void MemorySpaceAccessorToMemoryWindowAdapter::write(const uint8_t* source, uint64_t offsetInBytes,
                                                     uint64_t sizeInBytes, tStatus& status) {
    if (status.isFatal() || !acceptable(offsetInBytes, sizeInBytes, status)) {
        return;
    }
    for (uint64_t done = 0; done < sizeInBytes; done += 4) {
        memorySpace_->write32(offsetInBytes + done, loadWord(source + done));
    }
}

// ---- "IsoFpgaWindow" -------------------------------------------------------

bool FrontEndAccessorToDeviceWindowAdapter::acceptable(uint64_t offsetInBytes, uint64_t sizeInBytes,
                                                       tStatus& status) const {
    // An unaligned offset would reach a register the caller did not name.
    if (sizeInBytes != 4 || (offsetInBytes % 4) != 0 || !inside(offsetInBytes, 4, windowSize_) ||
        offsetInBytes > 0xFFFFFFFCull || accessor_ == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return false;
    }
    return true;
}

void FrontEndAccessorToDeviceWindowAdapter::read(uint64_t offsetInBytes, uint64_t sizeInBytes,
                                                 uint8_t* destination, tStatus& status) {
    if (status.isFatal() || !acceptable(offsetInBytes, sizeInBytes, status)) {
        return;
    }
    const uint32_t word = accessor_->read32(static_cast<uint32_t>(offsetInBytes), status);
    if (status.isNotFatal()) {
        storeWord(destination, word);
    }
}

void FrontEndAccessorToDeviceWindowAdapter::write(const uint8_t* source, uint64_t offsetInBytes,
                                                  uint64_t sizeInBytes, tStatus& status) {
    if (status.isFatal() || !acceptable(offsetInBytes, sizeInBytes, status)) {
        return;
    }
    accessor_->write32(static_cast<uint32_t>(offsetInBytes), loadWord(source), status);
}

} // namespace voquantasharedsource
