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
#include "platform/io_notifier.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/user_buffer.h"
#include "platform/vohtl/vector.h"

namespace voark {

// Result codes of the sessions.
inline constexpr int64_t kNoRoutingResources = nVOAPALS100::tStatus::kInvalidState; // -52020

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
// Its I/O notifier is closed at construction. Destruction closes the
// notifier when open and unregisters a constructed session (which destroys
// its routes). Every operation holds the session lock; an operation that
// needs resources answers -52020 while the session has none.
class RoutingSession : public RoutingSessionInterface {
public:
    static constexpr uint32_t kSlots = 16;

    RoutingSession(RoutingResourcesManagerInterface& manager, nVOAPALS100::tStatus& status);
    ~RoutingSession() override;

    bool isConstructed() const { return constructed_ != 0; }
    // The session's recursive lock: the device opens the notifier under it.
    kelvo_driver::nVOAPAL000::tMutex& getLock() { return lock_; }
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
    // The same with kernel arrays.
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

    // The routes this session created and has not destroyed, in creation order.
    const vohtl::Vector<uint32_t>& getSessionRoutes() const { return sessionRoutes_; }

private:
    bool owns(uint32_t routeID) const;
    size_t indexOf(uint32_t routeID) const;
    bool growRoutes(uint64_t more, nVOAPALS100::tStatus& status);
    // Runs body() under the session lock and answers its result. A session
    // never constructed does nothing; one without resources answers -52020.
    // Either way the result is then zero.
    template <typename Body> auto withResources(nVOAPALS100::tStatus& status, Body body);

    RoutingResourcesManagerInterface& manager_;
    RoutingResourcesInterface* routingResources_ = nullptr;
    vohtl::Vector<uint32_t> sessionRoutes_;
    kelvo_driver::nVOAPAL000::tMutex lock_;
    uint8_t constructed_ = 0;
    RouteCalculationSeedBase seedSlots_[kSlots] = {};
    uint32_t destinationSlots_[kSlots] = {};
    kelvo_driver::nVOAPAL000::tIONotifier notifier_;
};

} // namespace voark
