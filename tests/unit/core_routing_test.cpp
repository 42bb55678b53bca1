// Routing through the C API on every board.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/routing_objects.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::answer;
using nVOAPALS100::tStatus;

class RoutingThroughTheApi : public kelvo_test::HostedTest {
protected:
    struct Found {
        kelvo_routing_calculateRoute_out out;
        std::vector<kelvo_route_possibility> possibilities;
    };
    static Found calculate(int handle, std::vector<kelvo_route_seed> seeds,
                           std::vector<uint32_t> destinations, uint32_t capacity = 4,
                           uint32_t seedCount = 0xFFFFFFFF) {
        Found found;
        found.possibilities.resize(std::clamp<uint32_t>(capacity, 1, KELVO_ROUTING_MAX_RECORDS));
        kelvo_routing_calculateRoute_in in{};
        in.routeOwner = 77;
        in.seedBuffer = reinterpret_cast<uintptr_t>(seeds.data());
        in.seedCount = seedCount != 0xFFFFFFFF ? seedCount : static_cast<uint32_t>(seeds.size());
        in.destinationBuffer = reinterpret_cast<uintptr_t>(destinations.data());
        in.destinationCount = static_cast<uint32_t>(destinations.size());
        in.possibilitiesBuffer = reinterpret_cast<uintptr_t>(found.possibilities.data());
        in.possibilitiesCapacity = capacity;
        found.out = answer<kelvo_routing_calculateRoute_out, kelvo_routing_calculateRoute_in>(
            handle, KELVO_IOCTL_routing_calculateRoute, in);
        found.possibilities.resize(found.out.status == 0 ? found.out.possibilitiesCount : 0);
        return found;
    }
};

TEST_F(RoutingThroughTheApi, EveryBoardRoutesThreeToTwoAndNamesItsTopography) {
    for (const auto& board : kelvo_test::boards()) {
        SCOPED_TRACE(board);
        const int index = add(board);
        const int handle = open(index);
        const Found found = calculate(handle, {{3, 0, 0, {}}}, {2});
        ASSERT_EQ(found.out.status, 0);
        EXPECT_EQ(found.out.result, 0u);
        ASSERT_EQ(found.possibilities.size(), 1u);
        const kelvo_route_possibility& p = found.possibilities[0];
        EXPECT_EQ(p.destinationTerminalID, 2u);
        EXPECT_EQ(p.cost, 1u);
        EXPECT_EQ(p.seedIndex, 0);
        EXPECT_EQ(p.inverted, 0);

        std::vector<uint32_t> path(4);
        kelvo_routing_getRouteTerminalPath_in pathIn{p.routeID, 0, reinterpret_cast<uintptr_t>(path.data()),
                                                     4, 0};
        auto pathOut = answer<kelvo_routing_getRouteTerminalPath_out, kelvo_routing_getRouteTerminalPath_in>(
            handle, KELVO_IOCTL_routing_getRouteTerminalPath, pathIn);
        EXPECT_EQ(pathOut.status, 0);
        ASSERT_EQ(pathOut.pathLength, 2u);
        EXPECT_EQ(path[0], 3u);
        EXPECT_EQ(path[1], 2u);

        char name[16] = {};
        kelvo_routing_getTopographyName_in nameIn{reinterpret_cast<uintptr_t>(name), sizeof(name), 0};
        EXPECT_EQ((answer<kelvo_status_record, kelvo_routing_getTopographyName_in>(
                       handle, KELVO_IOCTL_routing_getTopographyName, nameIn))
                      .status,
                  0);
        EXPECT_STREQ(name, "KelvoTopography");
        EXPECT_EQ(kelvo_close(handle), 0);
        remove(index);
    }
}

// More seeds than the bound are refused before anything is read.
TEST_F(RoutingThroughTheApi, CountsFromUserModeAreBounded) {
    const int handle = open(kelvo_host::addModule("solstra"));
    const Found found = calculate(handle, {{3, 0, 0, {}}}, {2}, 4, KELVO_ROUTING_MAX_RECORDS + 1);
    EXPECT_EQ(found.out.status, tStatus::kInvalidParameter);
    EXPECT_EQ(found.out.possibilitiesCount, 0u);
    EXPECT_EQ(kelvo_close(handle), 0);
}

// Level 16 on a board without a routing topography.
TEST(RoutingObjects, ABoardWithoutATopographyIsRefused) {
    corran_caps::ProductCaps stranger{};
    stranger.subsystemID = 0x1234;
    tStatus status;
    kelvo_driver::RoutingObjects task;
    task.setup(&stranger, status);
    EXPECT_EQ(status.getCode(), kelvo_driver::kUnsupportedRoutingBoard);
}

} // namespace
