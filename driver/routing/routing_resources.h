// The routing resources: the graph state of one board, the database of
// calculated routes, and the route search and life-cycle operations over
// them. Every operation holds the resources' recursive lock throughout.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/vohtl/vector.h"
#include "platform/voitl/indexed_list.h"
#include "routing/grow_only_heap.h"
#include "routing/topography.h"

namespace voark {

// Writes the settings of edges: begin before the first setting of a
// transaction, end after the last.
class RouteProgrammerInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~RouteProgrammerInterface() = default;
    virtual void begin(nVOAPALS100::tStatus& status) = 0;
    virtual void program(uint32_t subtopographyID, uint32_t fieldId, uint32_t value,
                         nVOAPALS100::tStatus& status) = 0;
    virtual void end(nVOAPALS100::tStatus& status) = 0;
};

// A calculated route while a call runs (scratch memory).
struct Route {
    TerminalState* source;
    vogta::PathSegment* segments;
    uint32_t cost;
    uint32_t length;
    uint64_t owner;
    uint32_t state;
    uint8_t inverted;
    uint32_t lengthFloatingSegments;
    vogta::PathSegment* floatingSegments;
};

// Path segments stored behind the recorded route that holds them.
struct SegmentRun {
    vogta::PathSegment* data = nullptr;
    uint32_t count = 0;
    size_t size() const { return count; }
    vogta::PathSegment* begin() const { return data; }
    vogta::PathSegment* end() const { return data + count; }
    vogta::PathSegment& operator[](size_t i) const { return data[i]; }
    vogta::PathSegment& back() const { return data[count - 1]; }
};

struct RouteSlab;

// A recorded route: one record (its segments, then its floating segments,
// follow it) in one of the database's slabs, linked into the database under
// its ID.
struct RouteInDB : public kelvo_driver::nVOAPAL000::tObject {
    voitl::tIndexedNode node;  // key: routeID
    RouteSlab* slab = nullptr; // holds the record
    SegmentRun segments;
    SegmentRun floatingSegments;
    TerminalState* source = nullptr;
    uint32_t routeID = 0;
    uint32_t cost = 0;
    uint64_t owner = 0;
    uint32_t state = 0;
    uint8_t inverted = 0;
};

// The recorded routes in the order they were added, found by ID in
// logarithmic time (whoever keeps how many routes, a lookup stays short).
// Records are kept in slabs of a little under a page, as a kernel's slab
// caches keep small objects: each slab is cut into slots of one size class
// (a record with room for so many segments), so a calculation of thousands
// of routes takes a slab per few dozen routes, not an allocation per route.
// A removed record's slot goes onto its slab's free list, and the slabs with
// a free slot are listed by class: a new record takes such a slot before a
// new slab is opened, and a slab goes back with its last record. Every slab
// held thus holds a route: however routes came and went, the memory behind
// them is at most a slab per route kept, and near the records' own size when
// they are kept together. A record longer than the largest class has a block
// of its own.
class RouteDatabase {
public:
    RouteDatabase() = default;
    // Frees what is left (the resources release their routes first).
    ~RouteDatabase();
    RouteDatabase(const RouteDatabase&) = delete;
    RouteDatabase& operator=(const RouteDatabase&) = delete;

    // Records route under a new ID (0 and nothing recorded on failure).
    uint32_t add(const Route& route, nVOAPALS100::tStatus& status);
    RouteInDB* find(uint32_t routeID);
    const RouteInDB* find(uint32_t routeID) const;
    // Takes the entry out and frees it.
    void remove(RouteInDB* entry);
    // Removes the newest entries until size are left.
    void truncate(size_t size);
    size_t size() const { return entries_.size(); }
    // The order of addition: null past either end.
    RouteInDB* first() const { return entryOf(entries_.first()); }
    RouteInDB* last() const { return entryOf(entries_.last()); }
    RouteInDB* next(const RouteInDB& entry) const { return entryOf(entries_.next(entry.node)); }

    uint32_t nextRouteID = 1;
    uint8_t idsWrapped = 0;

    static constexpr uint32_t kSizeClasses = 18;

private:
    static RouteInDB* entryOf(voitl::tIndexedNode* node);
    // A slab with a free slot for a record of segmentCount segments, opened
    // when its class has none (null on failure).
    RouteSlab* slabWithRoom(uint64_t segmentCount, nVOAPALS100::tStatus& status);

    voitl::tIndexedList entries_;
    voitl::tListNode withRoom_[kSizeClasses]; // per class, the slabs with a free slot
};

class RoutingResources : public RoutingResourcesInterface {
public:
    // Builds the state records over info (which must outlive the object);
    // enabled only when the status then holds no error (lock and records made).
    RoutingResources(const TopographyInfo& info, RouteProgrammerInterface* programmer,
                     nVOAPALS100::tStatus& status);
    ~RoutingResources() override;
    RoutingResources(const RoutingResources&) = delete;
    RoutingResources& operator=(const RoutingResources&) = delete;

    AllocHelper getAllocHelper() override { return {generalResizeFn, nullptr}; }
    const TopographyInfo* getTopInfo() const override { return topInfo_; }
    void resetTerminal(uint32_t terminalID, uint32_t resetType, nVOAPALS100::tStatus& status) override;
    uint32_t calculateResetTerminal(uint64_t owner, uint32_t terminalID, uint32_t resetType,
                                    nVOAPALS100::tStatus& status) override;
    void resetAllTerminalsToDefault(nVOAPALS100::tStatus& status) override;
    bool calculateRoute(uint64_t owner, const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                        const uint32_t* destinationIDs, uint32_t numDestinations, uint32_t options,
                        RoutePossibilityBase** possibilities, uint32_t* numPossibilities,
                        nVOAPALS100::tStatus& status) override;
    void destroyRoute(uint32_t routeID) override;
    void reserveRoute(uint32_t routeID, RouteConflict** conflicts, uint32_t* numConflicts,
                      nVOAPALS100::tStatus& status) override;
    void unreserveRoute(uint32_t routeID) override;
    void programRoute(uint32_t routeID, nVOAPALS100::tStatus& status) override;
    void unprogramRoute(uint32_t routeID) override;
    void getRouteTerminalPath(uint32_t routeID, uint32_t** terminalIDs, uint32_t* count,
                              nVOAPALS100::tStatus& status) const override;
    uint32_t getRouteState(uint32_t routeID) const override;

    // For benchmarks: the search of calculateRoute's first pass alone (the
    // terminals' records reset, the seeds without inversion constraint
    // queued, the destinations marked, terminals settled cheapest first);
    // nothing is extracted or recorded. Returns how many destinations were
    // settled.
    uint64_t searchOnly(const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                        const uint32_t* destinationIDs, uint32_t numDestinations, uint32_t options,
                        nVOAPALS100::tStatus& status);

    bool isEnabled() const { return enabled_ != 0; }
    // The run-time records, for inspection.
    const TerminalState* terminalStates() const { return terminals_; }
    const EdgeState* edgeStates() const { return edges_; }
    const RouteDatabase& database() const { return db_; }
    // Test hook: the next route ID to hand out (exercises the wrap).
    void setNextRouteIDForTest(uint32_t next) { db_.nextRouteID = next; }
    // Scratch allocators A (segment arrays) and B (everything else) are
    // only installed while an operation runs: nothing may be left of them.
    bool scratchDetached() const { return allocA_.context == nullptr && allocB_.context == nullptr; }

private:
    friend class ScratchScope;
    friend class QueueScope;
    struct QueueEntry {
        uint32_t cost;
        uint32_t terminal;
        uint64_t sequence;
    };
    using SeedFilter = bool (*)(const RouteCalculationSeedBase&);

    TerminalState* getTerminalForID(uint32_t id) const;
    TerminalState* terminalsEnd() const { return terminals_ + numTerminals_; }
    EdgeState* incomingEdge(const TerminalState& t, uint32_t position) const;
    EdgeState* defaultIncomingEdge(const TerminalState& t) const;
    const TieGroup* tieGroupOf(const TerminalState& t) const;
    uint32_t indexOf(const TerminalState* t) const { return static_cast<uint32_t>(t - terminals_); }
    bool setHasReservedIncomingEdge(const TerminalState& t) const;
    bool hasReservedOutgoingEdge(const TerminalState& t) const;
    bool edgeUsable(const TerminalState& from, const EdgeState& edge, const TerminalState& to) const;
    static const TerminalState* endTerminal(const Route& route);

    // One pass of the search, and its phases in the order it runs them.
    bool calculatePass(uint64_t owner, const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                       SeedFilter filter, const uint32_t* destinationIDs, uint32_t numDestinations,
                       uint32_t options, Route*** routes, uint32_t* count, nVOAPALS100::tStatus& status);
    bool startPass(const RouteCalculationSeedBase* seeds, uint32_t numSeeds, SeedFilter filter,
                   const uint32_t* destinationIDs, uint32_t numDestinations, uint32_t options,
                   uint64_t* extraSlots, nVOAPALS100::tStatus& status);
    void resetSearch(uint32_t options);
    bool markSources(const RouteCalculationSeedBase* seeds, uint32_t numSeeds, SeedFilter filter,
                     nVOAPALS100::tStatus& status);
    bool markDestinations(const uint32_t* destinationIDs, uint32_t numDestinations,
                          nVOAPALS100::tStatus& status);
    uint64_t markTiedDestinations(const uint32_t* destinationIDs, uint32_t numDestinations);
    bool search(nVOAPALS100::tStatus& status);
    bool relaxOutgoingEdges(TerminalState& current);
    bool extractRoutes(Route** routes, uint32_t* used, nVOAPALS100::tStatus& status);
    bool tracePath(TerminalState& destination, Route& route);
    bool addTwins(Route** routes, uint32_t solved, uint32_t* used, nVOAPALS100::tStatus& status);
    uint32_t chooseWithinPass(Route** routes, uint32_t used);
    void keepCheapestTied(Route** routes, uint32_t i, uint32_t used);
    bool addFloatingSegments(Route& route);
    uint32_t tiedPartners(const TerminalState& crossed, vogta::PathSegment* out) const;
    bool queuePush(TerminalState& t);
    TerminalState* queuePop();
    // Puts entry at hole (a free slot of the heap) after moving it up past every parent it comes before.
    void queueRise(uint64_t hole, const QueueEntry& entry);
    Route* newRoute();
    void destroyCalculatedRoute(Route* route);
    void destroyRouteArray(Route** routes, uint32_t count);
    EdgeState* parallelEdge(const TerminalState& from, const EdgeState& edge, const TerminalState& to) const;
    void knowPath(TerminalState& t);
    bool makeTwin(const Route& route, Route* twin, nVOAPALS100::tStatus& status);
    // What one pass found.
    struct PassRoutes {
        Route** routes = nullptr;
        uint32_t count = 0;
        bool unreached = false;
    };
    bool knownTerminals(const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                        const uint32_t* destinationIDs, uint32_t numDestinations) const;
    bool growPossibilities(uint32_t count, RoutePossibilityBase** possibilities, uint32_t* numPossibilities,
                           nVOAPALS100::tStatus& status);
    bool publishPossibilities(PassRoutes& first, PassRoutes& second, const RouteCalculationSeedBase* seeds,
                              uint32_t numSeeds, RoutePossibilityBase* out, uint32_t* numPossibilities,
                              nVOAPALS100::tStatus& status);
    void chooseAcrossPasses(PassRoutes& first, PassRoutes& second);
    static uint32_t closeHoles(Route** routes, uint32_t count);
    void populatePossibilities(Route** routes, uint32_t count, const RouteCalculationSeedBase* seeds,
                               uint32_t numSeeds, SeedFilter filter, RoutePossibilityBase* out,
                               nVOAPALS100::tStatus& status);

    // Life cycle of the Topography part.
    bool isTerminalInUseAsADest(const TerminalState& t, EdgeState*** list, uint32_t* count);
    void appendEdge(EdgeState*** list, uint32_t* count, EdgeState* edge);
    bool listReservedOutgoingEdges(const TerminalState& t, EdgeState*** list, uint32_t* count);
    bool segmentsInUse(const SegmentRun& segments, EdgeState*** list, uint32_t* count);
    bool findConflicts(const RouteInDB& entry, EdgeState*** list, uint32_t* count);
    void claimRoute(const RouteInDB& entry);
    void listConflictingRoutes(EdgeState* const* list, uint32_t listCount, RouteConflict** conflicts,
                               uint32_t* numConflicts);
    void writeEdge(const EdgeState& edge, const TerminalState& terminal, bool* began,
                   nVOAPALS100::tStatus& status, bool mergeEach);
    void topoResetTerminal(TerminalState& t, uint32_t resetType, nVOAPALS100::tStatus& status);
    void forceResetTerminal(bool* began, TerminalState& t, uint32_t resetType, nVOAPALS100::tStatus& status);
    EdgeState* resetEdgeOf(const TerminalState& t, uint32_t resetType, nVOAPALS100::tStatus& status) const;
    bool floatTieGroup(const TieGroup& group, Route& route, TerminalState** final);
    void topoUnprogramRoute(RouteInDB& entry);
    void topoUnreserveRoute(RouteInDB& entry);
    void releaseEntry(RouteInDB& entry);

    // The Topography part.
    TerminalState* terminals_ = nullptr;
    // Per terminal, its first incoming edge that is a default one (the
    // index into edges_ plus one; 0: none), found once (after terminals_, in
    // its block).
    uint32_t* defaultIncoming_ = nullptr;
    // The search's view, dense so that its relaxations read a few bytes per
    // edge instead of an edge's and a terminal's records: each terminal's
    // cost (kept equal to its record's; after defaultIncoming_, in its
    // block) and each edge's weight and destination (after edges_, in theirs).
    // A queue entry is live while its cost is its terminal's and the terminal
    // is not settled: a terminal is queued again only at a lower cost, or as
    // a later seed; among entries of equal cost the latest comes first.
    uint32_t* costs_ = nullptr;
    // Each terminal's outgoing edges (first, count), as its definition has
    // them (after costs_).
    struct OutgoingEdges {
        uint32_t first;
        uint32_t count;
    };
    OutgoingEdges* outgoing_ = nullptr;
    // The terminals a pass touched (queued or marked), so that the next pass
    // resets only their records: touched_ lists them, touchedPass_ holds the
    // pass that last listed each (both after costs_).
    uint32_t* touched_ = nullptr;
    uint32_t* touchedPass_ = nullptr;
    uint32_t numTouched_ = 0;
    uint32_t pass_ = 1;
    void touch(const TerminalState& t);
    // Per terminal, whether it is an end point only (after touchedPass_), and
    // per edge, its availability (after searchEdges_; kept equal to its
    // record's by setAvailable).
    uint8_t* endpointOnly_ = nullptr;
    uint8_t* edgeAvailable_ = nullptr;
    void setAvailable(EdgeState& edge, uint8_t available);
    struct SearchEdge {
        uint32_t weight;
        uint32_t destTerminalIndex;
    };
    SearchEdge* searchEdges_ = nullptr;
    EdgeState* edges_ = nullptr;
    uint32_t numTerminals_ = 0;
    uint32_t numEdges_ = 0;
    uint8_t useUnavailableEdges_ = 0;
    uint64_t numDestinations_ = 0;
    uint64_t numSolved_ = 0;
    AllocHelper allocA_{growOnlyHeapResizeFn, nullptr};
    AllocHelper allocB_{growOnlyHeapResizeFn, nullptr};
    const TopographyInfo* topInfo_;
    RouteProgrammerInterface* programmer_;
    // The search queue: a heap of four children a node (half the levels of
    // a binary one, a node's children side by side in memory) ordered by cost,
    // then by the latest insertion first (the order of the sorted unvisited
    // list it replaces).
    static constexpr uint64_t kQueueArity = 4;
    QueueEntry* queue_ = nullptr;
    uint64_t queueSize_ = 0;
    uint64_t queueCapacity_ = 0;
    uint64_t sequence_ = 0;

    RouteDatabase db_;
    uint8_t enabled_ = 0;
    mutable kelvo_driver::nVOAPAL000::tMutex lock_;
};

} // namespace voark
