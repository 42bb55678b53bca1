// Routing through the host's C API under pressure: a handle cleaned up and closed while its requests
// run, the bound on a handle's routes, answers longer than a page.
#include <cstdint>
#include <cstring>
#include <latch>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include "client_pages.h"
#include "core/routing_objects.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "routing/routing_resources.h"
#include "routing_test_graph.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using nVOAPALS100::tStatus;

constexpr uint32_t kRoutingNotifier = 0x80000000;
constexpr int32_t kNoRouting = tStatus::kInvalidState;

// A request on a handle that may be closing: the transport code (out is filled when it is 0).
template <class Out, class In> int send(int handle, uint32_t code, const In& in, Out& out) {
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    return kelvo_ioctl(handle, code, &header);
}

kelvo_routing_calculateRoute_in search(const kelvo_route_seed& seed, const std::vector<uint32_t>& to,
                                       void* buffer, uint32_t capacity) {
    const auto count = static_cast<uint32_t>(to.size());
    return {7, address(&seed), 1, 0, address(to.data()), count, 0, address(buffer), capacity, 0};
}

// One thread routes on a handle while another cleans it up (at a point moving from round to round) and
// closes it: every request answers as before or after the cleanup, or as closed; no route stays.
using RoutingUnderLoad = kelvo_test::HostedTest;

TEST_F(RoutingUnderLoad, CleanupAndCloseBesideTheHandlesOwnRequests) {
    const int index = add("solstra");
    const kelvo_route_seed seed{3, 0, 0, {}};
    const std::vector<uint32_t> two = {2};
    const int closed = KELVO_E_INVALID;
    const int refused = nVOAPAL200_statusToKALStatus(kNoRouting);
    int unexpected = 0;
    for (int round = 0; round < 200; ++round) {
        const int handle = open(index);
        std::latch start(2);
        std::thread router([&] {
            start.arrive_and_wait();
            for (int i = 0; i < 6; ++i) {
                kelvo_notifier_payload payload{1, kelvo_destination(handle), kRoutingNotifier};
                const int opened = kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload);
                kelvo_route_possibility found{};
                kelvo_routing_calculateRoute_out out{};
                const int routed =
                    send(handle, KELVO_IOCTL_routing_calculateRoute, search(seed, two, &found, 1), out);
                kelvo_status_record gone{};
                const int destroyed = send(handle, KELVO_IOCTL_routing_destroyRoute,
                                           kelvo_routing_destroyRoute_in{found.routeID, 0}, gone);
                const int shut = kelvo_ioctl(handle, KELVO_IOCTL_DESTROY_NOTIFIER,
                                             reinterpret_cast<void*>(uintptr_t{kRoutingNotifier}));
                unexpected += !(opened == 0 || opened == refused || opened == closed) ||
                              !(routed == closed || (routed == 0 && out.status == kNoRouting) ||
                                (routed == 0 && out.status == 0 && out.possibilitiesCount == 1)) ||
                              !(destroyed == closed || (destroyed == 0 && gone.status == 0)) ||
                              !(shut == 0 || shut == closed);
            }
        });
        start.arrive_and_wait();
        for (int i = 0; i < round % 6; ++i) {
            ASK(kelvo_getSetupLevel, handle, 0);
        }
        EXPECT_EQ(ASK(kdut_cleanup, handle, 0).status, 0);
        EXPECT_EQ(kelvo_close(handle), 0);
        router.join();
        kelvo_message message;
        while (kelvo_read_message(kelvo_destination(handle), &message) == 1) {
        }
    }
    EXPECT_EQ(unexpected, 0) << "answers neither before nor after the cleanup";
    auto& routing = deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::RoutingObjects>();
    EXPECT_EQ(static_cast<voark::RoutingResources*>(routing.getRoutingResources())->database().size(), 0u);
}

// The device serves the test's topography (terminal 1 reaches each terminal of a star twice and the
// far end of a long chain); the board's own is handed back at the end.
class RoutingOnALargeTopography : public kelvo_test::HostedTest {
protected:
    static constexpr uint32_t kStar = 4096;  // terminals 2 .. 4097
    static constexpr uint32_t kChain = 4200; // terminals 4098 .. 8297, in a line from terminal 1
    static constexpr uint32_t kChainEnd = 1 + kStar + kChain;

    void SetUp() override {
        HostedTest::SetUp();
        static const routing_test::Graph graph([] {
            routing_test::GraphPlan plan{routing_test::plainTerminals(kChainEnd), {}, {}};
            for (uint32_t t = 1; t < kChainEnd; ++t) {
                plan.edges.push_back({t <= kStar + 1 ? 0 : t - 1, t});
                if (t <= kStar) {
                    plan.edges.push_back({0, t, 1, 1});
                }
            }
            return plan;
        }());
        index_ = add("solstra");
        tStatus status;
        resources_.emplace(graph.info(), nullptr, status);
        manager_ = deviceOf(index_)->getKelvoHelper()->getRoutingResourcesManager();
        manager_->clearRoutingResources();
        manager_->setRoutingResources(&*resources_);
    }
    void TearDown() override {
        manager_->clearRoutingResources(); // handles still open lose their routes
        deviceOf(index_)->getKelvoHelper()->setRoutingResources();
        resources_.reset();
        HostedTest::TearDown();
    }
    size_t routes() const { return resources_->database().size(); } // every handle's
    // The first count terminals of the star.
    static std::vector<uint32_t> star(uint32_t count) {
        std::vector<uint32_t> ids(count);
        std::iota(ids.begin(), ids.end(), 2u);
        return ids;
    }

    struct Answer {
        int32_t status;
        uint32_t count;
        std::vector<kelvo_route_possibility> records; // the caller's buffer afterwards (0xAB bytes before)
    };
    // A search from terminal 1 into `records` records said to hold capacity (by default two a destination).
    static Answer calculate(int handle, const std::vector<uint32_t>& destinations, uint32_t capacity = 0,
                            uint32_t records = 0) {
        static const kelvo_route_seed seed{1, 0, 0, {}};
        capacity = capacity != 0 ? capacity : static_cast<uint32_t>(2 * destinations.size());
        std::vector<kelvo_route_possibility> buffer(records != 0 ? records : capacity);
        std::memset(buffer.data(), 0xAB, buffer.size() * sizeof(kelvo_route_possibility));
        const auto out = answer<kelvo_routing_calculateRoute_out>(
            handle, KELVO_IOCTL_routing_calculateRoute, search(seed, destinations, buffer.data(), capacity));
        return {out.status, out.possibilitiesCount, buffer};
    }

    int index_ = -1;
    voark::RoutingResourcesManagerInterface* manager_ = nullptr;
    std::optional<voark::RoutingResources> resources_;
};

// A search or reset route past a handle's bound is refused and keeps nothing, room made is used again;
// another handle's route, recorded before them all, is found and destroyed as ever.
TEST_F(RoutingOnALargeTopography, AHandleKeepsBoundedRoutesBesideAnothersRoute) {
    constexpr uint32_t kBound = KELVO_ROUTING_MAX_ROUTES_PER_HANDLE;
    const int other = open(index_);
    const uint32_t early = calculate(other, {kChainEnd}).records[0].routeID;
    const int full = open(index_);
    uint32_t kept = 0;
    for (; kept + 2 * kStar <= kBound - 2; kept += 2 * kStar) {
        ASSERT_EQ(calculate(full, star(kStar)).status, 0);
    }
    const Answer filler = calculate(full, star((kBound - 2 - kept) / 2));
    ASSERT_EQ(kept + filler.count, kBound - 2);
    // Each search to terminal 2 finds two routes.
    const struct {
        const char* what;
        bool makeRoom; // destroy one route first
        int32_t status;
        uint32_t count;
        uint32_t keptAfter;
    } searches[] = {
        {"into the last room", false, 0, 2, kBound},
        {"of a full handle", false, tStatus::kOutOfMemory, 0, kBound},
        {"finding two for one room", true, tStatus::kOutOfMemory, 2, kBound - 1},
    };
    for (const auto& c : searches) {
        SCOPED_TRACE(c.what);
        if (c.makeRoom) {
            EXPECT_EQ(ASK(routing_destroyRoute, full, filler.records[0].routeID, 0).status, 0);
        }
        const Answer a = calculate(full, {2});
        EXPECT_EQ(std::make_pair(a.status, a.count), std::make_pair(c.status, c.count));
        EXPECT_EQ(routes(), 1u + c.keptAfter) << "the other handle's route and the full one's";
    }
    const auto resetRoute = [&] { return ASK(routing_calculateResetTerminal, full, 7, 2, 0, 0, 0); };
    EXPECT_EQ(resetRoute().status, 0) << "a reset route into the last room";
    EXPECT_EQ(resetRoute().status, tStatus::kOutOfMemory) << "and none past it";
    EXPECT_EQ(routes(), 1u + kBound);

    std::vector<uint32_t> path(kChain + 1);
    EXPECT_EQ(ASK(routing_getRouteTerminalPath, other, early, 0, address(path.data()), kChain + 1, 0).status,
              0);
    EXPECT_EQ(path.back(), kChainEnd);
    EXPECT_EQ(ASK(routing_destroyRoute, other, early, 0).status, 0);
    EXPECT_EQ(routes(), kBound);
    EXPECT_EQ(kelvo_close(full) | kelvo_close(other), 0);
    EXPECT_EQ(routes(), 0u);
}

// Answers longer than a page of records fit a capacity that holds them; one short is refused with the
// count needed, writing and keeping nothing; a capacity above the buffer's size costs nothing by itself.
TEST_F(RoutingOnALargeTopography, AnswersLongerThanAPageFitTheCallersCapacity) {
    const int handle = open(index_);
    constexpr uint32_t kFound = 2 * kStar; // a plain and an inverted route to each terminal of the star
    const struct {
        const char* what;
        uint32_t capacity;
        uint32_t records; // the buffer's true size
        int32_t status;
    } searches[] = {
        {"a capacity of the records found", kFound, kFound, 0},
        {"a capacity above the buffer's size", 0xFFFFFFFF, kFound, 0},
        {"a capacity one short", kFound - 1, kFound - 1, tStatus::kBufferTooSmall},
    };
    for (const auto& c : searches) {
        SCOPED_TRACE(c.what);
        const size_t before = routes();
        const Answer a = calculate(handle, star(kStar), c.capacity, c.records);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.count, kFound) << "found, or needed";
        EXPECT_EQ(routes(), before + (c.status == 0 ? kFound : 0)) << "no route kept when refused";
        EXPECT_EQ(a.records.back().routeID == 0xABABABAB, c.status != 0) << "written only when answered";
    }
    const uint32_t line = calculate(handle, {kChainEnd}).records[0].routeID;
    for (const uint32_t capacity : {kChain + 1, kChain}) {
        std::vector<uint32_t> ids(capacity, 0xABABABAB);
        const auto out = ASK(routing_getRouteTerminalPath, handle, line, 0, address(ids.data()), capacity, 0);
        EXPECT_EQ(out.status, capacity > kChain ? 0 : tStatus::kBufferTooSmall);
        EXPECT_EQ(out.pathLength, kChain + 1) << "found, or needed";
        EXPECT_EQ(ids.back(), capacity > kChain ? kChainEnd : 0xABABABABu);
    }
    EXPECT_EQ(kelvo_close(handle), 0);
}

} // namespace
