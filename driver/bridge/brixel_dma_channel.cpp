#include "bridge/brixel_dma_channel.h"

#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {
using ChannelControl = dma_channel::ChannelControl;
using ChannelOperation = dma_channel::ChannelOperation;
// ChannelControl's LinkMode of appendable links.
constexpr uint32_t kLinkModeAppendable = 0x3;
} // namespace

void tBrixelDMAChannel::locateRegisters(const tBridgeWindow& window, uint32_t channelNumber,
                                        uint64_t& blockAddress, uint64_t& blockSize) {
    nVOAPALS100::tStatus status;
    const bool inside = locateRegisters(window, channelNumber, blockAddress, blockSize, status);
    VOSDBG_ASSERT(channelNumber <= kMaxChannelNumber);
    VOSDBG_ASSERT(inside);
}

bool tBrixelDMAChannel::locateRegisters(const tBridgeWindow& window, uint32_t channelNumber,
                                        uint64_t& blockAddress, uint64_t& blockSize,
                                        nVOAPALS100::tStatus& status) {
    blockAddress = 0;
    blockSize = 0;
    const tPCIMemorySpaceAccessorDebug<false> bridge(window.base, window.size);
    const uint32_t shift =
        (bridge.read32(brixel_core::COREDR::kOffset) & brixel_core::COREDR::kChannelStrideLog2) >>
        brixel_core::COREDR::kChannelStrideLog2Shift;
    const uint64_t size = uint64_t{1} << shift;
    // In 64 bits: an all-ones base must not wrap back into the window.
    const uint64_t offset = (uint64_t{channelNumber} << shift) + bridge.read32(brixel_core::DMABASE::kOffset);
    if (channelNumber > kMaxChannelNumber || size > window.size || offset > window.size - size) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible);
        return false;
    }
    blockSize = size;
    blockAddress = window.base + offset;
    return true;
}

tBrixelDMAChannel::tBrixelDMAChannel(const tBridgeWindow& window, uint32_t channelNumber)
    : channelNumber_(channelNumber) {
    uint64_t address = 0;
    uint64_t size = 0;
    locateRegisters(window, channelNumber, address, size);
    block_ = tPCIMemorySpaceAccessorDebug<false>(address, size);
    reset();
}

tBrixelDMAChannel::tBrixelDMAChannel(const tBridgeWindow& window, uint32_t channelNumber,
                                     nVOAPALS100::tStatus& status)
    : channelNumber_(channelNumber) {
    uint64_t address = 0;
    uint64_t size = 0;
    if (status.isFatal() || !locateRegisters(window, channelNumber, address, size, status)) {
        return;
    }
    block_ = tPCIMemorySpaceAccessorDebug<false>(address, size);
    reset();
}

tBrixelDMAChannel::tBrixelDMAChannel(uint64_t registerBase, uint64_t blockSize, uint32_t channelNumber)
    : block_(registerBase, blockSize), channelNumber_(channelNumber) {
    reset();
}

void tBrixelDMAChannel::rebind(uint64_t registerBase, uint64_t blockSize) {
    block_ = tPCIMemorySpaceAccessorDebug<false>(registerBase, blockSize);
    reset();
}

tBrixelDMAChannel::~tBrixelDMAChannel() {
    VOSDBG_ASSERT_MSG(!isTransferInProgress(), "a DMA channel is destroyed while it transfers");
    VOSDBG_ASSERT_MSG(enabledInterrupts() == 0, "a DMA channel is destroyed with interrupts enabled");
}

uint32_t tBrixelDMAChannel::read32(uint32_t offset) const {
    return block_.read32(offset);
}

uint64_t tBrixelDMAChannel::read64(uint32_t offset) const {
    return block_.read64(offset);
}

void tBrixelDMAChannel::write32(uint32_t offset, uint32_t value) const {
    block_.write32(offset, value);
}

void tBrixelDMAChannel::write64(uint32_t offset, uint64_t value) const {
    block_.write64(offset, value);
}

void tBrixelDMAChannel::reset() {
    __atomic_store_n(&enabledInterrupts_, 0u, __ATOMIC_RELEASE);
    // Link modes 1, then 2, around the stop.
    write32(ChannelControl::kOffset, 0x1);
    write32(ChannelOperation::kOffset, ChannelOperation::kStop);
    write32(ChannelControl::kOffset, 0x2);
    setTransferInProgress(false);
}

void tBrixelDMAChannel::start(const tLinkInformation& link, bool flag) {
    write64(dma_channel::LinkAddress::kOffset, link.address);
    write32(dma_channel::LinkSize::kOffset, link.size);
    setTransferInProgress(true);
    write32(ChannelOperation::kOffset,
            flag ? ChannelOperation::kStart | ChannelOperation::kStartFlag : ChannelOperation::kStart);
}

void tBrixelDMAChannel::setInterruptEnable(uint32_t mask) {
    VOSDBG_ASSERT((mask & ~ChannelControl::kInterruptEnables) == 0);
    if (mask == enabledInterrupts()) {
        return;
    }
    __atomic_store_n(&enabledInterrupts_, mask, __ATOMIC_RELEASE);
    const uint32_t control = read32(ChannelControl::kOffset);
    write32(ChannelControl::kOffset, (control & ~ChannelControl::kInterruptEnables) | mask);
}

void tBrixelDMAChannel::handleInterruptStatus(uint32_t statusWord) {
    VOSDBG_ASSERT((statusWord & brixel_core::InterruptQueue::kSourceId) == channelNumber_);
    if ((statusWord & dma_channel::ChannelStatus::kEnded) != 0) {
        setTransferInProgress(false);
    }
}

void tBrixelDMAChannel::deactivate() {
    write32(ChannelOperation::kOffset, ChannelOperation::kStop);
}

void tBrixelDMAChannel::reactivate() {
    reset();
}

uint64_t tBrixelDMAChannel::getTransferCount() {
    return read64(dma_channel::TotalTransferCount::kOffset);
}

void tBrixelDMAChannel::setTransferCountNotification(uint64_t count) {
    write64(dma_channel::NotifyAtCount::kOffset, count);
    write32(ChannelOperation::kOffset, ChannelOperation::kArmNotifyAt);
}

namespace {

// A notification address the channel may write a value of the size code to.
bool fitsSizeCode(uint64_t address, uint32_t sizeCode) {
    return address != 0 && ((address & 7) >> (3 - (sizeCode & 3))) == 0;
}

} // namespace

void tBrixelDMAChannel::configureProgressNotification(uint32_t type, uint32_t interval,
                                                      uint64_t doorbellAddress, uint32_t doorbellData,
                                                      uint64_t pushAddress) {
    const uint32_t control = type | (read32(ChannelControl::kOffset) & ~ChannelControl::kProgressType);
    VOSDBG_ASSERT_MSG((control & ChannelControl::kLinkMode) != kLinkModeAppendable ||
                          (type & ChannelControl::kDoorbellEveryInterval) == 0 ||
                          (type & ChannelControl::kPushEveryInterval) != 0,
                      "a doorbell every n appendable links needs the transfer-count push as well");
    if ((type & ChannelControl::kProgressEveryInterval) != 0) {
        VOSDBG_ASSERT(interval > 0);
        write32(dma_channel::ProgressInterval::kOffset, interval);
    }
    if ((type & ChannelControl::kProgressDoorbell) != 0) {
        VOSDBG_ASSERT(fitsSizeCode(doorbellAddress, type >> ChannelControl::kDoorbellSizeCodeShift));
        write64(dma_channel::DoorbellAddress::kOffset, doorbellAddress);
        write32(dma_channel::DoorbellData::kOffset, doorbellData);
    }
    if ((type & ChannelControl::kPushEveryInterval) != 0) {
        VOSDBG_ASSERT(fitsSizeCode(pushAddress, type >> ChannelControl::kPushSizeCodeShift));
        write64(dma_channel::TransferCountPushAddress::kOffset, pushAddress);
    }
    write32(ChannelControl::kOffset, control);
}

} // namespace kelvo_driver::nVOAPAL000
