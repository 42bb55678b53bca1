// I/O gates: every device operation that user mode reaches runs inside one.
// A gate first asks the device core to admit the request (which is what
// suspend, reset and removal wait on), then runs its sentries, each of
// which may refuse the operation by setting the status. The first check
// that fails decides the code; an admitted request stays counted until the
// gate is left, whatever its sentries said.
#pragma once

#include <stdint.h>

#include "framework/reset_invalidatable_session.h"
#include "framework/setup_tracker.h"
#include "platform/device_core.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kdut {

class IOGateSentryInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~IOGateSentryInterface() = default;
    // Nothing when the status already holds an error.
    virtual void onEnterIOGate(nVOAPALS100::tStatus& status) = 0;
};

class IOGate : public kelvo_driver::nVOAPAL000::tObject {
public:
    // session may be null (a request of no open handle).
    IOGate(kelvo_driver::nVOAPAL000::tDeviceCore& device, kelvo_driver::nVOAPAL000::tSession* session);
    // Leaving is the owner's duty.
    virtual ~IOGate() = default;
    IOGate(const IOGate&) = delete;
    IOGate& operator=(const IOGate&) = delete;

    // Most sentries a gate holds: the list lives in the gate, so a request
    // allocates nothing to pass it.
    static constexpr uint32_t kMaxSentries = 4;

    // Appends a sentry (not owned); -52000 when the list is full.
    void addSentry(IOGateSentryInterface* sentry, nVOAPALS100::tStatus& status);
    // Asks the device to admit the request, waiting without time limit
    // while its gate is paused (-52022 when closed, -52025 when the wait is
    // interrupted); once admitted, runs the sentries in order.
    void enter(nVOAPALS100::tStatus& status);
    // Leaves the device's gate when admitted (once).
    void exit();

    bool isEntered() const { return entered_; }

private:
    kelvo_driver::nVOAPAL000::tDeviceCore& device_;
    kelvo_driver::nVOAPAL000::tSession* session_;
    bool entered_;
    uint32_t sentryCount_;
    IOGateSentryInterface* sentries_[kMaxSentries];
};

// Refuses a session that a teardown invalidated; passes without a session.
class InvalidatableSessionIOGateSentry : public IOGateSentryInterface {
public:
    explicit InvalidatableSessionIOGateSentry(InvalidatableSessionInterface* session) : session_(session) {}
    ~InvalidatableSessionIOGateSentry() override = default;
    void onEnterIOGate(nVOAPALS100::tStatus& status) override;

private:
    InvalidatableSessionInterface* session_;
};

// Refuses an operation whose level the device has not reached, with the
// tracker's status (the reason setup stopped below that level).
template <typename SetupLevel> class SetupLevelIOGateSentry : public IOGateSentryInterface {
public:
    SetupLevelIOGateSentry(const SetupTracker<SetupLevel>& tracker, uint32_t requiredLevel)
        : tracker_(tracker), requiredLevel_(requiredLevel) {}
    ~SetupLevelIOGateSentry() override = default;

    void onEnterIOGate(nVOAPALS100::tStatus& status) override {
        if (status.isFatal() || requiredLevel_ <= tracker_.getCurrentLevel()) {
            return;
        }
        VOSDBG_ASSERT_MSG(tracker_.isFatal(),
                          " Failed - Expected setupTrackerRef to be fatal if requiredSetupLevel is not met.");
        status.merge(tracker_.getStatus());
    }

private:
    const SetupTracker<SetupLevel>& tracker_;
    uint32_t requiredLevel_;
};

// The standard gate: admission, then the session's validity, then the
// setup level. Built on the request's stack; leaves the device's gate when
// it goes out of scope.
template <typename SetupLevel, typename Session> class AutoIOGate : public kelvo_driver::nVOAPAL000::tObject {
public:
    // session may be null. Nothing is entered when the status already holds
    // an error.
    AutoIOGate(kelvo_driver::nVOAPAL000::tDeviceCore& device, Session* session,
               const SetupTracker<SetupLevel>& tracker, uint32_t requiredLevel, nVOAPALS100::tStatus& status)
        : gate_(device, session), validitySentry_(validityOf(session)), levelSentry_(tracker, requiredLevel) {
        if (status.isFatal()) {
            return;
        }
        gate_.addSentry(&validitySentry_, status);
        gate_.addSentry(&levelSentry_, status);
        gate_.enter(status);
    }
    virtual ~AutoIOGate() { gate_.exit(); }
    AutoIOGate(const AutoIOGate&) = delete;
    AutoIOGate& operator=(const AutoIOGate&) = delete;

    bool isEntered() const { return gate_.isEntered(); }

private:
    static InvalidatableSessionInterface* validityOf(Session* session) {
        return session != nullptr ? static_cast<InvalidatableSessionInterface*>(session) : nullptr;
    }

    IOGate gate_;
    InvalidatableSessionIOGateSentry validitySentry_;
    SetupLevelIOGateSentry<SetupLevel> levelSentry_;
};

} // namespace kdut
