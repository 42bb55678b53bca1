// The device template: the life cycle of every device that is set up in
// levels. It implements the platform's open, close, start, stop, suspend,
// resume and power slots once; keeps the setup tracker; runs the reset,
// which tears the device down and sets it up again while I/O is held back;
// and invalidates every open session at each teardown. What setup and
// teardown build, which session an open makes and which properties the
// device publishes are the product's, through the pure slots below.
//
// The device mutex serialises close, stop, power-down, reset and the
// suspend and resume of I/O (so that the product's hooks never meet a
// teardown halfway); it is recursive, so the product's setup and teardown
// may take it again.
//
// A request inside the gate must not hold up a reset, a removal, a
// power-down or a stop for good: once the gate no longer admits and a
// teardown is to follow (the reset's own, or the plug-and-play engine's
// stop or power-down, whatever the suspension before), the wait for the I/O
// count calls cancelPendingWaits at every look, so that every cancellable
// wait of the requests inside, including one that starts after the first
// call, ends. A suspension of I/O alone ends nothing: the waits inside go on
// and are served after the resume.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "framework/io_gate.h"
#include "framework/mutex_holder.h"
#include "framework/poller.h"
#include "framework/setup_tracker.h"
#include "platform/device_core.h"
#include "platform/device_info.h"
#include "platform/property.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "platform/user_buffer.h"
#include "platform/vohtl/vector.h"
#include "platform/vosdbg.h"

namespace kdut {

template <typename DeviceBase, typename SetupLevel, typename Session, typename ResetParameters>
class Device : public DeviceBase {
public:
    using tStatus = nVOAPALS100::tStatus;
    using tEventDescriptor = kelvo_driver::nVOAPAL000::tEventDescriptor;
    using tDeviceInterface = kelvo_driver::nVOAPAL000::tDeviceInterface;
    using tSession = kelvo_driver::nVOAPAL000::tSession;
    using tProperty = kelvo_driver::nVOAPAL000::tProperty;
    using tSuspendReason = kelvo_driver::nVOAPAL000::tSuspendReason;
    using Tracker = SetupTracker<SetupLevel>;
    using Gate = AutoIOGate<SetupLevel, Session>;

    static constexpr uint32_t kCompleteLevel = Tracker::kCompleteLevel;
    static constexpr uint32_t kLevelCount = Tracker::kLevelCount;
    static constexpr uint64_t kResetParametersSize = sizeof(ResetParameters);

    // Builds the platform device, the device mutex and the two lists, each
    // holding only its terminating null entry (-52000 when one of them
    // cannot be had; the object can still be destroyed).
    Device(const nVOAPAL200_tDeviceInfo& deviceInfo, tStatus& status)
        : DeviceBase(deviceInfo, status), ioIdleTimeoutCode_(0), resetCounter_(0) {
        nVOAPAL200_createMutex(&deviceMutex_, &status);
        interfaces_.pushBack(nullptr, status);
        properties_.pushBack(nullptr, status);
    }
    // Runs no teardown: the device has been stopped before.
    ~Device() override = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // ---- the platform's slots --------------------------------------------
    tDeviceInterface* const* getDeviceInterfaces() override { return interfaces_.data(); }
    tProperty* const* getDeviceProperties() override { return properties_.data(); }

    // Admits the open through a gate at level 0 (waiting while the gate is
    // paused, -52022 while closed), then has the product make the session.
    tSession* open(const tEventDescriptor& descriptor, tDeviceInterface* deviceInterface,
                   tStatus& status) override {
        if (status.isFatal()) {
            return nullptr;
        }
        Gate gate(*this, nullptr, tracker_, 0, status);
        if (status.isFatal()) {
            return nullptr;
        }
        return createSession(descriptor, deviceInterface, status);
    }

    void closeAndFreeSession(const tEventDescriptor& descriptor, tSession* session) override {
        internal::MutexHolder hold(deviceMutex_);
        destroySession(descriptor, session);
    }

    // Sets up to the complete level; a setup failure stays in the tracker
    // and never fails the start. Then publishes the properties and opens
    // the gate.
    void start(const tEventDescriptor& descriptor, tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        {
            internal::MutexHolder hold(deviceMutex_);
            tracker_.begin(kCompleteLevel);
            runSetup(descriptor, nullptr, tracker_);
            tStatus local;
            // The storage holds the null entry already: this never allocates.
            properties_.clear();
            properties_.pushBack(nullptr, local);
            initializeDeviceProperties(local);
            onStarted();
        }
        this->setIOGateState(kelvo_driver::nVOAPAL000::kIOGateOpen);
        this->signalIOGate();
    }

    void stop(const tEventDescriptor&) override { invalidateAndTearDown(); }
    void suspendPower(const tEventDescriptor&) override { invalidateAndTearDown(); }

    // Sets up again after power came back; when the platform refuses the
    // restore, every operation above level 0 answers -52020.
    void restorePower(const tEventDescriptor& descriptor) override {
        internal::MutexHolder hold(deviceMutex_);
        tracker_.begin(kCompleteLevel);
        if (this->getRestoreFlag() != 0) {
            runSetup(descriptor, nullptr, tracker_);
            onSetUpAgain();
        } else {
            KELVO_SET_STATUS(tracker_.getStatus(), tStatus::kInvalidState);
        }
    }

    // Unless the product vetoes: a reset (reason 2 and above) pauses the
    // gate; start and removal (0, 1) close it and wake the waiters, which
    // then fail. Queued asynchronous I/O is completed.
    bool suspendIOProcessing(const tEventDescriptor& descriptor, tSuspendReason reason,
                             bool vetoable) override {
        internal::MutexHolder hold(deviceMutex_);
        if (onSuspendIOProcessing(descriptor, reason, vetoable)) {
            return false;
        }
        if (reason > kelvo_driver::nVOAPAL000::kSuspendReasonRemove) {
            this->setIOGateState(kelvo_driver::nVOAPAL000::kIOGatePaused);
            this->completeQueuedAsyncIO();
            return true;
        }
        this->setIOGateState(kelvo_driver::nVOAPAL000::kIOGateClosed);
        this->signalIOGate();
        this->completeQueuedAsyncIO();
        return true;
    }

    // Removal, power-down and stop, after a suspension of either kind: the
    // engine's idle wait that follows has no cancel of its own, so the
    // requests inside leave here, their cancellable waits ended.
    void quiesceIO(const tEventDescriptor&) override {
        internal::MutexHolder hold(deviceMutex_);
        waitForIOCountCancellingWaits(0);
    }

    void resumeIOProcessing(const tEventDescriptor& descriptor) override {
        internal::MutexHolder hold(deviceMutex_);
        onResumeIOProcessing(descriptor);
        this->setIOGateState(kelvo_driver::nVOAPAL000::kIOGateOpen);
        this->signalIOGate();
    }

    // ---- the product's slots ---------------------------------------------
    // Builds the run-time objects level by level up to the tracker's target,
    // advancing the tracker after each; a failing step leaves its error in
    // the tracker's status. parameters is null on start and power restore.
    virtual void runSetup(const tEventDescriptor& descriptor, ResetParameters* parameters,
                          Tracker& tracker) = 0;
    // Runs once start has set up and published the properties.
    virtual void onStarted() = 0;
    // Runs once a reset or a power restore has set up again (under the
    // device mutex).
    virtual void onSetUpAgain() {}
    // Destroys what runSetup built, in reverse order.
    virtual void runTeardown() = 0;
    // The session of one open (null with the status's error when it fails).
    virtual tSession* createSession(const tEventDescriptor& descriptor, tDeviceInterface* deviceInterface,
                                    tStatus& status) = 0;
    virtual void destroySession(const tEventDescriptor& descriptor, tSession* session) = 0;
    // Appends the product's properties (appendDeviceProperty).
    virtual void initializeDeviceProperties(tStatus& status) = 0;
    // True vetoes the suspension. Default: veto when vetoable with a session open.
    virtual bool onSuspendIOProcessing(const tEventDescriptor&, tSuspendReason, bool vetoable) {
        return vetoable && this->getSessionCount() != 0;
    }
    virtual void onResumeIOProcessing(const tEventDescriptor&) {}
    // Ends every pending cancellable wait of the requests inside the gate.
    // Called again and again while a reset, a stop, a power-down or a
    // removal waits for them to leave, and only once the gate no longer
    // admits. Default: nothing.
    virtual void cancelPendingWaits() {}

    // ---- setup and reset -------------------------------------------------
    // One setup run to level (below the level count). userParameters is the
    // user address of a ResetParameters record, or 0: the record is copied
    // whole first, and a failed copy stays in the tracker with nothing set up.
    void setUp(const tEventDescriptor& descriptor, uint32_t level, uint64_t userParameters,
               Tracker& tracker) {
        VOSDBG_ASSERT_MSG(level < kLevelCount, "invalid SetupLevel value encountered!");
        if (level >= kLevelCount) {
            KELVO_SET_STATUS(tracker.getStatus(), tStatus::kInvalidParameter);
            return;
        }
        tracker.begin(level);
        if (level == 0) {
            return;
        }
        ResetParameters parameters;
        ResetParameters* given = nullptr;
        if (userParameters != 0) {
            kelvo_driver::nVOAPAL000::tUserBuffer buffer(descriptor, userParameters, kResetParametersSize);
            buffer.read(0, &parameters, kResetParametersSize, tracker.getStatus());
            if (tracker.isFatal()) {
                return;
            }
            given = &parameters;
        }
        runSetup(descriptor, given, tracker);
    }

    // The reset request of the session that descriptor carries: admitted
    // through a gate at level 0 (refused while the gate is closed, or for a
    // session that an earlier teardown invalidated), it holds I/O back,
    // waits until its own admission is the only one left, invalidates every
    // open session (its own too), tears down, sets up to level (then
    // onSetUpAgain) and resumes I/O. The answer is the tracker's: success
    // for the complete level, -52010 below it, or the error that stopped
    // setup. The request must not be inside a gate already: the reset counts
    // its own admission.
    void reset(const tEventDescriptor& descriptor, uint32_t level, uint64_t userParameters, tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        Session* session = static_cast<Session*>(kelvo_driver::nVOAPAL000::sessionOf(descriptor));
        if (!acquireDeviceMutexWithGateNotPaused(session, status)) {
            return;
        }
        {
            tStatus local;
            Gate gate(*this, session, tracker_, 0, local);
            if (local.isFatal()) {
                status.merge(local);
            } else {
                suspendIOProcessing(descriptor, kelvo_driver::nVOAPAL000::kSuspendReasonReset, false);
                waitForIOCountCancellingWaits(1);
                VOSDBG_ASSERT(status.isNotFatal());
                kelvo_driver::nVOAPAL000::atomicIncrement(resetCounter_);
                runTeardown();
                setUp(descriptor, level, userParameters, tracker_);
                onSetUpAgain();
                status.merge(tracker_.getStatus());
                resumeIOProcessing(descriptor);
            }
        }
        nVOAPAL200_releaseMutex(&deviceMutex_);
    }

    // ---- for the product ---------------------------------------------------
    Tracker& getSetupTracker() { return tracker_; }
    const Tracker& getSetupTracker() const { return tracker_; }
    // The counter that every teardown increments; sessions keep a snapshot.
    uint32_t* getResetCounter() { return &resetCounter_; }
    uint32_t getResetCount() const { return kelvo_driver::nVOAPAL000::atomicLoad(resetCounter_); }
    kelvo_driver::nVOAPAL000::tMutex& getDeviceMutex() { return deviceMutex_; }
    int32_t getIOIdleTimeoutCode() const { return ioIdleTimeoutCode_; }
    void setIOIdleTimeoutCode(int32_t code) { ioIdleTimeoutCode_ = code; }

    // Appends to the interface list (the product's constructor) and to the
    // property list (initializeDeviceProperties), keeping the null entry last.
    void appendDeviceInterface(tDeviceInterface* deviceInterface, tStatus& status) {
        appendKeepingNullLast(interfaces_, deviceInterface, status);
    }
    void appendDeviceProperty(tProperty* property, tStatus& status) {
        appendKeepingNullLast(properties_, property, status);
    }

private:
    template <typename T>
    static void appendKeepingNullLast(vohtl::Vector<T*>& list, T* entry, tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        if (list.empty()) {
            list.pushBack(nullptr, status);
        }
        list.insert(list.size() - 1, entry, status);
    }

    void invalidateAndTearDown() {
        internal::MutexHolder hold(deviceMutex_);
        kelvo_driver::nVOAPAL000::atomicIncrement(resetCounter_);
        runTeardown();
    }

    // Takes the device mutex at a moment when the gate is not paused: a
    // paused gate would hold the reset's admission back while it holds the
    // mutex that the suspension's next step (power-down, stop) needs. While
    // the gate is paused, waits at it without the mutex. Suspend and resume
    // change the gate only under the mutex, so the state seen under it
    // stays. False (with the wait's error) when that wait fails.
    bool acquireDeviceMutexWithGateNotPaused(Session* session, tStatus& status) {
        for (;;) {
            nVOAPAL200_acquireMutex(&deviceMutex_);
            if (this->getIOGateState() != kelvo_driver::nVOAPAL000::kIOGatePaused) {
                return true;
            }
            nVOAPAL200_releaseMutex(&deviceMutex_);
            // Admitted and gone again at once: never two admissions of one reset.
            IOGate waiter(*this, session);
            waiter.enter(status);
            waiter.exit();
            if (status.isFatal()) {
                return false;
            }
        }
    }

    // One look of the wait for the I/O count: the count, after ending the
    // pending cancellable waits when requests other than the awaited ones
    // are still inside.
    struct IOCountLook {
        Device* device;
        uint32_t target;
        uint32_t look() {
            const uint32_t inside = device->getIOCount();
            if (inside != target) {
                device->cancelPendingWaits();
            }
            return inside;
        }
    };

    // Waits until the device's I/O count equals count, sleeping on the
    // precise clock between looks (1000 us at first, doubling up to
    // 10000 us), without deadline:
    // the I/O-idle timeout code is never reported. The gate must no longer
    // admit.
    void waitForIOCountCancellingWaits(uint32_t count) {
        using Timeout = kelvo_driver::nVOAPAL000::tTimeout<kelvo_driver::nVOAPAL000::tTimeWasterSleep,
                                                           kelvo_driver::nVOAPAL000::tTimebasePrecise>;
        const orut::Poller<Timeout> poller(kIOIdleInitialInterval, kIOIdleMaximumInterval,
                                           ioIdleTimeoutCode_);
        IOCountLook look{this, count};
        tStatus local;
        poller.waitForValueNoStatus(look, &IOCountLook::look, count, 0xFFFFFFFF, local);
    }

    static constexpr uint64_t kIOIdleInitialInterval = 1000;
    static constexpr uint64_t kIOIdleMaximumInterval = 10000;

    int32_t ioIdleTimeoutCode_;
    Tracker tracker_;
    vohtl::Vector<tDeviceInterface*> interfaces_;
    vohtl::Vector<tProperty*> properties_;
    kelvo_driver::nVOAPAL000::tMutex deviceMutex_;
    uint32_t resetCounter_;
};

} // namespace kdut
