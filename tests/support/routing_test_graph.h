// Synthetic topographies for the routing tests and a route programmer that records and can fail.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "routing/routing_resources.h"

namespace routing_test {

struct TerminalPlan {
    uint32_t id;
    uint8_t flags = 0;
    uint32_t tie = 0; // tie-group index + 1
};

struct EdgePlan {
    uint32_t from; // terminal index
    uint32_t to;
    uint32_t weight = 1;
    uint8_t inverts = 0;
    uint8_t isDefault = 0;
    std::vector<voark::ProgrammingEntry> settings = {};
};

struct GraphPlan {
    std::vector<TerminalPlan> terminals;
    std::vector<EdgePlan> edges;
    std::vector<std::vector<uint32_t>> ties;
};

// Terminals 1..n (index i has ID i + 1), no flags.
inline std::vector<TerminalPlan> plainTerminals(uint32_t n) {
    std::vector<TerminalPlan> terminals;
    for (uint32_t i = 0; i < n; ++i) {
        terminals.push_back({i + 1});
    }
    return terminals;
}

// The static format of a plan, edges stable-sorted by source; edgeIndex maps a plan edge to its index.
class Graph {
public:
    explicit Graph(const GraphPlan& plan) : terminals_(plan.terminals.size()), members_(plan.ties) {
        const uint32_t n = static_cast<uint32_t>(plan.terminals.size());
        std::vector<uint32_t> order(plan.edges.size());
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return plan.edges[a].from < plan.edges[b].from; });
        edgeIndex.resize(order.size());
        for (uint32_t k = 0; k < order.size(); ++k) {
            edgeIndex[order[k]] = k;
            const EdgePlan& e = plan.edges[order[k]];
            voark::Terminal& from = terminals_[e.from];
            from.firstOutgoingEdge = from.numOutgoingEdges++ == 0 ? k : from.firstOutgoingEdge;
            edges_.push_back({e.weight, e.to, nullptr, 0, static_cast<uint32_t>(entries_.size()),
                              static_cast<uint32_t>(e.settings.size()), e.inverts, e.isDefault});
            entries_.insert(entries_.end(), e.settings.begin(), e.settings.end());
        }
        std::vector<std::vector<uint32_t>> into(n);
        for (uint32_t k = 0; k < edges_.size(); ++k) {
            into[edges_[k].destTerminalIndex].push_back(k);
        }
        for (uint32_t t = 0; t < n; ++t) {
            voark::Terminal& def = terminals_[t];
            def.id = plan.terminals[t].id;
            def.subtopographyID = t;
            def.tieID = plan.terminals[t].tie;
            def.flags = plan.terminals[t].flags;
            def.firstIncomingEdge = static_cast<uint32_t>(incoming_.size());
            def.numIncomingEdges = static_cast<uint32_t>(into[t].size());
            incoming_.insert(incoming_.end(), into[t].begin(), into[t].end());
        }
        for (const auto& group : members_) {
            ties_.push_back({group.data(), nullptr, static_cast<uint32_t>(group.size())});
        }
        auto count = [](const auto& v) { return static_cast<uint32_t>(v.size()); };
        info_ = {"TestTopography", terminals_.data(), edges_.data(),    ties_.data(),
                 entries_.data(),  nullptr,           incoming_.data(), n,
                 count(edges_),    count(ties_),      count(entries_)};
    }
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    const voark::TopographyInfo& info() const { return info_; }
    std::vector<uint32_t> edgeIndex;

private:
    std::vector<voark::Terminal> terminals_;
    std::vector<voark::Edge> edges_;
    std::vector<voark::ProgrammingEntry> entries_;
    std::vector<uint32_t> incoming_;
    std::vector<std::vector<uint32_t>> members_;
    std::vector<voark::TieGroup> ties_;
    voark::TopographyInfo info_{};
};

// Records "begin", "end" and "sub:field=value"; fails the failAt-th program call (1-based), or begin.
struct RecordingProgrammer : voark::RouteProgrammerInterface {
    void begin(nVOAPALS100::tStatus& status) override {
        calls.push_back("begin");
        if (failBegin) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible);
        }
    }
    void program(uint32_t sub, uint32_t field, uint32_t value, nVOAPALS100::tStatus& status) override {
        ++programCalls;
        if (failAt != 0 && programCalls == failAt) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible);
            calls.push_back("fail");
            return;
        }
        calls.push_back(std::to_string(sub) + ":" + std::to_string(field) + "=" + std::to_string(value));
    }
    void end(nVOAPALS100::tStatus&) override { calls.push_back("end"); }

    std::vector<std::string> calls;
    uint32_t programCalls = 0;
    uint32_t failAt = 0;
    bool failBegin = false;
};

struct Calculated {
    int64_t code = 0;
    bool result = false;
    std::vector<voark::RoutePossibilityBase> possibilities;
};

// stale: the records of a buffer handed in full of stale bytes (none of them may go out).
inline Calculated calculate(voark::RoutingResources& resources,
                            const std::vector<voark::RouteCalculationSeedBase>& seeds,
                            const std::vector<uint32_t>& destinations, uint32_t options = 0,
                            uint32_t stale = 0) {
    const size_t bytes = stale * sizeof(voark::RoutePossibilityBase);
    voark::RoutePossibilityBase* buffer = nullptr;
    if (bytes != 0) {
        buffer = static_cast<voark::RoutePossibilityBase*>(voark::generalResizeFn(nullptr, bytes, nullptr));
        std::memset(static_cast<void*>(buffer), 0xAB, bytes);
    }
    uint32_t count = stale;
    nVOAPALS100::tStatus status;
    Calculated out;
    out.result = resources.calculateRoute(7, seeds.data(), static_cast<uint32_t>(seeds.size()),
                                          destinations.data(), static_cast<uint32_t>(destinations.size()),
                                          options, &buffer, &count, status);
    out.code = status.getCode();
    if (status.isNotFatal()) {
        out.possibilities.assign(buffer, buffer + count);
        for (const voark::RoutePossibilityBase& p : out.possibilities) {
            EXPECT_EQ(p.reserved[0] | p.reserved[1] | p.reserved[2], 0);
        }
    }
    voark::generalResizeFn(buffer, 0, nullptr);
    EXPECT_TRUE(resources.scratchDetached());
    return out;
}

// Reserves a route: the status code (the conflicts listed are freed).
inline int64_t reserve(voark::RoutingResources& resources, uint32_t id) {
    voark::RouteConflict* conflicts = nullptr;
    uint32_t count = 0;
    nVOAPALS100::tStatus status;
    resources.reserveRoute(id, &conflicts, &count, status);
    voark::generalResizeFn(conflicts, 0, nullptr);
    EXPECT_TRUE(resources.scratchDetached());
    return status.getCode();
}

// Terminals 1..6 (sub-topography ID - 1): e0 1->2 (default), e1 3->2, e2 2->4, e3 2->5, e4 4->6; settings
// 1x=1.
inline GraphPlan lineGraph(uint8_t flagsOf4 = 0) {
    GraphPlan plan{plainTerminals(6), {}, {}};
    plan.terminals[3].flags = flagsOf4;
    const std::pair<uint32_t, uint32_t> ends[] = {{0, 1}, {2, 1}, {1, 3}, {1, 4}, {3, 5}};
    for (uint32_t e = 0; e < 5; ++e) {
        plan.edges.push_back({ends[e].first, ends[e].second, 1, 0, e == 0, {{10 + e, 1}}});
    }
    return plan;
}

} // namespace routing_test
