// Routing through the host's C API under pressure: a handle cleaned up and
// closed while its own requests run, the bound on the routes a handle keeps
// with another handle's route beside them, and answers longer than a page of
// records. The last two run on a topography of the test's own, handed to the
// device's routing manager in place of the board's: terminal 1 reaches each
// terminal of a star twice (a plain and an inverting edge), and the far end
// of a long chain.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// A request on a handle that may be closing: the transport code (out is
// filled when it is 0).
template <class Out, class In> int send(int handle, uint32_t code, const In& in, Out& out) {
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    return kelvo_ioctl(handle, code, &header);
}

// A search from terminal 1 (3 on the board) into capacity records at buffer.
kelvo_routing_calculateRoute_in search(const kelvo_route_seed& seed,
                                       const std::vector<uint32_t>& destinations, void* buffer,
                                       uint32_t capacity) {
    kelvo_routing_calculateRoute_in in{};
    in.routeOwner = 7;
    in.seedBuffer = address(&seed);
    in.seedCount = 1;
    in.destinationBuffer = address(destinations.data());
    in.destinationCount = static_cast<uint32_t>(destinations.size());
    in.possibilitiesBuffer = address(buffer);
    in.possibilitiesCapacity = capacity;
    return in;
}

// One thread routes on a handle (search, name, destroy, the routing notifier
// opened and closed) while another cleans the handle up, at a point that
// moves along the router's requests from round to round, and closes it.
// Every request answers as before or after the cleanup (or as on a closed
// handle); none reaches what the cleanup let go, and no route stays behind.
using RoutingUnderLoad = kelvo_test::HostedTest;

TEST_F(RoutingUnderLoad, CleanupAndCloseBesideTheHandlesOwnRequests) {
    const int index = add("solstra");
    const int closed = KELVO_E_INVALID;
    const int notifierRefused = nVOAPAL200_statusToKALStatus(kNoRouting);
    const kelvo_route_seed seed{3, 0, 0, {}};
    const std::vector<uint32_t> destinations = {2};
    constexpr int kRounds = 200;
    constexpr int kRequests = 6;
    std::vector<std::string> unexpected;
    for (int round = 0; round < kRounds; ++round) {
        const int handle = open(index);
        const unsigned destination = kelvo_destination(handle);
        std::atomic<int> ready{0};
        std::thread router([&] {
            auto expect = [&](bool held, const char* what) {
                if (!held) {
                    unexpected.push_back(std::string(what) + " in round " + std::to_string(round));
                }
            };
            ++ready;
            while (ready.load() < 2) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kRequests; ++i) {
                kelvo_notifier_payload payload{static_cast<uint64_t>(round), destination, kRoutingNotifier};
                const int opened = kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload);
                expect(opened == 0 || opened == notifierRefused || opened == closed, "notifier open");

                kelvo_route_possibility found{};
                kelvo_routing_calculateRoute_out out{};
                int transport = send(handle, KELVO_IOCTL_routing_calculateRoute,
                                     search(seed, destinations, &found, 1), out);
                const bool routed = transport == 0 && out.status == 0;
                expect(transport == closed || (transport == 0 && out.status == kNoRouting) ||
                           (routed && out.possibilitiesCount == 1),
                       "calculate");

                char name[16] = {};
                kelvo_status_record named{};
                transport = send(handle, KELVO_IOCTL_routing_getTopographyName,
                                 kelvo_routing_getTopographyName_in{address(name), sizeof(name), 0}, named);
                expect(transport == closed ||
                           (transport == 0 && (named.status == 0 || named.status == kNoRouting)),
                       "name");

                if (routed) {
                    kelvo_status_record destroyed{};
                    transport = send(handle, KELVO_IOCTL_routing_destroyRoute,
                                     kelvo_routing_destroyRoute_in{found.routeID, 0}, destroyed);
                    expect(transport == closed || (transport == 0 && destroyed.status == 0), "destroy");
                }
                const int closing = kelvo_ioctl(handle, KELVO_IOCTL_DESTROY_NOTIFIER,
                                                reinterpret_cast<void*>(uintptr_t{kRoutingNotifier}));
                expect(closing == 0 || closing == closed, "notifier close");
            }
        });
        ++ready;
        while (ready.load() < 2) {
            std::this_thread::yield();
        }
        for (int i = 0; i < round % kRequests; ++i) {
            answer<kelvo_kelvo_getSetupLevel_out>(handle, KELVO_IOCTL_kelvo_getSetupLevel,
                                                  kelvo_status_record{0});
        }
        EXPECT_EQ(
            answer<kelvo_status_record>(handle, KELVO_IOCTL_kdut_cleanup, kelvo_status_record{0}).status, 0);
        EXPECT_EQ(kelvo_close(handle), 0);
        router.join();
        kelvo_message message;
        while (kelvo_read_message(destination, &message) == 1) {
        }
    }
    EXPECT_EQ(unexpected, std::vector<std::string>{});
    auto& routing =
        static_cast<kelvo_driver::RoutingObjects&>(deviceOf(index)->getKelvoHelper()->getTask(16));
    EXPECT_EQ(static_cast<voark::RoutingResources*>(routing.getRoutingResources())->database().size(), 0u)
        << "every route went with its handle's cleanup";
}

// The device's routing manager serves the test's topography (see the top)
// while the test runs; the board's own is handed back at the end.
class RoutingOnALargeTopography : public kelvo_test::HostedTest {
protected:
    static constexpr uint32_t kStar = 4096;  // terminals 2 .. 4097
    static constexpr uint32_t kChain = 4200; // terminals 4098 .. 8297, in a line from terminal 1
    static constexpr uint32_t kChainEnd = 1 + kStar + kChain;
    static constexpr kelvo_route_seed kSeed{1, 0, 0, {}};

    static const routing_test::Graph& graph() {
        static const routing_test::Graph g([] {
            routing_test::GraphPlan plan{routing_test::plainTerminals(kChainEnd), {}, {}};
            for (uint32_t t = 1; t <= kStar; ++t) {
                plan.edges.push_back({0, t, 1, 0});
                plan.edges.push_back({0, t, 1, 1});
            }
            for (uint32_t t = kStar + 1; t < kChainEnd; ++t) {
                plan.edges.push_back({t == kStar + 1 ? 0 : t - 1, t});
            }
            return plan;
        }());
        return g;
    }
    // The first count terminals of the star.
    static std::vector<uint32_t> star(uint32_t count) {
        std::vector<uint32_t> ids;
        for (uint32_t t = 0; t < count; ++t) {
            ids.push_back(t + 2);
        }
        return ids;
    }

    void SetUp() override {
        HostedTest::SetUp();
        index_ = add("solstra");
        tStatus status;
        resources_.emplace(graph().info(), nullptr, status);
        ASSERT_TRUE(resources_->isEnabled());
        manager().clearRoutingResources();
        manager().setRoutingResources(&*resources_);
    }
    void TearDown() override {
        if (resources_) {
            manager().clearRoutingResources(); // handles still open lose their routes
            deviceOf(index_)->getKelvoHelper()->setRoutingResources();
            resources_.reset();
        }
        HostedTest::TearDown();
    }
    voark::RoutingResourcesManagerInterface& manager() const {
        return *deviceOf(index_)->getKelvoHelper()->getRoutingResourcesManager();
    }
    // Routes recorded, every handle's.
    size_t routes() const { return resources_->database().size(); }

    struct Answer {
        int32_t status;
        uint32_t count;
        std::vector<kelvo_route_possibility> records; // the caller's buffer afterwards
    };
    // A search into a buffer of `records` records (0xAB bytes before the
    // call) that the request says holds capacity.
    static Answer calculate(int handle, const std::vector<uint32_t>& destinations, uint32_t capacity,
                            size_t records) {
        Answer a{0, 0, std::vector<kelvo_route_possibility>(records)};
        std::memset(a.records.data(), 0xAB, records * sizeof(kelvo_route_possibility));
        const auto out =
            answer<kelvo_routing_calculateRoute_out>(handle, KELVO_IOCTL_routing_calculateRoute,
                                                     search(kSeed, destinations, a.records.data(), capacity));
        a.status = out.status;
        a.count = out.possibilitiesCount;
        return a;
    }
    // Room for a plain and an inverted route to each destination.
    static Answer calculate(int handle, const std::vector<uint32_t>& destinations) {
        const auto size = static_cast<uint32_t>(2 * destinations.size());
        return calculate(handle, destinations, size, size);
    }
    // The terminal path of route into a buffer of `records` IDs (all ones before the call).
    static std::pair<kelvo_routing_getRouteTerminalPath_out, std::vector<uint32_t>>
    path(int handle, uint32_t route, uint32_t records) {
        std::vector<uint32_t> ids(records, 0xFFFFFFFF);
        const auto out = answer<kelvo_routing_getRouteTerminalPath_out>(
            handle, KELVO_IOCTL_routing_getRouteTerminalPath,
            kelvo_routing_getRouteTerminalPath_in{route, 0, address(ids.data()), records, 0});
        return {out, ids};
    }

    int index_ = -1;
    std::optional<voark::RoutingResources> resources_;
};

// A handle keeps at most KELVO_ROUTING_MAX_ROUTES_PER_HANDLE routes: a
// search or reset route that would take it past them is refused with -52000
// and keeps nothing, and room made again is used again. Another handle's
// route, recorded before them all, is found and destroyed as ever, and that
// handle still routes.
TEST_F(RoutingOnALargeTopography, AHandleKeepsBoundedRoutesBesideAnothersRoute) {
    constexpr uint32_t kBound = KELVO_ROUTING_MAX_ROUTES_PER_HANDLE;
    const int other = open(index_);
    const Answer early = calculate(other, {kChainEnd});
    ASSERT_EQ(early.status, 0);
    const int full = open(index_);
    uint32_t kept = 0;
    while (kept + 2 * kStar <= kBound - 2) {
        ASSERT_EQ(calculate(full, star(kStar)).status, 0);
        kept += 2 * kStar;
    }
    const Answer filler = calculate(full, star((kBound - 2 - kept) / 2));
    ASSERT_EQ(filler.status, 0);
    ASSERT_EQ(kept + filler.count, kBound - 2);

    enum class Ask { Search, ResetRoute, Destroy };
    const struct Step {
        const char* what;
        Ask ask;
        int32_t status;
        uint32_t routesAnswered; // possibilities counted, or 1 for a reset route's ID
        uint32_t keptAfter;
    } steps[] = {
        {"a search into the last room", Ask::Search, 0, 2, kBound},
        {"a full handle's search", Ask::Search, tStatus::kOutOfMemory, 0, kBound},
        {"a full handle's reset route", Ask::ResetRoute, tStatus::kOutOfMemory, 0, kBound},
        {"a destroy makes room for one", Ask::Destroy, 0, 0, kBound - 1},
        {"a search finding two for one room", Ask::Search, tStatus::kOutOfMemory, 2, kBound - 1},
        {"a reset route into the last room", Ask::ResetRoute, 0, 1, kBound},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        int32_t status = 0;
        uint32_t answered = 0;
        if (step.ask == Ask::Search) {
            const Answer a = calculate(full, {2});
            status = a.status;
            answered = a.count;
        } else if (step.ask == Ask::ResetRoute) {
            const auto out = answer<kelvo_routing_calculateResetTerminal_out>(
                full, KELVO_IOCTL_routing_calculateResetTerminal,
                kelvo_routing_calculateResetTerminal_in{7, 2, 0, 0, 0});
            status = out.status;
            answered = out.result != 0 ? 1 : 0;
        } else {
            status = kelvo_test::statusOf(full, KELVO_IOCTL_routing_destroyRoute,
                                          kelvo_routing_destroyRoute_in{filler.records[0].routeID, 0});
        }
        EXPECT_EQ(status, step.status);
        EXPECT_EQ(answered, step.routesAnswered);
        EXPECT_EQ(routes(), 1u + step.keptAfter) << "the other handle's route and the full one's";
    }

    const uint32_t earlyRoute = early.records[0].routeID;
    const auto [found, ids] = path(other, earlyRoute, kChain + 1);
    EXPECT_EQ(found.status, 0);
    ASSERT_EQ(found.pathLength, kChain + 1);
    EXPECT_EQ(ids.front(), 1u);
    EXPECT_EQ(ids.back(), kChainEnd);
    EXPECT_EQ(calculate(other, {2}).status, 0) << "the bound is the full handle's alone";
    EXPECT_EQ(kelvo_test::statusOf(other, KELVO_IOCTL_routing_destroyRoute,
                                   kelvo_routing_destroyRoute_in{earlyRoute, 0}),
              0);
    EXPECT_EQ(path(other, earlyRoute, kChain + 1).first.status, tStatus::kInvalidParameter) << "gone";
    EXPECT_EQ(kelvo_close(full), 0);
    EXPECT_EQ(kelvo_close(other), 0);
    EXPECT_EQ(routes(), 0u);
}

// Answers longer than a page of records (the seed and destination counts'
// bound): a capacity that holds them gets them all; one short answers
// -52019 with the count needed, writes nothing and keeps no route; a
// capacity beyond the buffer's true size costs nothing by itself. The same
// for a terminal path.
TEST_F(RoutingOnALargeTopography, AnswersLongerThanAPageFitTheCallersCapacity) {
    const int handle = open(index_);
    constexpr uint32_t kFound = 2 * kStar; // a plain and an inverted route to each terminal of the star
    const struct {
        const char* what;
        uint32_t capacity;
        size_t records;
        int32_t status;
    } searches[] = {
        {"a capacity of the records found", kFound, kFound, 0},
        {"a capacity beyond the buffer", 0xFFFFFFFF, kFound, 0},
        {"a capacity one short", kFound - 1, kFound - 1, tStatus::kBufferTooSmall},
    };
    for (const auto& c : searches) {
        SCOPED_TRACE(c.what);
        const size_t before = routes();
        const Answer a = calculate(handle, star(kStar), c.capacity, c.records);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.count, kFound) << "found, or needed";
        if (c.status != 0) {
            EXPECT_EQ(routes(), before) << "no route kept";
            const auto* bytes = reinterpret_cast<const uint8_t*>(a.records.data());
            EXPECT_TRUE(std::all_of(bytes, bytes + c.records * sizeof(kelvo_route_possibility),
                                    [](uint8_t b) { return b == 0xAB; }))
                << "nothing written";
            continue;
        }
        EXPECT_EQ(routes(), before + kFound);
        std::vector<int> seen(2 * (kStar + 2), 0);
        for (const kelvo_route_possibility& p : a.records) {
            if (p.routeID != 0 && p.destinationTerminalID < kStar + 2 && p.inverted <= 1) {
                ++seen[2 * p.destinationTerminalID + p.inverted];
            }
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kFound) << "each terminal, plain and inverted";
    }

    const Answer line = calculate(handle, {kChainEnd});
    ASSERT_EQ(line.status, 0);
    const struct {
        const char* what;
        uint32_t capacity;
        int32_t status;
    } paths[] = {
        {"a capacity of the path", kChain + 1, 0},
        {"a capacity one short", kChain, tStatus::kBufferTooSmall},
    };
    for (const auto& c : paths) {
        SCOPED_TRACE(c.what);
        const auto [out, ids] = path(handle, line.records[0].routeID, c.capacity);
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(out.pathLength, kChain + 1) << "found, or needed";
        std::vector<uint32_t> expected(c.capacity, 0xFFFFFFFF);
        if (c.status == 0) {
            expected[0] = 1;
            for (uint32_t i = 1; i <= kChain; ++i) {
                expected[i] = kStar + 1 + i;
            }
        }
        EXPECT_EQ(ids, expected);
    }
    EXPECT_EQ(kelvo_close(handle), 0);
}

} // namespace
