#include "framework/kernel_session.h"

namespace fenwicksharedsource {

using nVOAPALS100::tStatus;

void KernelSession::OwnedRoutingSession::reset() {
    voark::RoutingSession* owned = session;
    session = nullptr;
    delete owned;
}

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
        routing_.session = createRoutingSession(*routingManager, status);
    }
    cleanupSession_.getCleanupOperationComposite().add(static_cast<kdut::CleanupOperationInterface*>(this),
                                                       status);
}

KernelSession::~KernelSession() {}

voark::RoutingSession* KernelSession::createRoutingSession(voark::RoutingResourcesManagerInterface& manager,
                                                           tStatus& status) {
    auto* session = new (status, false) voark::RoutingSession(manager, status);
    if (session != nullptr && status.isFatal()) {
        delete session;
        session = nullptr;
    }
    return session;
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
    routing_.reset();
}

} // namespace fenwicksharedsource
