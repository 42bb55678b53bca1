// The kernel session: what the driver keeps per open handle. It is the
// platform session with a snapshot of the device's reset counter (every
// reset, stop and power-down invalidates the handles opened before it), the
// handle's resource reservation, its routing session once routing has been
// set up, and its list of cleanup operations.
#pragma once

#include <stdint.h>

#include "framework/cleanup_operation.h"
#include "framework/reset_invalidatable_session.h"
#include "framework/resource_reservation.h"
#include "framework/routing_session.h"
#include "platform/device_core.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"

namespace fenwicksharedsource {

class KernelSession : public kelvo_driver::nVOAPAL000::tSession,
                      public kdut::InvalidatableSessionInterface,
                      public kdut::CleanupOperationSessionInterface,
                      public kdut::ResourceReservationInterface,
                      public kdut::CleanupOperationInterface {
public:
    // What a request of a handle opened before the last teardown gets.
    static constexpr int32_t kInvalidatedCode = KELVO_STATUS_SESSION_INVALIDATED;

    // resetCounter is the device's; the reservation reports notReservedCode
    // and uses reservationManager. With a routing manager the handle gets a
    // routing session, registered with that manager; without one it never
    // has one. The session adds itself to its own cleanup composite first,
    // so that its routing cleanup runs last. -52000 when a lock, the list
    // storage or the routing session cannot be had: the caller then
    // destroys the session.
    KernelSession(kelvo_driver::nVOAPAL000::tDeviceInterface* deviceInterface, uint32_t* resetCounter,
                  uint32_t notReservedCode, kdut::ResourceReservationManager* reservationManager,
                  voark::RoutingResourcesManagerInterface* routingManager, uint64_t cleanupCapacity,
                  nVOAPALS100::tStatus& status);
    // Runs the cleanup operations when the session is still valid (a
    // teardown that invalidated it ran them already), then destroys a
    // routing session that is left.
    ~KernelSession() override;
    KernelSession(const KernelSession&) = delete;
    KernelSession& operator=(const KernelSession&) = delete;

    // Validity (a handle once invalid stays so until it is closed).
    bool isValid() override;
    void checkValidity(nVOAPALS100::tStatus& status) override;
    void revalidate() override;

    kdut::CleanupOperationComposite& getCleanupOperationComposite() override;

    // The reservation (nothing on a fatal status).
    void reserve(kdut::CleanupOperationComposite& composite, uint64_t mask,
                 nVOAPALS100::tStatus& status) override;
    void unreserve(kdut::CleanupOperationComposite& composite, nVOAPALS100::tStatus& status) override;
    void checkReserved(uint64_t mask, nVOAPALS100::tStatus& status) override;
    // Reserve and unreserve with the session's own cleanup composite.
    void reserveResources(uint64_t mask, nVOAPALS100::tStatus& status);
    void unreserveResources(nVOAPALS100::tStatus& status);

    // The session's own cleanup operation: retires the routing session (its
    // routes are destroyed, its notifier closed) and lets it go; a request
    // still using it keeps it alive until it has left.
    void cleanup(nVOAPALS100::tStatus& status) override;

    // A reference to the routing session for a request to hold while it uses
    // it; empty when routing was not set up at open or has been cleaned up.
    // Safe beside a cleanup on another thread.
    vohtl::SharedPtr<voark::RoutingSession> getRoutingSession() const { return routingView_.lock(); }

    // A routing session for manager, or an empty pointer (and the status's
    // error) when it cannot be made; a failed one is destroyed again.
    static vohtl::SharedPtr<voark::RoutingSession>
    createRoutingSession(voark::RoutingResourcesManagerInterface& manager, nVOAPALS100::tStatus& status);

private:
    kdut::ResetInvalidatableSession invalidation_;
    kdut::ResourceReservation reservation_;
    // The owner's reference (dropped by the cleanup) and the view requests
    // take theirs from (set at construction, never changed while requests
    // run). Declared before the cleanup session, so that the cleanup
    // operations run before whatever is left is destroyed.
    vohtl::SharedPtr<voark::RoutingSession> routing_;
    vohtl::WeakPtr<voark::RoutingSession> routingView_;
    kdut::CleanupOperationSession cleanupSession_;
};

} // namespace fenwicksharedsource
