#include "platform/brixel_interrupts.h"

#include "nVOKAL.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {
using InterruptMask = brixel_core::InterruptMask;
using InterruptStatus = brixel_core::InterruptStatus;
using InterruptQueue = brixel_core::InterruptQueue;
using PushControl = brixel_core::PushControl;
using PushAddress = brixel_core::PushAddress;
using PushRegisters = brixel_core::PushRegisters;
} // namespace

tBrixelInterruptManager::tBrixelInterruptManager(const tPCIMemorySpaceAccessor* window0, bool msi)
    : window0_(window0), msi_(msi) {
    VOSDBG_ASSERT(window0 != nullptr);
}

tBrixelInterruptManager::~tBrixelInterruptManager() {
    window0_->write32(InterruptMask::kOffset, InterruptMask::kOff);
}

void tBrixelInterruptManager::deactivate() {
    window0_->write32(InterruptMask::kOffset, InterruptMask::kOff);
}

void tBrixelInterruptManager::reactivate() {
    window0_->write32(InterruptMask::kOffset, InterruptMask::kDefault);
}

bool tBrixelInterruptManager::acknowledgeInterrupt() {
    if (msi_) {
        return true;
    }
    const uint32_t status = window0_->read32(InterruptStatus::kOffset);
    if ((status & InterruptStatus::kPending) == 0 || status == 0xFFFFFFFFu) {
        return false;
    }
    window0_->write32(InterruptMask::kOffset, InterruptMask::kOff);
    return true;
}

void tBrixelInterruptManager::enableInterrupts(uint32_t options) {
    // The word holds exactly one bit of each pair; an option word of 0 (the
    // default settings, output off) selects no setting.
    const bool any = options != 0;
    uint32_t word = any ? InterruptMask::kOutputOn : InterruptMask::kOutputOff;
    word |= any && (options & kOption24) != 0 ? InterruptMask::kOption24Set : InterruptMask::kOption24Clear;
    word |= (options & kOption25) != 0 ? InterruptMask::kOption25Set : InterruptMask::kOption25Clear;
    word |= (options & kOption11) != 0 ? InterruptMask::kOption11Set : InterruptMask::kOption11Clear;
    word |= any && (options & kOption9) != 0 ? InterruptMask::kOption9Set : InterruptMask::kOption9Clear;
    window0_->write32(InterruptMask::kOffset, word);
}

uint32_t tBrixelInterruptManager::dequeueInterrupt() {
    const uint32_t word = window0_->read32(InterruptQueue::kOffset);
    return word == 0xFFFFFFFF ? 0 : word;
}

void tBrixelInterruptManager::rearmInterrupt() {
    if (!msi_) {
        window0_->write32(InterruptMask::kOffset, InterruptMask::kArm);
    }
}

// ---- tBrixelInterruptManagerISP ---------------------------------------------------

tBrixelInterruptManagerISP::tBrixelInterruptManagerISP(const tPCIMemorySpaceAccessor* window0,
                                                       const tDMAConfiguration& configuration,
                                                       uint32_t bridgeQuadwords,
                                                       uint32_t applicationQuadwords, bool msi,
                                                       nVOAPALS100::tStatus& status)
    : tBrixelInterruptManager(window0, msi), configuration_(configuration) {
    if (status.isFatal()) {
        return;
    }
    if (bridgeQuadwords < 1 || bridgeQuadwords > kMaxQuadwords || applicationQuadwords < 1 ||
        applicationQuadwords > kMaxQuadwords) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return;
    }
    bridgeQuadwords_ = bridgeQuadwords;
    areaQuadwords_ = bridgeQuadwords + applicationQuadwords;
    window0->write32(InterruptMask::kOffset, InterruptMask::kDefault);
    const uint64_t bytes = uint64_t{areaQuadwords_} * 8;
    configuration.allocateDMABuffer(area_, bytes, 0, status, 8);
    if (status.isFatal()) {
        return;
    }
    const uint64_t page = nVOKAL100_getPageSize();
    void* mapping = nVOKAL220_tPageList_mapToKernel(area_.handle, 0, (area_.size + page - 1) / page, page);
    if (mapping == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
        return;
    }
    area_.kernelMapping = reinterpret_cast<uintptr_t>(mapping);
    nVOKAL240_memSet(mapping, 0, bytes);
    map_ = new (status, false) tStandardDMAMap(configuration, status);
    if (map_ == nullptr) {
        return;
    }
    map_->load(area_, 0, bytes, tDMAMapCore::kDeviceToHost, status);
    if (status.isFatal()) {
        return;
    }
    map_->resetSGLIterator();
    busAddress_ = map_->nextSGLSegment().address;
    startPushing();
}

tBrixelInterruptManagerISP::~tBrixelInterruptManagerISP() {
    if (pushable()) {
        window0().write32(PushControl::kOffset, 0); // before the area goes
        map_->unload();
    }
    deleteObject(map_);
    area_.unmapFromKernel();
    configuration_.freeDMABuffer(area_);
}

void tBrixelInterruptManagerISP::startPushing() {
    const tPCIMemorySpaceAccessor& window = window0();
    window.write32(PushControl::kOffset, 0);
    for (uint32_t i = 0; i < PushRegisters::kCount; ++i) {
        window.write64(PushRegisters::kOffset + PushRegisters::kStride * i, 0);
    }
    window.write64(PushAddress::kOffset, busAddress_);
    window.write32(PushControl::kOffset, (ringEntries() << PushControl::kRingEntriesShift) |
                                             PushControl::kPushingOn | areaQuadwords_);
    window.write32(InterruptMask::kOffset, InterruptMask::kPushing);
}

void tBrixelInterruptManagerISP::deactivate() {
    window0().write32(InterruptMask::kOffset, InterruptMask::kOff);
    window0().write32(PushControl::kOffset, 0);
}

void tBrixelInterruptManagerISP::reactivate() {
    window0().write32(InterruptMask::kOffset, InterruptMask::kDefault);
    if (pushable()) {
        startPushing();
    }
}

bool tBrixelInterruptManagerISP::acknowledgeInterrupt() {
    if (isMessageSignalled()) {
        return true;
    }
    const uint32_t mask = window0().read32(InterruptMask::kOffset);
    if ((mask & InterruptMask::kOutputOn) == 0 || (mask & InterruptMask::kPushing) != 0) {
        return false;
    }
    window0().write32(InterruptMask::kOffset, InterruptMask::kOff);
    return true;
}

uint32_t tBrixelInterruptManagerISP::dequeueInterrupt() {
    if (!pushable() || readPosition_ >= ringEntries()) {
        return 0;
    }
    if (readPosition_ == 0) {
        map_->completeDMA(tDMAMapCore::kAllBytes);
    }
    const auto* ring =
        reinterpret_cast<const volatile uint32_t*>(static_cast<uintptr_t>(area_.kernelMapping));
    return ring[readPosition_++];
}

void tBrixelInterruptManagerISP::rearmInterrupt() {
    if (pushable()) {
        *reinterpret_cast<volatile uint32_t*>(static_cast<uintptr_t>(area_.kernelMapping)) = 0;
    }
    readPosition_ = 0;
    window0().write32(InterruptMask::kOffset, InterruptMask::kArmPushing);
}

} // namespace kelvo_driver::nVOAPAL000
