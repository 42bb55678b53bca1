#include "framework/routing_session.h"

#include "framework/mutex_holder.h"
#include "nVOKAL.h"
#include "platform/voitl/containing.h"
#include "platform/vosdbg.h"

namespace voark {

using kdut::internal::MutexHolder;
using nVOAPALS100::tStatus;

RoutingSession::RoutingSession(RoutingResourcesManagerInterface& manager, tStatus& status)
    : manager_(manager) {
    nVOAPAL200_createMutex(&lock_, &status);
    constructed_ = status.isNotFatal() ? 1 : 0;
    if (constructed_ != 0) {
        manager_.registerRoutingSession(*this);
    }
}

// Retired, the session keeps no route: leaving the manager destroyed them.
RoutingSession::~RoutingSession() {
    retire();
}

void RoutingSession::retire() {
    if (constructed_ == 0 || retired_ != 0) {
        return;
    }
    // The client hears the close before its routes go. A demotion that comes
    // in between finds the notifier closed and sends nothing.
    {
        MutexHolder hold(lock_);
        retired_ = 1;
        if (notifier_.isOpen()) {
            notifier_.close();
        }
    }
    // Lock order: the manager, then this session (its unregister takes both),
    // so the session lock is released first. A session that its manager
    // detached (demoted, or the manager's teardown) never calls it again: the
    // manager may be gone.
    if (!routingSessionManagerListNode.isDetached()) {
        manager_.unregisterRoutingSession(*this);
    }
}

void RoutingSession::openIONotifier(kelvo_driver::nVOAPAL000::tIONotifierParams& params, tStatus& status) {
    if (constructed_ == 0 || status.isFatal()) {
        return;
    }
    MutexHolder hold(lock_);
    if (retired_ != 0 || notifier_.isOpen()) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    notifier_.open(params, status);
}

void RoutingSession::closeIONotifier() {
    if (constructed_ == 0) {
        return;
    }
    MutexHolder hold(lock_);
    if (notifier_.isOpen()) {
        notifier_.close();
    }
}

RoutingSession::OwnedRoute* RoutingSession::ownedOf(voitl::tIndexedNode* node) {
    return node != nullptr ? voitl::getContainingObject<OwnedRoute>(node, &OwnedRoute::node) : nullptr;
}

bool RoutingSession::keep(uint32_t routeID, tStatus& status) {
    auto* owned = new (status, false) OwnedRoute;
    if (owned == nullptr) {
        return false;
    }
    owned->node.key = routeID;
    sessionRoutes_.append(owned->node);
    return true;
}

void RoutingSession::forget(voitl::tIndexedNode* node) {
    sessionRoutes_.remove(*node);
    delete ownedOf(node);
}

bool RoutingSession::roomFor(uint64_t more, tStatus& status) const {
    if (more > kMaxSessionRoutes - uint64_t{sessionRoutes_.size()}) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return false;
    }
    return true;
}

template <typename Body> auto RoutingSession::withResources(tStatus& status, Body body) {
    using Result = decltype(body());
    if (constructed_ == 0) {
        return Result();
    }
    MutexHolder hold(lock_);
    if (routingResources_ == nullptr) {
        KELVO_SET_STATUS(status, kNoRoutingResources);
        return Result();
    }
    return body();
}

uint32_t RoutingSession::calculateRoute(uint64_t owner, const UserBufferInterface& seeds, uint32_t numSeeds,
                                        const UserBufferInterface& destinations, uint32_t numDestinations,
                                        uint32_t options, const UserBufferInterface& possibilities,
                                        uint32_t* numPossibilities, tStatus& status) {
    return withResources(status, [&]() -> uint32_t {
        // Each buffer holds exactly its count of records.
        if (seeds.getSize() != uint64_t{numSeeds} * sizeof(RouteCalculationSeedBase) ||
            destinations.getSize() != uint64_t{numDestinations} * sizeof(uint32_t)) {
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
            return 0;
        }
        RouteCalculationSeedBase* seedArray = seedSlots_;
        uint32_t* destinationArray = destinationSlots_;
        if (numSeeds > kSlots) {
            seedArray = static_cast<RouteCalculationSeedBase*>(nVOAPAL200_malloc(seeds.getSize(), &status));
        }
        if (numDestinations > kSlots) {
            destinationArray = static_cast<uint32_t*>(nVOAPAL200_malloc(destinations.getSize(), &status));
        }
        uint32_t result = 0;
        if (status.isNotFatal()) {
            for (uint32_t i = 0; i < numSeeds; ++i) {
                seedArray[i] = RouteCalculationSeedBase{};
            }
            seeds.readFromBuffer(0, seedArray, seeds.getSize(), status);
            destinations.readFromBuffer(0, destinationArray, destinations.getSize(), status);
            if (status.isNotFatal()) {
                result = calculateRoute(owner, seedArray, numSeeds, destinationArray, numDestinations,
                                        options, possibilities, numPossibilities, status);
            }
        }
        if (seedArray != seedSlots_) {
            nVOKAL100_free(seedArray);
        }
        if (destinationArray != destinationSlots_) {
            nVOKAL100_free(destinationArray);
        }
        return result;
    });
}

uint32_t RoutingSession::calculateRoute(uint64_t owner, const RouteCalculationSeedBase* seeds,
                                        uint32_t numSeeds, const uint32_t* destinations,
                                        uint32_t numDestinations, uint32_t options,
                                        const UserBufferInterface& possibilities, uint32_t* numPossibilities,
                                        tStatus& status) {
    return withResources(status, [&]() -> uint32_t {
        VOSDBG_ASSERT(numPossibilities != nullptr);
        VOSDBG_ASSERT(possibilities.getSize() >= uint64_t{*numPossibilities} * sizeof(RoutePossibilityBase));
        // A session at its bound keeps no more: no search runs for it.
        if (!roomFor(1, status)) {
            *numPossibilities = 0;
            return 0;
        }
        RoutePossibilityBase* found = nullptr;
        uint32_t count = 0;
        const bool noRoute = routingResources_->calculateRoute(
            owner, seeds, numSeeds, destinations, numDestinations, options, &found, &count, status);
        AllocHelper helper = routingResources_->getAllocHelper();
        uint32_t result = noRoute ? 1 : 0;
        if (status.isNotFatal()) {
            const uint32_t capacity = *numPossibilities;
            *numPossibilities = count;
            const size_t before = sessionRoutes_.size();
            bool kept = false;
            if (!roomFor(count, status)) {
                result = 0;
            } else if (capacity < count) {
                KELVO_SET_STATUS(status, tStatus::kBufferTooSmall);
                result = 0;
            } else {
                // The IDs' records first, so that a route the caller is told of is the session's.
                for (uint32_t i = 0; i < count && status.isNotFatal(); ++i) {
                    keep(found[i].routeID, status);
                }
                if (status.isNotFatal()) {
                    possibilities.writeToBuffer(0, found, uint64_t{count} * sizeof(RoutePossibilityBase),
                                                status);
                }
                kept = status.isNotFatal();
            }
            if (!kept) {
                while (sessionRoutes_.size() > before) {
                    forget(sessionRoutes_.last());
                }
                for (uint32_t i = 0; i < count; ++i) {
                    routingResources_->destroyRoute(found[i].routeID);
                }
                result = 0;
            }
        } else {
            result = 0;
        }
        helper.fn(found, 0, helper.context);
        return result;
    });
}

void RoutingSession::destroyRoute(uint32_t routeID) {
    if (constructed_ == 0) {
        return;
    }
    MutexHolder hold(lock_);
    voitl::tIndexedNode* owned = sessionRoutes_.find(routeID);
    if (owned == nullptr) {
        return;
    }
    forget(owned);
    if (routingResources_ != nullptr) {
        routingResources_->destroyRoute(routeID);
    }
}

void RoutingSession::reserveRoute(uint32_t routeID, const UserBufferInterface& conflicts,
                                  uint32_t* numConflicts, tStatus& status) {
    withResources(status, [&] {
        VOSDBG_ASSERT(numConflicts != nullptr);
        VOSDBG_ASSERT(conflicts.getSize() >= uint64_t{*numConflicts} * sizeof(RouteConflict));
        if (!owns(routeID)) {
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        }
        if (status.isFatal()) {
            return;
        }
        RouteConflict* found = nullptr;
        uint32_t count = 0;
        routingResources_->reserveRoute(routeID, &found, &count, status);
        const uint32_t written = *numConflicts < count ? *numConflicts : count;
        *numConflicts = written;
        tStatus copy;
        conflicts.writeToBuffer(0, found, uint64_t{written} * sizeof(RouteConflict), copy);
        if (copy.isFatal()) {
            *numConflicts = 0;
        }
        AllocHelper helper = routingResources_->getAllocHelper();
        helper.fn(found, 0, helper.context);
    });
}

void RoutingSession::programRoute(uint32_t routeID, tStatus& status) {
    withResources(status, [&] {
        if (!owns(routeID)) {
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        }
        if (status.isFatal()) {
            return;
        }
        routingResources_->programRoute(routeID, status);
    });
}

void RoutingSession::unreserveRoute(uint32_t routeID) {
    if (constructed_ == 0) {
        return;
    }
    MutexHolder hold(lock_);
    if (routingResources_ != nullptr && owns(routeID)) {
        routingResources_->unreserveRoute(routeID);
    }
}

void RoutingSession::unprogramRoute(uint32_t routeID) {
    if (constructed_ == 0) {
        return;
    }
    MutexHolder hold(lock_);
    if (routingResources_ != nullptr && owns(routeID)) {
        routingResources_->unprogramRoute(routeID);
    }
}

void RoutingSession::resetTerminal(uint32_t terminalID, uint32_t resetType, tStatus& status) {
    withResources(status, [&] { routingResources_->resetTerminal(terminalID, resetType, status); });
}

uint32_t RoutingSession::calculateResetTerminal(uint64_t owner, uint32_t terminalID, uint32_t resetType,
                                                tStatus& status) {
    return withResources(status, [&]() -> uint32_t {
        // The ID's record first: recording the route then cannot fail.
        if (!roomFor(1, status)) {
            return 0;
        }
        auto* owned = new (status, false) OwnedRoute;
        if (owned == nullptr) {
            return 0;
        }
        const uint32_t id = routingResources_->calculateResetTerminal(owner, terminalID, resetType, status);
        if (status.isFatal() || id == 0) {
            delete owned;
            return 0;
        }
        owned->node.key = id;
        sessionRoutes_.append(owned->node);
        return id;
    });
}

void RoutingSession::getRouteTerminalPath(uint32_t routeID, const UserBufferInterface& path,
                                          uint32_t* routeLength, tStatus& status) {
    withResources(status, [&] {
        VOSDBG_ASSERT(routeLength != nullptr);
        VOSDBG_ASSERT(path.getSize() >= uint64_t{*routeLength} * sizeof(uint32_t));
        uint32_t* ids = nullptr;
        uint32_t count = 0;
        routingResources_->getRouteTerminalPath(routeID, &ids, &count, status);
        if (status.isNotFatal()) {
            if (*routeLength < count) {
                *routeLength = count;
                KELVO_SET_STATUS(status, tStatus::kBufferTooSmall);
            } else {
                path.writeToBuffer(0, ids, uint64_t{count} * sizeof(uint32_t), status);
                *routeLength = count;
            }
        }
        AllocHelper helper = routingResources_->getAllocHelper();
        helper.fn(ids, 0, helper.context);
    });
}

void RoutingSession::getTopographyName(const UserBufferInterface& name, tStatus& status) {
    withResources(status, [&] {
        const TopographyInfo* info = routingResources_->getTopInfo();
        const char* text = info != nullptr ? info->name : nullptr;
        uint64_t length = 0;
        while (text != nullptr && text[length] != '\0') {
            ++length;
        }
        if (name.getSize() <= length) {
            KELVO_SET_STATUS(status, tStatus::kBufferTooSmall);
            return; // nothing written
        }
        const char empty = '\0';
        name.writeToBuffer(0, text != nullptr ? text : &empty, length + 1, status);
    });
}

void RoutingSession::demoteSession() {
    MutexHolder hold(lock_);
    if (notifier_.isOpen()) {
        tStatus ignored;
        notifier_.notify(nullptr, 0, ignored);
    }
}

void RoutingSession::setRoutingResources(RoutingResourcesInterface* resources) {
    MutexHolder hold(lock_);
    VOSDBG_ASSERT_MSG(routingResources_ == nullptr, "routingResources == __null");
    routingResources_ = resources;
}

void RoutingSession::clearRoutingResources() {
    MutexHolder hold(lock_);
    if (routingResources_ != nullptr) {
        while (voitl::tIndexedNode* last = sessionRoutes_.last()) {
            routingResources_->destroyRoute(last->key);
            forget(last);
        }
    } else {
        VOSDBG_ASSERT_MSG(sessionRoutes_.empty(), "sessionRoutes.empty()");
    }
    routingResources_ = nullptr;
}

} // namespace voark
