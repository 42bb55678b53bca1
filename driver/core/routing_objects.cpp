#include "core/routing_objects.h"

#include "core/kelvo_helper.h"
#include "core/setup_tasks.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

RoutingObjects::~RoutingObjects() {
    teardown();
}

void RoutingObjects::setup(const corran_caps::ProductCaps* caps, tStatus& status) {
    VOSDBG_ASSERT_MSG(caps != nullptr, " Failed - expected capsPtr to not be NULL!");
    if (status.isFatal()) {
        return;
    }
    RoutingResourcesFactory factory;
    resources_ = factory.createRoutingResources(caps, programmer_, status);
    if (status.isFatal()) {
        delete resources_;
        resources_ = nullptr;
        return;
    }
    manager_ = factory.createRoutingResourcesManager(caps, status);
    if (status.isFatal()) {
        delete manager_;
        manager_ = nullptr;
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

void RoutingObjects::teardown() {
    clearRoutingResources();
    delete manager_;
    manager_ = nullptr;
    delete resources_;
    resources_ = nullptr;
}

SetupTask* RoutingObjects::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) RoutingObjects();
    if (task != nullptr) {
        task->setup(helper.getCapsTask().capsPtr, status);
    }
    return task;
}

} // namespace kelvo_driver
