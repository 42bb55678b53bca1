// The routing-resources manager: the one place through which a device's
// routing resources reach the routing sessions of its open handles. Lock
// order: manager, then session, then resources.
#pragma once

#include "framework/routing_session.h"
#include "platform/sync.h"

namespace voark {

class RoutingResourcesManager : public RoutingResourcesManagerInterface {
public:
    // Creates the lock (-52000 when it cannot).
    explicit RoutingResourcesManager(nVOAPALS100::tStatus& status);
    // The list must be empty and the resources cleared (invariants).
    ~RoutingResourcesManager() override;
    RoutingResourcesManager(const RoutingResourcesManager&) = delete;
    RoutingResourcesManager& operator=(const RoutingResourcesManager&) = delete;

    void setRoutingResources(RoutingResourcesInterface* resources) override;
    void clearRoutingResources() override;
    // Links the session at the front: the list runs from the newest to the oldest.
    void registerRoutingSession(RoutingSessionInterface& session) override;
    void unregisterRoutingSession(RoutingSessionInterface& session) override;

    RoutingResourcesInterface* getRoutingResources() const { return routingResources_; }
    bool hasSessions() const { return head_.isLinked(); }

private:
    static void unlink(RoutingSessionListNode& node);

    RoutingResourcesInterface* routingResources_ = nullptr;
    RoutingSessionListNode head_;
    mutable kelvo_driver::nVOAPAL000::tMutex lock_;
};

} // namespace voark
