// Route search and route lookups, each against a baseline measured in the
// same run; compare the two times of a pair as a ratio.
//
// Each search case has three benchmarks over the same arrays, seeds and
// destinations:
// - SearchOnly: the engine's search alone (searchOnly: the terminals'
//   records reset, the seeds queued, the destinations marked, terminals
//   settled until every destination is);
// - PlainDijkstra: the reference for it, a plain binary-heap shortest-path
//   search doing the same, stopping once every destination is settled;
// - CalculateRoute: the whole calculateRoute call (both passes, route
//   extraction, twins, floating segments, route records), timed alone (manual
//   time): the routes are destroyed between iterations outside the timing.
//   It does more than the reference, so its ratio to the reference has a
//   goal of its own.
//
// Graphs: a 10,000-terminal grid (about 40,000 edges); a three-stage
// 64-by-64 crossbar whose crossing points each have a plain and an inverting
// edge of the same weight (equal-cost ties everywhere) and whose middle
// terminals are tied in pairs; a random sparse graph of 10,000 terminals
// with four outgoing edges each (1 to 1, 16 to 16, 1 to all), and the same
// kind of graph from 1,000 to 30,000 terminals for the cost per route.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <queue>
#include <utility>
#include <vector>

#include "routing/grow_only_heap.h"
#include "routing/routing_resources.h"

namespace {

struct OutEdge {
    uint32_t to;
    uint32_t weight;
    uint8_t inverts;
    uint8_t isDefault = 0;
};

// A topography built from per-terminal outgoing edge lists and tie groups
// (terminal indices); terminal IDs are index + 1.
struct Graph {
    Graph(const char* name, const std::vector<std::vector<OutEdge>>& out,
          const std::vector<std::vector<uint32_t>>& tied = {}) {
        const auto n = static_cast<uint32_t>(out.size());
        std::vector<std::vector<uint32_t>> into(n);
        for (uint32_t t = 0; t < n; ++t) {
            voark::Terminal def{};
            def.id = t + 1;
            def.firstOutgoingEdge = static_cast<uint32_t>(edges.size());
            def.numOutgoingEdges = static_cast<uint32_t>(out[t].size());
            for (const OutEdge& e : out[t]) {
                into[e.to].push_back(static_cast<uint32_t>(edges.size()));
                edges.push_back({e.weight, e.to, nullptr, 0, 0, 0, e.inverts, e.isDefault});
            }
            terminals.push_back(def);
        }
        for (uint32_t t = 0; t < n; ++t) {
            terminals[t].firstIncomingEdge = static_cast<uint32_t>(incoming.size());
            terminals[t].numIncomingEdges = static_cast<uint32_t>(into[t].size());
            incoming.insert(incoming.end(), into[t].begin(), into[t].end());
        }
        members = tied;
        for (uint32_t g = 0; g < members.size(); ++g) {
            for (uint32_t m : members[g]) {
                terminals[m].tieID = g + 1;
            }
            ties.push_back({members[g].data(), nullptr, static_cast<uint32_t>(members[g].size())});
        }
        info = {name,
                terminals.data(),
                edges.data(),
                ties.empty() ? nullptr : ties.data(),
                nullptr,
                nullptr,
                incoming.data(),
                n,
                static_cast<uint32_t>(edges.size()),
                static_cast<uint32_t>(ties.size()),
                0};
    }
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    std::vector<voark::Terminal> terminals;
    std::vector<voark::Edge> edges;
    std::vector<uint32_t> incoming;
    std::vector<std::vector<uint32_t>> members;
    std::vector<voark::TieGroup> ties;
    voark::TopographyInfo info{};
};

// A side x side grid, every terminal linked to its four neighbours with
// weights 1 to 4 (some inverting, so that twins are tried).
std::vector<std::vector<OutEdge>> gridEdges(uint32_t side) {
    std::vector<std::vector<OutEdge>> out(side * side);
    for (uint32_t t = 0; t < side * side; ++t) {
        const uint32_t x = t % side;
        const uint32_t y = t / side;
        auto link = [&](uint32_t to) {
            out[t].push_back({to, 1 + (t * 7 + to * 13) % 4, static_cast<uint8_t>((t + to) % 5 == 0)});
        };
        if (x > 0)
            link(t - 1);
        if (x + 1 < side)
            link(t + 1);
        if (y > 0)
            link(t - side);
        if (y + 1 < side)
            link(t + side);
    }
    return out;
}

// n terminals, four random outgoing edges each.
std::vector<std::vector<OutEdge>> sparseEdges(uint32_t n) {
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return static_cast<uint32_t>(x);
    };
    std::vector<std::vector<OutEdge>> out(n);
    for (uint32_t t = 0; t < n; ++t) {
        for (int k = 0; k < 4; ++k) {
            const uint32_t weight = 1 + next() % 8;
            const uint32_t to = next() % n;
            out[t].push_back({to, weight, static_cast<uint8_t>(next() % 7 == 0)});
        }
    }
    return out;
}

// Crossbar terminal indices: inputs, first middle row, second middle row,
// outputs, 64 each.
constexpr uint32_t kPorts = 64;
constexpr uint32_t crossbarInput(uint32_t i) {
    return i;
}
constexpr uint32_t crossbarOutput(uint32_t i) {
    return 3 * kPorts + i;
}

std::vector<std::vector<OutEdge>> crossbarEdges() {
    std::vector<std::vector<OutEdge>> out(4 * kPorts);
    for (uint32_t stage = 0; stage < 3; ++stage) {
        for (uint32_t from = 0; from < kPorts; ++from) {
            for (uint32_t to = 0; to < kPorts; ++to) {
                const uint32_t a = stage * kPorts + from;
                const uint32_t b = (stage + 1) * kPorts + to;
                // The plain edge from the same port of the row before is the
                // default driver (tied members float on it).
                out[a].push_back({b, 1, 0, static_cast<uint8_t>(from == to)});
                out[a].push_back({b, 1, 1});
            }
        }
    }
    return out;
}

std::vector<std::vector<uint32_t>> crossbarTies() {
    std::vector<std::vector<uint32_t>> tied;
    for (uint32_t row = 1; row <= 2; ++row) {
        for (uint32_t i = 0; i < kPorts; i += 2) {
            tied.push_back({row * kPorts + i, row * kPorts + i + 1});
        }
    }
    return tied;
}

const Graph& grid() {
    static const Graph g("Grid", gridEdges(100));
    return g;
}

const Graph& sparse() {
    static const Graph g("Sparse", sparseEdges(10000));
    return g;
}

const Graph& crossbar() {
    static const Graph g("Crossbar", crossbarEdges(), crossbarTies());
    return g;
}

// One search case: seeds (terminal index, start cost) and destination
// indices (empty: every terminal).
struct Case {
    std::vector<std::pair<uint32_t, uint32_t>> seeds;
    std::vector<uint32_t> destinations;
};

Case gridOneToOne() {
    return {{{0, 0}}, {grid().info.numTerminals - 1}};
}
// Up to count terminals reachable from the seeds of c, spread over the
// indices (an unreachable destination would make every search exhaustive).
std::vector<uint32_t> reachable(const Graph& g, const Case& c, uint32_t count) {
    const uint32_t n = g.info.numTerminals;
    std::vector<uint8_t> seen(n, 0);
    std::vector<uint32_t> stack;
    for (const auto& seed : c.seeds) {
        seen[seed.first] = 1;
        stack.push_back(seed.first);
    }
    while (!stack.empty()) {
        const uint32_t t = stack.back();
        stack.pop_back();
        const voark::Terminal& def = g.terminals[t];
        for (uint32_t e = def.firstOutgoingEdge; e < def.firstOutgoingEdge + def.numOutgoingEdges; ++e) {
            const uint32_t to = g.edges[e].destTerminalIndex;
            if (seen[to] == 0) {
                seen[to] = 1;
                stack.push_back(to);
            }
        }
    }
    std::vector<uint32_t> picked;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t t = 137 + i * (n / count);
        while (t < n && (seen[t] == 0 || std::find(picked.begin(), picked.end(), t) != picked.end())) {
            ++t;
        }
        if (t < n) {
            picked.push_back(t);
        }
    }
    return picked;
}

Case sparseOneToOne() {
    Case c{{{0, 0}}, {}};
    c.destinations = {reachable(sparse(), c, 2).back()};
    return c;
}
Case sparseSixteenToSixteen() {
    Case c;
    for (uint32_t i = 0; i < 16; ++i) {
        c.seeds.push_back({i * 611, i % 4});
    }
    c.destinations = reachable(sparse(), c, 16);
    return c;
}
Case sparseOneToAll() {
    return {{{0, 0}}, {}};
}
Case crossbarOneToOutputs() {
    Case c{{{crossbarInput(0), 0}}, {}};
    for (uint32_t i = 0; i < kPorts; ++i) {
        c.destinations.push_back(crossbarOutput(i));
    }
    return c;
}

// The engine's form of a case's seeds (none with an inversion constraint)
// and destination IDs (every terminal for an empty list).
struct Request {
    Request(const Graph& g, const Case& c) {
        for (const auto& [index, cost] : c.seeds) {
            seeds.push_back({index + 1, cost, 0, {}});
        }
        for (uint32_t index : c.destinations) {
            destinations.push_back(index + 1);
        }
        if (destinations.empty()) {
            for (uint32_t t = 0; t < g.info.numTerminals; ++t) {
                destinations.push_back(t + 1);
            }
        }
    }
    std::vector<voark::RouteCalculationSeedBase> seeds;
    std::vector<uint32_t> destinations;
};

void searchOnlyCase(benchmark::State& state, const Graph& g, const Case& c) {
    nVOAPALS100::tStatus status;
    voark::RoutingResources resources(g.info, nullptr, status);
    if (!resources.isEnabled()) {
        state.SkipWithError("routing resources not enabled");
        return;
    }
    const Request request(g, c);
    uint64_t settled = 0;
    for (auto _ : state) {
        settled = resources.searchOnly(request.seeds.data(), static_cast<uint32_t>(request.seeds.size()),
                                       request.destinations.data(),
                                       static_cast<uint32_t>(request.destinations.size()), 0, status);
        benchmark::DoNotOptimize(settled);
    }
    if (status.isFatal() || settled == 0) {
        state.SkipWithError("the search failed");
    }
    state.counters["settled"] = static_cast<double>(settled);
}

// With perRoute, each iteration's time is divided by the routes it returned.
void calculateRouteCase(benchmark::State& state, const Graph& g, const Case& c, bool perRoute = false) {
    using Clock = std::chrono::steady_clock;
    nVOAPALS100::tStatus status;
    voark::RoutingResources resources(g.info, nullptr, status);
    if (!resources.isEnabled()) {
        state.SkipWithError("routing resources not enabled");
        return;
    }
    const Request request(g, c);
    voark::RoutePossibilityBase* possibilities = nullptr;
    uint32_t count = 0;
    uint64_t routes = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        resources.calculateRoute(
            1, request.seeds.data(), static_cast<uint32_t>(request.seeds.size()), request.destinations.data(),
            static_cast<uint32_t>(request.destinations.size()), 0, &possibilities, &count, status);
        benchmark::DoNotOptimize(count);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(perRoute && count != 0 ? seconds / count : seconds);
        routes += count;
        for (uint32_t i = count; i-- > 0;) {
            resources.destroyRoute(possibilities[i].routeID); // last first, as a session does
        }
    }
    if (status.isFatal()) {
        state.SkipWithError("calculateRoute failed");
    }
    state.counters["routes"] =
        benchmark::Counter(static_cast<double>(routes), benchmark::Counter::kAvgIterations);
    voark::generalResizeFn(possibilities, 0, nullptr);
}

// Baseline: textbook binary-heap search from every seed at its start cost,
// until every destination is settled. With perTerminal, each iteration is
// timed alone and its time divided by the graph's terminals (manual time).
void plainDijkstraCase(benchmark::State& state, const Graph& g, const Case& c, bool perTerminal = false) {
    const uint32_t n = g.info.numTerminals;
    std::vector<uint64_t> cost(n);
    std::vector<uint32_t> previous(n);
    std::vector<uint8_t> isDestination(n, c.destinations.empty() ? 1 : 0);
    uint32_t wanted = c.destinations.empty() ? n : 0;
    for (uint32_t d : c.destinations) {
        wanted += isDestination[d] == 0 ? 1 : 0;
        isDestination[d] = 1;
    }
    using Entry = std::pair<uint64_t, uint32_t>;
    std::vector<Entry> storage;
    for (auto _ : state) {
        // The clock only where the iteration times itself: the plain rows stay a bare search.
        const auto start =
            perTerminal ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
        std::fill(cost.begin(), cost.end(), UINT64_MAX);
        storage.clear();
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue(std::greater<>{},
                                                                             std::move(storage));
        for (const auto& [index, start] : c.seeds) {
            if (start < cost[index]) {
                cost[index] = start;
                previous[index] = index;
                queue.push({start, index});
            }
        }
        uint32_t solved = 0;
        while (!queue.empty() && solved != wanted) {
            const auto [at, t] = queue.top();
            queue.pop();
            if (at != cost[t]) {
                continue;
            }
            solved += isDestination[t];
            const voark::Terminal& def = g.terminals[t];
            for (uint32_t e = def.firstOutgoingEdge; e < def.firstOutgoingEdge + def.numOutgoingEdges; ++e) {
                const uint32_t to = g.edges[e].destTerminalIndex;
                const uint64_t next = at + g.edges[e].weight;
                if (next < cost[to]) {
                    cost[to] = next;
                    previous[to] = t;
                    queue.push({next, to});
                }
            }
        }
        benchmark::DoNotOptimize(cost.data());
        benchmark::DoNotOptimize(previous.data());
        if (perTerminal) {
            state.SetIterationTime(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / n);
        }
    }
}

void BM_RouteSearch_Grid1To1_SearchOnly(benchmark::State& state) {
    searchOnlyCase(state, grid(), gridOneToOne());
}
void BM_RouteSearch_Grid1To1_CalculateRoute(benchmark::State& state) {
    calculateRouteCase(state, grid(), gridOneToOne());
}
void BM_RouteSearch_Grid1To1_PlainDijkstra(benchmark::State& state) {
    plainDijkstraCase(state, grid(), gridOneToOne());
}
BENCHMARK(BM_RouteSearch_Grid1To1_SearchOnly);
BENCHMARK(BM_RouteSearch_Grid1To1_CalculateRoute)->UseManualTime();
BENCHMARK(BM_RouteSearch_Grid1To1_PlainDijkstra);

void BM_RouteSearch_Crossbar1To64_SearchOnly(benchmark::State& state) {
    searchOnlyCase(state, crossbar(), crossbarOneToOutputs());
}
void BM_RouteSearch_Crossbar1To64_CalculateRoute(benchmark::State& state) {
    calculateRouteCase(state, crossbar(), crossbarOneToOutputs());
}
void BM_RouteSearch_Crossbar1To64_PlainDijkstra(benchmark::State& state) {
    plainDijkstraCase(state, crossbar(), crossbarOneToOutputs());
}
BENCHMARK(BM_RouteSearch_Crossbar1To64_SearchOnly);
BENCHMARK(BM_RouteSearch_Crossbar1To64_CalculateRoute)->UseManualTime();
BENCHMARK(BM_RouteSearch_Crossbar1To64_PlainDijkstra);

void BM_RouteSearch_Sparse1To1_SearchOnly(benchmark::State& state) {
    searchOnlyCase(state, sparse(), sparseOneToOne());
}
void BM_RouteSearch_Sparse1To1_CalculateRoute(benchmark::State& state) {
    calculateRouteCase(state, sparse(), sparseOneToOne());
}
void BM_RouteSearch_Sparse1To1_PlainDijkstra(benchmark::State& state) {
    plainDijkstraCase(state, sparse(), sparseOneToOne());
}
BENCHMARK(BM_RouteSearch_Sparse1To1_SearchOnly);
BENCHMARK(BM_RouteSearch_Sparse1To1_CalculateRoute)->UseManualTime();
BENCHMARK(BM_RouteSearch_Sparse1To1_PlainDijkstra);

void BM_RouteSearch_Sparse16To16_SearchOnly(benchmark::State& state) {
    searchOnlyCase(state, sparse(), sparseSixteenToSixteen());
}
void BM_RouteSearch_Sparse16To16_CalculateRoute(benchmark::State& state) {
    calculateRouteCase(state, sparse(), sparseSixteenToSixteen());
}
void BM_RouteSearch_Sparse16To16_PlainDijkstra(benchmark::State& state) {
    plainDijkstraCase(state, sparse(), sparseSixteenToSixteen());
}
BENCHMARK(BM_RouteSearch_Sparse16To16_SearchOnly);
BENCHMARK(BM_RouteSearch_Sparse16To16_CalculateRoute)->UseManualTime();
BENCHMARK(BM_RouteSearch_Sparse16To16_PlainDijkstra);

void BM_RouteSearch_Sparse1ToAll_SearchOnly(benchmark::State& state) {
    searchOnlyCase(state, sparse(), sparseOneToAll());
}
void BM_RouteSearch_Sparse1ToAll_CalculateRoute(benchmark::State& state) {
    calculateRouteCase(state, sparse(), sparseOneToAll());
}
void BM_RouteSearch_Sparse1ToAll_PlainDijkstra(benchmark::State& state) {
    plainDijkstraCase(state, sparse(), sparseOneToAll());
}
BENCHMARK(BM_RouteSearch_Sparse1ToAll_SearchOnly);
BENCHMARK(BM_RouteSearch_Sparse1ToAll_CalculateRoute)->UseManualTime();
BENCHMARK(BM_RouteSearch_Sparse1ToAll_PlainDijkstra);

// Cost per route as the topography grows: the whole calculateRoute from one
// terminal to every terminal of a random sparse graph (four outgoing edges a
// terminal) of 1,000 to 30,000 terminals, timed alone and divided by the
// routes it returns. Flat is the goal: each size against 1,000 terminals.
void BM_RouteCalculation_PerRoute(benchmark::State& state) {
    const Graph g("Sparse", sparseEdges(static_cast<uint32_t>(state.range(0))));
    calculateRouteCase(state, g, sparseOneToAll(), true);
}
// The reference's growth on the same graphs: the Dijkstra search from the
// same terminal, its time per terminal of the graph.
void BM_RouteSearch_PerTerminal_PlainDijkstra(benchmark::State& state) {
    const Graph g("Sparse", sparseEdges(static_cast<uint32_t>(state.range(0))));
    plainDijkstraCase(state, g, sparseOneToAll(), true);
}
// The manual time is per route, far below an iteration's wall time: a fixed
// count of iterations (about 0.3 s of calculations each) instead of Google
// Benchmark's minimum time.
BENCHMARK(BM_RouteCalculation_PerRoute)->Arg(1000)->Iterations(1000)->UseManualTime();
BENCHMARK(BM_RouteCalculation_PerRoute)->Arg(3000)->Iterations(300)->UseManualTime();
BENCHMARK(BM_RouteCalculation_PerRoute)->Arg(10000)->Iterations(100)->UseManualTime();
BENCHMARK(BM_RouteCalculation_PerRoute)->Arg(30000)->Iterations(30)->UseManualTime();
BENCHMARK(BM_RouteSearch_PerTerminal_PlainDijkstra)->Arg(1000)->Iterations(1000)->UseManualTime();
BENCHMARK(BM_RouteSearch_PerTerminal_PlainDijkstra)->Arg(3000)->Iterations(300)->UseManualTime();
BENCHMARK(BM_RouteSearch_PerTerminal_PlainDijkstra)->Arg(10000)->Iterations(100)->UseManualTime();
BENCHMARK(BM_RouteSearch_PerTerminal_PlainDijkstra)->Arg(30000)->Iterations(30)->UseManualTime();

// Route lookups: 10,000 calculated routes (from a two-terminal topography),
// looked up by ID in a fixed random order through getRouteState; the
// baseline finds the same IDs by binary search in a sorted array of records.
constexpr uint32_t kRoutes = 10000;

const Graph& pair() {
    static const Graph g("Pair", {{{1, 1, 0}}, {}});
    return g;
}

std::vector<uint32_t> lookupOrder(const std::vector<uint32_t>& ids) {
    std::vector<uint32_t> order;
    uint64_t x = 0x243F6A8885A308D3ull;
    for (uint32_t i = 0; i < 4096; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        order.push_back(ids[x % ids.size()]);
    }
    return order;
}

void BM_RouteLookup_GetRouteState(benchmark::State& state) {
    nVOAPALS100::tStatus status;
    voark::RoutingResources resources(pair().info, nullptr, status);
    const voark::RouteCalculationSeedBase seed{1, 0, 0, {}};
    const uint32_t destination = 2;
    voark::RoutePossibilityBase* possibilities = nullptr;
    uint32_t count = 0;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < kRoutes; ++i) {
        resources.calculateRoute(1, &seed, 1, &destination, 1, 0, &possibilities, &count, status);
        if (status.isFatal() || count != 1 || possibilities[0].routeID == 0) {
            state.SkipWithError("could not fill the route database");
            voark::generalResizeFn(possibilities, 0, nullptr);
            return;
        }
        ids.push_back(possibilities[0].routeID);
    }
    voark::generalResizeFn(possibilities, 0, nullptr);
    const std::vector<uint32_t> order = lookupOrder(ids);
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(resources.getRouteState(order[next]));
        next = (next + 1) % order.size();
    }
}
BENCHMARK(BM_RouteLookup_GetRouteState);

void BM_RouteLookup_SortedBaseline(benchmark::State& state) {
    struct Record {
        uint32_t routeID;
        uint32_t state;
    };
    std::vector<Record> records;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < kRoutes; ++i) {
        records.push_back({i + 1, voark::kRouteCalculated});
        ids.push_back(i + 1);
    }
    const std::vector<uint32_t> order = lookupOrder(ids);
    size_t next = 0;
    for (auto _ : state) {
        const uint32_t id = order[next];
        const auto it = std::lower_bound(records.begin(), records.end(), id,
                                         [](const Record& r, uint32_t key) { return r.routeID < key; });
        benchmark::DoNotOptimize(it != records.end() && it->routeID == id ? it->state : 0);
        next = (next + 1) % order.size();
    }
}
BENCHMARK(BM_RouteLookup_SortedBaseline);

} // namespace
