// The routing engine as the rest of the driver sees it: the static format of
// a board's topography (terminals, edges, tie groups, edge settings), the
// records exchanged with callers, and the interface of the routing
// resources. The engine (driver/routing) implements it; the routing
// sessions of the device framework use it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

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

// Route states.
inline constexpr uint32_t kRouteCalculated = 100;
inline constexpr uint32_t kRouteReserved = 200;
inline constexpr uint32_t kRouteProgrammed = 300;

// Routing codes.
inline constexpr int64_t kTerminalDrivenByReservedRoute = -89127;
inline constexpr int64_t kNoResetEdge = -89128;
inline constexpr int64_t kRouteConflict = -89137;

// Option bit 0 of calculateRoute: edges made unavailable may be used too.
inline constexpr uint32_t kUseUnavailableEdges = 1;

struct RouteCalculationSeedBase {
    uint32_t sourceTerminalID;
    uint32_t startCost;
    uint8_t hasInversionConstraint; // non-zero: the seed belongs to the second pass
    uint8_t reserved[3];
};
static_assert(sizeof(RouteCalculationSeedBase) == 12);

struct RoutePossibilityBase {
    uint32_t routeID; // 0: the route could not be recorded
    uint32_t destinationTerminalID;
    uint32_t cost;
    int32_t seedIndex; // -1: no seed matches
    uint8_t inverted;
    uint8_t reserved[3];
};
static_assert(sizeof(RoutePossibilityBase) == 20);

struct RouteConflict {
    uint64_t owner;
    uint32_t routeID;
    uint32_t reserved;
};
static_assert(sizeof(RouteConflict) == 16);

// Allocation function: releases old (when not null) and returns a block of
// size bytes, or null for size 0 or on failure (old then stays untouched
// for the general allocator). It never copies.
using ResizeFn = void* (*)(void* old, uint64_t size, void* context);
struct AllocHelper {
    ResizeFn fn;
    void* context;
};

class RoutingResourcesInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~RoutingResourcesInterface() = default;
    virtual AllocHelper getAllocHelper() = 0;
    virtual const TopographyInfo* getTopInfo() const = 0;
    virtual void resetTerminal(uint32_t terminalID, uint32_t resetType, nVOAPALS100::tStatus& status) = 0;
    virtual uint32_t calculateResetTerminal(uint64_t owner, uint32_t terminalID, uint32_t resetType,
                                            nVOAPALS100::tStatus& status) = 0;
    virtual void resetAllTerminalsToDefault(nVOAPALS100::tStatus& status) = 0;
    virtual bool calculateRoute(uint64_t owner, const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                                const uint32_t* destinationIDs, uint32_t numDestinations, uint32_t options,
                                RoutePossibilityBase** possibilities, uint32_t* numPossibilities,
                                nVOAPALS100::tStatus& status) = 0;
    virtual void destroyRoute(uint32_t routeID) = 0;
    virtual void reserveRoute(uint32_t routeID, RouteConflict** conflicts, uint32_t* numConflicts,
                              nVOAPALS100::tStatus& status) = 0;
    virtual void unreserveRoute(uint32_t routeID) = 0;
    virtual void programRoute(uint32_t routeID, nVOAPALS100::tStatus& status) = 0;
    virtual void unprogramRoute(uint32_t routeID) = 0;
    virtual void getRouteTerminalPath(uint32_t routeID, uint32_t** terminalIDs, uint32_t* count,
                                      nVOAPALS100::tStatus& status) const = 0;
    virtual uint32_t getRouteState(uint32_t routeID) const = 0;
};

} // namespace voark
