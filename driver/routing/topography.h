// The routing graph: the static, read-only description of a board's
// terminals, edges, tie groups and edge settings, and the run-time state
// that the engine keeps for every terminal and edge.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace voark {

using TerminalIDType = uint32_t;

// Terminal flags.
inline constexpr uint8_t kTerminalEndpointOnly = 1;
inline constexpr uint8_t kTerminalBidirectional = 2;
inline constexpr uint8_t kTerminalKeepState = 4;

struct Terminal {
    TerminalIDType id;
    uint32_t subtopographyID; // handed to the programmer with every setting of an edge into it
    uint32_t firstOutgoingEdge;
    uint32_t numOutgoingEdges;
    uint32_t firstIncomingEdge; // position in incomingEdgeList
    uint32_t numIncomingEdges;
    uint32_t tieID; // 0: not tied; otherwise the tie-group index + 1
    uint8_t flags;
};

struct Edge {
    uint32_t weight;
    uint32_t destTerminalIndex;
    const void* auxList; // not read by the engine
    uint32_t auxListLength;
    uint32_t firstProgrammingEntry;
    uint32_t numProgrammingEntries;
    uint8_t inverts;
    uint8_t isDefault; // the default driver of its destination
};

struct TieGroup {
    const uint32_t* members; // terminal indices
    const void* unused;
    uint32_t numMembers;
};

struct ProgrammingEntry {
    uint32_t fieldId;
    uint32_t value;
};

struct TopographyInfo {
    const char* name;
    const Terminal* terminals;
    const Edge* edges;
    const TieGroup* tieGroups;
    const ProgrammingEntry* programmingEntries;
    const uint32_t* outgoingEdgeList; // not read by the engine
    const uint32_t* incomingEdgeList;
    uint32_t numTerminals;
    uint32_t numEdges;
    uint32_t numTieGroups;
    uint32_t numProgrammingEntries;
};

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
