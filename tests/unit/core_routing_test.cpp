// Routing through the C API on every board.

#include "client_pages.h"
#include "core/routing_objects.h"
#include "core_test_support.h"

namespace {

using namespace kelvo_test;
using nVOAPALS100::tStatus;

class RoutingThroughTheApi : public HostedTest {
protected:
    struct Found {
        kelvo_routing_calculateRoute_out out;
        std::vector<kelvo_route_possibility> possibilities;
    };
    // A route from terminal 3 to 2, the one seed's count stated as seedCount.
    static Found calculate(int handle, uint32_t seedCount = 1) {
        const kelvo_route_seed seed{3, 0, 0, {}};
        const uint32_t to = 2;
        Found found{{}, std::vector<kelvo_route_possibility>(4)};
        found.out = ASK(routing_calculateRoute, handle, 77, address(&seed), seedCount, 0, address(&to), 1, 0,
                        address(found.possibilities.data()), 4, 0);
        found.possibilities.resize(found.out.status == 0 ? found.out.possibilitiesCount : 0);
        return found;
    }
};

// More seeds than the bound are refused before anything is read. The topography's name, the same on every
// board, is checked with the fuzzer's findings; every board's route from 3 to 2, by the level-19 table.
TEST_F(RoutingThroughTheApi, ARouteFromThreeToTwoAndTheSeedCountsBoundFromUserMode) {
    const int handle = open(add("duskmere-b"));
    const Found found = calculate(handle);
    ASSERT_EQ(std::tuple(found.out.status, found.out.result, found.possibilities.size()),
              std::tuple(0, 0u, 1u));
    const kelvo_route_possibility& p = found.possibilities[0];
    EXPECT_EQ(std::tuple(p.destinationTerminalID, p.cost, p.seedIndex, p.inverted), std::tuple(2u, 1u, 0, 0));
    std::vector<uint32_t> path(4);
    const auto pathOut = ASK(routing_getRouteTerminalPath, handle, p.routeID, 0, address(path.data()), 4, 0);
    EXPECT_EQ(std::tuple(pathOut.status, pathOut.pathLength, path[0], path[1]), std::tuple(0, 2u, 3u, 2u));
    const Found refused = calculate(handle, KELVO_ROUTING_MAX_RECORDS + 1);
    EXPECT_EQ(std::tuple(refused.out.status, refused.out.possibilitiesCount),
              std::tuple(tStatus::kInvalidParameter, 0u));
    // Level 16 on a board without a routing topography.
    corran_caps::ProductCaps stranger{};
    stranger.subsystemID = 0x1234;
    tStatus status;
    kelvo_driver::RoutingObjects task;
    task.setup(&stranger, status);
    EXPECT_EQ(status.getCode(), kelvo_driver::kUnsupportedRoutingBoard);
}

} // namespace
