// Route search against the literal reference on random graphs, and failed allocations.
#include <random>

#include "routing_reference.h"
#include "routing_test_graph.h"
#include "test_support.h"

namespace {

using namespace routing_test;
using nVOAPALS100::tStatus;
using voark::RouteCalculationSeedBase;
using voark::RoutePossibilityBase;

std::vector<RefSegment> segmentsOf(const voark::RoutingResources& r, const voark::SegmentRun& v) {
    std::vector<RefSegment> out;
    for (const auto& s : v) {
        out.push_back({s.edge ? static_cast<int>(s.edge - r.edgeStates()) : -1,
                       static_cast<int>(s.terminal - r.terminalStates())});
    }
    return out;
}

GraphPlan randomGraph(std::mt19937& rng) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    GraphPlan plan;
    const uint32_t n = 1 + pick(24);
    std::vector<uint32_t> ids(n);
    std::iota(ids.begin(), ids.end(), 1u);
    if (pick(4) == 0) {
        std::shuffle(ids.begin(), ids.end(), rng);
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t flags = (pick(8) == 0 ? voark::kTerminalEndpointOnly : 0) |
                              (pick(6) == 0 ? voark::kTerminalBidirectional : 0);
        plan.terminals.push_back({ids[i], flags, 0});
    }
    // Disjoint tie groups of two or three.
    for (uint32_t i = 0; i + 1 < n; i += 3) {
        if (pick(3) != 0) {
            continue;
        }
        std::vector<uint32_t> group = {i, i + 1};
        if (i + 2 < n && pick(2) == 0) {
            group.push_back(i + 2);
        }
        for (uint32_t m : group) {
            plan.terminals[m].tie = static_cast<uint32_t>(plan.ties.size() + 1);
        }
        plan.ties.push_back(group);
    }
    const bool huge = pick(10) == 0;
    for (uint32_t e = pick(4 * n + 1); e-- > 0;) {
        EdgePlan edge{pick(n), pick(n)};
        edge.weight = huge ? 0x40000000u + pick(3) * 0x3FFFFFFFu : pick(4);
        edge.inverts = pick(3) == 0;
        edge.isDefault = pick(4) == 0;
        plan.edges.push_back(edge);
    }
    return plan;
}

// Unknown seeds or destinations and empty seed lists are among the requests: refused, nothing recorded.
TEST(RouteSearchDifferential, MatchesTheLiteralRuleOnRandomGraphs) {
    std::mt19937 rng(20261207);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    int withRoutes = 0;
    int withTwins = 0;
    int refused = 0;
    for (int round = 0; round < 1500; ++round) {
        const GraphPlan plan = randomGraph(rng);
        Graph graph(plan);
        RecordingProgrammer programmer;
        tStatus status;
        voark::RoutingResources resources(graph.info(), &programmer, status);
        ASSERT_TRUE(status.isSuccess());
        const uint32_t n = graph.info().numTerminals;
        auto terminal = [&] { return pick(30) == 0 ? 1000 : plan.terminals[pick(n)].id; };
        // Routes held first so that availability and reservations matter (some given back: edgeless floats).
        for (uint32_t k = pick(3); k-- > 0;) {
            Calculated held =
                calculate(resources, {{plan.terminals[pick(n)].id, 0, 0, {}}}, {plan.terminals[pick(n)].id});
            if (!held.possibilities.empty()) {
                const uint32_t id = held.possibilities[0].routeID;
                tStatus program;
                if (reserve(resources, id) == 0) {
                    resources.programRoute(id, program);
                }
                if (pick(3) == 0) {
                    resources.unreserveRoute(id);
                }
            }
        }
        std::vector<RouteCalculationSeedBase> seeds;
        for (uint32_t k = pick(5); k-- > 0;) {
            const uint32_t cost = pick(12) == 0 ? 0xFFFFFFF0u + pick(16) : pick(5);
            seeds.push_back({terminal(), cost, static_cast<uint8_t>(pick(2)), {}});
        }
        std::vector<uint32_t> destinations;
        for (uint32_t k = pick(6); k-- > 0;) {
            destinations.push_back(terminal());
        }
        const uint32_t options = pick(4) == 0 ? voark::kUseUnavailableEdges : 0;

        Reference reference(graph.info(), resources.edgeStates());
        const RefResult expected = reference.calculate(seeds, destinations, options);
        const size_t dbBefore = resources.database().size();
        const Calculated got = calculate(resources, seeds, destinations, options, 64);

        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(got.code, expected.code);
        ASSERT_EQ(got.result, expected.result);
        if (expected.code != 0) {
            EXPECT_EQ(resources.database().size(), dbBefore);
            ++refused;
            continue;
        }
        // The search alone (the benchmarks' entry) settles what the first pass does, at its costs.
        tStatus searchStatus;
        EXPECT_EQ(resources.searchOnly(seeds.data(), static_cast<uint32_t>(seeds.size()), destinations.data(),
                                       static_cast<uint32_t>(destinations.size()), options, searchStatus),
                  reference.firstSolved);
        for (uint32_t t = 0; t < n; ++t) {
            const voark::TerminalState& state = resources.terminalStates()[t];
            EXPECT_EQ(state.settled != 0 ? state.cost : Reference::kMax, reference.firstSettled[t]) << t;
        }
        EXPECT_EQ(resources.database().size(), dbBefore + got.possibilities.size());
        EXPECT_TRUE(resources.scratchDetached());
        std::vector<RefRoute> found;
        for (const RoutePossibilityBase& p : got.possibilities) {
            const voark::RouteInDB* entry = resources.database().find(p.routeID);
            ASSERT_TRUE(p.routeID != 0 && entry != nullptr);
            EXPECT_EQ(entry->state, voark::kRouteCalculated);
            found.push_back({static_cast<int>(entry->source - resources.terminalStates()),
                             segmentsOf(resources, entry->segments), p.cost, p.inverted,
                             segmentsOf(resources, entry->floatingSegments), p.seedIndex});
            EXPECT_EQ(p.destinationTerminalID, graph.info().terminals[found.back().end()].id);
            for (size_t j = 0; j + 1 < found.size(); ++j) {
                withTwins += found[j].end() == found.back().end() && found[j].inverted != p.inverted;
            }
        }
        EXPECT_EQ(found, expected.possibilities);
        withRoutes += found.empty() ? 0 : 1;
    }
    // The random graphs exercise what they are meant to.
    EXPECT_GT(withRoutes, 500);
    EXPECT_GT(withTwins, 100);
    EXPECT_GT(refused, 100);
}

// Every allocation of a search failing in turn: a clean failure, nothing recorded, nothing left.
class RouteSearchMemory : public kelvo_test::LeakCheckedTest {};

TEST_F(RouteSearchMemory, EachFailedAllocationEndsCleanly) {
    GraphPlan plan{plainTerminals(40), {}, {{5, 6}}};
    plan.terminals[5].tie = plan.terminals[6].tie = 1;
    for (uint32_t i = 0; i + 1 < 40; ++i) {
        plan.edges.push_back({i, i + 1, 1, 0, 1});
        plan.edges.push_back({i, i + 1, 2, 1, 0});
    }
    Graph graph(plan);
    tStatus status;
    voark::RoutingResources resources(graph.info(), nullptr, status);
    int failures = 0;
    for (uint64_t nth = 1;; ++nth) {
        kal::memory::resetCounters();
        kal::memory::failNth(nth);
        const Calculated got = calculate(resources, {{1, 0, 0, {}}, {3, 0, 1, {}}}, {40, 20, 7});
        kal::memory::clearFaults();
        if (got.code == 0) {
            EXPECT_FALSE(got.possibilities.empty());
            break;
        }
        ++failures;
        EXPECT_TRUE(got.code == tStatus::kOutOfMemory || got.code == tStatus::kBufferTooSmall) << got.code;
        EXPECT_EQ(resources.database().size(), 0u) << nth;
    }
    EXPECT_GT(failures, 3);
}

// The calculation refuses an unknown destination before its search: the search alone must too.
TEST(RouteSearchOnly, RefusesAnUnknownDestination) {
    Graph graph(lineGraph());
    tStatus status;
    voark::RoutingResources resources(graph.info(), nullptr, status);
    const RouteCalculationSeedBase seed{1, 0, 0, {}};
    const uint32_t destinations[] = {4, 99};
    EXPECT_EQ(resources.searchOnly(&seed, 1, destinations, 2, 0, status), 0u);
    EXPECT_EQ(status.getCode(), tStatus::kInvalidParameter);
    EXPECT_TRUE(resources.scratchDetached());
}

} // namespace
