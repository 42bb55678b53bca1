// The stand-in's registration records and deferred procedure calls.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "control.h"
#include "exec_level.h"
#include "nVOKAL.h"
#include "test_support.h"

namespace {

class Registration : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        kal::registration::reset();
        ASSERT_EQ(nVOKAL200_registerDriver(descriptor_), 0);
        device_ = kal::registration::createDevice();
    }
    void TearDown() override {
        kal::registration::reset();
        LeakCheckedTest::TearDown();
    }
    std::uint64_t descriptor_[32] = {};
    void* device_ = nullptr;
};

TEST_F(Registration, InjectedFailuresHitExactlyTheNthCall) {
    kal::registration::failInterfaceRegistration(2);
    int context = 0;
    EXPECT_NE(nVOKAL240_registerDeviceInterface(descriptor_, device_, "a", 0, &context), nullptr);
    EXPECT_EQ(nVOKAL240_registerDeviceInterface(descriptor_, device_, "b", 1, &context), nullptr);
    EXPECT_NE(nVOKAL240_registerDeviceInterface(descriptor_, device_, "c", 2, &context), nullptr);

    kal::registration::failPropertyRegistration(1);
    EXPECT_EQ(nVOKAL200_registerProperty(0, device_, "x", "", 1), nullptr);
    EXPECT_NE(nVOKAL200_registerProperty(0, device_, "y", "", 1), nullptr);
    EXPECT_EQ(kal::registration::counters().propertyRegistrations, 2u);

    nVOKAL200_unregisterDriver(descriptor_);
    kal::registration::failDriverRegistration(-51352);
    EXPECT_EQ(nVOKAL200_registerDriver(descriptor_), -51352);
    EXPECT_EQ(kal::registration::driver(), nullptr);
    EXPECT_EQ(nVOKAL200_registerDriver(descriptor_), 0) << "the failure is spent";
}

using RegistrationDeath = Registration;

TEST_F(RegistrationDeath, DoubleUnregistrationIsADriverFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    void* property = nVOKAL200_registerProperty(0, device_, "x", "", 1);
    nVOKAL200_unregisterProperty(property);
    EXPECT_DEATH(nVOKAL200_unregisterProperty(property), "not registered");
    int context = 0;
    void* itf = nVOKAL240_registerDeviceInterface(descriptor_, device_, "a", 0, &context);
    nVOKAL200_unregisterDeviceInterface(itf);
    EXPECT_DEATH(nVOKAL200_unregisterDeviceInterface(itf), "not registered");
    EXPECT_DEATH(nVOKAL200_unregisterProperty(nullptr), "not registered");
}

// ---- DPCs ---------------------------------------------------------------

struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    int runs = 0;
    bool entered = false;
    bool release = true;
    bool atDpcLevel = true;
    void* lastContext = nullptr;
};

void gatedCallback(void* context) {
    auto* gate = static_cast<Gate*>(context);
    std::unique_lock l(gate->lock);
    gate->atDpcLevel = gate->atDpcLevel && kal::exec::current() == kal::exec::Level::dpc;
    gate->lastContext = context;
    ++gate->runs;
    gate->entered = true;
    gate->changed.notify_all();
    gate->changed.wait(l, [&] { return gate->release; });
}

TEST(Dpc, ScheduledWhilePendingRunsOnceAndWhileRunningRunsAgain) {
    Gate gate;
    void* dpc = nVOKAL100_createDPC(gatedCallback);
    ASSERT_NE(dpc, nullptr);

    kal::dpc::hold(true);
    nVOKAL100_scheduleDPC(dpc, &gate);
    nVOKAL100_scheduleDPC(dpc, &gate);
    kal::dpc::hold(false);
    kal::dpc::drain();
    EXPECT_EQ(gate.runs, 1);

    {
        std::unique_lock l(gate.lock);
        gate.release = false;
        gate.entered = false;
    }
    nVOKAL100_scheduleDPC(dpc, &gate);
    {
        std::unique_lock l(gate.lock);
        gate.changed.wait(l, [&] { return gate.entered; });
    }
    nVOKAL100_scheduleDPC(dpc, &gate); // while it runs
    {
        std::unique_lock l(gate.lock);
        gate.release = true;
        gate.changed.notify_all();
    }
    kal::dpc::drain();
    EXPECT_EQ(gate.runs, 3);
    EXPECT_TRUE(gate.atDpcLevel);
    nVOKAL100_destroyDPC(dpc);
    EXPECT_EQ(kal::dpc::live(), 0u);
}

TEST(Dpc, DestroyWaitsForTheRunningInstance) {
    Gate gate;
    gate.release = false;
    void* dpc = nVOKAL100_createDPC(gatedCallback);
    nVOKAL100_scheduleDPC(dpc, &gate);
    {
        std::unique_lock l(gate.lock);
        gate.changed.wait(l, [&] { return gate.entered; });
    }
    std::atomic<int> runsSeenByDestroyer{-1};
    std::thread destroyer([&] {
        nVOKAL100_destroyDPC(dpc);
        std::lock_guard g(gate.lock);
        runsSeenByDestroyer = gate.entered ? gate.runs : -1;
    });
    {
        std::unique_lock l(gate.lock);
        gate.release = true;
        gate.changed.notify_all();
    }
    destroyer.join();
    EXPECT_EQ(runsSeenByDestroyer.load(), 1);
}

TEST(Dpc, DestroyDropsAPendingRun) {
    Gate gate;
    void* dpc = nVOKAL100_createDPC(gatedCallback);
    kal::dpc::hold(true);
    nVOKAL100_scheduleDPC(dpc, &gate);
    nVOKAL100_destroyDPC(dpc);
    kal::dpc::hold(false);
    EXPECT_EQ(gate.runs, 0);
}

TEST(Dpc, CreationFailureIsInjectable) {
    kal::dpc::failCreate(1);
    EXPECT_EQ(nVOKAL100_createDPC(gatedCallback), nullptr);
    void* dpc = nVOKAL100_createDPC(gatedCallback);
    EXPECT_NE(dpc, nullptr);
    nVOKAL100_destroyDPC(dpc);
}

} // namespace
