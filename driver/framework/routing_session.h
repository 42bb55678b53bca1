// What the device framework needs of signal routing: the routing-resources
// manager through which a device's routing resources reach the routing
// sessions of its open handles, and the routing session that each kernel
// session owns once routing has been set up. The session is the handle's
// view of the resources: it forwards route requests, copies results into
// the caller's buffers and remembers the routes the handle created, so that
// only their creator can reserve, program, release or destroy them.
#pragma once

#include <stdint.h>

#include "framework/routing_interface.h"
#include "kelvo/ioctl.h"
#include "platform/io_notifier.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/user_buffer.h"
#include "platform/voitl/indexed_list.h"

namespace voark {

// Result codes of the sessions.
inline constexpr int64_t kNoRoutingResources = nVOAPALS100::tStatus::kInvalidState; // -52020
// The most routes one session keeps (created and not yet destroyed). A
// calculation or reset route that would take it past them is refused with
// -52000 (as when its list cannot grow) and keeps nothing.
inline constexpr uint32_t kMaxSessionRoutes = KELVO_ROUTING_MAX_ROUTES_PER_HANDLE;

// A caller's buffer as the session sees it.
class UserBufferInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~UserBufferInterface() = default;
    // Nothing on a fatal status.
    virtual void readFromBuffer(uint64_t offset, void* destination, uint64_t size,
                                nVOAPALS100::tStatus& status) const = 0;
    virtual void writeToBuffer(uint64_t offset, const void* source, uint64_t size,
                               nVOAPALS100::tStatus& status) const = 0;
    virtual uint64_t getSize() const = 0;
};

// A user buffer of a request.
class APALUserBufferWrapper : public UserBufferInterface {
public:
    explicit APALUserBufferWrapper(const kelvo_driver::nVOAPAL000::tUserBuffer& buffer) : buffer_(&buffer) {}
    void readFromBuffer(uint64_t offset, void* destination, uint64_t size,
                        nVOAPALS100::tStatus& status) const override {
        buffer_->read(offset, destination, size, status);
    }
    void writeToBuffer(uint64_t offset, const void* source, uint64_t size,
                       nVOAPALS100::tStatus& status) const override {
        buffer_->write(offset, source, size, status);
    }
    uint64_t getSize() const override { return buffer_->getSize(); }

private:
    const kelvo_driver::nVOAPAL000::tUserBuffer* buffer_;
};

class RoutingSessionInterface;

// Link of a session in its manager's list; points to itself when unlinked.
struct RoutingSessionListNode {
    RoutingSessionListNode* next = this;
    RoutingSessionListNode* prev = this;
    RoutingSessionInterface* owner = nullptr;
    // Set by the manager that detached the session for good (its clear):
    // the session then never calls that manager again, which may be gone.
    uint8_t detached = 0;
    bool isLinked() const { return next != this; }
    bool isDetached() const { return __atomic_load_n(&detached, __ATOMIC_ACQUIRE) != 0; }
};

// A routing session as the manager sees it.
class RoutingSessionInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    RoutingSessionInterface() { routingSessionManagerListNode.owner = this; }
    virtual ~RoutingSessionInterface() = default;
    RoutingSessionInterface(const RoutingSessionInterface&) = delete;
    RoutingSessionInterface& operator=(const RoutingSessionInterface&) = delete;

    // Sends the session's notification (the manager has withdrawn its resources).
    virtual void demoteSession() = 0;
    // Receives the resources (it must hold none).
    virtual void setRoutingResources(RoutingResourcesInterface* resources) = 0;
    // Destroys the session's routes, last first, and forgets the resources.
    virtual void clearRoutingResources() = 0;

    RoutingSessionListNode routingSessionManagerListNode;
};

class RoutingResourcesManagerInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~RoutingResourcesManagerInterface() = default;
    // Hands the resources to the manager and to every registered session.
    virtual void setRoutingResources(RoutingResourcesInterface* resources) = 0;
    // Withdraws them from every registered session, demotes it and drops it
    // from the list; then forgets them.
    virtual void clearRoutingResources() = 0;
    // Adds a session to the manager's list; from then on the manager hands
    // resources to it and withdraws them.
    virtual void registerRoutingSession(RoutingSessionInterface& session) = 0;
    // Removes a session from the list and withdraws its resources (nothing
    // when it is not there).
    virtual void unregisterRoutingSession(RoutingSessionInterface& session) = 0;
};

// The routing session of one open handle. Construction creates its
// recursive lock (-52000 when it cannot); it counts as constructed when the
// status then holds no error, and only then registers with the manager.
// Its I/O notifier is closed at construction. Every operation holds the
// session lock; an operation that needs resources answers -52020 while the
// session has none.
//
// Lifetime: the kernel session owns it through a shared pointer and each
// request holds a reference for as long as it uses it, so a cleanup of the
// handle running beside its requests never frees it under them. The cleanup
// retires it (retire): its notifier closes, it leaves its manager (its routes
// are destroyed), and every later request answers as a demoted session does;
// the memory goes with the last reference.
class RoutingSession : public RoutingSessionInterface {
public:
    static constexpr uint32_t kSlots = 16;

    RoutingSession(RoutingResourcesManagerInterface& manager, nVOAPALS100::tStatus& status);
    // Retires a session not yet retired.
    ~RoutingSession() override;

    bool isConstructed() const { return constructed_ != 0; }
    // Closes the notifier of a constructed session under the session lock,
    // then unregisters the session from its manager (unless the manager
    // detached it already), which destroys its routes; from then on the
    // notifier no longer opens and no resources come back. Once only: the
    // caller serialises the calls (the owner's cleanup, then the destructor).
    void retire();
    // Opens the notifier under the session lock: -52020 when it is open
    // already or the session is retired.
    void openIONotifier(kelvo_driver::nVOAPAL000::tIONotifierParams& params, nVOAPALS100::tStatus& status);
    // Closes the notifier, when open, under the session lock.
    void closeIONotifier();
    kelvo_driver::nVOAPAL000::tIONotifier& getIONotifier() { return notifier_; }
    RoutingResourcesManagerInterface& getManager() const { return manager_; }

    uint32_t queryVersion() const { return 1; }
    // Seeds and destinations in caller buffers (whole buffers read; up to 16
    // of each use the session's slots). possibilities holds *numPossibilities
    // records; on return *numPossibilities is the number found. 1 when no
    // route was found, 0 otherwise and on failure.
    uint32_t calculateRoute(uint64_t owner, const UserBufferInterface& seeds, uint32_t numSeeds,
                            const UserBufferInterface& destinations, uint32_t numDestinations,
                            uint32_t options, const UserBufferInterface& possibilities,
                            uint32_t* numPossibilities, nVOAPALS100::tStatus& status);
    // The same with kernel arrays. Nothing is sized by the capacity: the
    // records written and the room kept for their IDs follow the number found.
    uint32_t calculateRoute(uint64_t owner, const RouteCalculationSeedBase* seeds, uint32_t numSeeds,
                            const uint32_t* destinations, uint32_t numDestinations, uint32_t options,
                            const UserBufferInterface& possibilities, uint32_t* numPossibilities,
                            nVOAPALS100::tStatus& status);
    void destroyRoute(uint32_t routeID);
    void reserveRoute(uint32_t routeID, const UserBufferInterface& conflicts, uint32_t* numConflicts,
                      nVOAPALS100::tStatus& status);
    void programRoute(uint32_t routeID, nVOAPALS100::tStatus& status);
    void unreserveRoute(uint32_t routeID);
    void unprogramRoute(uint32_t routeID);
    void resetTerminal(uint32_t terminalID, uint32_t resetType, nVOAPALS100::tStatus& status);
    uint32_t calculateResetTerminal(uint64_t owner, uint32_t terminalID, uint32_t resetType,
                                    nVOAPALS100::tStatus& status);
    void getRouteTerminalPath(uint32_t routeID, const UserBufferInterface& path, uint32_t* routeLength,
                              nVOAPALS100::tStatus& status);
    void getTopographyName(const UserBufferInterface& name, nVOAPALS100::tStatus& status);

    void demoteSession() override;
    void setRoutingResources(RoutingResourcesInterface* resources) override;
    void clearRoutingResources() override;

private:
    // A route of the session: in creation order, found by ID in logarithmic time.
    struct OwnedRoute : public kelvo_driver::nVOAPAL000::tObject {
        voitl::tIndexedNode node; // key: the route ID
    };
    static OwnedRoute* ownedOf(voitl::tIndexedNode* node);
    bool owns(uint32_t routeID) const { return sessionRoutes_.find(routeID) != nullptr; }
    // Keeps routeID (-52000 when its record cannot be had).
    bool keep(uint32_t routeID, nVOAPALS100::tStatus& status);
    void forget(voitl::tIndexedNode* node);
    // Room for more routes under the bound (-52000 when there is none).
    bool roomFor(uint64_t more, nVOAPALS100::tStatus& status) const;
    // Runs body() under the session lock and answers its result. A session
    // never constructed does nothing; one without resources answers -52020.
    // Either way the result is then zero.
    template <typename Body> auto withResources(nVOAPALS100::tStatus& status, Body body);

    RoutingResourcesManagerInterface& manager_;
    RoutingResourcesInterface* routingResources_ = nullptr;
    voitl::tIndexedList sessionRoutes_;
    kelvo_driver::nVOAPAL000::tMutex lock_;
    uint8_t constructed_ = 0;
    uint8_t retired_ = 0;
    RouteCalculationSeedBase seedSlots_[kSlots] = {};
    uint32_t destinationSlots_[kSlots] = {};
    kelvo_driver::nVOAPAL000::tIONotifier notifier_;
};

} // namespace voark
