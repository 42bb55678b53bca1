// Grow-only heap and the route life cycle: reserve, program, unprogram, unreserve, destroy, resets, IDs.

#include "routing/grow_only_heap.h"
#include "routing_test_graph.h"
#include "test_support.h"

namespace {

using namespace routing_test;
using nVOAPALS100::tStatus;
using Calls = std::vector<std::string>;

class GrowOnlyHeapTest : public kelvo_test::LeakCheckedTest {};

TEST_F(GrowOnlyHeapTest, CarvesAlignedBlocksFromChunks) {
    struct Case {
        const char* name;
        std::vector<uint64_t> sizes;
        std::vector<uint32_t> chunksAfter;
        uint64_t largestChunk = 0;
    } const cases[] = {
        {"small blocks share a chunk, each aligned", {8, 3, 24, 3}, {1, 1, 1, 1}},
        {"a large block gets a chunk of its own, then a new ordinary one", {8, 600, 16}, {1, 2, 3}},
        // 480, 992 and then 2016 bytes after the headers.
        {"ordinary chunks double up to the largest",
         std::vector<uint64_t>(14, 400),
         {1, 2, 2, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4, 5},
         2048},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        voark::GrowOnlyHeap heap(512, 8, c.largestChunk);
        std::vector<void*> blocks;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            void* block = voark::growOnlyHeapResizeFn(nullptr, c.sizes[i], &heap);
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
            blocks.push_back(block);
            EXPECT_EQ(heap.chunkCount(), c.chunksAfter[i]);
        }
        blocks.back() = voark::growOnlyHeapResizeFn(blocks.back(), 8, &heap); // the old block released
        EXPECT_EQ(heap.allocatedBlockCount(), c.sizes.size());
        for (void* block : blocks) {
            EXPECT_EQ(voark::growOnlyHeapResizeFn(block, 0, &heap), nullptr);
        }
    }
}

class RouteLifeCycle : public kelvo_test::LeakCheckedTest {
protected:
    void build(const GraphPlan& plan) {
        resources_.reset(); // before the graph it reads
        programmer_ = {};
        graph_ = std::make_unique<Graph>(plan);
        tStatus status;
        resources_ = std::make_unique<voark::RoutingResources>(graph_->info(), &programmer_, status);
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        resources_.reset();
        LeakCheckedTest::TearDown();
    }
    uint32_t route(uint32_t from, uint32_t to) {
        const Calculated got = calculate(*resources_, {{from, 0, 0, {}}}, {to});
        return got.possibilities.empty() ? 0 : got.possibilities[0].routeID;
    }
    int64_t reserve(uint32_t id) { return routing_test::reserve(*resources_, id); }
    int64_t program(uint32_t id) {
        tStatus status;
        resources_->programRoute(id, status);
        return status.getCode();
    }
    Calls take() { return std::exchange(programmer_.calls, {}); }
    const voark::EdgeState& edge(uint32_t e) { return resources_->edgeStates()[graph_->edgeIndex[e]]; }

    RecordingProgrammer programmer_;
    std::unique_ptr<Graph> graph_;
    std::unique_ptr<voark::RoutingResources> resources_;
};

// The line graph with 7 and 8 tied: e5 1->7 (not default), e6 3->7 (default), e7 4->8 (default).
GraphPlan tiedGraph() {
    GraphPlan plan = lineGraph();
    plan.terminals.insert(plan.terminals.end(), {{7, 0, 1}, {8, 0, 1}});
    plan.ties = {{6, 7}};
    plan.edges.insert(plan.edges.end(),
                      {{0, 6, 1, 0, 0, {{15, 1}}}, {2, 6, 1, 0, 1, {{16, 1}}}, {3, 7, 1, 0, 1, {{17, 1}}}});
    return plan;
}

TEST_F(RouteLifeCycle, SharedEdgesAreWrittenOnceAndReleasedByTheLastRouteAndDriveTerminalsBack) {
    build(lineGraph());
    const uint32_t a = route(1, 4);
    const uint32_t b = route(1, 5);
    ASSERT_EQ(reserve(a), 0);
    ASSERT_EQ(reserve(b), 0);
    EXPECT_EQ(edge(0).reservationCount, 2u);
    ASSERT_EQ(program(a), 0);
    EXPECT_EQ(take(), (Calls{"begin", "1:10=1", "3:12=1", "end"}));
    ASSERT_EQ(program(b), 0);
    EXPECT_EQ(take(), (Calls{"begin", "4:13=1", "end"}));
    resources_->unprogramRoute(a);
    EXPECT_EQ(take(), (Calls{"begin", "3:12=1", "end"})); // 4 driven back from its first incoming edge
    resources_->unreserveRoute(b);
    EXPECT_EQ(take(), (Calls{"begin", "4:13=1", "1:10=1", "end"}));
    resources_->unreserveRoute(a);
    EXPECT_EQ(edge(1).isAvailable, 1);

    build(lineGraph(voark::kTerminalKeepState)); // a keep-state terminal is not driven back
    const uint32_t kept = route(1, 4);
    ASSERT_EQ(reserve(kept), 0);
    ASSERT_EQ(program(kept), 0);
    take();
    resources_->unprogramRoute(kept);
    EXPECT_EQ(take(), (Calls{"begin", "1:10=1", "end"}));
}

// An edge's settings are written in order; the first that fails ends the transaction.
TEST_F(RouteLifeCycle, FailedProgrammingEndsWhatBeganAndTakesBackItsCounts) {
    struct Case {
        const char* name;
        bool failBegin;
        uint32_t failAt;
        Calls calls;
        bool twoSettings = false; // the first edge writes 1:20=2 after 1:10=1
    } const cases[] = {
        {"begin fails: nothing written, no end", true, 0, {"begin"}},
        {"the first of an edge's two settings fails", false, 1, {"begin", "fail", "end"}, true},
        {"the second edge's setting fails", false, 2, {"begin", "1:10=1", "fail", "end"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GraphPlan plan = lineGraph();
        if (c.twoSettings) {
            plan.edges[0].settings.push_back({20, 2});
        }
        build(plan);
        const uint32_t a = route(1, 4);
        ASSERT_EQ(reserve(a), 0);
        programmer_.failBegin = c.failBegin;
        programmer_.failAt = c.failAt;
        EXPECT_EQ(program(a), tStatus::kNotAccessible);
        EXPECT_EQ(take(), c.calls);
        programmer_ = {}; // nothing fails now
        ASSERT_EQ(program(a), 0);
        EXPECT_EQ(take(), (c.twoSettings ? Calls{"begin", "1:10=1", "1:20=2", "3:12=1", "end"}
                                         : Calls{"begin", "1:10=1", "3:12=1", "end"}));
    }
}

TEST_F(RouteLifeCycle, Resets) {
    build(tiedGraph());
    const uint32_t held = route(1, 4);
    ASSERT_EQ(reserve(held), 0);
    struct Case {
        const char* name;
        uint32_t terminal;
        uint32_t type;
        int64_t code;
        Calls calls;
    } const cases[] = {
        {"a terminal driven by a reserved route", 2, 0, voark::kTerminalDrivenByReservedRoute, {}},
        {"first incoming edge", 5, 0, 0, {"begin", "4:13=1", "end"}},
        {"default incoming edge", 6, 1, voark::kNoResetEdge, {}},
        {"no incoming edge", 1, 0, voark::kNoResetEdge, {}},
        {"invalid reset type", 5, 2, tStatus::kInvalidParameter, {}},
        {"unknown terminal", 99, 0, tStatus::kInvalidParameter, {}},
        {"tie group: default-driven members first", 8, 1, 0, {"begin", "7:17=1", "6:16=1", "end"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tStatus status;
        resources_->resetTerminal(c.terminal, c.type, status);
        EXPECT_EQ(status.getCode(), c.code);
        EXPECT_EQ(take(), c.calls);
    }
    // A calculated reset drives one terminal over an edge into it; in a tie group, the member not on its
    // default edge.
    for (const auto& [terminal, driven] : {std::pair{5u, 5u}, std::pair{8u, 7u}}) {
        tStatus status;
        const uint32_t reset = resources_->calculateResetTerminal(9, terminal, 0, status);
        const voark::RouteInDB* entry = resources_->database().find(reset);
        ASSERT_TRUE(entry != nullptr && entry->segments.size() == 1) << terminal;
        EXPECT_EQ(std::pair(entry->source->def->id, entry->segments[0].terminal->def->id),
                  std::pair(driven, driven));
    }
}

// Nothing is claimed on a conflict; a floating member's default edge is claimed with the route.
TEST_F(RouteLifeCycle, ReservationConflicts) {
    struct Case {
        const char* name;
        bool tied; // tiedGraph(), else the line graph with 4 bidirectional
        std::pair<uint32_t, uint32_t> route;
        std::pair<uint32_t, uint32_t> held; // {0, 0}: none
        int64_t code;
        uint32_t edge; // its reservation count after
        uint32_t reservations;
    } const cases[] = {
        {"a bidirectional end drives a reserved route", false, {1, 4}, {4, 6}, voark::kRouteConflict, 0, 0},
        {"a reserved route drives a bidirectional start", false, {4, 6}, {1, 4}, voark::kRouteConflict, 4, 0},
        {"a reserved route drives a floating member", true, {4, 8}, {1, 7}, voark::kRouteConflict, 6, 0},
        {"a floating member's default edge is claimed", true, {4, 8}, {0, 0}, 0, 6, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(c.tied ? tiedGraph() : lineGraph(voark::kTerminalBidirectional));
        const uint32_t id = route(c.route.first, c.route.second);
        ASSERT_NE(id, 0u);
        if (c.held.first != 0) {
            ASSERT_EQ(reserve(route(c.held.first, c.held.second)), 0);
        }
        EXPECT_EQ(reserve(id), c.code);
        EXPECT_EQ(edge(c.edge).reservationCount, c.reservations);
    }
}

TEST_F(RouteLifeCycle, IDsWrapPastZeroAndSkipThoseInUse) {
    build(lineGraph());
    EXPECT_EQ(route(1, 2), 1u);
    resources_->setNextRouteIDForTest(0xFFFFFFFF);
    EXPECT_EQ(route(1, 2), 0xFFFFFFFFu);
    EXPECT_EQ(route(1, 2), 2u); // wrapped: 1 is in use
    resources_->setNextRouteIDForTest(0xFFFFFFFF);
    EXPECT_EQ(route(1, 2), 3u); // past 0xFFFFFFFF, 0, 1 and 2
}

} // namespace
