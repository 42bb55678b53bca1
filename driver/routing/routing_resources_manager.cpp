#include "routing/routing_resources_manager.h"

#include "framework/mutex_holder.h"
#include "platform/vosdbg.h"

namespace voark {

using kdut::internal::MutexHolder;

RoutingResourcesManager::RoutingResourcesManager(nVOAPALS100::tStatus& status) {
    nVOAPAL200_createMutex(&lock_, &status);
}

RoutingResourcesManager::~RoutingResourcesManager() {
    VOSDBG_ASSERT_MSG(!head_.isLinked(), "demotableSessionList.empty()");
    VOSDBG_ASSERT(routingResources_ == nullptr);
}

void RoutingResourcesManager::unlink(RoutingSessionListNode& node) {
    node.prev->next = node.next;
    node.next->prev = node.prev;
    node.prev = &node;
    node.next = &node;
}

void RoutingResourcesManager::setRoutingResources(RoutingResourcesInterface* resources) {
    MutexHolder hold(lock_);
    VOSDBG_ASSERT_MSG(routingResources_ == nullptr, "routingResources == __null");
    routingResources_ = resources;
    for (RoutingSessionListNode* node = head_.next; node != &head_; node = node->next) {
        node->owner->setRoutingResources(resources);
    }
}

void RoutingResourcesManager::clearRoutingResources() {
    MutexHolder hold(lock_);
    while (head_.isLinked()) {
        RoutingSessionListNode* node = head_.next;
        unlink(*node);
        node->owner->clearRoutingResources();
        node->owner->demoteSession();
        // Last: a closing session that sees the mark is one this manager is
        // done with; one that does not waits for the manager's lock.
        __atomic_store_n(&node->detached, 1, __ATOMIC_RELEASE);
    }
    routingResources_ = nullptr;
}

void RoutingResourcesManager::registerRoutingSession(RoutingSessionInterface& session) {
    MutexHolder hold(lock_);
    if (routingResources_ != nullptr) {
        session.setRoutingResources(routingResources_);
    }
    RoutingSessionListNode& node = session.routingSessionManagerListNode;
    VOSDBG_ASSERT_MSG(!node.isLinked(), "Node already attached to another list.");
    node.prev = &head_;
    head_.next->prev = &node;
    node.next = head_.next;
    head_.next = &node;
}

void RoutingResourcesManager::unregisterRoutingSession(RoutingSessionInterface& session) {
    MutexHolder hold(lock_);
    RoutingSessionListNode& node = session.routingSessionManagerListNode;
    if (node.isLinked()) {
        unlink(node);
        session.clearRoutingResources();
    }
}

} // namespace voark
