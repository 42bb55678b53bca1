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

} // namespace kelvo_driver::nVOAPAL000
