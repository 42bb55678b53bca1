// The bridge's interrupt managers: the three interrupt registers of the
// bridge, and the form in which the bridge pushes its status words into host
// memory instead of queueing them (nothing in this driver builds that one).
// (The bridge DMA channel is the bridge layer's: bridge/brixel_dma_channel.h.)
//
// The registers (InterruptMask, InterruptStatus, InterruptQueue and the push
// registers, in bridge window 0) are described in brixel_core.toml; their
// offsets and masks come from reglayouts/brixel_core.h.
#pragma once

#include <stdint.h>

#include "reglayouts/brixel_core.h"

#include "platform/dma_configuration.h"
#include "platform/dma_map.h"
#include "platform/memory.h"
#include "platform/page_list.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

// The bridge core's registers, window 0.
namespace brixel_core = brixeltools::layout::BrixelWithOffset;

class tBrixelInterruptManager : public tObject {
public:
    // Over the accessor of window 0 (which must outlive the manager); msi: the
    // device's interrupt is message-signalled. No register access.
    tBrixelInterruptManager(const tPCIMemorySpaceAccessor* window0, bool msi);
    // Writes InterruptMask::kOff.
    virtual ~tBrixelInterruptManager();
    tBrixelInterruptManager(const tBrixelInterruptManager&) = delete;
    tBrixelInterruptManager& operator=(const tBrixelInterruptManager&) = delete;

    virtual void deactivate(); // InterruptMask::kOff
    virtual void reactivate(); // InterruptMask::kDefault
    // Interrupt level: whether the interrupt is the bridge's. With MSI always,
    // without touching a register; else when the status reads 0x80000000 to
    // 0xFFFFFFFE, and then the output is masked (kOff) before returning.
    virtual bool acknowledgeInterrupt();
    // The option word's bits that select a setting of the interrupt output
    // (any other bit only makes the word non-zero, which turns the output on).
    static constexpr uint32_t kOption9 = 1u << 9;
    static constexpr uint32_t kOption11 = 1u << 11;
    static constexpr uint32_t kOption24 = 1u << 24;
    static constexpr uint32_t kOption25 = 1u << 25;
    // Writes the word that options select: the output on for non-zero options;
    // settings 24 and 9 only with the output on, 25 and 11 either way.
    virtual void enableInterrupts(uint32_t options);
    // The next word of the interrupt queue; 0 when it is empty (or the device
    // no longer answers).
    virtual uint32_t dequeueInterrupt();
    // Turns the output on again (InterruptMask::kArm); nothing with MSI.
    virtual void rearmInterrupt();

    bool isMessageSignalled() const { return msi_; }

protected:
    const tPCIMemorySpaceAccessor& window0() const { return *window0_; }

private:
    const tPCIMemorySpaceAccessor* window0_;
    bool msi_;
};

// The status-pushing form. The bridge writes its status words into a ring in
// host memory: an area of (bridge quadwords + application quadwords) x 8
// bytes, whose first bridge quadwords x 2 u32 entries are the ring.
// Reading the interrupt mask: OutputOn set and Pushing clear, the pending
// interrupt is the bridge's.
class tBrixelInterruptManagerISP : public tBrixelInterruptManager {
public:
    static constexpr uint32_t kMaxQuadwords = 8;

    // Writes InterruptMask::kDefault, allocates and maps the area for the
    // kernel and the device, then starts pushing (the interrupt mask then
    // holds Pushing). Nothing on a fatal status. Quadword counts outside 1 to
    // 8: -52005, with no register touched. DMA disabled: -52002; no memory or
    // no kernel mapping: -52000; a refused device mapping: its code. After a
    // failure the bridge is not pushing; the manager must then only be
    // destroyed.
    tBrixelInterruptManagerISP(const tPCIMemorySpaceAccessor* window0, const tDMAConfiguration& configuration,
                               uint32_t bridgeQuadwords, uint32_t applicationQuadwords, bool msi,
                               nVOAPALS100::tStatus& status);
    // Stops pushing, releases the area, writes InterruptMask::kOff.
    ~tBrixelInterruptManagerISP() override;

    void deactivate() override; // InterruptMask::kOff, then pushing stopped
    void reactivate() override; // InterruptMask::kDefault, then pushing started again
    // As the other form, with the interrupt mask read in place of the status.
    bool acknowledgeInterrupt() override;
    // The ring's next entry (the ring is made visible to the processor before
    // its first); 0 once every entry was read.
    uint32_t dequeueInterrupt() override;
    // Clears the ring's first entry and the read position; InterruptMask::kArmPushing.
    void rearmInterrupt() override;

private:
    void startPushing();
    uint32_t ringEntries() const { return bridgeQuadwords_ * 2; }
    // The area is mapped for the kernel and the device.
    bool pushable() const { return map_ != nullptr && map_->isLoaded(); }

    const tDMAConfiguration& configuration_;
    uint32_t bridgeQuadwords_ = 0;
    uint32_t areaQuadwords_ = 0;
    tKernelMappedPageList area_;
    tStandardDMAMap* map_ = nullptr; // loaded while the device may write the area
    uint64_t busAddress_ = 0;
    uint32_t readPosition_ = 0;
};

} // namespace kelvo_driver::nVOAPAL000
