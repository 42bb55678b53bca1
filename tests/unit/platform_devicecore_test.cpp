// The device core: PnP steps, the I/O gate under concurrent requests, session closing, asynchronous I/O.
#include <functional>
#include <optional>
#include <utility>

#include "platform/device_core.h"
#include "test_support.h"
#include "test_worker.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;

// A device that records the slots the PnP engine calls.
class TraceDevice : public tDeviceCore {
public:
    explicit TraceDevice(tStatus& status) : tDeviceCore(status) {}

    tSession* open(const tEventDescriptor&, tDeviceInterface* deviceInterface, tStatus& status) override {
        return new (status, false) tSession(deviceInterface, status);
    }
    void closeAndFreeSession(const tEventDescriptor&, tSession* session) override {
        trace += "free ";
        delete session;
    }
    void start(const tEventDescriptor& descriptor, tStatus& status) override {
        trace += "start ";
        if (startFailure != 0) {
            KELVO_SET_STATUS(status, startFailure);
            return;
        }
        resumeIOProcessing(descriptor);
    }
    void stop(const tEventDescriptor&) override { trace += "stop(io=" + std::to_string(getIOCount()) + ") "; }
    bool suspendIOProcessing(const tEventDescriptor& descriptor, tSuspendReason reason,
                             bool vetoable) override {
        trace += "suspend" + std::to_string(reason) + " ";
        return tDeviceCore::suspendIOProcessing(descriptor, reason, vetoable);
    }
    void resumeIOProcessing(const tEventDescriptor& descriptor) override {
        trace += "resume ";
        tDeviceCore::resumeIOProcessing(descriptor);
    }
    void suspendPower(const tEventDescriptor&) override { trace += "sleep "; }
    void restorePower(const tEventDescriptor&) override { trace += "wake "; }
    void closeIOGate(const tEventDescriptor& descriptor) override {
        trace += "close ";
        tDeviceCore::closeIOGate(descriptor);
    }
    void initialize(const tEventDescriptor&, tStatus&) override {}
    void deinitialize() override {}

    std::string trace; // written by the thread that steps the state
    int64_t startFailure = 0;
};

struct CountingIO : tAsyncIO {
    void startCallback() override { ++starts; }
    bool cancel() override { return ++cancels, !refuses; }
    void completeCallback(void*) override { ++completions; }
    int starts = 0, cancels = 0, completions = 0;
    bool refuses = false;
};

class DeviceCore : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        device_ = new TraceDevice(status_);
        ASSERT_TRUE(status_.isSuccess());
    }
    void TearDown() override {
        delete device_;
        LeakCheckedTest::TearDown();
    }
    bool toState(tPnPState target, tSuspendReason reason = kSuspendReasonStart) {
        tStatus status;
        return device_->commonChangePnPState(0, target, reason, false, status);
    }
    static std::tuple<int, uint32_t, uint32_t, uint32_t>
    counts(const CountingIO& io, const tDeviceCore& device, const tSession& session) {
        return {io.completions, io.getState(), device.getIOCount(), session.getIOCount()};
    }
    std::string takeTrace() { return std::exchange(device_->trace, {}); }
    tSession* openSession() {
        tStatus status;
        tSession* session = device_->openSession(0, &interface_, status);
        EXPECT_TRUE(status.isSuccess());
        return session;
    }
    void closeSession(tSession* session) {
        device_->cleanup(descriptorOf(session));
        device_->closeSession(descriptorOf(session), session);
    }

    tStatus status_;
    TraceDevice* device_ = nullptr;
    tDeviceInterface interface_{nullptr, "test"};
};

using kelvo_test::Worker;

// Runs once, on the entrant's thread, between its count and its second look at the gate.
thread_local std::function<void()> tCounted;

TEST_F(DeviceCore, PnPStepsFromAddToRemove) {
    tStatus entry;
    EXPECT_FALSE(device_->enterIOGate(nullptr, entry, kWaitForever)) << "a fresh device's gate is closed";
    EXPECT_EQ(entry.getCode(), tStatus::kIOGateClosed);

    device_->startFailure = tStatus::kOutOfMemory;
    tStatus failed;
    EXPECT_FALSE(device_->commonChangePnPState(0, kPnPStateReady, kSuspendReasonStart, false, failed));
    EXPECT_EQ(failed.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(device_->getPnPState(), kPnPStateNotStarted) << "a failed start stays not started";
    EXPECT_FALSE(device_->commonChangePnPState(0, kPnPStateReady, kSuspendReasonStart, false, failed))
        << "a fatal status on entry does nothing";
    EXPECT_EQ(takeTrace(), "start ");
    device_->startFailure = 0;

    EXPECT_EQ((std::tuple{toState(kPnPStateReady), takeTrace(), device_->getIOGateState()}),
              (std::tuple{true, std::string("start resume "), kIOGateOpen}));
    EXPECT_TRUE(toState(kPnPStateReady));
    EXPECT_EQ(takeTrace(), "") << "the current state is reached at once";

    EXPECT_TRUE(toState(kPnPStateSleep, kSuspendReasonReset));
    EXPECT_TRUE(toState(kPnPStateReady));
    EXPECT_EQ(takeTrace(), "suspend2 sleep wake resume ");

    // Stopped after a pausing suspension: the paused gate's waiter is turned away when removal closes it.
    EXPECT_TRUE(toState(kPnPStateNotStarted, kSuspendReasonReset));
    tStatus waited;
    Worker waiter([&] { device_->enterIOGate(nullptr, waited, kWaitForever); });
    EXPECT_TRUE(waiter.waitUntilBlocked());
    EXPECT_TRUE(toState(kPnPStateNotPresent, kSuspendReasonRemove));
    waiter.join(); // for ever when closing the gate did not wake it
    EXPECT_EQ(std::make_tuple(waited.getCode(), device_->trace, device_->getPnPState(),
                              device_->getPreviousPnPState(), device_->getIOGateState()),
              std::make_tuple(int64_t{tStatus::kIOGateClosed}, std::string("suspend2 stop(io=0) close "),
                              kPnPStateNotPresent, kPnPStateNotStarted, kIOGateClosed));
}

// An entrant counted in backs out of a gate paused meanwhile: that must wake the suspension.
TEST_F(DeviceCore, AnEntrantBackingOutWakesTheSuspensionWaitingForIdle) {
    const struct {
        const char* what;
        bool waits; // enterIOGate waits at the paused gate, tryEnterIOGate gives up
    } cases[] = {{"enterIOGate", true}, {"tryEnterIOGate", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(toState(kPnPStateReady));
        device_->trace.clear();
        std::optional<Worker> suspender;
        std::atomic<bool> suspending{false}, admitted{false};
        int64_t code = 0;
        bool suspenderWaited = false;
        Worker entrant([&] {
            tCounted = [&] { // the suspension comes in and waits for the count
                suspender.emplace([&] { toState(kPnPStateSleep, kSuspendReasonReset); });
                suspenderWaited = suspender->waitUntilBlocked();
                suspending = true;
            };
            tStatus status;
            const bool entered = c.waits ? device_->enterIOGate(nullptr, status, kWaitForever)
                                         : device_->tryEnterIOGate(nullptr, status);
            code = status.getCode();
            if (entered) {
                admitted = true;
                device_->exitIOGate(nullptr);
            }
        });
        if (c.waits) {
            EXPECT_TRUE(entrant.waitUntilBlocked()) << "back at the paused gate";
        }
        while (!suspending) {
            std::this_thread::yield();
        }
        suspender->join(); // for ever when the back-out did not wake it
        EXPECT_EQ(device_->trace, "suspend2 sleep ");
        EXPECT_EQ(device_->getIOCount(), 0u);
        ASSERT_TRUE(toState(kPnPStateReady));
        entrant.join();
        // The suspension waited while the entrant was counted in; a waiting entrant is let in by the resume.
        EXPECT_EQ(std::make_tuple(suspenderWaited, admitted.load(), code, device_->getIOCount()),
                  std::make_tuple(true, c.waits, c.waits ? 0 : int64_t{tStatus::kIOGateClosed}, 0u));
    }
}

TEST_F(DeviceCore, CloseAndRemovalWaitForTheOperationInsideTheGate) {
    ASSERT_TRUE(toState(kPnPStateReady));
    tSession* session = openSession();
    tStatus status;
    ASSERT_TRUE(device_->enterIOGate(session, status, kWaitForever));
    Worker closer([&] { closeSession(session); });
    EXPECT_TRUE(closer.waitUntilBlocked());
    EXPECT_EQ(std::make_tuple(session->isClosing(), device_->trace), std::make_tuple(true, "start resume "));
    device_->exitIOGate(session);
    closer.join();
    EXPECT_EQ(std::make_tuple(device_->getSessionCount(), device_->trace),
              std::make_tuple(0u, "start resume free "));

    ASSERT_TRUE(device_->enterIOGate(nullptr, status, kWaitForever));
    Worker remover([&] { toState(kPnPStateNotPresent, kSuspendReasonRemove); });
    EXPECT_EQ((std::tuple{remover.waitUntilBlocked(), remover.done(), device_->getPnPState()}),
              (std::tuple{true, false, kPnPStateIOSuspended}));
    tStatus late;
    EXPECT_FALSE(device_->enterIOGate(nullptr, late, kWaitForever));
    EXPECT_EQ(late.getCode(), tStatus::kIOGateClosed);
    device_->exitIOGate(nullptr);
    remover.join();
    EXPECT_EQ(device_->trace, "start resume free suspend1 stop(io=0) close ");
}

TEST_F(DeviceCore, AsyncIOIsRefusedByAClosingSessionAndCompletedBySuspend) {
    ASSERT_TRUE(toState(kPnPStateReady));
    tSession* session = openSession();
    CountingIO first, deviceOnly;
    tStatus status;
    tAsyncIO::start(*device_, first, session, status);
    tAsyncIO::start(*device_, deviceOnly, nullptr, status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(std::make_tuple(first.starts, device_->getIOCount(), session->getIOCount()),
              std::make_tuple(1, 2u, 1u));

    ASSERT_TRUE(toState(kPnPStateIOSuspended, kSuspendReasonReset));
    EXPECT_EQ(std::make_tuple(deviceOnly.completions, device_->getIOCount()), std::make_tuple(1, 0u))
        << "suspend completes the device queue";
    ASSERT_TRUE(toState(kPnPStateReady));

    device_->cleanup(descriptorOf(session));
    CountingIO late;
    tStatus closing;
    tAsyncIO::start(*device_, late, session, closing);
    EXPECT_EQ(std::make_tuple(closing.getCode(), late.starts), std::make_tuple(tStatus::kSessionClosing, 0));
    device_->closeSession(descriptorOf(session), session);
    device_->closeIOGate(0);
    tStatus closed;
    tAsyncIO::start(*device_, late, nullptr, closed);
    EXPECT_EQ(closed.getCode(), tStatus::kIOGateClosed);
    EXPECT_EQ(device_->getIOCount(), 0u);
}

// A record whose cancel refuses stays busy and counted, is asked once, and ends by its owner.
TEST_F(DeviceCore, ARecordWhoseCancelRefusesWaitsForItsOwnersCompletion) {
    ASSERT_TRUE(toState(kPnPStateReady));
    tSession* session = openSession();
    const struct {
        const char* walk;
        std::function<void()> run;
        int rounds;
    } cases[] = {
        {"the device's queue", [&] { device_->completeQueuedAsyncIO(); }, 2},
        {"the session's queue", [&] { device_->completeSessionAsyncIO(session); }, 2},
        {"the record's own completion", nullptr, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.walk);
        CountingIO io;
        io.refuses = true;
        tStatus status;
        tAsyncIO::start(*device_, io, session, status);
        ASSERT_TRUE(status.isSuccess());
        for (int round = 0; round < c.rounds; ++round) {
            c.run ? c.run() : tAsyncIO::complete(*device_, io);
            EXPECT_EQ(io.cancels, 1) << "asked once";
            EXPECT_EQ(counts(io, *device_, *session), std::make_tuple(0, tAsyncIO::kStateBusy, 1u, 1u));
        }
        tAsyncIO::complete(*device_, io);
        EXPECT_EQ(counts(io, *device_, *session), std::make_tuple(1, tAsyncIO::kStateUnused, 0u, 0u));
    }
    closeSession(session);
}

} // namespace

// Takes the place of the driver's empty window (platform/io_gate_window.cpp).
extern "C" void nVOAPAL200_ioGateCounted(kelvo_driver::nVOAPAL000::tDeviceCore*) {
    if (tCounted) {
        const std::function<void()> hook = std::exchange(tCounted, {});
        hook();
    }
}
