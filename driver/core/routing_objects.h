// Setup level 16: the board's routing resources and the routing-resources
// manager through which the routing sessions of open handles reach them.
#pragma once

#include "core/setup_levels.h"
#include "routing/kelvo_topography.h"

namespace kelvo_driver {

class RoutingObjects : public RoutingObjectsInterface {
public:
    RoutingObjects() = default;
    RoutingObjects(const RoutingObjects&) = delete;
    RoutingObjects& operator=(const RoutingObjects&) = delete;

    // Builds the resources and the manager for the board of caps (which must
    // not be null). 0xBFFA4304 for a board outside the family; -52000. The
    // teardown withdraws the resources from the manager, which detaches
    // every session still registered (none outlives the manager), then
    // destroys the manager and the resources.
    void setup(const corran_caps::ProductCaps* caps, nVOAPALS100::tStatus& status);

    voark::RoutingResourcesManagerInterface* getRoutingResourcesManager() override { return manager_; }
    void setRoutingResources() override;
    void clearRoutingResources() override;
    voark::RoutingResourcesInterface* getRoutingResources() const { return resources_; }

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

private:
    RouteProgrammer programmer_;
    voark::RoutingResourcesInterface* resources_ = nullptr;
    voark::RoutingResourcesManagerInterface* manager_ = nullptr;
};

} // namespace kelvo_driver
