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

#include "core/ioctl/code_table.h"
#include "framework/routing_session.h"
#include "kelvo/ioctl.h"
#include "nVOKAL.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"
#include "platform/user_buffer.h"
#include "platform/vohtl/sharedptr.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

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

template <> struct Operation<Op::routing_queryVersion> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        const routing::SessionRef session = routing::routingSessionOf<Access>(event, status, false);
        out.version = session ? session->queryVersion() : 1;
    }
};

template <> struct Operation<Op::routing_calculateRoute> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.result = 0;
        out.possibilitiesCount = 0;
        const routing::SessionRef session = routing::routingSessionOf<Access>(event, status);
        if (!session) {
            return;
        }
        if (in.seedCount > routing::kMaxRouteRecords || in.destinationCount > routing::kMaxRouteRecords) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
            return;
        }
        const uint32_t capacity = in.possibilitiesCapacity;
        const routing::KernelCopy<voark::RouteCalculationSeedBase> seeds(event, in.seedBuffer, in.seedCount,
                                                                         status);
        const routing::KernelCopy<uint32_t> destinations(event, in.destinationBuffer, in.destinationCount,
                                                         status);
        if (status.isNotFatal()) {
            const nVOAPAL000::tUserBuffer buffer(event, in.possibilitiesBuffer,
                                                 uint64_t{capacity} * sizeof(voark::RoutePossibilityBase));
            const voark::APALUserBufferWrapper possibilities(buffer);
            uint32_t count = capacity;
            out.result = session->calculateRoute(in.routeOwner, seeds.get(), in.seedCount, destinations.get(),
                                                 in.destinationCount, in.routeCalculationWord, possibilities,
                                                 &count, status);
            out.possibilitiesCount = count;
        }
    }
};

template <> struct Operation<Op::routing_destroyRoute> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (const routing::SessionRef session = routing::routingSessionOf<Access>(event, status, false)) {
            session->destroyRoute(in.routeID);
        }
    }
};

template <> struct Operation<Op::routing_reserveRoute> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.conflictsCount = 0;
        const routing::SessionRef session = routing::routingSessionOf<Access>(event, status);
        if (!session) {
            return;
        }
        const uint32_t capacity = in.conflictsCapacity;
        const nVOAPAL000::tUserBuffer buffer(event, in.conflictsBuffer,
                                             uint64_t{capacity} * sizeof(voark::RouteConflict));
        const voark::APALUserBufferWrapper conflicts(buffer);
        uint32_t count = capacity;
        session->reserveRoute(in.routeID, conflicts, &count, status);
        out.conflictsCount = count;
    }
};

template <> struct Operation<Op::routing_programRoute> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (const routing::SessionRef session = routing::routingSessionOf<Access>(event, status)) {
            session->programRoute(in.routeID, status);
        }
    }
};

template <> struct Operation<Op::routing_unreserveRoute> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (const routing::SessionRef session = routing::routingSessionOf<Access>(event, status, false)) {
            session->unreserveRoute(in.routeID);
        }
    }
};

template <> struct Operation<Op::routing_unprogramRoute> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (const routing::SessionRef session = routing::routingSessionOf<Access>(event, status, false)) {
            session->unprogramRoute(in.routeID);
        }
    }
};

template <> struct Operation<Op::routing_getRouteTerminalPath> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.pathLength = 0;
        const routing::SessionRef session = routing::routingSessionOf<Access>(event, status);
        if (!session) {
            return;
        }
        const uint32_t capacity = in.pathCapacity;
        const nVOAPAL000::tUserBuffer buffer(event, in.pathBuffer, uint64_t{capacity} * sizeof(uint32_t));
        const voark::APALUserBufferWrapper path(buffer);
        uint32_t length = capacity;
        session->getRouteTerminalPath(in.routeID, path, &length, status);
        out.pathLength = length;
    }
};

template <> struct Operation<Op::routing_getTopographyName> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (const routing::SessionRef session = routing::routingSessionOf<Access>(event, status)) {
            const nVOAPAL000::tUserBuffer buffer(event, in.nameBuffer, in.bufferSize);
            session->getTopographyName(voark::APALUserBufferWrapper(buffer), status);
        }
    }
};

template <> struct Operation<Op::routing_resetTerminal> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (const routing::SessionRef session = routing::routingSessionOf<Access>(event, status)) {
            session->resetTerminal(in.terminalID, in.resetWord, status);
        }
    }
};

template <> struct Operation<Op::routing_calculateResetTerminal> {
    template <class Access, class Device, class In, class Out>
    static void run(Device&, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.result = 0;
        if (const routing::SessionRef session = routing::routingSessionOf<Access>(event, status)) {
            out.result = session->calculateResetTerminal(in.routeOwner, in.terminalID, in.resetWord, status);
        }
    }
};

} // namespace kelvo_driver::ioctl
