// A device on the device template over the simulated PCI function; its cancel hook ends the waits.
#pragma once

#include <functional>
#include <mutex>
#include <set>

#include "framework/device_template.h"
#include "framework/kernel_session.h"
#include "framework/setup_level.h"
#include "pci_test_support.h"
#include "platform/pci_device.h"
#include "status_code.h"
#include "test_worker.h"

namespace kelvo_test {

using nVOAPALS100::tStatus;

struct TestResetParameters {
    uint64_t words[12];
};
static_assert(sizeof(TestResetParameters) == 96);

constexpr int64_t kInvalidated = KELVO_STATUS_SESSION_INVALIDATED;
constexpr int64_t kTargetReached = tStatus::kSetupTargetReached;
constexpr uint32_t kNotReservedCode = static_cast<uint32_t>(KELVO_STATUS_CHANNEL_NOT_RESERVED);
constexpr uint32_t kAlreadyReservedCode = static_cast<uint32_t>(KELVO_STATUS_RESERVED_BY_OTHER);
constexpr uint32_t kNotAvailableCode = static_cast<uint32_t>(KELVO_STATUS_INVALID_CHANNEL);

// A manual-reset event of the kernel layer: waits on it count as blocked.
class Latch {
public:
    Latch() {
        tStatus status;
        nVOAPAL200_createEvent(&event_, false, false, &status);
    }
    ~Latch() { nVOAPAL200_destroyEvent(&event_); }
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;
    void open() { nVOAPAL200_setEvent(&event_); }
    void wait() { nVOAPAL200_waitEvent(&event_); }

private:
    nVOAPAL200_tEvent event_;
};

struct CancellableWait {
    Latch latch;
    std::atomic<int64_t> code{0};
};

struct RecordingRoutingManager : voark::RoutingResourcesManagerInterface {
    void setRoutingResources(voark::RoutingResourcesInterface*) override {}
    void clearRoutingResources() override {}
    void registerRoutingSession(voark::RoutingSessionInterface& session) override {
        std::lock_guard<std::mutex> lock(mutex_);
        registered.insert(&session);
        log.push_back("register");
    }
    void unregisterRoutingSession(voark::RoutingSessionInterface& session) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (onUnregister) {
            onUnregister();
        }
        registered.erase(&session);
        log.push_back("unregister");
    }
    std::set<voark::RoutingSessionInterface*> registered;
    std::vector<std::string> log;
    // Runs at each unregistration, before it is logged (where a session's routes would go).
    std::function<void()> onUnregister;
    std::mutex mutex_;
};

struct TracingCleanup : kdut::CleanupOperationInterface {
    TracingCleanup(std::string name, std::vector<std::string>& trace, int64_t failure = 0)
        : name_(std::move(name)), trace_(trace), failure_(failure) {}
    void cleanup(tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        trace_.push_back(name_);
        if (failure_ != 0) {
            KELVO_SET_STATUS(status, failure_);
        }
    }
    std::string name_;
    std::vector<std::string>& trace_;
    int64_t failure_;
};

using TestDeviceBase = kdut::Device<kelvo_driver::nVOAPAL000::tPCIDevice, kelvo_shared::SetupLevel,
                                    fenwicksharedsource::KernelSession, TestResetParameters>;

class TestDevice : public TestDeviceBase {
public:
    TestDevice(const nVOAPAL200_tDeviceInfo& info, tStatus& status)
        : TestDeviceBase(info, status), interface_(this, "framework_test"),
          reservations_(kAlreadyReservedCode, kNotReservedCode, 1, kNotAvailableCode, status),
          deviceCleanup_(status) {
        setIOIdleTimeoutCode(KELVO_STATUS_IO_IDLE_TIMEOUT);
        appendDeviceInterface(&interface_, status);
    }

    void runSetup(const tEventDescriptor&, TestResetParameters* parameters, Tracker& tracker) override {
        ++setups;
        lastParameters = parameters != nullptr ? std::make_unique<TestResetParameters>(*parameters) : nullptr;
        for (uint32_t level = 1; level <= tracker.getTargetLevel(); ++level) {
            tracker.advance(level);
        }
    }
    void onStarted() override {}
    void runTeardown() override {
        tStatus local;
        deviceCleanup_.cleanup(local);
        ++teardowns;
    }
    tSession* createSession(const tEventDescriptor&, tDeviceInterface* deviceInterface,
                            tStatus& status) override {
        if (status.isFatal()) {
            return nullptr;
        }
        auto* session = new (status, false)
            fenwicksharedsource::KernelSession(deviceInterface, getResetCounter(), kNotReservedCode,
                                               &reservations_, &routingManager, 20, status);
        if (session != nullptr && status.isFatal()) {
            delete session;
            return nullptr;
        }
        deviceCleanup_.add(&session->getCleanupOperationComposite(), status);
        return session;
    }
    void destroySession(const tEventDescriptor&, tSession* session) override {
        if (session == nullptr) {
            return;
        }
        auto* kernelSession = static_cast<fenwicksharedsource::KernelSession*>(session);
        tStatus local;
        deviceCleanup_.remove(&kernelSession->getCleanupOperationComposite(), local);
        delete kernelSession;
    }
    void initializeDeviceProperties(tStatus&) override {}
    void cancelPendingWaits() override {
        const uint32_t gate = getIOGateState();
        std::lock_guard<std::mutex> lock(waitsMutex_);
        ++cancelCalls;
        if (gate == kelvo_driver::nVOAPAL000::kIOGateOpen) {
            cancelledWhileOpen = true;
        }
        for (CancellableWait* wait : pending_) {
            wait->code = kInvalidated;
            wait->latch.open();
        }
    }

    // Runs body inside a standard gate at requiredLevel; returns the refusal or body's error.
    tStatus operation(tSession* session, uint32_t requiredLevel,
                      const std::function<void(tStatus&)>& body = {}) {
        tStatus status;
        Gate gate(*this, static_cast<fenwicksharedsource::KernelSession*>(session), getSetupTracker(),
                  requiredLevel, status);
        if (status.isNotFatal() && body) {
            body(status);
        }
        return status;
    }
    // Waits inside the gate until the cancel hook ends the wait.
    void waitCancellable(tStatus& status) {
        CancellableWait wait;
        {
            std::lock_guard<std::mutex> lock(waitsMutex_);
            pending_.insert(&wait);
        }
        wait.latch.wait();
        {
            std::lock_guard<std::mutex> lock(waitsMutex_);
            pending_.erase(&wait);
        }
        KELVO_SET_STATUS(status, wait.code.load());
    }
    tStatus resetFrom(tSession* session, uint32_t level, uint64_t parameters = 0) {
        tStatus status;
        reset(kelvo_driver::nVOAPAL000::descriptorOf(session), level, parameters, status);
        return status;
    }

    tSession* openSession(tStatus& status) {
        return TestDeviceBase::openSession(tEventDescriptor(0), &interface_, status);
    }
    void closeSession(tSession* session) {
        const tEventDescriptor descriptor = kelvo_driver::nVOAPAL000::descriptorOf(session);
        cleanup(descriptor);
        TestDeviceBase::closeSession(descriptor, session);
    }
    bool toState(kelvo_driver::nVOAPAL000::tPnPState target, tSuspendReason reason, bool vetoable = false) {
        tStatus status;
        return commonChangePnPState(tEventDescriptor(0), target, reason, vetoable, status);
    }
    kdut::ResourceReservationManager& reservations() { return reservations_; }

    RecordingRoutingManager routingManager;
    int setups = 0, teardowns = 0;
    std::unique_ptr<TestResetParameters> lastParameters;
    std::atomic<int> cancelCalls{0};
    std::atomic<bool> cancelledWhileOpen{false};

private:
    tDeviceInterface interface_;
    kdut::ResourceReservationManager reservations_;
    kdut::CleanupOperationComposite deviceCleanup_;
    std::mutex waitsMutex_;
    std::set<CancellableWait*> pending_;
};

// Yields until condition holds (false after 30 s of real time).
template <typename Condition> bool eventually(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A started test device over a plugged simulated module; stops, removes and frees it at the end.
class FrameworkDeviceTest : public LeakCheckedTest {
protected:
    void TearDown() override {
        for (tSessionPtr session : open_) {
            device_->closeSession(session);
        }
        if (device_ != nullptr && device_->getPnPState() != kelvo_driver::nVOAPAL000::kPnPStateNotPresent) {
            device_->remove();
        }
        delete device_;
        LeakCheckedTest::TearDown();
    }
    using tSessionPtr = kelvo_driver::nVOAPAL000::tSession*;

    TestDevice& start() {
        tStatus status;
        device_ = new TestDevice(deviceInfoOf(*module_), status);
        EXPECT_TRUE(status.isSuccess());
        EXPECT_TRUE(device_->toState(kelvo_driver::nVOAPAL000::kPnPStateReady,
                                     kelvo_driver::nVOAPAL000::kSuspendReasonStart));
        return *device_;
    }
    tSessionPtr open() {
        tStatus status;
        tSessionPtr session = device_->openSession(status);
        EXPECT_TRUE(status.isSuccess()) << status.getCode();
        if (session != nullptr) {
            open_.push_back(session);
        }
        return session;
    }
    void close(tSessionPtr session) {
        std::erase(open_, session);
        device_->closeSession(session);
    }
    static fenwicksharedsource::KernelSession* kernel(tSessionPtr session) {
        return static_cast<fenwicksharedsource::KernelSession*>(session);
    }

    sim::Bus bus_;
    std::shared_ptr<sim::Module> module_ = bus_.plug("solstra");
    TestDevice* device_ = nullptr;
    std::vector<tSessionPtr> open_;
};

} // namespace kelvo_test
