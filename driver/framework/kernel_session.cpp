#include "framework/kernel_session.h"

#include "platform/owned.h"

namespace fenwicksharedsource {

using nVOAPALS100::tStatus;

KernelSession::KernelSession(kelvo_driver::nVOAPAL000::tDeviceInterface* deviceInterface,
                             uint32_t* resetCounter, uint32_t notReservedCode,
                             kdut::ResourceReservationManager* reservationManager,
                             voark::RoutingResourcesManagerInterface* routingManager,
                             uint64_t cleanupCapacity, tStatus& status)
    : tSession(deviceInterface, status), invalidation_(resetCounter, kInvalidatedCode),
      reservation_(notReservedCode, reservationManager, status),
      cleanupSession_(cleanupCapacity, &invalidation_, status) {
    if (status.isFatal()) {
        return;
    }
    if (routingManager != nullptr) {
        routing_ = createRoutingSession(*routingManager, status);
        routingView_ = vohtl::WeakPtr<voark::RoutingSession>(routing_);
    }
    cleanupSession_.getCleanupOperationComposite().add(static_cast<kdut::CleanupOperationInterface*>(this),
                                                       status);
}

KernelSession::~KernelSession() {}

vohtl::SharedPtr<voark::RoutingSession>
KernelSession::createRoutingSession(voark::RoutingResourcesManagerInterface& manager, tStatus& status) {
    auto* session = kelvo_driver::nVOAPAL000::keepIfConstructed(
        new (status, false) voark::RoutingSession(manager, status), status);
    // Without its control block the session is deleted again (-52000).
    return vohtl::SharedPtr<voark::RoutingSession>(session, status);
}

bool KernelSession::isValid() {
    return invalidation_.isValid();
}

void KernelSession::checkValidity(tStatus& status) {
    invalidation_.checkValidity(status);
}

void KernelSession::revalidate() {
    invalidation_.revalidate();
}

kdut::CleanupOperationComposite& KernelSession::getCleanupOperationComposite() {
    return cleanupSession_.getCleanupOperationComposite();
}

void KernelSession::reserve(kdut::CleanupOperationComposite& composite, uint64_t mask, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    reservation_.reserve(composite, mask, status);
}

void KernelSession::unreserve(kdut::CleanupOperationComposite& composite, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    reservation_.unreserve(composite, status);
}

void KernelSession::checkReserved(uint64_t mask, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    reservation_.checkReserved(mask, status);
}

void KernelSession::reserveResources(uint64_t mask, tStatus& status) {
    reserve(getCleanupOperationComposite(), mask, status);
}

void KernelSession::unreserveResources(tStatus& status) {
    unreserve(getCleanupOperationComposite(), status);
}

void KernelSession::cleanup(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    // Runs under the cleanup composite's lock: never twice at once.
    vohtl::SharedPtr<voark::RoutingSession> owned;
    owned.swap(routing_);
    if (owned) {
        owned->retire();
    }
}

} // namespace fenwicksharedsource
