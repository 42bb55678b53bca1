#include "routing/kelvo_topography.h"

namespace KelvoTopography {
namespace {

// Terminal 1 keeps its state; 2 and 3 are endpoints; 3 drives 2 at cost 1.
const voark::Terminal kTerminals[3] = {
    {1, 0, 0, 0, 0, 0, 0, voark::kTerminalKeepState},
    {2, 0, 0, 0, 0, 1, 0, voark::kTerminalEndpointOnly},
    {3, 0, 0, 1, 1, 0, 0, voark::kTerminalEndpointOnly},
};
const uint32_t kOutgoingEdges[1] = {0};
const uint32_t kIncomingEdges[1] = {0};
const voark::Edge kEdges[1] = {{1, 1, kOutgoingEdges, 0, 0, 1, 0, 0}};
const voark::TieGroup kNoTieGroups[1] = {};
const voark::ProgrammingEntry kSettings[1] = {{0, 0}};

} // namespace

const voark::TopographyInfo kTopography = {
    "KelvoTopography",
    kTerminals,
    kEdges,
    kNoTieGroups,
    kSettings,
    kOutgoingEdges,
    kIncomingEdges,
    3,
    1,
    0,
    1,
};

} // namespace KelvoTopography

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {
bool checkBoard(const corran_caps::ProductCaps* caps, tStatus& status) {
    if (caps == nullptr || !corran_caps::isAcceptedProduct(caps->subsystemID)) {
        KELVO_SET_STATUS(status, kUnsupportedRoutingBoard);
        return false;
    }
    return true;
}
} // namespace

voark::RoutingResourcesInterface*
RoutingResourcesFactory::createRoutingResources(const corran_caps::ProductCaps* caps,
                                                RouteProgrammer& programmer, tStatus& status) {
    if (status.isFatal() || !checkBoard(caps, status)) {
        return nullptr;
    }
    return new (status, false) KelvoTopography::RoutingResources(programmer, status);
}

voark::RoutingResourcesManagerInterface*
RoutingResourcesFactory::createRoutingResourcesManager(const corran_caps::ProductCaps* caps,
                                                       tStatus& status) {
    if (status.isFatal() || !checkBoard(caps, status)) {
        return nullptr;
    }
    return new (status, false) voark::RoutingResourcesManager(status);
}

} // namespace kelvo_driver
