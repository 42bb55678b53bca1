// The bridge interrupt controller: the owner of the module's one PCI
// interrupt. The bridge funnels every source (here the two DMA channels) into
// that interrupt and one queue of status words; the controller splits the work
// over three levels:
//   interrupt level  handleInterrupt asks the interrupt manager whether the
//                    interrupt is the bridge's (masking its output) and
//                    schedules the DPC;
//   DPC level        serviceInterrupts drains the queue (bits 0-13 the
//                    source id, bit 28 valid, bit 30 more words follow) and
//                    queues the work item registered for each id, then
//                    re-arms the bridge;
//   thread level     the worker thread "vokelvo_driver" runs the item, which
//                    signals the DMA interrupt controller for its id (code 0).
// One work item per id; an interrupt for an id whose item is still queued is
// merged with it. Lock order: the notifier lock, then the queue's lock (both
// DPC spin locks). A work item stays alive while its work runs (the worker
// holds a reference), so unregistering during the work is safe.
#pragma once

#include <stdint.h>

#include "platform/brixel_interrupts.h"
#include "platform/memory.h"
#include "platform/owned.h"
#include "platform/pci_device.h"
#include "platform/pci_memory_accessor.h"
#include "platform/secondary_interrupt.h"
#include "platform/status.h"
#include "platform/vohtl/map.h"
#include "platform/work_queue.h"

namespace brixeltools {

class BrixelDMAInterruptController;

// Where the DMA interrupt controller registers its notifiers.
class InterruptRegistrationInterface {
public:
    // The first registration of an id stays (a second one changes nothing).
    // -52000 when memory is short; nothing on a fatal status.
    virtual void registerNotifier(BrixelDMAInterruptController* target, uint32_t id,
                                  nVOAPALS100::tStatus& status) = 0;
    // Unlinks the id's item from the queue and drops it; nothing for an id
    // not registered.
    virtual void unregisterNotifier(uint32_t id) = 0;

protected:
    // Never deleted through this face (its owner deletes the controller).
    ~InterruptRegistrationInterface() = default;
};

class InterruptController : public kelvo_driver::nVOAPAL000::iPrimaryInterruptHandler,
                            public InterruptRegistrationInterface {
public:
    // A read of the empty queue (the words: brixel_core::InterruptQueue).
    static constexpr uint32_t kQueueEmpty = 0xFFFFFFFF;
    static constexpr uint32_t kEnableOptions = 0x10000000;

    // The notifier work item of one id.
    class InterruptNotifierWorkItem : public kelvo_driver::nVOAPAL000::tWorkItemWrapper {
    public:
        InterruptNotifierWorkItem(BrixelDMAInterruptController* target, uint32_t id)
            : target_(target), id_(id) {}
        // Signals the target with (id, 0), then drops the worker's reference.
        kelvo_driver::nVOAPAL000::tWorkItem* work() override;
        // Under the queue's lock as the worker takes the item: the worker's reference.
        void lockedPreWork() override { acquire(); }

        void acquire() { __atomic_add_fetch(&references_, 1u, __ATOMIC_ACQ_REL); }
        // Deletes the item with the last reference.
        void release();
        BrixelDMAInterruptController* target() const { return target_; }
        uint32_t id() const { return id_; }

    private:
        BrixelDMAInterruptController* target_;
        uint32_t id_;
        uint32_t references_ = 1; // the map's
    };

    // bridge: the bridge's register window (must outlive the controller).
    // Creates the DPC (-52008), masks the bridge (0x54000500), starts the
    // worker (-52008), creates the locks (-52000); then, on a clean status,
    // reserves the device interrupt and enables the bridge's output
    // (0x94000500, then 0x80000000).
    InterruptController(kelvo_driver::nVOAPAL000::tPCIDevice& device,
                        const kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor& bridge,
                        nVOAPALS100::tStatus& status);
    // Quiesces (when not done yet), drops every item, masks the bridge (0x40000000).
    ~InterruptController() override;
    InterruptController(const InterruptController&) = delete;
    InterruptController& operator=(const InterruptController&) = delete;

    // Ends every activity that could touch a target: relinquishes the
    // interrupt (no further handleInterrupt), destroys the DPC (waiting for a
    // running one), unlinks the queued items and stops and joins the worker
    // (waiting for a running item). Registration stays possible, but nothing
    // is queued or run any more. Idempotent; after a set-up that stopped
    // early it undoes only what was made (no queue, or no notifier lock).
    void quiesce();

    bool handleInterrupt() override;
    void serviceInterrupts();
    void registerNotifier(BrixelDMAInterruptController* target, uint32_t id,
                          nVOAPALS100::tStatus& status) override;
    void unregisterNotifier(uint32_t id) override;

private:
    using tQueue = kelvo_driver::nVOAPAL000::tWorkQueue<kelvo_driver::nVOAPAL000::tSecondaryISRLock, 1>;

    kelvo_driver::nVOAPAL000::tPCIDevice* device_;
    const kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor* bridge_;
    kelvo_driver::nVOAPAL000::tOwned<
        kelvo_driver::nVOAPAL000::tSecondaryInterruptRedirector<InterruptController>>
        redirector_;
    kelvo_driver::nVOAPAL000::tBrixelInterruptManager manager_;
    kelvo_driver::nVOAPAL000::tSecondaryISRLock queueLock_;
    kelvo_driver::nVOAPAL000::tOwned<tQueue> queue_;
    kelvo_driver::nVOAPAL000::tSecondaryISRLock notifierLock_;
    vohtl::apal::Map<uint32_t, InterruptNotifierWorkItem*> notifiers_;
    bool reserved_ = false;
};

} // namespace brixeltools
