#include "bridge/interrupt_controller.h"

#include "bridge/dma_interrupt_controller.h"
#include "platform/list.h"
#include "platform/vosdbg.h"

namespace brixeltools {

using kelvo_driver::nVOAPAL000::tSecondaryInterruptRedirector;
using kelvo_driver::nVOAPAL000::tWorkItem;
using nVOAPALS100::tStatus;

tWorkItem* InterruptController::InterruptNotifierWorkItem::work() {
    target_->signal(id_, 0);
    release(); // the worker's reference, taken as it took the item
    return nullptr;
}

void InterruptController::InterruptNotifierWorkItem::release() {
    if (__atomic_sub_fetch(&references_, 1u, __ATOMIC_ACQ_REL) == 0) {
        delete this;
    }
}

InterruptController::InterruptController(kelvo_driver::nVOAPAL000::tPCIDevice& device,
                                         const kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor& bridge,
                                         tStatus& status)
    : device_(&device), bridge_(&bridge), manager_(&bridge, device.deviceInfo().msiFlag != 0) {
    redirector_.reset(new (status, false) tSecondaryInterruptRedirector<InterruptController>(this, status));
    manager_.reactivate();
    queueLock_.create(status);
    if (queueLock_.exists()) {
        queue_.reset(new (status, false) tQueue(&queueLock_, status));
    }
    notifierLock_.create(status);
    if (status.isFatal()) {
        return;
    }
    device_->reserveInterrupt(this, status, 0);
    if (status.isFatal()) {
        return;
    }
    reserved_ = true;
    manager_.enableInterrupts(kEnableOptions);
    bridge_->write32(layout::BrixelWithOffset::InterruptMask::kOffset,
                     layout::BrixelWithOffset::InterruptMask::kArm);
}

InterruptController::~InterruptController() {
    quiesce();
    while (!notifiers_.empty()) {
        auto first = notifiers_.begin();
        InterruptNotifierWorkItem* item = first->value;
        notifiers_.erase(first);
        item->release();
    }
    notifierLock_.destroy();
    queueLock_.destroy();
    // manager_'s destructor masks the bridge.
}

void InterruptController::quiesce() {
    if (reserved_) {
        device_->relinquishInterrupt();
        reserved_ = false;
    }
    redirector_.reset(); // waits for a running DPC; a pending one never runs
    if (queue_ == nullptr) {
        return;
    }
    // The queue would run what is still queued before its worker stops: unlink it first. Without the
    // notifier lock (set-up stopped before it) no item was ever registered, let alone queued.
    if (notifierLock_.exists()) {
        notifierLock_.acquire();
        queueLock_.acquire();
        for (auto entry = notifiers_.begin(); entry != notifiers_.end(); ++entry) {
            tWorkItem& item = entry->value->item();
            if (item.isQueued()) {
                nVOAPAL200_listNodeDetach(&item.node);
            }
        }
        queueLock_.release();
        notifierLock_.release();
    }
    queue_.reset(); // joins the worker once a running item has returned
}

bool InterruptController::handleInterrupt() {
    if (!manager_.acknowledgeInterrupt()) {
        return false;
    }
    device_->scheduleSecondaryHandler(redirector_.get());
    return true;
}

void InterruptController::serviceInterrupts() {
    for (;;) {
        const uint32_t word = bridge_->read32(layout::BrixelWithOffset::InterruptQueue::kOffset);
        if (word == kQueueEmpty) {
            break;
        }
        if ((word & layout::BrixelWithOffset::InterruptQueue::kValid) != 0) {
            const uint32_t id = word & layout::BrixelWithOffset::InterruptQueue::kSourceId;
            notifierLock_.acquire();
            auto found = notifiers_.find(id);
            if (found != notifiers_.end() && queue_ != nullptr) {
                queue_->post(found->value->item()); // merged when still queued
            }
            notifierLock_.release();
        }
        if ((word & layout::BrixelWithOffset::InterruptQueue::kMore) == 0) {
            break;
        }
    }
    manager_.rearmInterrupt();
}

void InterruptController::registerNotifier(BrixelDMAInterruptController* target, uint32_t id,
                                           tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    auto* item = new (status, false) InterruptNotifierWorkItem(target, id);
    if (item == nullptr) {
        return;
    }
    bool inserted = false;
    notifierLock_.acquire();
    if (!notifiers_.contains(id)) {
        inserted = notifiers_.insert(id, item, status);
    }
    notifierLock_.release();
    if (!inserted) {
        item->release(); // the first registration of the id stays
    }
}

void InterruptController::unregisterNotifier(uint32_t id) {
    InterruptNotifierWorkItem* item = nullptr;
    notifierLock_.acquire();
    auto found = notifiers_.find(id);
    if (found != notifiers_.end()) {
        item = found->value;
        queueLock_.acquire();
        if (item->item().isQueued()) {
            nVOAPAL200_listNodeDetach(&item->item().node);
        }
        queueLock_.release();
        notifiers_.erase(found);
    }
    notifierLock_.release();
    if (item != nullptr) {
        item->release(); // a running work keeps it until it returns
    }
}

} // namespace brixeltools
