// The route choice written out literally, as the reference of the routing
// tests: a sorted list of unvisited terminals (ties in cost settle last
// inserted first, unreached terminals in index order), two passes, twins,
// the choices within and across the passes and the floating segments.
// Quadratic and plain on purpose.
#pragma once

#include <cstdint>
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
};

struct RefPossibility {
    uint32_t destinationID;
    uint32_t cost;
    int32_t seedIndex;
    uint8_t inverted;
    RefRoute route;
};

struct RefResult {
    int64_t code = 0; // 0 or the error
    bool result = false;
    std::vector<RefPossibility> possibilities;
};

class Reference {
public:
    static constexpr uint32_t kMax = 0xFFFFFFFF;

    // reservations and availability: the edges' run-time state before the call.
    Reference(const voark::TopographyInfo& g, std::vector<uint32_t> reservations,
              std::vector<uint8_t> available)
        : g_(g), reservations_(std::move(reservations)), available_(std::move(available)) {}

    RefResult calculate(const std::vector<voark::RouteCalculationSeedBase>& seeds,
                        const std::vector<uint32_t>& destinations, uint32_t options) {
        RefResult out;
        for (const auto& s : seeds) {
            if (lookup(s.sourceTerminalID) < 0) {
                out.code = -52005;
                return out;
            }
        }
        for (uint32_t d : destinations) {
            if (lookup(d) < 0) {
                out.code = -52005;
                return out;
            }
        }
        std::vector<RefRoute> first;
        std::vector<RefRoute> second;
        const bool r1 = pass(seeds, false, destinations, options, first, out.code);
        if (out.code != 0) {
            return out;
        }
        const bool r2 = pass(seeds, true, destinations, options, second, out.code);
        if (out.code != 0) {
            return out;
        }
        for (auto& r : second) {
            r.inverted ^= 1;
        }
        std::vector<bool> firstGone(first.size());
        std::vector<bool> secondGone(second.size());
        for (size_t a = 0; a < first.size(); ++a) {
            for (size_t b = 0; b < second.size(); ++b) {
                if (secondGone[b] || id(end(second[b])) != id(end(first[a])) ||
                    second[b].inverted != first[a].inverted) {
                    continue;
                }
                if (second[b].cost < first[a].cost) {
                    firstGone[a] = true;
                } else {
                    secondGone[b] = true;
                }
                break;
            }
        }
        auto survivors = [](std::vector<RefRoute>& routes, const std::vector<bool>& gone) {
            // Holes are filled by moving the last remaining route into them.
            std::vector<RefRoute*> slots;
            for (size_t i = 0; i < routes.size(); ++i) {
                slots.push_back(gone[i] ? nullptr : &routes[i]);
            }
            size_t n = slots.size();
            for (size_t i = 0; i < n; ++i) {
                if (slots[i] != nullptr) {
                    continue;
                }
                while (n > i && slots[n - 1] == nullptr) {
                    --n;
                }
                if (n > i) {
                    slots[i] = slots[n - 1];
                    slots[n - 1] = nullptr;
                    --n;
                }
            }
            std::vector<RefRoute> kept;
            for (size_t i = 0; i < n; ++i) {
                kept.push_back(*slots[i]);
            }
            return kept;
        };
        first = survivors(first, firstGone);
        second = survivors(second, secondGone);
        auto record = [&](const std::vector<RefRoute>& routes, bool constrained) {
            for (const RefRoute& r : routes) {
                RefPossibility p{id(end(r)), r.cost, -1, r.inverted, r};
                for (size_t i = 0; i < seeds.size(); ++i) {
                    if (seeds[i].sourceTerminalID == id(r.source) &&
                        (seeds[i].hasInversionConstraint != 0) == constrained) {
                        p.seedIndex = static_cast<int32_t>(i);
                        break;
                    }
                }
                out.possibilities.push_back(p);
            }
        };
        record(first, false);
        record(second, true);
        out.result = (r1 || r2) && out.possibilities.empty();
        return out;
    }

private:
    const voark::Terminal& def(int t) const { return g_.terminals[t]; }
    const voark::Edge& edge(int e) const { return g_.edges[e]; }
    uint32_t id(int t) const { return def(t).id; }
    static int end(const RefRoute& r) { return r.segments.empty() ? r.source : r.segments.back().terminal; }
    int lookup(uint32_t wanted) const {
        for (uint32_t i = 0; i < g_.numTerminals; ++i) {
            if (g_.terminals[i].id == wanted) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    std::vector<int> incoming(int t) const {
        std::vector<int> edges;
        for (uint32_t i = 0; i < def(t).numIncomingEdges; ++i) {
            edges.push_back(static_cast<int>(g_.incomingEdgeList[def(t).firstIncomingEdge + i]));
        }
        return edges;
    }
    std::vector<int> outgoing(int t) const {
        std::vector<int> edges;
        for (uint32_t i = 0; i < def(t).numOutgoingEdges; ++i) {
            edges.push_back(static_cast<int>(def(t).firstOutgoingEdge + i));
        }
        return edges;
    }
    std::vector<int> group(int t) const {
        std::vector<int> members;
        if (def(t).tieID != 0) {
            const voark::TieGroup& tg = g_.tieGroups[def(t).tieID - 1];
            for (uint32_t m = 0; m < tg.numMembers; ++m) {
                members.push_back(static_cast<int>(tg.members[m]));
            }
        }
        return members;
    }
    bool bidir(int t) const { return (def(t).flags & voark::kTerminalBidirectional) != 0; }
    bool endpointOnly(int t) const { return (def(t).flags & voark::kTerminalEndpointOnly) != 0; }
    bool usable(int from, int e, int to) const {
        return (available_[e] != 0 || useUnavailable_) && (!endpointOnly(to) || isDst_[to]) &&
               (!endpointOnly(from) || isSrc_[from]);
    }
    void insertSorted(int t) {
        for (size_t i = 0; i < list_.size(); ++i) {
            if (list_[i] == t) {
                list_.erase(list_.begin() + static_cast<long>(i));
                break;
            }
        }
        size_t at = 0;
        while (at < list_.size() && cost_[list_[at]] < cost_[t]) {
            ++at;
        }
        list_.insert(list_.begin() + static_cast<long>(at), t);
    }

    bool pass(const std::vector<voark::RouteCalculationSeedBase>& seeds, bool constrained,
              const std::vector<uint32_t>& destinations, uint32_t options, std::vector<RefRoute>& routes,
              int64_t& code) {
        routes.clear();
        if (seeds.empty()) {
            code = -52005;
            return false;
        }
        const int n = static_cast<int>(g_.numTerminals);
        cost_.assign(n, kMax);
        previous_.assign(n, -1);
        previousEdge_.assign(n, -1);
        isSrc_.assign(n, false);
        isDst_.assign(n, false);
        list_.clear();
        for (int t = 0; t < n; ++t) {
            list_.push_back(t);
        }
        useUnavailable_ = (options & 1) != 0;
        bool accepted = false;
        for (const auto& s : seeds) {
            if ((s.hasInversionConstraint != 0) != constrained) {
                continue;
            }
            const int t = lookup(s.sourceTerminalID);
            if (bidir(t) && anyReservedIncoming(t)) {
                continue;
            }
            cost_[t] = s.startCost;
            insertSorted(t);
            isSrc_[t] = true;
            accepted = true;
        }
        if (!accepted || destinations.empty()) {
            return false;
        }
        uint64_t wanted = 0;
        for (uint32_t d : destinations) {
            const int t = lookup(d);
            bool reservedOut = false;
            for (int e : outgoing(t)) {
                reservedOut |= reservations_[e] > 0;
            }
            if (bidir(t) && reservedOut) {
                continue;
            }
            if (!isDst_[t]) {
                isDst_[t] = true;
                ++wanted;
            }
        }
        if (wanted == 0) {
            return false;
        }
        for (uint32_t d : destinations) {
            const int t = lookup(d);
            for (int m : group(t)) {
                if (m != t && !isDst_[m]) {
                    isDst_[m] = true;
                    ++wanted;
                }
            }
        }
        uint64_t solved = 0;
        while (solved != wanted) {
            if (list_.empty() || cost_[list_.front()] == kMax) {
                break;
            }
            const int current = list_.front();
            if (isDst_[current]) {
                ++solved;
            }
            list_.erase(list_.begin());
            if (solved == wanted) {
                break;
            }
            for (int e : outgoing(current)) {
                const int next = static_cast<int>(edge(e).destTerminalIndex);
                if (!usable(current, e, next)) {
                    continue;
                }
                const uint64_t c = uint64_t{cost_[current]} + edge(e).weight;
                if (c >= kMax || c >= cost_[next]) {
                    continue;
                }
                cost_[next] = static_cast<uint32_t>(c);
                insertSorted(next);
                previous_[next] = current;
                previousEdge_[next] = e;
            }
        }
        for (int t = 0; t < n; ++t) {
            if (!isDst_[t]) {
                continue;
            }
            RefRoute r;
            r.cost = cost_[t];
            if (isSrc_[t]) {
                r.source = t;
            } else if (previous_[t] >= 0) {
                int at = t;
                while (previous_[at] >= 0) {
                    r.segments.insert(r.segments.begin(), RefSegment{previousEdge_[at], at});
                    at = previous_[at];
                }
                r.source = at;
            } else {
                continue;
            }
            routes.push_back(r);
        }
        if (routes.empty()) {
            return true;
        }
        const size_t solvedCount = routes.size();
        for (size_t i = 0; i < solvedCount; ++i) {
            RefRoute& r = routes[i];
            r.inverted = 0;
            for (const auto& s : r.segments) {
                r.inverted ^= edge(s.edge).inverts != 0 ? 1 : 0;
            }
            bool done = false;
            for (size_t k = r.segments.size(); k-- > 0 && !done;) {
                const int from = k == 0 ? r.source : r.segments[k - 1].terminal;
                const int e = r.segments[k].edge;
                const int to = r.segments[k].terminal;
                if (reservations_[e] != 0) {
                    continue;
                }
                for (int c : outgoing(from)) {
                    if (static_cast<int>(edge(c).destTerminalIndex) != to ||
                        (edge(c).inverts != 0) == (edge(e).inverts != 0) || !usable(from, c, to)) {
                        continue;
                    }
                    done = true;
                    const uint64_t twinCost = uint64_t{r.cost} - edge(e).weight + edge(c).weight;
                    if (twinCost < kMax) {
                        RefRoute twin = r;
                        twin.segments[k].edge = c;
                        twin.cost = static_cast<uint32_t>(twinCost);
                        twin.inverted ^= 1;
                        routes.push_back(twin);
                    }
                    break;
                }
            }
        }
        std::vector<bool> gone(routes.size());
        for (size_t i = 0; i < routes.size(); ++i) {
            if (gone[i] || def(end(routes[i])).tieID == 0) {
                continue;
            }
            size_t a = i;
            for (size_t j = i + 1; j < routes.size(); ++j) {
                const int ea = end(routes[a]);
                const int eb = end(routes[j]);
                if (gone[j] || eb == ea || def(eb).numIncomingEdges == 0 || def(eb).tieID != def(ea).tieID ||
                    routes[j].inverted != routes[a].inverted) {
                    continue;
                }
                if (routes[j].cost < routes[a].cost) {
                    gone[a] = true;
                    a = j;
                } else {
                    gone[j] = true;
                }
            }
        }
        std::vector<RefRoute> kept;
        for (size_t i = 0; i < routes.size(); ++i) {
            if (!gone[i]) {
                kept.push_back(routes[i]);
            }
        }
        for (RefRoute& r : kept) {
            for (const auto& s : r.segments) {
                const std::vector<int> members = group(s.terminal);
                if (members.size() <= 1) {
                    continue;
                }
                for (int m : members) {
                    if (m == s.terminal) {
                        continue;
                    }
                    int defaultEdge = -1;
                    for (int e : incoming(m)) {
                        if (edge(e).isDefault != 0) {
                            defaultEdge = e;
                            break;
                        }
                    }
                    r.floating.push_back({defaultEdge, m});
                }
            }
        }
        routes = kept;
        return false;
    }

    bool anyReservedIncoming(int t) const {
        std::vector<int> set = group(t);
        if (def(t).tieID == 0) {
            set = {t};
        }
        for (int m : set) {
            for (int e : incoming(m)) {
                if (reservations_[e] > 0) {
                    return true;
                }
            }
        }
        return false;
    }

    const voark::TopographyInfo& g_;
    std::vector<uint32_t> reservations_;
    std::vector<uint8_t> available_;
    std::vector<uint32_t> cost_;
    std::vector<int> previous_;
    std::vector<int> previousEdge_;
    std::vector<bool> isSrc_;
    std::vector<bool> isDst_;
    std::vector<int> list_;
    bool useUnavailable_ = false;
};

} // namespace routing_test
