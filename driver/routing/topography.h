// The run-time state that the engine keeps for every terminal and edge of a
// board's static description (framework/routing_interface.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "framework/routing_interface.h"

namespace voark {

inline constexpr uint32_t kUnreachedCost = 0xFFFFFFFF;

struct EdgeState;

struct TerminalState {
    const Terminal* def = nullptr;
    TerminalState* previous = nullptr;
    EdgeState* previousEdge = nullptr;
    // What the search tree gives the path from its root to this terminal,
    // worked out once per pass for the routes that end here or pass through
    // (valid while pathKnown is set): its edge count, the parity of its
    // inverting edges, and the deepest edge of it that a parallel edge of
    // the other inversion can replace (twinEdge; its position plus one in
    // twinDepth, 0: none).
    EdgeState* twinEdge = nullptr;
    uint32_t cost = kUnreachedCost;
    uint32_t depth = 0;
    uint32_t twinDepth = 0;
    uint8_t isSource = 0;
    uint8_t isDestination = 0;
    // Search bookkeeping: whether the terminal has been settled.
    uint8_t settled = 0;
    uint8_t flags = 0; // def->flags, kept beside the search's state
    uint8_t pathKnown = 0;
    uint8_t parity = 0;
};

struct EdgeState {
    const Edge* def = nullptr;
    uint32_t reservationCount = 0;
    uint32_t programCount = 0;
    // def->weight, def->destTerminalIndex and def->inverts, kept here so
    // that the search and the path walks read one record per edge.
    uint32_t weight = 0;
    uint32_t destTerminalIndex = 0;
    uint8_t isAvailable = 1;
    uint8_t inverts = 0;
};

} // namespace voark

namespace vogta {

// One step of a route: the edge taken (null for a floating segment of a
// tied terminal without a default edge) and the terminal it reaches.
struct PathSegment {
    voark::EdgeState* edge;
    voark::TerminalState* terminal;
};

} // namespace vogta
