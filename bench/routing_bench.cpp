// Route search on a 10,000-terminal grid (about 40,000 edges): the whole
// calculateRoute call (both passes, twins, records; the route destroyed
// between iterations) against a plain binary-heap shortest-path search over
// the same arrays, in the same run. Compare the two times as a ratio.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <queue>
#include <vector>

#include "routing/grow_only_heap.h"
#include "routing/routing_resources.h"

namespace {

// A side x side grid, every terminal linked to its four neighbours with
// weights 1 to 4 (some inverting, so that twins are tried).
struct Grid {
    explicit Grid(uint32_t side) {
        const uint32_t n = side * side;
        for (uint32_t t = 0; t < n; ++t) {
            voark::Terminal def{};
            def.id = t + 1;
            def.firstOutgoingEdge = static_cast<uint32_t>(edges.size());
            const uint32_t x = t % side;
            const uint32_t y = t / side;
            auto link = [&](uint32_t to) {
                edges.push_back({1 + (t * 7 + to * 13) % 4, to, nullptr, 0, 0, 0,
                                 static_cast<uint8_t>((t + to) % 5 == 0), 0});
            };
            if (x > 0)
                link(t - 1);
            if (x + 1 < side)
                link(t + 1);
            if (y > 0)
                link(t - side);
            if (y + 1 < side)
                link(t + side);
            def.numOutgoingEdges = static_cast<uint32_t>(edges.size()) - def.firstOutgoingEdge;
            terminals.push_back(def);
        }
        for (uint32_t t = 0; t < n; ++t) {
            terminals[t].firstIncomingEdge = static_cast<uint32_t>(incoming.size());
            for (uint32_t e = 0; e < edges.size(); ++e) {
                if (edges[e].destTerminalIndex == t) {
                    incoming.push_back(e);
                    ++terminals[t].numIncomingEdges;
                }
            }
        }
        info = {"Grid",
                terminals.data(),
                edges.data(),
                nullptr,
                nullptr,
                nullptr,
                incoming.data(),
                n,
                static_cast<uint32_t>(edges.size()),
                0,
                0};
    }
    std::vector<voark::Terminal> terminals;
    std::vector<voark::Edge> edges;
    std::vector<uint32_t> incoming;
    voark::TopographyInfo info{};
};

// A random sparse graph: n terminals, four random outgoing edges each.
struct Sparse : Grid {
    explicit Sparse(uint32_t n) : Grid(0) {
        uint64_t x = 0x9E3779B97F4A7C15ull;
        auto next = [&] {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            return static_cast<uint32_t>(x);
        };
        terminals.clear();
        edges.clear();
        incoming.clear();
        for (uint32_t t = 0; t < n; ++t) {
            voark::Terminal def{};
            def.id = t + 1;
            def.firstOutgoingEdge = static_cast<uint32_t>(edges.size());
            for (int k = 0; k < 4; ++k) {
                edges.push_back(
                    {1 + next() % 8, next() % n, nullptr, 0, 0, 0, static_cast<uint8_t>(next() % 7 == 0), 0});
            }
            def.numOutgoingEdges = 4;
            terminals.push_back(def);
        }
        std::vector<std::vector<uint32_t>> into(n);
        for (uint32_t e = 0; e < edges.size(); ++e) {
            into[edges[e].destTerminalIndex].push_back(e);
        }
        for (uint32_t t = 0; t < n; ++t) {
            terminals[t].firstIncomingEdge = static_cast<uint32_t>(incoming.size());
            terminals[t].numIncomingEdges = static_cast<uint32_t>(into[t].size());
            incoming.insert(incoming.end(), into[t].begin(), into[t].end());
        }
        info = {"Sparse",
                terminals.data(),
                edges.data(),
                nullptr,
                nullptr,
                nullptr,
                incoming.data(),
                n,
                static_cast<uint32_t>(edges.size()),
                0,
                0};
    }
};

const Grid& sparse() {
    static const Sparse g(2000);
    return g;
}

const Grid& grid() {
    static const Grid g(100);
    return g;
}

void BM_RouteSearch_CalculateRoute(benchmark::State& state) {
    const Grid& g = grid();
    nVOAPALS100::tStatus status;
    voark::RoutingResources resources(g.info, nullptr, status);
    const voark::RouteCalculationSeedBase seed{1, 0, 0, {}};
    const uint32_t destination = g.info.numTerminals;
    voark::RoutePossibilityBase* possibilities = nullptr;
    uint32_t count = 0;
    for (auto _ : state) {
        resources.calculateRoute(1, &seed, 1, &destination, 1, 0, &possibilities, &count, status);
        benchmark::DoNotOptimize(count);
        for (uint32_t i = 0; i < count; ++i) {
            resources.destroyRoute(possibilities[i].routeID);
        }
    }
    voark::generalResizeFn(possibilities, 0, nullptr);
}
BENCHMARK(BM_RouteSearch_CalculateRoute);

// Baseline: textbook binary-heap search to the same destination.
void BM_RouteSearch_PlainDijkstra(benchmark::State& state) {
    const Grid& g = grid();
    const uint32_t n = g.info.numTerminals;
    std::vector<uint32_t> cost(n);
    std::vector<uint32_t> previous(n);
    using Entry = std::pair<uint32_t, uint32_t>;
    for (auto _ : state) {
        std::fill(cost.begin(), cost.end(), UINT32_MAX);
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
        cost[0] = 0;
        queue.push({0, 0});
        while (!queue.empty()) {
            const auto [c, t] = queue.top();
            queue.pop();
            if (c != cost[t]) {
                continue;
            }
            if (t == n - 1) {
                break;
            }
            const voark::Terminal& def = g.terminals[t];
            for (uint32_t e = def.firstOutgoingEdge; e < def.firstOutgoingEdge + def.numOutgoingEdges; ++e) {
                const uint32_t to = g.edges[e].destTerminalIndex;
                const uint32_t next = c + g.edges[e].weight;
                if (next < cost[to]) {
                    cost[to] = next;
                    previous[to] = t;
                    queue.push({next, to});
                }
            }
        }
        benchmark::DoNotOptimize(cost[n - 1]);
    }
}
BENCHMARK(BM_RouteSearch_PlainDijkstra);

// One seed to every terminal of the sparse graph, against a full plain search.
void BM_RouteSearch_OneToAll_CalculateRoute(benchmark::State& state) {
    const Grid& g = sparse();
    nVOAPALS100::tStatus status;
    voark::RoutingResources resources(g.info, nullptr, status);
    const voark::RouteCalculationSeedBase seed{1, 0, 0, {}};
    std::vector<uint32_t> destinations;
    for (uint32_t t = 0; t < g.info.numTerminals; ++t) {
        destinations.push_back(t + 1);
    }
    voark::RoutePossibilityBase* possibilities = nullptr;
    uint32_t count = 0;
    for (auto _ : state) {
        resources.calculateRoute(1, &seed, 1, destinations.data(), static_cast<uint32_t>(destinations.size()),
                                 0, &possibilities, &count, status);
        benchmark::DoNotOptimize(count);
        for (uint32_t i = count; i-- > 0;) {
            resources.destroyRoute(possibilities[i].routeID); // last first, as a session does
        }
    }
    voark::generalResizeFn(possibilities, 0, nullptr);
}
BENCHMARK(BM_RouteSearch_OneToAll_CalculateRoute);

void BM_RouteSearch_OneToAll_PlainDijkstra(benchmark::State& state) {
    const Grid& g = sparse();
    const uint32_t n = g.info.numTerminals;
    std::vector<uint32_t> cost(n);
    using Entry = std::pair<uint32_t, uint32_t>;
    for (auto _ : state) {
        std::fill(cost.begin(), cost.end(), UINT32_MAX);
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
        cost[0] = 0;
        queue.push({0, 0});
        while (!queue.empty()) {
            const auto [c, t] = queue.top();
            queue.pop();
            if (c != cost[t]) {
                continue;
            }
            const voark::Terminal& def = g.terminals[t];
            for (uint32_t e = def.firstOutgoingEdge; e < def.firstOutgoingEdge + def.numOutgoingEdges; ++e) {
                const uint32_t to = g.edges[e].destTerminalIndex;
                if (c + g.edges[e].weight < cost[to]) {
                    cost[to] = c + g.edges[e].weight;
                    queue.push({cost[to], to});
                }
            }
        }
        benchmark::DoNotOptimize(cost.data());
    }
}
BENCHMARK(BM_RouteSearch_OneToAll_PlainDijkstra);

} // namespace
