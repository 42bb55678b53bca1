#include "routing/routing_resources.h"

#include "framework/mutex_holder.h"
#include "nVOKAL.h"
#include "platform/voitl/containing.h"
#include "platform/vosdbg.h"

namespace voark {

using nVOAPALS100::tStatus;

namespace {

bool seedDoesNotHaveInversionConstraint(const RouteCalculationSeedBase& seed) {
    return seed.hasInversionConstraint == 0;
}
bool seedHasInversionConstraint(const RouteCalculationSeedBase& seed) {
    return seed.hasInversionConstraint != 0;
}

bool inverts(const EdgeState& edge) {
    return edge.inverts != 0;
}

// The chunk sizes of a route calculation's scratch heap: the first, and the
// largest that doubling reaches (a calculation of thousands of routes takes
// megabytes of scratch memory).
constexpr uint64_t kCalculationScratchChunk = 2048;
constexpr uint64_t kCalculationLargestScratchChunk = uint64_t{1} << 20;

} // namespace

// Installs a scratch heap as the context of allocators A and B for one
// operation; detaches it before the heap goes.
class ScratchScope {
public:
    ScratchScope(RoutingResources& resources, GrowOnlyHeap& heap) : resources_(resources) {
        resources_.allocA_.context = &heap;
        resources_.allocB_.context = &heap;
    }
    ~ScratchScope() {
        resources_.allocA_.context = nullptr;
        resources_.allocB_.context = nullptr;
    }
    ScratchScope(const ScratchScope&) = delete;
    ScratchScope& operator=(const ScratchScope&) = delete;

private:
    RoutingResources& resources_;
};

// Empties the search queue at the end of a pass (its storage stays for the
// next pass, warm and grown to what the passes needed).
class QueueScope {
public:
    explicit QueueScope(RoutingResources& resources) : resources_(resources) {}
    ~QueueScope() { resources_.queueSize_ = 0; }
    QueueScope(const QueueScope&) = delete;
    QueueScope& operator=(const QueueScope&) = delete;

private:
    RoutingResources& resources_;
};

// ---- database ------------------------------------------------------------

// A slot given back: it holds the next one on its slab's free list.
struct FreeSlot {
    FreeSlot* next;
};

// A slab of route records: this header, then slots of slotBytes each (a
// multiple of kRecordAlignment), carved from the start as needed. While it
// has a free slot it is listed with its class's other such slabs.
struct RouteSlab {
    voitl::tListNode withRoom;
    FreeSlot* freeSlots = nullptr; // given back, the last first
    uint64_t slotBytes = 0;
    uint32_t slots = 0;     // that fit
    uint32_t carved = 0;    // slots handed out at least once
    uint32_t live = 0;      // records in it
    uint32_t sizeClass = 0; // RouteDatabase::kSizeClasses for a record's own block

    bool hasRoom() const { return freeSlots != nullptr || carved < slots; }
};

namespace {
constexpr uint64_t kRecordAlignment = 16;
constexpr uint64_t kSlabHeader = (sizeof(RouteSlab) + kRecordAlignment - 1) & ~(kRecordAlignment - 1);
// A little under a page, so that a page also holds the allocator's own bookkeeping.
constexpr uint64_t kSlabBytes = 4096 - 64;
// The segments (of the path and floating) a record of each class has room for.
constexpr uint32_t kClassSegments[RouteDatabase::kSizeClasses] = {1,  2,  3,  4,  5,  6,  8,  10, 12,
                                                                  16, 20, 24, 32, 40, 48, 64, 80, 96};

// Per segment count up to the largest class's, the smallest class with room for it.
struct ClassOfSegments {
    uint8_t of[kClassSegments[RouteDatabase::kSizeClasses - 1] + 1];
};
constexpr ClassOfSegments kClassOf = [] {
    ClassOfSegments table{};
    uint8_t sizeClass = 0;
    for (uint32_t n = 0; n < sizeof(table.of); ++n) {
        while (kClassSegments[sizeClass] < n) {
            ++sizeClass;
        }
        table.of[n] = sizeClass;
    }
    return table;
}();

// Whether a slab is listed (a list node in no list points to itself).
bool listed(const voitl::tListNode& node) {
    return node.next != &node;
}

constexpr uint64_t recordBytes(uint64_t segmentCount) {
    return (sizeof(RouteInDB) + segmentCount * sizeof(vogta::PathSegment) + kRecordAlignment - 1) &
           ~(kRecordAlignment - 1);
}
static_assert(kSlabHeader + 2 * recordBytes(kClassSegments[RouteDatabase::kSizeClasses - 1]) <= kSlabBytes,
              "every class fits a slab at least twice");
} // namespace

RouteSlab* RouteDatabase::slabWithRoom(uint64_t segmentCount, tStatus& status) {
    const uint32_t sizeClass = segmentCount < sizeof(kClassOf.of) ? kClassOf.of[segmentCount] : kSizeClasses;
    const bool ownBlock = sizeClass == kSizeClasses;
    if (!ownBlock && listed(withRoom_[sizeClass])) {
        return voitl::getContainingObject<RouteSlab>(withRoom_[sizeClass].next, &RouteSlab::withRoom);
    }
    const uint64_t slotBytes = recordBytes(ownBlock ? segmentCount : kClassSegments[sizeClass]);
    const uint64_t bytes = ownBlock ? kSlabHeader + slotBytes : kSlabBytes;
    void* block = nVOKAL100_malloc(bytes);
    if (block == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return nullptr;
    }
    auto* slab = new (block) RouteSlab;
    slab->slotBytes = slotBytes;
    slab->slots = static_cast<uint32_t>((bytes - kSlabHeader) / slotBytes);
    slab->sizeClass = sizeClass;
    if (!ownBlock) {
        voitl_ListNode_insertBefore(&slab->withRoom, withRoom_[sizeClass].next);
    }
    return slab;
}

uint32_t RouteDatabase::add(const Route& route, tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    RouteSlab* slab = slabWithRoom(uint64_t{route.length} + route.lengthFloatingSegments, status);
    if (slab == nullptr) {
        return 0;
    }
    void* slot = slab->freeSlots;
    if (slot != nullptr) {
        slab->freeSlots = slab->freeSlots->next;
    } else {
        slot = reinterpret_cast<uint8_t*>(slab) + kSlabHeader + slab->carved++ * slab->slotBytes;
    }
    ++slab->live;
    if (!slab->hasRoom() && listed(slab->withRoom)) {
        voitl_ListNode_detach(&slab->withRoom);
    }
    auto* entry = new (slot) RouteInDB;
    entry->slab = slab;
    static_assert(sizeof(RouteInDB) % alignof(vogta::PathSegment) == 0);
    static_assert(kRecordAlignment % alignof(RouteInDB) == 0);
    static_assert(kSlabHeader % kRecordAlignment == 0 && sizeof(FreeSlot) <= sizeof(RouteInDB));
    auto* segments = reinterpret_cast<vogta::PathSegment*>(entry + 1);
    entry->segments = {segments, route.length};
    entry->floatingSegments = {segments + route.length, route.lengthFloatingSegments};
    for (uint32_t i = 0; i < route.length; ++i) {
        entry->segments[i] = route.segments[i];
    }
    for (uint32_t i = 0; i < route.lengthFloatingSegments; ++i) {
        entry->floatingSegments[i] = route.floatingSegments[i];
    }
    entry->source = route.source;
    entry->cost = route.cost;
    entry->owner = route.owner;
    entry->state = route.state;
    entry->inverted = route.inverted;
    uint32_t id = nextRouteID;
    if (id == 0) {
        idsWrapped = 1;
        id = 1;
    }
    if (idsWrapped != 0) {
        // ID 0 is never issued: the search steps over it.
        while (find(id) != nullptr) {
            ++id;
            if (id == 0) {
                id = 1;
            }
        }
    }
    entry->routeID = id;
    entry->node.key = id;
    entries_.append(entry->node);
    nextRouteID = id + 1;
    return id;
}

RouteDatabase::~RouteDatabase() {
    truncate(0);
}

RouteInDB* RouteDatabase::entryOf(voitl::tIndexedNode* node) {
    return node != nullptr ? voitl::getContainingObject<RouteInDB>(node, &RouteInDB::node) : nullptr;
}

// IDs in the database are unique (the wrap search skips those in use).
RouteInDB* RouteDatabase::find(uint32_t routeID) {
    return routeID != 0 ? entryOf(entries_.find(routeID)) : nullptr;
}

const RouteInDB* RouteDatabase::find(uint32_t routeID) const {
    return const_cast<RouteDatabase*>(this)->find(routeID);
}

void RouteDatabase::remove(RouteInDB* entry) {
    entries_.remove(entry->node);
    RouteSlab* slab = entry->slab;
    entry->~RouteInDB();
    if (--slab->live == 0) {
        if (listed(slab->withRoom)) {
            voitl_ListNode_detach(&slab->withRoom);
        }
        slab->~RouteSlab();
        nVOKAL100_free(slab);
        return;
    }
    slab->freeSlots = new (static_cast<void*>(entry)) FreeSlot{slab->freeSlots};
    if (!listed(slab->withRoom)) {
        voitl_ListNode_insertBefore(&slab->withRoom, withRoom_[slab->sizeClass].next);
    }
}

void RouteDatabase::truncate(size_t size) {
    while (entries_.size() > size) {
        remove(last());
    }
}

// ---- construction ----------------------------------------------------------

RoutingResources::RoutingResources(const TopographyInfo& info, RouteProgrammerInterface* programmer,
                                   tStatus& status)
    : topInfo_(&info), programmer_(programmer) {
    if (status.isFatal()) {
        return;
    }
    // The terminals' records, then each terminal's default incoming edge and
    // search cost; the edges' records, then their search view.
    static_assert(sizeof(TerminalState) % alignof(uint32_t) == 0);
    static_assert(sizeof(EdgeState) % alignof(SearchEdge) == 0);
    static_assert(sizeof(TerminalState) % alignof(OutgoingEdges) == 0);
    const uint64_t terminalBytes = uint64_t{info.numTerminals} *
                                   (sizeof(TerminalState) + sizeof(OutgoingEdges) + 4 * sizeof(uint32_t) + 1);
    const uint64_t edgeBytes = uint64_t{info.numEdges} * (sizeof(EdgeState) + sizeof(SearchEdge) + 1);
    terminals_ = static_cast<TerminalState*>(info.numTerminals ? nVOKAL100_malloc(terminalBytes) : nullptr);
    edges_ = static_cast<EdgeState*>(info.numEdges ? nVOKAL100_malloc(edgeBytes) : nullptr);
    if ((info.numTerminals && terminals_ == nullptr) || (info.numEdges && edges_ == nullptr)) {
        nVOKAL100_free(terminals_);
        nVOKAL100_free(edges_);
        terminals_ = nullptr;
        edges_ = nullptr;
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    numTerminals_ = info.numTerminals;
    numEdges_ = info.numEdges;
    outgoing_ = reinterpret_cast<OutgoingEdges*>(terminals_ + numTerminals_);
    defaultIncoming_ = reinterpret_cast<uint32_t*>(outgoing_ + numTerminals_);
    costs_ = defaultIncoming_ + numTerminals_;
    touched_ = costs_ + numTerminals_;
    touchedPass_ = touched_ + numTerminals_;
    endpointOnly_ = reinterpret_cast<uint8_t*>(touchedPass_ + numTerminals_);
    searchEdges_ = reinterpret_cast<SearchEdge*>(edges_ + numEdges_);
    edgeAvailable_ = reinterpret_cast<uint8_t*>(searchEdges_ + numEdges_);
    for (uint32_t i = 0; i < numTerminals_; ++i) {
        new (&terminals_[i]) TerminalState{};
        const Terminal& def = info.terminals[i];
        terminals_[i].def = &def;
        terminals_[i].flags = def.flags;
        defaultIncoming_[i] = 0;
        costs_[i] = kUnreachedCost;
        touchedPass_[i] = 0;
        endpointOnly_[i] = (def.flags & kTerminalEndpointOnly) != 0 ? 1 : 0;
        outgoing_[i] = {def.firstOutgoingEdge, def.numOutgoingEdges};
        for (uint32_t k = 0; k < def.numIncomingEdges; ++k) {
            const uint32_t edge = info.incomingEdgeList[def.firstIncomingEdge + k];
            if (info.edges[edge].isDefault != 0) {
                defaultIncoming_[i] = edge + 1;
                break;
            }
        }
    }
    for (uint32_t i = 0; i < numEdges_; ++i) {
        new (&edges_[i]) EdgeState{};
        edges_[i].def = &info.edges[i];
        edges_[i].weight = info.edges[i].weight;
        edges_[i].destTerminalIndex = info.edges[i].destTerminalIndex;
        edges_[i].inverts = info.edges[i].inverts;
        searchEdges_[i] = {info.edges[i].weight, info.edges[i].destTerminalIndex};
        edgeAvailable_[i] = edges_[i].isAvailable;
    }
    nVOAPAL200_createMutex(&lock_, &status);
    enabled_ = status.isFatal() ? 0 : 1;
}

RoutingResources::~RoutingResources() {
    if (enabled_ != 0) {
        kdut::internal::MutexHolder hold(lock_);
        while (RouteInDB* entry = db_.last()) {
            releaseEntry(*entry);
            db_.remove(entry);
        }
    }
    VOSDBG_ASSERT(db_.size() == 0);
    nVOKAL100_free(queue_);
    nVOKAL100_free(terminals_);
    nVOKAL100_free(edges_);
}

// ---- graph lookups -----------------------------------------------------------

TerminalState* RoutingResources::getTerminalForID(uint32_t id) const {
    const uint32_t index = id - 1;
    if (index < numTerminals_ && terminals_[index].def->id == id) {
        return &terminals_[index];
    }
    for (uint32_t i = 0; i < numTerminals_; ++i) {
        if (terminals_[i].def->id == id) {
            return &terminals_[i];
        }
    }
    return terminalsEnd();
}

EdgeState* RoutingResources::incomingEdge(const TerminalState& t, uint32_t position) const {
    return &edges_[topInfo_->incomingEdgeList[t.def->firstIncomingEdge + position]];
}

EdgeState* RoutingResources::defaultIncomingEdge(const TerminalState& t) const {
    const uint32_t edge = defaultIncoming_[indexOf(&t)];
    return edge != 0 ? &edges_[edge - 1] : nullptr;
}

const TieGroup* RoutingResources::tieGroupOf(const TerminalState& t) const {
    return t.def->tieID == 0 ? nullptr : &topInfo_->tieGroups[t.def->tieID - 1];
}

bool RoutingResources::setHasReservedIncomingEdge(const TerminalState& t) const {
    const TieGroup* group = tieGroupOf(t);
    const uint32_t count = group != nullptr ? group->numMembers : 1;
    for (uint32_t m = 0; m < count; ++m) {
        const TerminalState& member = group != nullptr ? terminals_[group->members[m]] : t;
        for (uint32_t i = 0; i < member.def->numIncomingEdges; ++i) {
            if (incomingEdge(member, i)->reservationCount > 0) {
                return true;
            }
        }
    }
    return false;
}

bool RoutingResources::hasReservedOutgoingEdge(const TerminalState& t) const {
    for (uint32_t i = 0; i < t.def->numOutgoingEdges; ++i) {
        if (edges_[t.def->firstOutgoingEdge + i].reservationCount > 0) {
            return true;
        }
    }
    return false;
}

bool RoutingResources::edgeUsable(const TerminalState& from, const EdgeState& edge,
                                  const TerminalState& to) const {
    return (edge.isAvailable != 0 || useUnavailableEdges_ != 0) &&
           ((to.flags & kTerminalEndpointOnly) == 0 || to.isDestination != 0) &&
           ((from.flags & kTerminalEndpointOnly) == 0 || from.isSource != 0);
}

const TerminalState* RoutingResources::endTerminal(const Route& route) {
    return route.length == 0 ? route.source : route.segments[route.length - 1].terminal;
}

// ---- search queue --------------------------------------------------------------
// Ordered by cost, and among equal costs the latest insertion first. A
// terminal whose cost changes gets a new entry with a new sequence number;
// its older entries are stale (their cost is no longer the terminal's, or,
// of equal cost, they come up after the live one has settled it) and are
// skipped when they come up.

namespace {
// Without a branch of its own (the heap's walks select by it).
inline bool before(uint32_t costA, uint64_t seqA, uint32_t costB, uint64_t seqB) {
    using Key = unsigned __int128; // the cost above the sequence's complement: one comparison
    return ((Key{costA} << 64) | ~seqA) < ((Key{costB} << 64) | ~seqB);
}
} // namespace

bool RoutingResources::queuePush(TerminalState& t) {
    if (queueSize_ == queueCapacity_) {
        const uint64_t capacity = queueCapacity_ == 0 ? 64 : queueCapacity_ * 2;
        auto* grown = static_cast<QueueEntry*>(nVOKAL100_malloc(capacity * sizeof(QueueEntry)));
        if (grown == nullptr) {
            return false;
        }
        for (uint64_t i = 0; i < queueSize_; ++i) {
            grown[i] = queue_[i];
        }
        nVOKAL100_free(queue_);
        queue_ = grown;
        queueCapacity_ = capacity;
    }
    touch(t);
    queueRise(queueSize_++, QueueEntry{t.cost, indexOf(&t), ++sequence_});
    return true;
}

void RoutingResources::queueRise(uint64_t hole, const QueueEntry& entry) {
    while (hole > 0) {
        const uint64_t parent = (hole - 1) / kQueueArity;
        if (!before(entry.cost, entry.sequence, queue_[parent].cost, queue_[parent].sequence)) {
            break;
        }
        queue_[hole] = queue_[parent];
        hole = parent;
    }
    queue_[hole] = entry;
}

TerminalState* RoutingResources::queuePop() {
    while (queueSize_ > 0) {
        const QueueEntry top = queue_[0];
        // Read first from the dense costs: most stale entries end there.
        const bool live = top.cost == costs_[top.terminal] && terminals_[top.terminal].settled == 0;
        if (live && top.cost == kUnreachedCost) {
            return nullptr; // everything left is unreached
        }
        // The hole left at the top sinks to a leaf along the earliest child,
        // then the last entry rises from there: it seldom rises far, being a
        // leaf's.
        const QueueEntry last = queue_[--queueSize_];
        uint64_t hole = 0;
        for (uint64_t child = 1; child < queueSize_; child = hole * kQueueArity + 1) {
            uint64_t best = child;
            uint32_t bestCost = queue_[child].cost;
            uint64_t bestSequence = queue_[child].sequence;
            const uint64_t end = child + kQueueArity < queueSize_ ? child + kQueueArity : queueSize_;
            for (uint64_t other = child + 1; other < end; ++other) {
                const bool earlier =
                    before(queue_[other].cost, queue_[other].sequence, bestCost, bestSequence);
                best = earlier ? other : best;
                bestCost = earlier ? queue_[other].cost : bestCost;
                bestSequence = earlier ? queue_[other].sequence : bestSequence;
            }
            queue_[hole] = queue_[best];
            hole = best;
        }
        if (queueSize_ > 0) {
            queueRise(hole, last);
        }
        if (live) {
            return &terminals_[top.terminal];
        }
    }
    return nullptr;
}

// ---- calculated routes ------------------------------------------------------------

Route* RoutingResources::newRoute() {
    auto* route = static_cast<Route*>(allocB_.fn(nullptr, sizeof(Route), allocB_.context));
    if (route != nullptr) {
        *route = Route{};
    }
    return route;
}

void RoutingResources::destroyCalculatedRoute(Route* route) {
    if (route == nullptr) {
        return;
    }
    allocA_.fn(route->segments, 0, allocA_.context);
    allocB_.fn(route->floatingSegments, 0, allocB_.context);
    allocB_.fn(route, 0, allocB_.context);
}

void RoutingResources::destroyRouteArray(Route** routes, uint32_t count) {
    if (routes == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        destroyCalculatedRoute(routes[i]);
    }
    allocB_.fn(routes, 0, allocB_.context);
}

// The edge that can replace edge (from from to to) in a twin: the first
// usable outgoing edge of from to to of the other inversion; null when edge
// is reserved or there is none.
EdgeState* RoutingResources::parallelEdge(const TerminalState& from, const EdgeState& edge,
                                          const TerminalState& to) const {
    if (edge.reservationCount != 0) {
        return nullptr;
    }
    const uint32_t first = from.def->firstOutgoingEdge;
    const uint32_t end = first + from.def->numOutgoingEdges;
    for (uint32_t e = first; e < end; ++e) {
        EdgeState& candidate = edges_[e];
        if (&terminals_[candidate.destTerminalIndex] == &to && inverts(candidate) != inverts(edge) &&
            edgeUsable(from, candidate, to)) {
            return &candidate;
        }
    }
    return nullptr;
}

// Works out the path facts of t (depth, parity, twin edge) from those of its
// search-tree ancestors, each terminal once per pass: the walk up to the
// nearest terminal already known turns the previous links it passes round,
// and the walk back down restores them, so no stack is needed.
void RoutingResources::knowPath(TerminalState& t) {
    TerminalState* below = nullptr;
    TerminalState* at = &t;
    while (at->pathKnown == 0 && at->previous != nullptr) {
        TerminalState* above = at->previous;
        at->previous = below;
        below = at;
        at = above;
    }
    if (at->pathKnown == 0) { // a root of the tree
        at->depth = 0;
        at->parity = 0;
        at->twinDepth = 0;
        at->twinEdge = nullptr;
        at->pathKnown = 1;
    }
    while (below != nullptr) {
        TerminalState* next = below->previous;
        below->previous = at;
        const EdgeState& edge = *below->previousEdge;
        below->depth = at->depth + 1;
        below->parity = at->parity ^ (inverts(edge) ? 1 : 0);
        EdgeState* parallel = parallelEdge(*at, edge, *below);
        below->twinEdge = parallel != nullptr ? parallel : at->twinEdge;
        below->twinDepth = parallel != nullptr ? below->depth : at->twinDepth;
        below->pathKnown = 1;
        at = below;
        below = next;
    }
}

// Makes route's twin in twin (a zeroed record): the same path with the
// deepest replaceable edge swapped for a parallel edge of the other
// inversion. False when no edge can be swapped or the swapped cost would be
// unreachable.
bool RoutingResources::makeTwin(const Route& route, Route* twin, tStatus& status) {
    const TerminalState& end = *route.segments[route.length - 1].terminal;
    if (end.twinDepth == 0) {
        return false;
    }
    const uint32_t k = end.twinDepth - 1;
    EdgeState* candidate = end.twinEdge;
    const uint64_t cost = uint64_t{route.cost} - route.segments[k].edge->weight + candidate->weight;
    if (cost >= kUnreachedCost) {
        return false;
    }
    auto* segments = static_cast<vogta::PathSegment*>(
        allocA_.fn(nullptr, uint64_t{route.length} * sizeof(vogta::PathSegment), allocA_.context));
    if (segments == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return false;
    }
    for (uint32_t s = 0; s < route.length; ++s) {
        segments[s] = route.segments[s];
    }
    segments[k].edge = candidate;
    *twin = route;
    twin->segments = segments;
    twin->cost = static_cast<uint32_t>(cost);
    twin->inverted = route.inverted ^ 1;
    return true;
}

// ---- one pass of the search --------------------------------------------------------
// A pass searches from the seeds its filter accepts to every destination, then
// turns what the search left into routes: one per reached destination, their
// twins of the other inversion, the cheapest of those ending in one tie group,
// each with the floating segments of the tie groups it crosses.

bool RoutingResources::calculatePass(uint64_t owner, const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                                     SeedFilter filter, const uint32_t* destinationIDs,
                                     uint32_t numDestinations, uint32_t options, Route*** routesOut,
                                     uint32_t* countOut, tStatus& status) {
    *routesOut = nullptr;
    *countOut = 0;
    if (status.isFatal()) {
        return false;
    }
    QueueScope queueScope(*this);
    uint64_t extraSlots = 0;
    if (!startPass(seeds, numSeeds, filter, destinationIDs, numDestinations, options, &extraSlots, status)) {
        return false;
    }
    const uint64_t slots = 2 * (uint64_t{numDestinations} + extraSlots);
    auto* routes = static_cast<Route**>(allocB_.fn(nullptr, slots * sizeof(Route*), allocB_.context));
    if (routes == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return false;
    }
    for (uint64_t i = 0; i < slots; ++i) {
        routes[i] = nullptr;
    }
    uint32_t used = 0;
    if (!search(status) || !extractRoutes(routes, &used, status)) {
        destroyRouteArray(routes, used);
        return false;
    }
    if (used == 0) {
        destroyRouteArray(routes, 0);
        return true; // no destination reached
    }
    if (!addTwins(routes, used, &used, status)) {
        destroyRouteArray(routes, used);
        return false;
    }
    const uint32_t kept = chooseWithinPass(routes, used);
    for (uint32_t r = 0; r < kept; ++r) {
        if (!addFloatingSegments(*routes[r])) {
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
            destroyRouteArray(routes, kept);
            return false;
        }
        routes[r]->owner = owner;
        routes[r]->state = kRouteCalculated;
    }
    *routesOut = routes;
    *countOut = kept;
    return false;
}

// Readies one pass: every terminal's search record reset, the seeds that
// pass filter queued at their start costs, the destinations marked (with the
// other members of their tie groups, counted in *extraSlots). False when the
// pass has nothing to search; the status says whether that is an error.
bool RoutingResources::startPass(const RouteCalculationSeedBase* seeds, uint32_t numSeeds, SeedFilter filter,
                                 const uint32_t* destinationIDs, uint32_t numDestinations, uint32_t options,
                                 uint64_t* extraSlots, tStatus& status) {
    if (numSeeds == 0) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return false;
    }
    resetSearch(options);
    if (!markSources(seeds, numSeeds, filter, status) || numDestinations == 0 ||
        !markDestinations(destinationIDs, numDestinations, status)) {
        return false;
    }
    *extraSlots = markTiedDestinations(destinationIDs, numDestinations);
    return true;
}

void RoutingResources::setAvailable(EdgeState& edge, uint8_t available) {
    edge.isAvailable = available;
    edgeAvailable_[&edge - edges_] = available;
}

void RoutingResources::touch(const TerminalState& t) {
    const uint32_t index = indexOf(&t);
    if (touchedPass_[index] != pass_) {
        touchedPass_[index] = pass_;
        touched_[numTouched_++] = index;
    }
}

// Only the terminals the last pass touched have anything to reset.
void RoutingResources::resetSearch(uint32_t options) {
    for (uint32_t k = 0; k < numTouched_; ++k) {
        TerminalState& t = terminals_[touched_[k]];
        t.previous = nullptr;
        t.previousEdge = nullptr;
        t.cost = kUnreachedCost;
        costs_[touched_[k]] = kUnreachedCost;
        t.isSource = 0;
        t.isDestination = 0;
        t.settled = 0;
        t.pathKnown = 0;
    }
    numTouched_ = 0;
    if (++pass_ == 0) { // after 2^32 passes: no pass number is left unused
        for (uint32_t i = 0; i < numTerminals_; ++i) {
            touchedPass_[i] = 0;
        }
        pass_ = 1;
    }
    useUnavailableEdges_ = (options & kUseUnavailableEdges) != 0 ? 1 : 0;
    numDestinations_ = 0;
    numSolved_ = 0;
    sequence_ = 0;
}

// Queues the sources of the seeds that filter accepts at their start costs; a
// bidirectional source already driven by a reserved route is left out. False
// when none is queued, or on failure.
bool RoutingResources::markSources(const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                                   SeedFilter filter, tStatus& status) {
    bool seedAccepted = false;
    for (uint32_t i = 0; i < numSeeds; ++i) {
        if (!filter(seeds[i])) {
            continue;
        }
        TerminalState* source = getTerminalForID(seeds[i].sourceTerminalID);
        if (source == terminalsEnd()) {
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
            return false;
        }
        if ((source->def->flags & kTerminalBidirectional) != 0 && setHasReservedIncomingEdge(*source)) {
            continue;
        }
        source->cost = seeds[i].startCost;
        costs_[indexOf(source)] = seeds[i].startCost;
        if (!queuePush(*source)) {
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
            return false;
        }
        source->isSource = 1;
        seedAccepted = true;
    }
    return seedAccepted;
}

// Marks the destinations; a bidirectional one that drives a reserved route is
// left out. False when none is marked, or on failure.
bool RoutingResources::markDestinations(const uint32_t* destinationIDs, uint32_t numDestinations,
                                        tStatus& status) {
    for (uint32_t i = 0; i < numDestinations; ++i) {
        TerminalState* destination = getTerminalForID(destinationIDs[i]);
        if (destination == terminalsEnd()) {
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
            return false;
        }
        if ((destination->def->flags & kTerminalBidirectional) != 0 &&
            hasReservedOutgoingEdge(*destination)) {
            continue;
        }
        if (destination->isDestination == 0) {
            touch(*destination);
            destination->isDestination = 1;
            ++numDestinations_;
        }
    }
    return numDestinations_ != 0;
}

// Marks the other members of every destination's tie group as destinations
// too; returns how many route slots they add (one per member and naming).
uint64_t RoutingResources::markTiedDestinations(const uint32_t* destinationIDs, uint32_t numDestinations) {
    uint64_t extraSlots = 0;
    for (uint32_t i = 0; i < numDestinations; ++i) {
        const TerminalState* destination = getTerminalForID(destinationIDs[i]);
        const TieGroup* group = tieGroupOf(*destination);
        const uint32_t members = group != nullptr ? group->numMembers : 0;
        for (uint32_t m = 0; m < members; ++m) {
            TerminalState& member = terminals_[group->members[m]];
            if (&member == destination) {
                continue;
            }
            if (member.isDestination == 0) {
                touch(member);
                member.isDestination = 1;
                ++numDestinations_;
            }
            ++extraSlots;
        }
    }
    return extraSlots;
}

// The search: settles terminals cheapest first until every destination is
// settled or nothing reachable is left. False when memory is short.
bool RoutingResources::search(tStatus& status) {
    while (numSolved_ != numDestinations_) {
        TerminalState* current = queuePop();
        if (current == nullptr) {
            break;
        }
        if (current->isDestination != 0) {
            ++numSolved_;
        }
        current->settled = 1;
        if (numSolved_ != numDestinations_ && !relaxOutgoingEdges(*current)) {
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
            return false;
        }
    }
    return true;
}

// Offers every usable outgoing edge of current to the terminal it leads to:
// a cheaper way there replaces the one it had and queues it again. The cost
// is compared first: most edges offer nothing cheaper (a settled terminal
// never gets a cheaper way, and an unreached cost is never cheaper than one).
bool RoutingResources::relaxOutgoingEdges(TerminalState& current) {
    const OutgoingEdges out = outgoing_[indexOf(&current)];
    const uint32_t end = out.first + out.count;
    const uint64_t base = current.cost;
    for (uint32_t e = out.first; e < end; ++e) {
        const SearchEdge& view = searchEdges_[e];
        const uint64_t cost = base + view.weight;
        const uint32_t to = view.destTerminalIndex;
        // A cheaper way never leads to a settled terminal (no weight is
        // negative). The usability checks, as edgeUsable makes them, read the
        // dense copies first.
        if (cost >= costs_[to] || (edgeAvailable_[e] == 0 && useUnavailableEdges_ == 0) ||
            (endpointOnly_[to] != 0 && terminals_[to].isDestination == 0) ||
            (endpointOnly_[indexOf(&current)] != 0 && current.isSource == 0)) {
            continue;
        }
        EdgeState& edge = edges_[e];
        TerminalState& next = terminals_[to];
        next.cost = static_cast<uint32_t>(cost);
        costs_[to] = static_cast<uint32_t>(cost);
        next.previous = &current;
        next.previousEdge = &edge;
        if (!queuePush(next)) {
            return false;
        }
    }
    return true;
}

// Route extraction, in terminal order: one route per reached destination
// (an unreached one has none and is no error), counted in used as it is made.
bool RoutingResources::extractRoutes(Route** routes, uint32_t* used, tStatus& status) {
    uint64_t seen = 0;
    for (uint32_t i = 0; i < numTerminals_ && seen < numDestinations_; ++i) {
        TerminalState& destination = terminals_[i];
        if (destination.isDestination == 0) {
            continue;
        }
        ++seen;
        if (destination.isSource == 0 && destination.previous == nullptr) {
            continue;
        }
        Route* route = newRoute();
        if (route == nullptr) {
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
            return false;
        }
        routes[(*used)++] = route;
        if (!tracePath(destination, *route)) {
            KELVO_SET_STATUS(status, tStatus::kBufferTooSmall);
            return false;
        }
    }
    return true;
}

// Fills route with the path the search left from a source to destination.
bool RoutingResources::tracePath(TerminalState& destination, Route& route) {
    route.cost = destination.cost;
    if (destination.isSource != 0) {
        route.source = &destination;
        return true;
    }
    knowPath(destination);
    const uint32_t length = destination.depth;
    route.inverted = destination.parity;
    auto* segments = static_cast<vogta::PathSegment*>(
        allocA_.fn(nullptr, uint64_t{length} * sizeof(vogta::PathSegment), allocA_.context));
    if (segments == nullptr) {
        return false;
    }
    route.segments = segments;
    route.length = length;
    TerminalState* at = &destination;
    for (uint32_t s = length; s-- > 0;) {
        segments[s] = {at->previousEdge, at};
        at = at->previous;
    }
    route.source = at;
    return true;
}

// Inversion and twins: sets each of the first solved routes' inversion and
// adds its twin, where it has one, after the routes (counted in used).
bool RoutingResources::addTwins(Route** routes, uint32_t solved, uint32_t* used, tStatus& status) {
    Route* spare = nullptr;
    for (uint32_t r = 0; r < solved; ++r) {
        Route& route = *routes[r];
        if (route.length == 0) {
            continue;
        }
        if (spare == nullptr) {
            spare = newRoute();
            if (spare == nullptr) {
                KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
                return false;
            }
        }
        if (makeTwin(route, spare, status)) {
            routes[(*used)++] = spare;
            spare = nullptr;
        } else if (status.isFatal()) {
            destroyCalculatedRoute(spare);
            return false;
        }
    }
    destroyCalculatedRoute(spare);
    return true;
}

// Choice within the pass among routes ending in one tie group: of those with
// the same inversion, the cheapest stays (the earliest on equal cost). Returns
// how many routes are left, moved to the front in their order.
uint32_t RoutingResources::chooseWithinPass(Route** routes, uint32_t used) {
    for (uint32_t i = 0; i < used; ++i) {
        if (routes[i] != nullptr && tieGroupOf(*endTerminal(*routes[i])) != nullptr) {
            keepCheapestTied(routes, i, used);
        }
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < used; ++i) {
        if (routes[i] != nullptr) {
            routes[kept++] = routes[i];
        }
    }
    for (uint32_t i = kept; i < used; ++i) {
        routes[i] = nullptr;
    }
    return kept;
}

// Destroys the routes after routes[i] that end in another member of its tie
// group with its inversion, keeping only the cheapest of them and it.
void RoutingResources::keepCheapestTied(Route** routes, uint32_t i, uint32_t used) {
    uint32_t a = i;
    for (uint32_t j = i + 1; j < used; ++j) {
        if (routes[j] == nullptr) {
            continue;
        }
        const TerminalState* endA = endTerminal(*routes[a]);
        const TerminalState* endB = endTerminal(*routes[j]);
        if (endB == endA || endB->def->numIncomingEdges == 0 || endB->def->tieID != endA->def->tieID ||
            routes[j]->inverted != routes[a]->inverted) {
            continue;
        }
        if (routes[j]->cost < routes[a]->cost) {
            destroyCalculatedRoute(routes[a]);
            routes[a] = nullptr;
            a = j;
        } else {
            destroyCalculatedRoute(routes[j]);
            routes[j] = nullptr;
        }
    }
}

// Floating segments: the other members of every tie group the route crosses,
// each driven by its default edge. False when memory is short.
bool RoutingResources::addFloatingSegments(Route& route) {
    uint64_t floating = 0;
    for (uint32_t s = 0; s < route.length; ++s) {
        floating += tiedPartners(*route.segments[s].terminal, nullptr);
    }
    if (floating == 0) {
        return true;
    }
    auto* segments = static_cast<vogta::PathSegment*>(
        allocB_.fn(nullptr, floating * sizeof(vogta::PathSegment), allocB_.context));
    if (segments == nullptr) {
        return false;
    }
    uint32_t n = 0;
    for (uint32_t s = 0; s < route.length; ++s) {
        n += tiedPartners(*route.segments[s].terminal, segments + n);
    }
    route.floatingSegments = segments;
    route.lengthFloatingSegments = n;
    return true;
}

// The members of crossed's tie group other than crossed, none when the group
// has one member or there is none: their count, and their segments (each
// member with its default edge) written to out unless it is null.
uint32_t RoutingResources::tiedPartners(const TerminalState& crossed, vogta::PathSegment* out) const {
    const TieGroup* group = tieGroupOf(crossed);
    if (group == nullptr || group->numMembers <= 1) {
        return 0;
    }
    uint32_t n = 0;
    for (uint32_t m = 0; m < group->numMembers; ++m) {
        TerminalState* member = &terminals_[group->members[m]];
        if (member == &crossed) {
            continue;
        }
        if (out != nullptr) {
            out[n] = {defaultIncomingEdge(*member), member};
        }
        ++n;
    }
    return n;
}

void RoutingResources::populatePossibilities(Route** routes, uint32_t count,
                                             const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                                             SeedFilter filter, RoutePossibilityBase* out, tStatus& status) {
    for (uint32_t r = 0; r < count; ++r) {
        const Route& route = *routes[r];
        const uint32_t id = db_.add(route, status);
        RoutePossibilityBase& possibility = out[r];
        possibility = {}; // the reserved bytes go out as 0, not as what the block held
        possibility.routeID = id;
        possibility.destinationTerminalID = endTerminal(route)->def->id;
        possibility.cost = route.cost;
        possibility.seedIndex = -1;
        for (uint32_t i = 0; i < numSeeds; ++i) {
            if (seeds[i].sourceTerminalID == route.source->def->id && filter(seeds[i])) {
                possibility.seedIndex = static_cast<int32_t>(i);
                break;
            }
        }
        possibility.inverted = route.inverted;
    }
}

bool RoutingResources::calculateRoute(uint64_t owner, const RouteCalculationSeedBase* seeds,
                                      uint32_t numSeeds, const uint32_t* destinationIDs,
                                      uint32_t numDestinations, uint32_t options,
                                      RoutePossibilityBase** possibilities, uint32_t* numPossibilities,
                                      tStatus& status) {
    if (enabled_ == 0) {
        return false;
    }
    kdut::internal::MutexHolder hold(lock_);
    if (!knownTerminals(seeds, numSeeds, destinationIDs, numDestinations)) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
    }
    if (status.isFatal()) {
        return false;
    }
    GrowOnlyHeap heap(kCalculationScratchChunk, 8, kCalculationLargestScratchChunk);
    ScratchScope scope(*this, heap);
    PassRoutes first;
    PassRoutes second;
    first.unreached =
        calculatePass(owner, seeds, numSeeds, seedDoesNotHaveInversionConstraint, destinationIDs,
                      numDestinations, options, &first.routes, &first.count, status);
    if (status.isFatal()) {
        return false;
    }
    second.unreached = calculatePass(owner, seeds, numSeeds, seedHasInversionConstraint, destinationIDs,
                                     numDestinations, options, &second.routes, &second.count, status);
    bool unreached = false;
    if (status.isNotFatal() &&
        growPossibilities(first.count + second.count, possibilities, numPossibilities, status)) {
        unreached =
            publishPossibilities(first, second, seeds, numSeeds, *possibilities, numPossibilities, status);
    }
    destroyRouteArray(first.routes, first.count);
    destroyRouteArray(second.routes, second.count);
    return status.isNotFatal() && unreached;
}

bool RoutingResources::knownTerminals(const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                                      const uint32_t* destinationIDs, uint32_t numDestinations) const {
    for (uint32_t i = 0; i < numSeeds; ++i) {
        if (getTerminalForID(seeds[i].sourceTerminalID) == terminalsEnd()) {
            return false;
        }
    }
    for (uint32_t i = 0; i < numDestinations; ++i) {
        if (getTerminalForID(destinationIDs[i]) == terminalsEnd()) {
            return false;
        }
    }
    return true;
}

// Makes the caller's possibility buffer hold at least count records.
bool RoutingResources::growPossibilities(uint32_t count, RoutePossibilityBase** possibilities,
                                         uint32_t* numPossibilities, tStatus& status) {
    if (count <= *numPossibilities) {
        return true;
    }
    AllocHelper helper = getAllocHelper();
    auto* grown = static_cast<RoutePossibilityBase*>(
        helper.fn(*possibilities, uint64_t{count} * sizeof(RoutePossibilityBase), helper.context));
    if (grown == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return false;
    }
    *possibilities = grown;
    return true;
}

// Chooses across the passes, records the routes left in the database and
// describes them in out (the first pass's first), nothing recorded on
// failure. True when a pass left a destination unreached and no route is left.
bool RoutingResources::publishPossibilities(PassRoutes& first, PassRoutes& second,
                                            const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                                            RoutePossibilityBase* out, uint32_t* numPossibilities,
                                            tStatus& status) {
    for (uint32_t i = 0; i < second.count; ++i) {
        second.routes[i]->inverted ^= 1;
    }
    chooseAcrossPasses(first, second);
    const uint32_t firstKept = closeHoles(first.routes, first.count);
    const uint32_t secondKept = closeHoles(second.routes, second.count);
    *numPossibilities = firstKept + secondKept;
    const size_t dbSize = db_.size();
    populatePossibilities(first.routes, firstKept, seeds, numSeeds, seedDoesNotHaveInversionConstraint, out,
                          status);
    populatePossibilities(second.routes, secondKept, seeds, numSeeds, seedHasInversionConstraint,
                          out + firstKept, status);
    if (status.isFatal()) {
        db_.truncate(dbSize);
        return false;
    }
    return (first.unreached || second.unreached) && firstKept + secondKept == 0;
}

// Choice across the passes: per end terminal and inversion the cheaper
// route, the first pass's on equal cost. The other is destroyed.
void RoutingResources::chooseAcrossPasses(PassRoutes& first, PassRoutes& second) {
    for (uint32_t a = 0; a < first.count; ++a) {
        Route*& mine = first.routes[a];
        for (uint32_t b = 0; b < second.count; ++b) {
            Route*& theirs = second.routes[b];
            if (theirs == nullptr || endTerminal(*theirs)->def->id != endTerminal(*mine)->def->id ||
                theirs->inverted != mine->inverted) {
                continue;
            }
            Route*& loser = theirs->cost < mine->cost ? mine : theirs;
            destroyCalculatedRoute(loser);
            loser = nullptr;
            break;
        }
    }
}

// Fills the holes (null entries) of routes with the last routes; returns how
// many routes are left at the front.
uint32_t RoutingResources::closeHoles(Route** routes, uint32_t count) {
    uint32_t n = count;
    uint32_t i = 0;
    while (i < n) {
        if (routes[i] != nullptr) {
            ++i;
            continue;
        }
        while (n > i && routes[n - 1] == nullptr) {
            --n;
        }
        if (n > i + 1) {
            routes[i] = routes[n - 1];
            routes[n - 1] = nullptr;
            --n;
            ++i;
        } else {
            n = i;
        }
    }
    return n;
}

uint64_t RoutingResources::searchOnly(const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                                      const uint32_t* destinationIDs, uint32_t numDestinations,
                                      uint32_t options, tStatus& status) {
    if (enabled_ == 0 || status.isFatal()) {
        return 0;
    }
    kdut::internal::MutexHolder hold(lock_);
    GrowOnlyHeap heap(kCalculationScratchChunk, 8, kCalculationLargestScratchChunk);
    ScratchScope scope(*this, heap);
    QueueScope queueScope(*this);
    uint64_t extraSlots = 0;
    if (!startPass(seeds, numSeeds, seedDoesNotHaveInversionConstraint, destinationIDs, numDestinations,
                   options, &extraSlots, status)) {
        return 0;
    }
    search(status);
    return numSolved_;
}

// ---- life cycle --------------------------------------------------------------------

namespace {

// True when one of segments holds an edge of list.
bool holdsAnyOf(const SegmentRun& segments, EdgeState* const* list, uint32_t count) {
    for (const vogta::PathSegment& segment : segments) {
        for (uint32_t k = 0; k < count && segment.edge != nullptr; ++k) {
            if (list[k] == segment.edge) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

// Appends edge to the scratch list of count edges; when memory is short the
// list stays as it was.
void RoutingResources::appendEdge(EdgeState*** list, uint32_t* count, EdgeState* edge) {
    auto* grown = static_cast<EdgeState**>(
        allocB_.fn(nullptr, (uint64_t{*count} + 1) * sizeof(EdgeState*), allocB_.context));
    if (grown == nullptr) {
        return;
    }
    for (uint32_t k = 0; k < *count; ++k) {
        grown[k] = (*list)[k];
    }
    allocB_.fn(*list, 0, allocB_.context);
    grown[(*count)++] = edge;
    *list = grown;
}

bool RoutingResources::isTerminalInUseAsADest(const TerminalState& t, EdgeState*** list, uint32_t* count) {
    const TieGroup* group = tieGroupOf(t);
    if (group != nullptr && group->numMembers == 0) {
        return false;
    }
    const uint32_t members = group != nullptr ? group->numMembers : 1;
    bool hit = false;
    for (uint32_t m = 0; m < members; ++m) {
        const TerminalState& member = group != nullptr ? terminals_[group->members[m]] : t;
        for (uint32_t i = 0; i < member.def->numIncomingEdges; ++i) {
            EdgeState* edge = incomingEdge(member, i);
            if (edge->reservationCount != 0) {
                hit = true;
                appendEdge(list, count, edge);
            }
        }
    }
    return hit;
}

// Lists the reserved edges leaving t; true when there is one.
bool RoutingResources::listReservedOutgoingEdges(const TerminalState& t, EdgeState*** list, uint32_t* count) {
    bool hit = false;
    for (uint32_t i = 0; i < t.def->numOutgoingEdges; ++i) {
        EdgeState* edge = &edges_[t.def->firstOutgoingEdge + i];
        if (edge->reservationCount != 0) {
            hit = true;
            appendEdge(list, count, edge);
        }
    }
    return hit;
}

// Lists the reserved edges into the terminals that segments would drive over
// an edge taken from them; true when there is one. Segments without an edge
// (a tied terminal without a default edge) hold nothing.
bool RoutingResources::segmentsInUse(const SegmentRun& segments, EdgeState*** list, uint32_t* count) {
    bool hit = false;
    for (const vogta::PathSegment& segment : segments) {
        if (segment.edge != nullptr && segment.edge->isAvailable == 0) {
            hit |= isTerminalInUseAsADest(terminals_[segment.edge->def->destTerminalIndex], list, count);
        }
    }
    return hit;
}

// What stands in the way of reserving entry: another reservation driving a
// bidirectional source, driven by a bidirectional end, or driving a terminal
// the route would drive. The edges are listed (as far as memory lasts); true
// when there is one.
bool RoutingResources::findConflicts(const RouteInDB& entry, EdgeState*** list, uint32_t* count) {
    bool conflict = false;
    if ((entry.source->def->flags & kTerminalBidirectional) != 0) {
        conflict |= isTerminalInUseAsADest(*entry.source, list, count);
    }
    const TerminalState* end = entry.segments.size() == 0 ? entry.source : entry.segments.back().terminal;
    if ((end->def->flags & kTerminalBidirectional) != 0) {
        conflict |= listReservedOutgoingEdges(*end, list, count);
    }
    conflict |= segmentsInUse(entry.floatingSegments, list, count);
    conflict |= segmentsInUse(entry.segments, list, count);
    return conflict;
}

// Reserves the route's edges, floating segments first: the first reservation
// of an edge makes it the only available way into its terminal.
void RoutingResources::claimRoute(const RouteInDB& entry) {
    auto claim = [&](const vogta::PathSegment& segment) {
        if (segment.edge == nullptr || ++segment.edge->reservationCount != 1) {
            return;
        }
        const TerminalState& t = *segment.terminal;
        for (uint32_t i = 0; i < t.def->numIncomingEdges; ++i) {
            setAvailable(*incomingEdge(t, i), 0);
        }
        setAvailable(*segment.edge, 1);
    };
    for (const vogta::PathSegment& segment : entry.floatingSegments) {
        claim(segment);
    }
    for (const vogta::PathSegment& segment : entry.segments) {
        claim(segment);
    }
}

// Names in conflicts every reserved or programmed route holding an edge of
// list, each once; when memory is short, those named so far.
void RoutingResources::listConflictingRoutes(EdgeState* const* list, uint32_t listCount,
                                             RouteConflict** conflicts, uint32_t* numConflicts) {
    *numConflicts = 0;
    AllocHelper helper = getAllocHelper();
    for (const RouteInDB* other = db_.first(); other != nullptr; other = db_.next(*other)) {
        if ((other->state != kRouteReserved && other->state != kRouteProgrammed) ||
            !(holdsAnyOf(other->segments, list, listCount) ||
              holdsAnyOf(other->floatingSegments, list, listCount))) {
            continue;
        }
        auto* grown = static_cast<RouteConflict*>(
            helper.fn(nullptr, (uint64_t{*numConflicts} + 1) * sizeof(RouteConflict), helper.context));
        if (grown == nullptr) {
            break;
        }
        for (uint32_t k = 0; k < *numConflicts; ++k) {
            grown[k] = (*conflicts)[k];
        }
        helper.fn(*conflicts, 0, helper.context);
        grown[*numConflicts] = RouteConflict{other->owner, other->routeID, 0};
        ++*numConflicts;
        *conflicts = grown;
    }
}

void RoutingResources::reserveRoute(uint32_t routeID, RouteConflict** conflicts, uint32_t* numConflicts,
                                    tStatus& status) {
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    RouteInDB* entry = db_.find(routeID);
    if (entry == nullptr || entry->state != kRouteCalculated) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    if (status.isFatal()) {
        return;
    }
    GrowOnlyHeap heap(512, 8);
    ScratchScope scope(*this, heap);
    EdgeState** list = nullptr;
    uint32_t listCount = 0;
    if (findConflicts(*entry, &list, &listCount)) {
        KELVO_SET_STATUS(status, kRouteConflict);
    } else {
        claimRoute(*entry);
        entry->state = kRouteReserved;
    }
    if (listCount != 0) {
        listConflictingRoutes(list, listCount, conflicts, numConflicts);
    }
    allocB_.fn(list, 0, allocB_.context);
}

void RoutingResources::writeEdge(const EdgeState& edge, const TerminalState& terminal, bool* began,
                                 tStatus& status, bool mergeEach) {
    const Edge& def = *edge.def;
    for (uint32_t i = 0; i < def.numProgrammingEntries; ++i) {
        if (!*began) {
            programmer_->begin(status);
            if (!mergeEach && status.isFatal()) {
                return; // a programming transaction has begun only when begin succeeded
            }
            *began = true;
        }
        const ProgrammingEntry& setting = topInfo_->programmingEntries[def.firstProgrammingEntry + i];
        if (mergeEach) {
            tStatus own;
            programmer_->program(terminal.def->subtopographyID, setting.fieldId, setting.value, own);
            status.merge(own);
        } else {
            programmer_->program(terminal.def->subtopographyID, setting.fieldId, setting.value, status);
            if (status.isFatal()) {
                return;
            }
        }
    }
}

void RoutingResources::programRoute(uint32_t routeID, tStatus& status) {
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    RouteInDB* entry = db_.find(routeID);
    if (entry == nullptr || entry->state != kRouteReserved) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    if (status.isFatal()) {
        return;
    }
    {
        tStatus ignored;
        topoResetTerminal(*entry->source, 0, ignored);
    }
    bool began = false;
    // The edges this call counted, so that a failure takes their counts back.
    const size_t floatingCount = entry->floatingSegments.size();
    const size_t total = floatingCount + entry->segments.size();
    size_t counted = 0;
    auto segmentAt = [&](size_t i) -> vogta::PathSegment& {
        return i < floatingCount ? entry->floatingSegments[i] : entry->segments[i - floatingCount];
    };
    for (; counted < total && status.isNotFatal(); ++counted) {
        vogta::PathSegment& segment = segmentAt(counted);
        if (segment.edge == nullptr) {
            continue;
        }
        if (segment.edge->programCount == 0) {
            writeEdge(*segment.edge, *segment.terminal, &began, status, false);
            if (status.isFatal()) {
                break;
            }
        }
        ++segment.edge->programCount;
    }
    if (began) {
        programmer_->end(status);
    }
    if (status.isFatal()) {
        for (size_t i = counted; i-- > 0;) {
            vogta::PathSegment& segment = segmentAt(i);
            if (segment.edge != nullptr && segment.edge->programCount > 0) {
                --segment.edge->programCount;
            }
        }
        return;
    }
    entry->state = kRouteProgrammed;
}

void RoutingResources::topoUnprogramRoute(RouteInDB& entry) {
    tStatus own;
    bool began = false;
    auto release = [&](vogta::PathSegment& segment) {
        if (segment.edge == nullptr || segment.edge->programCount == 0 || --segment.edge->programCount != 0 ||
            (segment.terminal->def->flags & kTerminalKeepState) != 0) {
            return;
        }
        if (segment.terminal->def->numIncomingEdges == 0) {
            KELVO_SET_STATUS(own, kNoResetEdge);
            return;
        }
        writeEdge(*incomingEdge(*segment.terminal, 0), *segment.terminal, &began, own, true);
    };
    for (size_t i = entry.segments.size(); i-- > 0;) {
        release(entry.segments[i]);
    }
    for (size_t i = entry.floatingSegments.size(); i-- > 0;) {
        release(entry.floatingSegments[i]);
    }
    if (began) {
        tStatus dropped;
        programmer_->end(dropped);
    }
    entry.state = kRouteReserved;
}

void RoutingResources::topoUnreserveRoute(RouteInDB& entry) {
    auto release = [&](vogta::PathSegment& segment) {
        if (segment.edge == nullptr || segment.edge->reservationCount == 0 ||
            --segment.edge->reservationCount != 0) {
            return;
        }
        const TerminalState& t = *segment.terminal;
        for (uint32_t i = 0; i < t.def->numIncomingEdges; ++i) {
            setAvailable(*incomingEdge(t, i), 1);
        }
    };
    for (vogta::PathSegment& segment : entry.segments) {
        release(segment);
    }
    for (vogta::PathSegment& segment : entry.floatingSegments) {
        release(segment);
    }
    entry.state = kRouteCalculated;
}

void RoutingResources::releaseEntry(RouteInDB& entry) {
    if (entry.state == kRouteProgrammed) {
        topoUnprogramRoute(entry);
    }
    if (entry.state == kRouteReserved) {
        topoUnreserveRoute(entry);
    }
}

void RoutingResources::unprogramRoute(uint32_t routeID) {
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    RouteInDB* entry = db_.find(routeID);
    if (entry != nullptr && entry->state == kRouteProgrammed) {
        topoUnprogramRoute(*entry);
    }
}

void RoutingResources::unreserveRoute(uint32_t routeID) {
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    RouteInDB* entry = db_.find(routeID);
    if (entry != nullptr) {
        releaseEntry(*entry);
    }
}

void RoutingResources::destroyRoute(uint32_t routeID) {
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    RouteInDB* entry = db_.find(routeID);
    if (entry != nullptr) {
        releaseEntry(*entry);
        db_.remove(entry);
    }
}

// ---- terminal resets --------------------------------------------------------------------

void RoutingResources::forceResetTerminal(bool* began, TerminalState& t, uint32_t resetType,
                                          tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    EdgeState* edge = resetEdgeOf(t, resetType, status);
    if (status.isFatal()) {
        return;
    }
    if (edge == nullptr) {
        KELVO_SET_STATUS(status, kNoResetEdge);
        return;
    }
    writeEdge(*edge, t, began, status, true);
}

// The edge a reset drives t over: its first incoming edge (reset type 0) or
// its default one (1), null when it has none; another type is refused.
EdgeState* RoutingResources::resetEdgeOf(const TerminalState& t, uint32_t resetType, tStatus& status) const {
    if (resetType == 0) {
        return t.def->numIncomingEdges != 0 ? incomingEdge(t, 0) : nullptr;
    }
    if (resetType == 1) {
        return defaultIncomingEdge(t);
    }
    KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
    return nullptr;
}

void RoutingResources::topoResetTerminal(TerminalState& t, uint32_t resetType, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const TieGroup* group = tieGroupOf(t);
    if ((group == nullptr || group->numMembers != 0) && setHasReservedIncomingEdge(t)) {
        KELVO_SET_STATUS(status, kTerminalDrivenByReservedRoute);
        return;
    }
    bool began = false;
    TerminalState* final = &t;
    if (group != nullptr) {
        final = nullptr;
        for (uint32_t m = 0; m < group->numMembers; ++m) {
            TerminalState& member = terminals_[group->members[m]];
            if (member.def->numIncomingEdges == 0 || incomingEdge(member, 0)->def->isDefault != 0) {
                tStatus own;
                forceResetTerminal(&began, member, 1, own);
                status.merge(own);
            } else {
                final = &member;
            }
        }
    }
    if (final != nullptr) {
        forceResetTerminal(&began, *final, resetType, status);
    }
    if (began) {
        tStatus dropped;
        programmer_->end(dropped);
    }
}

void RoutingResources::resetTerminal(uint32_t terminalID, uint32_t resetType, tStatus& status) {
    TerminalState* t = getTerminalForID(terminalID);
    if (t == terminalsEnd()) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    topoResetTerminal(*t, resetType, status);
}

void RoutingResources::resetAllTerminalsToDefault(tStatus& status) {
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    for (uint32_t i = 0; i < numTerminals_; ++i) {
        if (terminals_[i].def->numIncomingEdges == 0) {
            continue;
        }
        tStatus own;
        topoResetTerminal(terminals_[i], 0, own);
        status.merge(own);
    }
}

uint32_t RoutingResources::calculateResetTerminal(uint64_t owner, uint32_t terminalID, uint32_t resetType,
                                                  tStatus& status) {
    if (enabled_ == 0) {
        return 0;
    }
    kdut::internal::MutexHolder hold(lock_);
    if (status.isFatal()) {
        return 0;
    }
    TerminalState* t = getTerminalForID(terminalID);
    if (t == terminalsEnd()) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return 0;
    }
    GrowOnlyHeap heap(512, 8);
    ScratchScope scope(*this, heap);
    Route* route = newRoute();
    if (route == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return 0;
    }
    route->owner = owner;
    route->state = kRouteCalculated;
    route->segments =
        static_cast<vogta::PathSegment*>(allocA_.fn(nullptr, sizeof(vogta::PathSegment), allocA_.context));
    if (route->segments == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        destroyCalculatedRoute(route);
        return 0;
    }
    TerminalState* final = t;
    const TieGroup* group = tieGroupOf(*t);
    if (group != nullptr && !floatTieGroup(*group, *route, &final)) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        destroyCalculatedRoute(route);
        return 0;
    }
    EdgeState* edge = final != nullptr ? resetEdgeOf(*final, resetType, status) : nullptr;
    if (status.isNotFatal() && edge == nullptr) {
        KELVO_SET_STATUS(status, kNoResetEdge);
    }
    uint32_t id = 0;
    if (status.isNotFatal()) {
        route->segments[0] = {edge, final};
        route->source = final;
        route->length = 1;
        route->cost = 1;
        id = db_.add(*route, status);
    }
    destroyCalculatedRoute(route);
    return id;
}

// The reset of a tied terminal: the members already on their default edge
// (or without an incoming edge) float on their default edges, the other one
// (or else the last member) is final. False when memory is short.
bool RoutingResources::floatTieGroup(const TieGroup& group, Route& route, TerminalState** final) {
    *final = nullptr;
    if (group.numMembers != 0) {
        route.floatingSegments = static_cast<vogta::PathSegment*>(
            allocB_.fn(nullptr, uint64_t{group.numMembers} * sizeof(vogta::PathSegment), allocB_.context));
        if (route.floatingSegments == nullptr) {
            return false;
        }
    }
    uint32_t n = 0;
    for (uint32_t m = 0; m < group.numMembers; ++m) {
        TerminalState& member = terminals_[group.members[m]];
        const bool atDefault =
            member.def->numIncomingEdges == 0 || incomingEdge(member, 0)->def->isDefault != 0;
        if (!atDefault || (*final == nullptr && m + 1 == group.numMembers)) {
            *final = &member;
        } else {
            route.floatingSegments[n++] = {defaultIncomingEdge(member), &member};
        }
    }
    route.lengthFloatingSegments = n;
    return true;
}

// ---- queries ---------------------------------------------------------------------

void RoutingResources::getRouteTerminalPath(uint32_t routeID, uint32_t** terminalIDs, uint32_t* count,
                                            tStatus& status) const {
    if (enabled_ == 0) {
        return;
    }
    kdut::internal::MutexHolder hold(lock_);
    const RouteInDB* entry = db_.find(routeID);
    if (entry == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    if (status.isFatal()) {
        return;
    }
    const uint64_t n = uint64_t{entry->segments.size()} + 1;
    if (n > *count) {
        auto* grown = static_cast<uint32_t*>(generalResizeFn(*terminalIDs, n * sizeof(uint32_t), nullptr));
        if (grown == nullptr) {
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
            return;
        }
        *terminalIDs = grown;
    }
    *count = static_cast<uint32_t>(n);
    (*terminalIDs)[0] = entry->source->def->id;
    for (size_t i = 0; i < entry->segments.size(); ++i) {
        (*terminalIDs)[i + 1] = entry->segments[i].terminal->def->id;
    }
}

uint32_t RoutingResources::getRouteState(uint32_t routeID) const {
    if (enabled_ == 0) {
        return 0;
    }
    kdut::internal::MutexHolder hold(lock_);
    const RouteInDB* entry = db_.find(routeID);
    return entry != nullptr ? entry->state : 0;
}

} // namespace voark
