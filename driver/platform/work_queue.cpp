#include "platform/work_queue.h"

namespace kelvo_driver::nVOAPAL000 {

tWorkItemWrapper::tWorkItemWrapper() {
    item_.workFunc = &workRedirect;
    item_.owner = this;
    item_.lockedPreWorkFunc = &lockedPreWorkRedirect;
}

tWorkItemWrapper::~tWorkItemWrapper() {
    VOSDBG_ASSERT_MSG(!item_.isQueued(), "a work item is destroyed while it is queued");
}

void tWorkItemWrapper::lockedPreWork() {}

tWorkItem* tWorkItemWrapper::workRedirect(tWorkItem* item) {
    return static_cast<tWorkItemWrapper*>(item->owner)->work();
}

void tWorkItemWrapper::lockedPreWorkRedirect(tWorkItem* item) {
    static_cast<tWorkItemWrapper*>(item->owner)->lockedPreWork();
}

void tSecondaryISRLock::create(nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    spinLock = nVOKAL100_createSpinLock();
    if (spinLock == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
    }
}

void tSecondaryISRLock::destroy() {
    if (spinLock != nullptr) {
        nVOKAL100_destroySpinLock(spinLock);
        spinLock = nullptr;
    }
}

} // namespace kelvo_driver::nVOAPAL000

extern "C" void nVOAPAL200_threadTrampoline(void* record) {
    auto* resources = static_cast<kelvo_driver::nVOAPAL000::tThreadResources*>(record);
    VOSDBG_ASSERT(resources != nullptr && resources->entry != nullptr);
    if (resources == nullptr || resources->entry == nullptr) {
        return;
    }
    resources->entry(resources->argument);
}
