// What the device framework needs of signal routing: the routing-resources
// manager through which a device's routing resources reach the routing
// sessions of its open handles, and the routing session that each kernel
// session owns once routing has been set up. The routing subsystem
// implements the manager and builds its route operations on the session;
// the framework only constructs, registers and destroys sessions.
#pragma once

#include <stdint.h>

#include "platform/io_notifier.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"

namespace voark {

// The board's routing resources (the routing subsystem's).
class RoutingResourcesInterface;

// A routing session as the manager sees it.
class RoutingSessionInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~RoutingSessionInterface() = default;
};

class RoutingResourcesManagerInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~RoutingResourcesManagerInterface() = default;
    // Hands the resources to the manager and to every registered session.
    virtual void setRoutingResources(RoutingResourcesInterface* resources) = 0;
    // Withdraws them from the manager and every session.
    virtual void clearRoutingResources() = 0;
    // Adds a session to the manager's list; from then on the manager hands
    // resources to it and withdraws them.
    virtual void registerRoutingSession(RoutingSessionInterface& session) = 0;
    // Removes a session from the list (nothing when it is not there).
    virtual void unregisterRoutingSession(RoutingSessionInterface& session) = 0;
};

// The routing session of one open handle. Construction creates its
// recursive lock (-52000 when it cannot); it counts as constructed when the
// status then holds no error, and only then registers with the manager.
// Its I/O notifier is closed at construction. Destruction closes the
// notifier when open and unregisters a constructed session.
class RoutingSession : public RoutingSessionInterface {
public:
    RoutingSession(RoutingResourcesManagerInterface& manager, nVOAPALS100::tStatus& status);
    ~RoutingSession() override;
    RoutingSession(const RoutingSession&) = delete;
    RoutingSession& operator=(const RoutingSession&) = delete;

    bool isConstructed() const { return constructed_ != 0; }
    // The session's recursive lock: the device opens the notifier under it.
    kelvo_driver::nVOAPAL000::tMutex& getLock() { return lock_; }
    kelvo_driver::nVOAPAL000::tIONotifier& getIONotifier() { return notifier_; }
    RoutingResourcesManagerInterface& getManager() const { return manager_; }

private:
    RoutingResourcesManagerInterface& manager_;
    kelvo_driver::nVOAPAL000::tMutex lock_;
    uint8_t constructed_;
    kelvo_driver::nVOAPAL000::tIONotifier notifier_;
};

} // namespace voark
