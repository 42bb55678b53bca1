#include "framework/cleanup_operation.h"

#include "framework/mutex_holder.h"

namespace kdut {

using nVOAPALS100::tStatus;

CleanupOperationComposite::CleanupOperationComposite(tStatus& status) {
    nVOAPAL200_createMutex(&mutex_, &status);
}

CleanupOperationComposite::CleanupOperationComposite(uint64_t capacity, tStatus& status)
    : operations_(capacity, status) {
    nVOAPAL200_createMutex(&mutex_, &status);
}

// A composite whose construction failed has no mutex: nothing can have
// been added to it, and it refuses additions.
bool CleanupOperationComposite::usable() const {
    return mutex_.mutex != nullptr;
}

void CleanupOperationComposite::cleanup(tStatus& status) {
    if (status.isFatal() || !usable()) {
        return;
    }
    internal::MutexHolder hold(mutex_);
    // An operation may change the list (re-entering on this thread): the
    // index is checked against the size at every step.
    for (size_t i = operations_.size(); i > 0; --i) {
        if (i > operations_.size()) {
            continue;
        }
        tStatus local;
        operations_.at(i - 1)->cleanup(local);
        status.merge(local);
    }
}

void CleanupOperationComposite::cleanupAndClear(tStatus& status) {
    if (!usable()) {
        return;
    }
    internal::MutexHolder hold(mutex_);
    cleanup(status);
    operations_.clear();
}

void CleanupOperationComposite::add(CleanupOperationInterface* operation, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (!usable()) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    internal::MutexHolder hold(mutex_);
    if (!operations_.contains(operation)) {
        operations_.add(operation, status);
    }
}

void CleanupOperationComposite::remove(CleanupOperationInterface* operation, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (!usable()) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return;
    }
    internal::MutexHolder hold(mutex_);
    operations_.remove(operation, status);
}

void CleanupOperationComposite::clear() {
    if (!usable()) {
        return;
    }
    internal::MutexHolder hold(mutex_);
    operations_.clear();
}

bool CleanupOperationComposite::contains(const CleanupOperationInterface* operation) {
    if (!usable()) {
        return false;
    }
    internal::MutexHolder hold(mutex_);
    return operations_.contains(operation);
}

size_t CleanupOperationComposite::size() {
    if (!usable()) {
        return 0;
    }
    internal::MutexHolder hold(mutex_);
    return operations_.size();
}

CleanupOperationSession::CleanupOperationSession(uint64_t capacity, InvalidatableSessionInterface* validity,
                                                 tStatus& status)
    : composite_(capacity, status), validity_(validity) {}

CleanupOperationSession::~CleanupOperationSession() {
    if (validity_ != nullptr && validity_->isValid()) {
        tStatus local;
        composite_.cleanup(local);
    }
}

} // namespace kdut
