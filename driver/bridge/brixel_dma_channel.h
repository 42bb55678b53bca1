// One scatter-gather DMA engine of the bridge: its register block in the
// bridge window, brought to a known idle state, started on a chain of links,
// stopped, with its interrupt-enable bits, how it reports its progress and
// whether a transfer is in progress. It knows nothing of buffers, links or
// streams (the stream controller derives from it and adds locking and the
// waits). The progress notification, rebind and the constructor that takes
// a block have no caller in this driver.
//
// Every register access checks that the register lies inside the block (an
// internal invariant); nothing here takes a status.
#pragma once

#include <stdint.h>

#include "bridge/brixel_sgl.h"
#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

// A mapped bridge window: {kernel address, bytes}.
struct tBridgeWindow {
    uint64_t base;
    uint64_t size;
};

class tBrixelDMAChannel : public tObject {
public:
    // Register block of one channel.
    static constexpr uint32_t kDoorbellAddress = 0x20;
    static constexpr uint32_t kTransferCountPushAddress = 0x28;
    static constexpr uint32_t kProgressInterval = 0x30;
    static constexpr uint32_t kDoorbellData = 0x34;
    static constexpr uint32_t kLinkAddress = 0x48;
    static constexpr uint32_t kLinkSize = 0x50;
    static constexpr uint32_t kChannelControl = 0x54;
    static constexpr uint32_t kChannelOperation = 0x58;
    static constexpr uint32_t kChannelStatus = 0x60;
    static constexpr uint32_t kNotifyAtCount = 0x90;
    static constexpr uint32_t kTotalTransferCount = 0xA0;
    static constexpr uint64_t kMinimumBlockSize = 0xA8;
    // Bridge core registers that locate the blocks.
    static constexpr uint32_t kCoreDescription = 0x0C;
    static constexpr uint32_t kChannelBase = 0x1C;
    // ChannelOperation strobes.
    static constexpr uint32_t kOperationStart = 0x1;
    static constexpr uint32_t kOperationStop = 0x2;
    static constexpr uint32_t kOperationStartFlag = 0x4;
    static constexpr uint32_t kOperationArmNotifyAt = 0x02000000;
    // ChannelControl.
    static constexpr uint32_t kInterruptEnableMask = 0x0F00B000;
    static constexpr uint32_t kInterruptNotifyAt = 0x02000000;
    // ChannelControl's progress-notification type (bit 11, bits 16-23):
    // bit 18 pushes the transfer count every n links (bits 16-17 its size
    // code), bit 22 rings the doorbell every n links and bit 23 rings it
    // otherwise (bits 20-21 its size code). configureProgressNotification
    // keeps the other bits of ChannelControl.
    static constexpr uint32_t kProgressPushEveryInterval = 0x00040000;
    static constexpr uint32_t kProgressDoorbellEveryInterval = 0x00400000;
    static constexpr uint32_t kProgressIntervalTypes = 0x00440000;
    static constexpr uint32_t kProgressDoorbellTypes = 0x00C00000;
    static constexpr uint32_t kControlKeptByProgress = 0xFF00F7FF;
    static constexpr uint32_t kLinkModeMask = 0x3;
    static constexpr uint32_t kLinkModeAppendable = 0x3;
    // ChannelStatus.
    static constexpr uint32_t kStatusStarted = 0x4000;
    static constexpr uint32_t kStatusEnded = 0x0C008000;
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
    // LinkAddress, LinkSize, in progress, then the start strobe (0x5 with the flag, else 0x1).
    void start(const tLinkInformation& link, bool flag);
    // mask within 0x0F00B000; writes ChannelControl only when the mask changes.
    void setInterruptEnable(uint32_t mask);
    // An end bit in the status word clears the in-progress flag.
    virtual void handleInterruptStatus(uint32_t statusWord);
    // The stop strobe alone.
    virtual void deactivate();
    virtual void reactivate();
    uint64_t getTransferCount();
    void setTransferCountNotification(uint64_t count);
    // Selects how the channel reports its progress (type: the bits above):
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
