#include "core/routing_objects.h"

#include "core/kelvo_helper.h"
#include "core/setup_tasks.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

void RoutingObjects::setup(const corran_caps::ProductCaps* caps, tStatus& status) {
    VOSDBG_ASSERT_MSG(caps != nullptr, " Failed - expected capsPtr to not be NULL!");
    if (status.isFatal()) {
        return;
    }
    RoutingResourcesFactory factory;
    resources_ = undo().own(factory.createRoutingResources(caps, programmer_, status));
    if (status.isFatal()) {
        return;
    }
    manager_ = undo().own(factory.createRoutingResourcesManager(caps, status));
    if (status.isNotFatal()) {
        undo().call<&RoutingObjects::clearRoutingResources>(*this);
    }
}

void RoutingObjects::setRoutingResources() {
    VOSDBG_ASSERT_MSG(manager_ != nullptr, " routingResourcesManagerPtr is not initialized");
    if (manager_ != nullptr) {
        manager_->setRoutingResources(resources_);
    }
}

void RoutingObjects::clearRoutingResources() {
    if (manager_ != nullptr) {
        manager_->clearRoutingResources();
    }
}

SetupTask* RoutingObjects::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) RoutingObjects();
    if (task != nullptr) {
        task->setup(helper.getCapsTask().capsPtr, status);
    }
    return task;
}

} // namespace kelvo_driver
