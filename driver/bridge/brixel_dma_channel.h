// One scatter-gather DMA engine of the bridge: its register block in the
// bridge window, brought to a known idle state, started on a chain of links,
// stopped, with its interrupt-enable bits, how it reports its progress and
// whether a transfer is in progress. It knows nothing of buffers, links or
// streams (the stream controller derives from it and adds locking and the
// waits). The progress notification, rebind and the constructor that takes
// a block have no caller in this driver.
//
// Every register access checks that the register lies inside the block (an
// internal invariant); nothing here takes a status. The block's registers are
// described in brixel_dma_channel.toml (the bridge core's that locate it in
// brixel_core.toml); their offsets and masks come from reglayouts/.
#pragma once

#include <stdint.h>

#include "bridge/brixel_sgl.h"
#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"
#include "reglayouts/brixel_core.h"
#include "reglayouts/brixel_dma_channel.h"

namespace kelvo_driver::nVOAPAL000 {

// The register block of one channel, and the bridge core's registers.
namespace dma_channel = brixeltools::layout::BrixelDMAChannelWithOffset;
namespace brixel_core = brixeltools::layout::BrixelWithOffset;

// A mapped bridge window: {kernel address, bytes}.
struct tBridgeWindow {
    uint64_t base;
    uint64_t size;
};

class tBrixelDMAChannel : public tObject {
public:
    // The highest channel number (14 bits).
    static constexpr uint32_t kMaxChannelNumber = 0x3FFF;

    // Locates the channel's block in the bridge window and resets it.
    tBrixelDMAChannel(const tBridgeWindow& window, uint32_t channelNumber);
    // The same, for hardware that may place the block wrongly (a bridge
    // reading all ones): a block outside the window is -52006, and the
    // channel is left unplaced, never reset; it must then only be destroyed.
    tBrixelDMAChannel(const tBridgeWindow& window, uint32_t channelNumber, nVOAPALS100::tStatus& status);
    // Takes the block directly, then resets it.
    tBrixelDMAChannel(uint64_t registerBase, uint64_t blockSize, uint32_t channelNumber);
    // The channel must be idle with no interrupt enabled (invariants).
    virtual ~tBrixelDMAChannel();
    tBrixelDMAChannel(const tBrixelDMAChannel&) = delete;
    tBrixelDMAChannel& operator=(const tBrixelDMAChannel&) = delete;

    // Block address and size of channel n in the window (invariants: n fits
    // 14 bits, the block lies inside the window).
    static void locateRegisters(const tBridgeWindow& window, uint32_t channelNumber, uint64_t& blockAddress,
                                uint64_t& blockSize);
    // The same, with a block outside the window (or a channel number wider
    // than 14 bits) reported as -52006 and false instead of an invariant.
    static bool locateRegisters(const tBridgeWindow& window, uint32_t channelNumber, uint64_t& blockAddress,
                                uint64_t& blockSize, nVOAPALS100::tStatus& status);
    // Moves the channel to another register block, then resets that block.
    void rebind(uint64_t registerBase, uint64_t blockSize);
    // Stops the engine without waiting and switches every interrupt off.
    void reset();
    // LinkAddress, LinkSize, in progress, then ChannelOperation's Start (with StartFlag when flag).
    void start(const tLinkInformation& link, bool flag);
    // mask within ChannelControl's InterruptEnables; writes ChannelControl only when the mask changes.
    void setInterruptEnable(uint32_t mask);
    // An end bit in the status word clears the in-progress flag.
    virtual void handleInterruptStatus(uint32_t statusWord);
    // The stop strobe alone.
    virtual void deactivate();
    virtual void reactivate();
    uint64_t getTransferCount();
    void setTransferCountNotification(uint64_t count);
    // Selects how the channel reports its progress (type: ChannelControl's ProgressType bits):
    // ProgressInterval := interval for a type every n links (interval > 0),
    // DoorbellAddress and DoorbellData for a doorbell type,
    // TransferCountPushAddress for the push, then ChannelControl's type
    // bits. Invariants: the addresses written are non-zero and fit their
    // size code ((address & 7) >> (3 - code) is 0); a doorbell every n links
    // in appendable-links mode comes with the push every n links.
    void configureProgressNotification(uint32_t type, uint32_t interval, uint64_t doorbellAddress,
                                       uint32_t doorbellData, uint64_t pushAddress);

    bool isTransferInProgress() const { return __atomic_load_n(&transferInProgress_, __ATOMIC_ACQUIRE); }
    uint32_t channelNumber() const { return channelNumber_; }
    uint32_t enabledInterrupts() const { return __atomic_load_n(&enabledInterrupts_, __ATOMIC_ACQUIRE); }

protected:
    void setTransferInProgress(bool value) {
        __atomic_store_n(&transferInProgress_, value, __ATOMIC_RELEASE);
    }
    uint32_t read32(uint32_t offset) const;
    uint64_t read64(uint32_t offset) const;
    void write32(uint32_t offset, uint32_t value) const;
    void write64(uint32_t offset, uint64_t value) const;

private:
    tPCIMemorySpaceAccessorDebug<false> block_;
    bool transferInProgress_ = false;
    uint32_t channelNumber_;
    uint32_t enabledInterrupts_ = 0;
};

} // namespace kelvo_driver::nVOAPAL000
