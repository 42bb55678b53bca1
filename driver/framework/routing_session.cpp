#include "framework/routing_session.h"

namespace voark {

RoutingSession::RoutingSession(RoutingResourcesManagerInterface& manager, nVOAPALS100::tStatus& status)
    : manager_(manager), constructed_(0) {
    nVOAPAL200_createMutex(&lock_, &status);
    constructed_ = status.isNotFatal() ? 1 : 0;
    if (constructed_ != 0) {
        manager_.registerRoutingSession(*this);
    }
}

RoutingSession::~RoutingSession() {
    if (notifier_.isOpen()) {
        notifier_.close();
    }
    if (constructed_ != 0) {
        manager_.unregisterRoutingSession(*this);
    }
}

} // namespace voark
