#include "platform/brixel_interrupts.h"

namespace kelvo_driver::nVOAPAL000 {

tBrixelInterruptManager::tBrixelInterruptManager(const tPCIMemorySpaceAccessor* window0, bool msi)
    : window0_(window0), msi_(msi) {
    VOSDBG_ASSERT(window0 != nullptr);
    reactivate();
}

tBrixelInterruptManager::~tBrixelInterruptManager() {
    window0_->write32(kInterruptControl, kControlOff);
}

void tBrixelInterruptManager::deactivate() {
    window0_->write32(kInterruptControl, kControlOff);
}

void tBrixelInterruptManager::reactivate() {
    window0_->write32(kInterruptControl, kControlOn);
}

bool tBrixelInterruptManager::isInterruptPending() {
    if (msi_) {
        return true;
    }
    const uint32_t status = window0_->read32(kInterruptStatus);
    return status != 0 && status != 0xFFFFFFFF;
}

void tBrixelInterruptManager::configure(uint32_t value) {
    window0_->write32(kInterruptControl, value);
}

uint32_t tBrixelInterruptManager::dequeueInterrupt() {
    const uint32_t word = window0_->read32(kInterruptQueue);
    return word == 0xFFFFFFFF ? 0 : word;
}

void tBrixelInterruptManager::rearm() {
    window0_->write32(kInterruptControl, kControlArm);
}

tBrixelDMAChannel::tBrixelDMAChannel(const tPCIMemorySpaceAccessor* window0, uint64_t blockBase,
                                     uint64_t blockSize)
    : window0_(window0), blockBase_(blockBase), blockSize_(blockSize) {
    VOSDBG_ASSERT(window0 != nullptr);
}

void tBrixelDMAChannel::deactivate() {
    VOSDBG_ASSERT_CMP(blockSize_, >=, kMinimumBlockSize);
    window0_->write32(blockBase_ + kOperation, kOperationStop);
}

void tBrixelDMAChannel::reactivate() {
    reset();
}

void tBrixelDMAChannel::reset() {
    VOSDBG_ASSERT_CMP(blockSize_, >=, kMinimumBlockSize);
    window0_->write32(blockBase_ + kInterruptEnable, 1);
    window0_->write32(blockBase_ + kOperation, kOperationStop);
    window0_->write32(blockBase_ + kInterruptEnable, 2);
    cachedInterruptEnable_ = 0;
    transferInProgress_ = false;
}

} // namespace kelvo_driver::nVOAPAL000
