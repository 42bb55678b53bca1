// Resource reservation: the manager's codes, competing sessions and the lock order.
#include <cstring>

#include "framework/resource_reservation.h"
#include "framework_test_device.h"

namespace {

using namespace kelvo_test;

constexpr int64_t kAlreadyReserved = kelvoDriverCode(kAlreadyReservedCode);
constexpr int64_t kNotReserved = kelvoDriverCode(kNotReservedCode);
constexpr int64_t kNotAvailable = kelvoDriverCode(kNotAvailableCode);

using FrameworkReservationManager = LeakCheckedTest;

// The table slot of a virtual member (Itanium C++ ABI: its pointer holds 1 + the slot's byte offset).
template <class Member> size_t slotOf(Member member) {
    uintptr_t raw[2];
    static_assert(sizeof(raw) == sizeof(member));
    std::memcpy(raw, &member, sizeof(raw));
    return (raw[0] - 1) / sizeof(void*);
}

// Slots 0 and 1 are the destructors, 2 reserve, 3 release.
TEST_F(FrameworkReservationManager,
       ReleasesOnlyWhatIsReservedTakesBackWhatCannotRegisterAndWithoutAMaskHasEveryBit) {
    EXPECT_EQ(slotOf(&kdut::ResourceReservationManager::reserve), 2u);
    EXPECT_EQ(slotOf(&kdut::ResourceReservationManager::release), 3u);
    tStatus status;
    kdut::ResourceReservationManager manager(kAlreadyReservedCode, kNotReservedCode, 0x3, kNotAvailableCode,
                                             status);
    EXPECT_EQ(codeOf([&](tStatus& s) { manager.reserve(0x1, s); }), 0);
    EXPECT_EQ(codeOf([&](tStatus& s) { manager.reserve(0x3, s); }), kAlreadyReserved);
    EXPECT_EQ(codeOf([&](tStatus& s) { manager.release(0x3, s); }), kNotReserved);
    EXPECT_EQ(manager.getReservedMask(), 0x1u) << "a refused request changes nothing";
    EXPECT_EQ(codeOf([&](tStatus& s) { manager.release(0, s); }), 0);
    EXPECT_EQ(codeOf([&](tStatus& s) { manager.release(0x1, s); }), 0);
    EXPECT_EQ(manager.getReservedMask(), 0u);

    // A reservation that cannot register its cleanup gives the resource back.
    kdut::CleanupOperationComposite composite(status); // no storage yet: the add allocates
    kdut::ResourceReservation reservation(kNotReservedCode, &manager, status);
    ASSERT_TRUE(status.isSuccess());
    kal::memory::failNth(1);
    EXPECT_EQ(codeOf([&](tStatus& s) { reservation.reserve(composite, 1, s); }), tStatus::kOutOfMemory);
    EXPECT_EQ(manager.getReservedMask(), 0u) << "else nothing would ever release it";
    EXPECT_EQ(codeOf([&](tStatus& s) { reservation.reserve(composite, 1, s); }), 0);
    reservation.cleanup(status);
    EXPECT_EQ(manager.getReservedMask(), 0u);
    kdut::ResourceReservationManager everything(kAlreadyReservedCode, kNotReservedCode, status);
    everything.reserve(UINT64_MAX, status);
    EXPECT_TRUE(status.isSuccess());
}

using FrameworkReservation = FrameworkDeviceTest;

TEST_F(FrameworkReservation, OneSessionAtATimeHoldsTheResourceAndASecondReserveIsRefused) {
    TestDevice& device = start();
    auto* first = kernel(open());
    auto* second = kernel(open());
    EXPECT_EQ(codeOf([&](tStatus& s) { second->unreserveResources(s); }), tStatus::kNotAccessible);
    EXPECT_EQ(codeOf([&](tStatus& s) { first->reserveResources(1, s); }), 0);
    const size_t registered = first->getCleanupOperationComposite().size();
    EXPECT_EQ(codeOf([&](tStatus& s) { first->reserveResources(1, s); }), kAlreadyReserved);
    EXPECT_EQ(codeOf([&](tStatus& s) { first->reserveResources(0, s); }), kAlreadyReserved);
    EXPECT_EQ(first->getCleanupOperationComposite().size(), registered);
    EXPECT_EQ(codeOf([&](tStatus& s) { second->reserveResources(1, s); }), kAlreadyReserved);
    EXPECT_EQ(codeOf([&](tStatus& s) { second->reserveResources(2, s); }), kNotAvailable);
    EXPECT_EQ(codeOf([&](tStatus& s) { second->checkReserved(1, s); }), kNotReserved);
    EXPECT_EQ(codeOf([&](tStatus& s) { second->checkReserved(0, s); }), 0) << "the empty mask is held";
    EXPECT_EQ(device.reservations().getReservedMask(), 1u);
    EXPECT_EQ(codeOf([&](tStatus& s) { first->checkReserved(1, s); }), 0);
    EXPECT_EQ(codeOf([&](tStatus& s) { first->unreserveResources(s); }), 0);
    EXPECT_EQ(first->getCleanupOperationComposite().size(), registered - 1);
    EXPECT_EQ(device.reservations().getReservedMask(), 0u);
    EXPECT_EQ(codeOf([&](tStatus& s) { first->checkReserved(1, s); }), kNotReserved);
    EXPECT_EQ(codeOf([&](tStatus& s) { first->reserveResources(1, s); }), 0) << "the mask is free again";
    // A cleanup gives it back too, and the session holds nothing afterwards.
    EXPECT_EQ(codeOf([&](tStatus& s) { first->getCleanupOperationComposite().cleanupAndClear(s); }), 0);
    EXPECT_EQ(codeOf([&](tStatus& s) { first->reserveResources(1, s); }), 0) << "after the cleanup";
}

// A manager whose reserve waits on a latch before it takes its own mutex.
struct GatedManager : kdut::ResourceReservationManager {
    explicit GatedManager(tStatus& status)
        : ResourceReservationManager(kAlreadyReservedCode, kNotReservedCode, 1, kNotAvailableCode, status) {}
    void reserveFor(const kdut::CleanupOperationComposite* holder, uint64_t mask, tStatus& status) override {
        if (hold) {
            inside = true;
            proceed.wait();
        }
        ResourceReservationManager::reserveFor(holder, mask, status);
    }
    std::atomic<bool> hold{false}, inside{false};
    Latch proceed;
};

TEST_F(FrameworkReservation, TheSessionsLockIsHeldAcrossTheDeviceCallAndOnlyBlocksThatSession) {
    tStatus status;
    GatedManager manager(status);
    kdut::CleanupOperationComposite composite(status);
    kdut::ResourceReservation a(kNotReservedCode, &manager, status), b(kNotReservedCode, &manager, status);
    ASSERT_TRUE(status.isSuccess());

    manager.hold = true;
    tStatus reserved, checked;
    {
        Worker reserver([&] { a.reserve(composite, 1, reserved); });
        EXPECT_TRUE(eventually([&] { return manager.inside.load(); }));
        EXPECT_TRUE(reserver.waitUntilBlocked());
        manager.hold = false;

        // The same session's check waits for the reserve; another session's does not.
        EXPECT_EQ(codeOf([&](tStatus& s) { b.checkReserved(0, s); }), 0);
        Worker checker([&] { a.checkReserved(1, checked); });
        EXPECT_TRUE(checker.waitUntilBlocked());
        EXPECT_FALSE(checker.done());
        manager.proceed.open();
    }
    EXPECT_TRUE(reserved.isSuccess());
    EXPECT_TRUE(checked.isSuccess()) << "the check saw the finished reservation";
    EXPECT_TRUE(composite.contains(&a));
    a.cleanup(reserved);
    EXPECT_EQ(manager.getReservedMask(), 0u);
}

TEST_F(FrameworkReservation, ReserveUnreserveAndCleanupAtOnceKeepTheMasksConsistent) {
    TestDevice& device = start();
    constexpr int kRounds = 200;
    auto* first = kernel(open());
    auto* second = kernel(open());
    std::atomic<int> granted{0};
    {
        auto contend = [&](fenwicksharedsource::KernelSession* session) {
            for (int round = 0; round < kRounds; ++round) {
                tStatus status;
                session->reserveResources(1, status);
                if (status.isSuccess()) {
                    ++granted;
                    tStatus release;
                    session->unreserveResources(release);
                } else {
                    EXPECT_EQ(status.getCode(), kAlreadyReserved);
                }
            }
        };
        // The first session's composite is cleaned up meanwhile: no deadlock with its reserve.
        Worker one([&] { contend(first); });
        Worker two([&] { contend(second); });
        Worker cleaner([&] {
            for (int round = 0; round < kRounds; ++round) {
                tStatus status;
                first->getCleanupOperationComposite().cleanup(status);
            }
        });
    }
    EXPECT_GT(granted.load(), 0);
    tStatus status;
    first->getCleanupOperationComposite().cleanup(status);
    EXPECT_EQ(device.reservations().getReservedMask(), 0u);
}

} // namespace
