// The register-level operations of the bridge's interrupt manager. (The
// bridge DMA channel is the bridge layer's: bridge/brixel_dma_channel.h.)
//
// Bridge registers of window 0: 0x5C interrupt control (bit pairs: the odd bit
// sets a setting, the even bit clears it), 0x60 interrupt status, 0x68
// interrupt queue (a read pops one word; all ones when empty).
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"

namespace kelvo_driver::nVOAPAL000 {

class tBrixelInterruptManager : public tObject {
public:
    static constexpr uint32_t kInterruptControl = 0x5C;
    static constexpr uint32_t kInterruptStatus = 0x60;
    static constexpr uint32_t kInterruptQueue = 0x68;
    static constexpr uint32_t kControlOff = 0x40000000;
    static constexpr uint32_t kControlOn = 0x54000500;
    static constexpr uint32_t kControlArm = 0x80000000;

    // Over the accessor of window 0 (which must outlive the manager); msi: the
    // device's interrupt is message-signalled. Writes kControlOn.
    tBrixelInterruptManager(const tPCIMemorySpaceAccessor* window0, bool msi);
    // Writes kControlOff.
    virtual ~tBrixelInterruptManager();
    tBrixelInterruptManager(const tBrixelInterruptManager&) = delete;
    tBrixelInterruptManager& operator=(const tBrixelInterruptManager&) = delete;

    virtual void deactivate(); // kControlOff
    virtual void reactivate(); // kControlOn
    // Whether the interrupt is the module's: always with MSI; else the status
    // register reads neither 0 nor all ones.
    virtual bool isInterruptPending();
    // Writes an interrupt configuration value to the control register.
    virtual void configure(uint32_t value);
    // The next word of the interrupt queue; 0 when it is empty (or the device
    // no longer answers).
    virtual uint32_t dequeueInterrupt();
    // Arms the interrupt again (kControlArm).
    virtual void rearm();

private:
    const tPCIMemorySpaceAccessor* window0_;
    bool msi_;
};

} // namespace kelvo_driver::nVOAPAL000
