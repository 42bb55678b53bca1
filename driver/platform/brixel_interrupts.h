// The bridge's interrupt manager: the three interrupt registers of the bridge.
// (The bridge DMA channel is the bridge layer's: bridge/brixel_dma_channel.h.)
//
// Bridge registers of window 0: 0x5C interrupt mask (the control word of the
// bridge's interrupt output; bit pairs: the odd bit sets a setting, the even
// bit clears it), 0x60 interrupt status (bit 31 set and not all ones: the
// pending interrupt is the bridge's), 0x68 interrupt queue (a read pops one
// status word; all ones when empty).
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"

namespace kelvo_driver::nVOAPAL000 {

class tBrixelInterruptManager : public tObject {
public:
    static constexpr uint32_t kInterruptMask = 0x5C;
    static constexpr uint32_t kInterruptStatus = 0x60;
    static constexpr uint32_t kInterruptQueue = 0x68;
    // Interrupt-mask words: output off; output on again; the default settings
    // with the output off (what enableInterrupts builds from options 0).
    static constexpr uint32_t kMaskOff = 0x40000000;
    static constexpr uint32_t kMaskArm = 0x80000000;
    static constexpr uint32_t kMaskDefault = 0x54000500;

    // Over the accessor of window 0 (which must outlive the manager); msi: the
    // device's interrupt is message-signalled. No register access.
    tBrixelInterruptManager(const tPCIMemorySpaceAccessor* window0, bool msi);
    // Writes kMaskOff.
    virtual ~tBrixelInterruptManager();
    tBrixelInterruptManager(const tBrixelInterruptManager&) = delete;
    tBrixelInterruptManager& operator=(const tBrixelInterruptManager&) = delete;

    virtual void deactivate(); // kMaskOff
    virtual void reactivate(); // kMaskDefault
    // Interrupt level: whether the interrupt is the bridge's. With MSI always,
    // without touching a register; else when the status reads 0x80000000 to
    // 0xFFFFFFFE, and then the output is masked (kMaskOff) before returning.
    virtual bool acknowledgeInterrupt();
    // Writes the word that options select (one bit of each of the pairs
    // 31/30, 29/28, 27/26, 11/10, 9/8): 31 for non-zero options, else 30; 29
    // for non-zero options with 0x1000000, else 28; 27 with 0x2000000, else
    // 26; 11 with 0x800, else 10; 9 for non-zero options with 0x200, else 8.
    virtual void enableInterrupts(uint32_t options);
    // The next word of the interrupt queue; 0 when it is empty (or the device
    // no longer answers).
    virtual uint32_t dequeueInterrupt();
    // Turns the output on again (kMaskArm); nothing with MSI.
    virtual void rearmInterrupt();

    bool isMessageSignalled() const { return msi_; }

private:
    const tPCIMemorySpaceAccessor* window0_;
    bool msi_;
};

} // namespace kelvo_driver::nVOAPAL000
