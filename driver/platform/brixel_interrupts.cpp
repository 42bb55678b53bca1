#include "platform/brixel_interrupts.h"

namespace kelvo_driver::nVOAPAL000 {

tBrixelInterruptManager::tBrixelInterruptManager(const tPCIMemorySpaceAccessor* window0, bool msi)
    : window0_(window0), msi_(msi) {
    VOSDBG_ASSERT(window0 != nullptr);
}

tBrixelInterruptManager::~tBrixelInterruptManager() {
    window0_->write32(kInterruptMask, kMaskOff);
}

void tBrixelInterruptManager::deactivate() {
    window0_->write32(kInterruptMask, kMaskOff);
}

void tBrixelInterruptManager::reactivate() {
    window0_->write32(kInterruptMask, kMaskDefault);
}

bool tBrixelInterruptManager::acknowledgeInterrupt() {
    if (msi_) {
        return true;
    }
    const uint32_t status = window0_->read32(kInterruptStatus);
    if ((status & 0x80000000u) == 0 || status == 0xFFFFFFFFu) {
        return false;
    }
    window0_->write32(kInterruptMask, kMaskOff);
    return true;
}

void tBrixelInterruptManager::enableInterrupts(uint32_t options) {
    const bool any = options != 0;
    uint32_t word = any ? (1u << 31) : (1u << 30);
    word |= any && (options & 0x1000000u) != 0 ? (1u << 29) : (1u << 28);
    word |= (options & 0x2000000u) != 0 ? (1u << 27) : (1u << 26);
    word |= (options & 0x800u) != 0 ? (1u << 11) : (1u << 10);
    word |= any && (options & 0x200u) != 0 ? (1u << 9) : (1u << 8);
    window0_->write32(kInterruptMask, word);
}

uint32_t tBrixelInterruptManager::dequeueInterrupt() {
    const uint32_t word = window0_->read32(kInterruptQueue);
    return word == 0xFFFFFFFF ? 0 : word;
}

void tBrixelInterruptManager::rearmInterrupt() {
    if (!msi_) {
        window0_->write32(kInterruptMask, kMaskArm);
    }
}

} // namespace kelvo_driver::nVOAPAL000
