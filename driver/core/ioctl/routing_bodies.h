// The routing operations: each unpacks its record, wraps the caller's
// buffers (count times record size, the seed and destination counts bounded
// first) and calls the handle's routing session, holding a reference to it
// for the whole call (a cleanup of the handle may run beside it). A handle
// without a routing session (never given one, or removed by its cleanup)
// answers as a demoted session does. Capacities are not bounded: a user
// buffer is only a view, and the session writes and keeps no more than it
// found.
#pragma once

#include <stdint.h>

#include "core/ioctl/context.h"
#include "framework/routing_session.h"
#include "kelvo/ioctl.h"
#include "nVOKAL.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"
#include "platform/user_buffer.h"
#include "platform/vohtl/sharedptr.h"

namespace kelvo_driver::ioctl {

namespace routing {

// Bound of the seed and destination counts that user mode gives (kelvo/ioctl.h says the same).
inline constexpr uint32_t kMaxRouteRecords = KELVO_ROUTING_MAX_RECORDS;

using SessionRef = vohtl::SharedPtr<voark::RoutingSession>;

template <class Access>
SessionRef routingSessionOf(const nVOAPAL000::tEventDescriptor& event, nVOAPALS100::tStatus& status,
                            bool answerMissing = true) {
    auto* session = static_cast<typename Access::SessionType*>(nVOAPAL000::sessionOf(event));
    SessionRef routing = session != nullptr ? Access::routingSession(*session) : SessionRef();
    if (!routing && answerMissing) {
        KELVO_SET_STATUS(status, voark::kNoRoutingResources);
    }
    return routing;
}

// A kernel copy of count records of a user array: up to kSlots records in
// the request's own slots (a typical search allocates nothing for them),
// more in an allocation (-52000); none for 0.
template <typename Record> class KernelCopy {
public:
    static constexpr uint32_t kSlots = 16;

    KernelCopy(const nVOAPAL000::tEventDescriptor& event, uint64_t address, uint32_t count,
               nVOAPALS100::tStatus& status) {
        if (count == 0 || status.isFatal()) {
            return;
        }
        const uint64_t bytes = uint64_t{count} * sizeof(Record);
        data_ = count <= kSlots ? slots_ : static_cast<Record*>(nVOAPAL200_malloc(bytes, &status));
        if (data_ != nullptr) {
            nVOAPAL000::tUserBuffer(event, address, bytes).read(0, data_, bytes, status);
        }
    }
    ~KernelCopy() {
        if (data_ != slots_) {
            nVOKAL100_free(data_);
        }
    }
    KernelCopy(const KernelCopy&) = delete;
    KernelCopy& operator=(const KernelCopy&) = delete;

    const Record* get() const { return data_; }

private:
    Record slots_[kSlots];
    Record* data_ = nullptr;
};

} // namespace routing

template <class A> void routing_queryVersion(Ctx<A, Op::routing_queryVersion>& c) {
    const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status, false);
    c.out.version = session ? session->queryVersion() : 1;
}

template <class A> void routing_calculateRoute(Ctx<A, Op::routing_calculateRoute>& c) {
    const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status);
    if (!session) {
        return;
    }
    if (c.in.seedCount > routing::kMaxRouteRecords || c.in.destinationCount > routing::kMaxRouteRecords) {
        KELVO_SET_STATUS(c.status, nVOAPALS100::tStatus::kInvalidParameter);
        return;
    }
    const uint32_t capacity = c.in.possibilitiesCapacity;
    const routing::KernelCopy<voark::RouteCalculationSeedBase> seeds(c.event, c.in.seedBuffer, c.in.seedCount,
                                                                     c.status);
    const routing::KernelCopy<uint32_t> destinations(c.event, c.in.destinationBuffer, c.in.destinationCount,
                                                     c.status);
    if (c.status.isNotFatal()) {
        const nVOAPAL000::tUserBuffer buffer(c.event, c.in.possibilitiesBuffer,
                                             uint64_t{capacity} * sizeof(voark::RoutePossibilityBase));
        const voark::APALUserBufferWrapper possibilities(buffer);
        uint32_t count = capacity;
        c.out.result = session->calculateRoute(c.in.routeOwner, seeds.get(), c.in.seedCount,
                                               destinations.get(), c.in.destinationCount,
                                               c.in.routeCalculationWord, possibilities, &count, c.status);
        c.out.possibilitiesCount = count;
    }
}

template <class A> void routing_destroyRoute(Ctx<A, Op::routing_destroyRoute>& c) {
    if (const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status, false)) {
        session->destroyRoute(c.in.routeID);
    }
}

template <class A> void routing_reserveRoute(Ctx<A, Op::routing_reserveRoute>& c) {
    const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status);
    if (!session) {
        return;
    }
    const uint32_t capacity = c.in.conflictsCapacity;
    const nVOAPAL000::tUserBuffer buffer(c.event, c.in.conflictsBuffer,
                                         uint64_t{capacity} * sizeof(voark::RouteConflict));
    const voark::APALUserBufferWrapper conflicts(buffer);
    uint32_t count = capacity;
    session->reserveRoute(c.in.routeID, conflicts, &count, c.status);
    c.out.conflictsCount = count;
}

template <class A> void routing_programRoute(Ctx<A, Op::routing_programRoute>& c) {
    if (const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status)) {
        session->programRoute(c.in.routeID, c.status);
    }
}

template <class A> void routing_unreserveRoute(Ctx<A, Op::routing_unreserveRoute>& c) {
    if (const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status, false)) {
        session->unreserveRoute(c.in.routeID);
    }
}

template <class A> void routing_unprogramRoute(Ctx<A, Op::routing_unprogramRoute>& c) {
    if (const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status, false)) {
        session->unprogramRoute(c.in.routeID);
    }
}

template <class A> void routing_getRouteTerminalPath(Ctx<A, Op::routing_getRouteTerminalPath>& c) {
    const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status);
    if (!session) {
        return;
    }
    const uint32_t capacity = c.in.pathCapacity;
    const nVOAPAL000::tUserBuffer buffer(c.event, c.in.pathBuffer, uint64_t{capacity} * sizeof(uint32_t));
    const voark::APALUserBufferWrapper path(buffer);
    uint32_t length = capacity;
    session->getRouteTerminalPath(c.in.routeID, path, &length, c.status);
    c.out.pathLength = length;
}

template <class A> void routing_getTopographyName(Ctx<A, Op::routing_getTopographyName>& c) {
    if (const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status)) {
        const nVOAPAL000::tUserBuffer buffer(c.event, c.in.nameBuffer, c.in.bufferSize);
        session->getTopographyName(voark::APALUserBufferWrapper(buffer), c.status);
    }
}

template <class A> void routing_resetTerminal(Ctx<A, Op::routing_resetTerminal>& c) {
    if (const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status)) {
        session->resetTerminal(c.in.terminalID, c.in.resetWord, c.status);
    }
}

template <class A> void routing_calculateResetTerminal(Ctx<A, Op::routing_calculateResetTerminal>& c) {
    if (const routing::SessionRef session = routing::routingSessionOf<A>(c.event, c.status)) {
        c.out.result =
            session->calculateResetTerminal(c.in.routeOwner, c.in.terminalID, c.in.resetWord, c.status);
    }
}

} // namespace kelvo_driver::ioctl
