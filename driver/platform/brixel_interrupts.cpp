#include "platform/brixel_interrupts.h"

namespace kelvo_driver::nVOAPAL000 {

tBrixelInterruptManager::tBrixelInterruptManager(const tPCIMemorySpaceAccessor* window0, bool msi)
    : _window0(window0), _msi(msi) {
    VOSDBG_ASSERT(window0 != nullptr);
    reactivate();
}

tBrixelInterruptManager::~tBrixelInterruptManager() {
    _window0->write32(kInterruptControl, kControlOff);
}

void tBrixelInterruptManager::deactivate() {
    _window0->write32(kInterruptControl, kControlOff);
}

void tBrixelInterruptManager::reactivate() {
    _window0->write32(kInterruptControl, kControlOn);
}

bool tBrixelInterruptManager::isInterruptPending() {
    if (_msi) {
        return true;
    }
    const uint32_t status = _window0->read32(kInterruptStatus);
    return status != 0 && status != 0xFFFFFFFF;
}

void tBrixelInterruptManager::configure(uint32_t value) {
    _window0->write32(kInterruptControl, value);
}

uint32_t tBrixelInterruptManager::dequeueInterrupt() {
    const uint32_t word = _window0->read32(kInterruptQueue);
    return word == 0xFFFFFFFF ? 0 : word;
}

void tBrixelInterruptManager::rearm() {
    _window0->write32(kInterruptControl, kControlArm);
}

tBrixelDMAChannel::tBrixelDMAChannel(const tPCIMemorySpaceAccessor* window0, uint64_t blockBase,
                                     uint64_t blockSize)
    : _window0(window0), _blockBase(blockBase), _blockSize(blockSize) {
    VOSDBG_ASSERT(window0 != nullptr);
}

void tBrixelDMAChannel::deactivate() {
    VOSDBG_ASSERT_CMP(_blockSize, >=, kMinimumBlockSize);
    _window0->write32(_blockBase + kOperation, kOperationStop);
}

void tBrixelDMAChannel::reactivate() {
    reset();
}

void tBrixelDMAChannel::reset() {
    VOSDBG_ASSERT_CMP(_blockSize, >=, kMinimumBlockSize);
    _window0->write32(_blockBase + kInterruptEnable, 1);
    _window0->write32(_blockBase + kOperation, kOperationStop);
    _window0->write32(_blockBase + kInterruptEnable, 2);
    _cachedInterruptEnable = 0;
    _transferInProgress = false;
}

} // namespace kelvo_driver::nVOAPAL000
