// The route choice written out literally, quadratic and plain on purpose: cheapest first (equal costs settle
// last reached first, unreached in index order), two passes, twins, the choices and floating segments.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "routing/routing_resources.h"

namespace routing_test {

struct RefSegment {
    int edge; // -1: none
    int terminal;
    bool operator==(const RefSegment&) const = default;
};

struct RefRoute {
    int source = -1;
    std::vector<RefSegment> segments;
    uint32_t cost = 0;
    uint8_t inverted = 0;
    std::vector<RefSegment> floating;
    int32_t seedIndex = -1;
    int end() const { return segments.empty() ? source : segments.back().terminal; }
    bool operator==(const RefRoute&) const = default;
};

inline void PrintTo(const RefRoute& r, std::ostream* os) {
    *os << "{source " << r.source << ", " << r.segments.size() << " segments, cost " << r.cost
        << ", inverted " << int(r.inverted) << ", " << r.floating.size() << " floating, seed " << r.seedIndex
        << "}";
}

struct RefResult {
    int64_t code = 0; // 0 or the error
    bool result = false;
    std::vector<RefRoute> possibilities;
};

class Reference {
public:
    static constexpr uint32_t kMax = 0xFFFFFFFF;
    using Seeds = std::vector<voark::RouteCalculationSeedBase>;
    using Ids = std::vector<uint32_t>;

    // state: the edges' run-time state (reservations and availability) as the call finds it.
    Reference(const voark::TopographyInfo& g, const voark::EdgeState* state) : g_(g), state_(state) {}

    RefResult calculate(const Seeds& seeds, const Ids& destinations, uint32_t options) {
        RefResult out;
        const auto unknown = [&](uint32_t wanted) { return lookup(wanted) < 0; };
        if (seeds.empty() || std::any_of(destinations.begin(), destinations.end(), unknown) ||
            std::any_of(seeds.begin(), seeds.end(),
                        [&](const auto& s) { return unknown(s.sourceTerminalID); })) {
            out.code = KELVO_STATUS_INVALID_PARAMETER;
            return out;
        }
        useUnavailable_ = (options & voark::kUseUnavailableEdges) != 0;
        firstSettled.assign(g_.numTerminals, kMax);
        std::vector<RefRoute> passes[2];
        bool found = false;
        for (int c = 0; c < 2; ++c) {
            found |= pass(seeds, c == 1, destinations, passes[c]);
        }
        // The first route of the second pass to the same terminal with the same inversion: the dearer goes.
        std::vector<char> gone[2] = {std::vector<char>(passes[0].size()),
                                     std::vector<char>(passes[1].size())};
        for (size_t a = 0; a < passes[0].size(); ++a) {
            for (size_t b = 0; b < passes[1].size(); ++b) {
                const RefRoute& x = passes[0][a];
                const RefRoute& y = passes[1][b];
                if (!gone[1][b] && id(y.end()) == id(x.end()) && y.inverted == x.inverted) {
                    (y.cost < x.cost ? gone[0][a] : gone[1][b]) = 1;
                    break;
                }
            }
        }
        for (int c = 0; c < 2; ++c) {
            fillHoles(passes[c], gone[c]);
            for (RefRoute& r : passes[c]) {
                for (size_t i = seeds.size(); i-- > 0;) {
                    if (seeds[i].sourceTerminalID == id(r.source) &&
                        (seeds[i].hasInversionConstraint != 0) == (c == 1)) {
                        r.seedIndex = static_cast<int32_t>(i);
                    }
                }
                out.possibilities.push_back(r);
            }
        }
        out.result = found && out.possibilities.empty();
        return out;
    }

    // The first pass's search: the destinations it settled, and each terminal's settled cost (kMax: none).
    uint64_t firstSolved = 0;
    std::vector<uint32_t> firstSettled;

private:
    const voark::Terminal& def(int t) const { return g_.terminals[t]; }
    const voark::Edge& edge(int e) const { return g_.edges[e]; }
    uint32_t id(int t) const { return def(t).id; }
    int lookup(uint32_t wanted) const {
        const voark::Terminal* end = g_.terminals + g_.numTerminals;
        const voark::Terminal* t =
            std::find_if(g_.terminals, end, [&](const auto& d) { return d.id == wanted; });
        return t == end ? -1 : static_cast<int>(t - g_.terminals);
    }
    std::vector<int> outgoing(int t) const {
        std::vector<int> edges(def(t).numOutgoingEdges);
        std::iota(edges.begin(), edges.end(), static_cast<int>(def(t).firstOutgoingEdge));
        return edges;
    }
    std::vector<int> incomingOf(const std::vector<int>& terminals) const {
        std::vector<int> edges;
        for (int t : terminals) {
            const uint32_t* first = g_.incomingEdgeList + def(t).firstIncomingEdge;
            edges.insert(edges.end(), first, first + def(t).numIncomingEdges);
        }
        return edges;
    }
    // t's tie group, or t alone.
    std::vector<int> group(int t) const {
        const voark::TieGroup* tg = def(t).tieID != 0 ? &g_.tieGroups[def(t).tieID - 1] : nullptr;
        return tg != nullptr ? std::vector<int>(tg->members, tg->members + tg->numMembers)
                             : std::vector<int>{t};
    }
    int defaultEdge(int t) const {
        const std::vector<int> in = incomingOf({t});
        const auto e = std::find_if(in.begin(), in.end(), [&](int k) { return edge(k).isDefault != 0; });
        return e == in.end() ? -1 : *e;
    }
    bool reserved(const std::vector<int>& edges) const {
        return std::any_of(edges.begin(), edges.end(), [&](int e) { return state_[e].reservationCount > 0; });
    }
    bool bidir(int t) const { return (def(t).flags & voark::kTerminalBidirectional) != 0; }
    bool endpointOnly(int t) const { return (def(t).flags & voark::kTerminalEndpointOnly) != 0; }
    bool usable(int from, int e, int to) const {
        return (state_[e].isAvailable != 0 || useUnavailable_) && (!endpointOnly(to) || dst_[to]) &&
               (!endpointOnly(from) || src_[from]);
    }
    void reach(int t, uint32_t cost) {
        cost_[t] = cost;
        order_[t] = --reached_;
    }
    // Drops the routes marked gone, each hole filled by the last route left.
    static void fillHoles(std::vector<RefRoute>& routes, const std::vector<char>& gone) {
        size_t n = routes.size();
        for (size_t i = 0; i < n; ++i) {
            while (n > i && gone[n - 1]) {
                --n;
            }
            if (gone[i] && n > i) {
                routes[i] = routes[--n];
            }
        }
        routes.resize(n);
    }
    // r with its last unreserved edge swapped for a usable parallel one of the other inversion (none:
    // overflow).
    std::optional<RefRoute> twinOf(const RefRoute& r) const {
        for (size_t k = r.segments.size(); k-- > 0;) {
            const int from = k == 0 ? r.source : r.segments[k - 1].terminal;
            const int e = r.segments[k].edge;
            const int to = r.segments[k].terminal;
            for (int c : outgoing(from)) {
                if (state_[e].reservationCount != 0 || static_cast<int>(edge(c).destTerminalIndex) != to ||
                    (edge(c).inverts != 0) == (edge(e).inverts != 0) || !usable(from, c, to)) {
                    continue;
                }
                const uint64_t cost = uint64_t{r.cost} - edge(e).weight + edge(c).weight;
                if (cost >= kMax) {
                    return std::nullopt;
                }
                RefRoute twin = r;
                twin.segments[k].edge = c;
                twin.cost = static_cast<uint32_t>(cost);
                twin.inverted ^= 1;
                return twin;
            }
        }
        return std::nullopt;
    }

    bool pass(const Seeds& seeds, bool constrained, const Ids& destinations, std::vector<RefRoute>& routes) {
        const int n = static_cast<int>(g_.numTerminals);
        cost_.assign(n, kMax);
        previous_.assign(n, {-1, -1});
        src_.assign(n, 0);
        dst_.assign(n, 0);
        order_.resize(n);
        std::iota(order_.begin(), order_.end(), 0);
        reached_ = 0;
        bool accepted = false;
        for (const auto& s : seeds) {
            const int t = lookup(s.sourceTerminalID);
            if ((s.hasInversionConstraint != 0) == constrained &&
                !(bidir(t) && reserved(incomingOf(group(t))))) {
                reach(t, s.startCost);
                src_[t] = accepted = true;
            }
        }
        uint64_t wanted = 0;
        for (uint32_t d : destinations) {
            const int t = lookup(d);
            if (!(bidir(t) && reserved(outgoing(t))) && !dst_[t]) {
                dst_[t] = 1;
                ++wanted;
            }
        }
        if (!accepted || wanted == 0) {
            return false;
        }
        for (uint32_t d : destinations) {
            for (int m : group(lookup(d))) {
                if (m != lookup(d) && !dst_[m]) {
                    dst_[m] = 1;
                    ++wanted;
                }
            }
        }
        std::vector<char> visited(n);
        uint64_t solved = 0;
        while (solved != wanted) {
            int at = -1;
            for (int t = 0; t < n; ++t) {
                if (!visited[t] &&
                    (at < 0 || std::pair(cost_[t], order_[t]) < std::pair(cost_[at], order_[at]))) {
                    at = t;
                }
            }
            if (at < 0 || cost_[at] == kMax) {
                break;
            }
            visited[at] = 1;
            if (dst_[at] && ++solved == wanted) {
                break;
            }
            for (int e : outgoing(at)) {
                const int next = static_cast<int>(edge(e).destTerminalIndex);
                const uint64_t c = uint64_t{cost_[at]} + edge(e).weight;
                if (usable(at, e, next) && c < cost_[next]) {
                    reach(next, static_cast<uint32_t>(c));
                    previous_[next] = {e, at};
                }
            }
        }
        if (!constrained) {
            firstSolved = solved;
            for (int t = 0; t < n; ++t) {
                firstSettled[t] = visited[t] ? cost_[t] : kMax;
            }
        }
        for (int t = 0; t < n; ++t) {
            if (!dst_[t] || (!src_[t] && previous_[t].edge < 0)) {
                continue;
            }
            RefRoute r{t, {}, cost_[t], static_cast<uint8_t>(constrained), {}, -1};
            while (!src_[t] && previous_[r.source].edge >= 0) {
                r.segments.insert(r.segments.begin(), RefSegment{previous_[r.source].edge, r.source});
                r.inverted ^= edge(previous_[r.source].edge).inverts != 0 ? 1 : 0;
                r.source = previous_[r.source].terminal;
            }
            routes.push_back(r);
        }
        if (routes.empty()) {
            return true;
        }
        for (size_t i = 0, solved = routes.size(); i < solved; ++i) {
            if (std::optional<RefRoute> twin = twinOf(routes[i])) {
                routes.push_back(*twin);
            }
        }
        // Of the routes to one tie group with the same inversion the cheapest stays, the first of equals.
        std::vector<char> gone(routes.size());
        for (size_t i = 0; i < routes.size(); ++i) {
            if (gone[i] || def(routes[i].end()).tieID == 0) {
                continue;
            }
            for (size_t a = i, j = i + 1; j < routes.size(); ++j) {
                const int ea = routes[a].end();
                const int eb = routes[j].end();
                if (!gone[j] && eb != ea && def(eb).numIncomingEdges != 0 && def(eb).tieID == def(ea).tieID &&
                    routes[j].inverted == routes[a].inverted) {
                    const bool cheaper = routes[j].cost < routes[a].cost;
                    gone[cheaper ? a : j] = 1;
                    a = cheaper ? j : a;
                }
            }
        }
        std::vector<RefRoute> kept;
        for (size_t i = 0; i < routes.size(); ++i) {
            if (gone[i]) {
                continue;
            }
            kept.push_back(routes[i]);
            for (const auto& s : routes[i].segments) {
                for (int m : group(s.terminal)) {
                    if (m != s.terminal) {
                        kept.back().floating.push_back({defaultEdge(m), m});
                    }
                }
            }
        }
        routes = kept;
        return false;
    }

    const voark::TopographyInfo& g_;
    const voark::EdgeState* state_;
    std::vector<uint32_t> cost_;
    std::vector<RefSegment> previous_; // per terminal: the edge it was reached by and where from
    std::vector<char> src_;
    std::vector<char> dst_;
    std::vector<int64_t> order_;
    int64_t reached_ = 0;
    bool useUnavailable_ = false;
};

} // namespace routing_test
