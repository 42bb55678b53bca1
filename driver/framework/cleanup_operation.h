// Cleanup operations: the undo steps that operations on a handle register
// (reservations, streams, the routing session), run when the handle is
// cleaned up or closed, or for every handle when the device is torn down.
#pragma once

#include <stdint.h>

#include "framework/reset_invalidatable_session.h"
#include "framework/status_chained_composite.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"

namespace kdut {

class CleanupOperationInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~CleanupOperationInterface() = default;
    // Undoes what the operation left behind. Nothing on a fatal status.
    virtual void cleanup(nVOAPALS100::tStatus& status) = 0;
};

// A list of cleanup operations under its own recursive mutex; being a
// cleanup operation itself, composites nest. Elements are not owned.
class CleanupOperationComposite : public CleanupOperationInterface {
public:
    // Empty, with its mutex (-52000 when the mutex cannot be had).
    explicit CleanupOperationComposite(nVOAPALS100::tStatus& status);
    // Reserves room for capacity operations first (-52000 when it cannot);
    // the capacity is no limit.
    CleanupOperationComposite(uint64_t capacity, nVOAPALS100::tStatus& status);
    // Frees the list and the mutex; runs no operation.
    ~CleanupOperationComposite() override = default;
    CleanupOperationComposite(const CleanupOperationComposite&) = delete;
    CleanupOperationComposite& operator=(const CleanupOperationComposite&) = delete;

    // Runs every operation, the last added first, each with a fresh status
    // merged into status: the first error stays and every operation runs.
    // Nothing on a fatal status. The list stays as it is.
    void cleanup(nVOAPALS100::tStatus& status) override;
    // Appends; an operation already in the list stays where it is and
    // nothing changes, so the list holds each operation once however often
    // requests register it (-52000 when the list cannot grow).
    virtual void add(CleanupOperationInterface* operation, nVOAPALS100::tStatus& status);
    // Removes the operation; -52006 when absent.
    virtual void remove(CleanupOperationInterface* operation, nVOAPALS100::tStatus& status);
    virtual void clear();
    // Runs every operation as cleanup does and then empties the list, both
    // under the one hold of the mutex: an operation another thread adds
    // meanwhile waits and lands in the emptied list, so it is never dropped
    // without having run.
    void cleanupAndClear(nVOAPALS100::tStatus& status);
    virtual bool contains(const CleanupOperationInterface* operation);

    size_t size();
    // False when the construction failed (no mutex): additions are refused.
    bool usable() const;

private:
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    internal::StatusChainedCompositeKernel<CleanupOperationInterface> operations_;
};

class CleanupOperationSessionInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~CleanupOperationSessionInterface() = default;
    virtual CleanupOperationComposite& getCleanupOperationComposite() = 0;
};

// A session's cleanup operations, run when the session goes away while it
// is still valid (a teardown that invalidated it has run them already).
class CleanupOperationSession : public CleanupOperationSessionInterface {
public:
    CleanupOperationSession(uint64_t capacity, InvalidatableSessionInterface* validity,
                            nVOAPALS100::tStatus& status);
    ~CleanupOperationSession() override;
    CleanupOperationSession(const CleanupOperationSession&) = delete;
    CleanupOperationSession& operator=(const CleanupOperationSession&) = delete;

    CleanupOperationComposite& getCleanupOperationComposite() override { return composite_; }

private:
    CleanupOperationComposite composite_;
    InvalidatableSessionInterface* validity_;
};

} // namespace kdut
