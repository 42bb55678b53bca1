// The board's routing: its static topography "KelvoTopography" (three
// terminals, one edge from terminal 3 to terminal 2), its route programmer,
// which writes nothing, and the factory of the routing resources and the
// routing-resources manager built at setup level 16.
#pragma once

#include <stdint.h>

#include "framework/product_caps.h"
#include "routing/routing_resources.h"
#include "routing/routing_resources_manager.h"

namespace KelvoTopography {

extern const voark::TopographyInfo kTopography;

// The board's routing resources over kTopography.
class RoutingResources : public voark::RoutingResources {
public:
    RoutingResources(voark::RouteProgrammerInterface& programmer, nVOAPALS100::tStatus& status)
        : voark::RoutingResources(kTopography, &programmer, status) {}
};

} // namespace KelvoTopography

namespace kelvo_driver {

// The board's route programmer: routes need no register settings.
class RouteProgrammer : public voark::RouteProgrammerInterface {
public:
    void begin(nVOAPALS100::tStatus&) override {}
    void program(uint32_t, uint32_t, uint32_t, nVOAPALS100::tStatus&) override {}
    void end(nVOAPALS100::tStatus&) override {}
};

// 0xBFFA4304: the board has no routing topography.
inline constexpr int64_t kUnsupportedRoutingBoard = KELVO_STATUS_UNSUPPORTED_PRODUCT;

class RoutingResourcesFactory : public nVOAPAL000::tObject {
public:
    virtual ~RoutingResourcesFactory() = default;
    // New resources for the board of caps (the caller owns them), or null:
    // 0xBFFA4304 for a board outside the family, -52000. Returned even when
    // the lock could not be made (the status says so; the caller deletes them).
    voark::RoutingResourcesInterface* createRoutingResources(const corran_caps::ProductCaps* caps,
                                                             RouteProgrammer& programmer,
                                                             nVOAPALS100::tStatus& status);
    // A new manager (the caller owns it), or null as above.
    voark::RoutingResourcesManagerInterface*
    createRoutingResourcesManager(const corran_caps::ProductCaps* caps, nVOAPALS100::tStatus& status);
};

} // namespace kelvo_driver
