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
    uint32_t cost = kUnreachedCost;
    uint8_t isSource = 0;
    uint8_t isDestination = 0;
    // Search bookkeeping: the sequence number of the terminal's live queue
    // entry (older entries are stale) and whether it has been settled.
    uint8_t settled = 0;
    uint64_t stamp = 0;
};

struct EdgeState {
    const Edge* def = nullptr;
    uint32_t reservationCount = 0;
    uint32_t programCount = 0;
    uint8_t isAvailable = 1;
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
