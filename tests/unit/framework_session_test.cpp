// Cleanup composites, and what a session's close or a teardown runs.
#include "framework/cleanup_operation.h"
#include "framework_test_device.h"

namespace {

using namespace kelvo_test;

class FrameworkSessionComposite : public LeakCheckedTest {
protected:
    std::vector<std::string> trace;
};

TEST_F(FrameworkSessionComposite,
       RunsTheLastAddedFirstKeepsTheFirstErrorHoldsEachOperationOnceMayBeCalledBackAndNeedsItsMutex) {
    tStatus status;
    kdut::CleanupOperationComposite composite(2, status);
    TracingCleanup a("a", trace), b("b", trace, KELVO_STATUS_NOT_ACCESSIBLE);
    TracingCleanup c("c", trace, KELVO_STATUS_UNEXPECTED_KERNEL_RESULT), d("d", trace);
    for (TracingCleanup* op : {&a, &b, &c, &a, &b, &d}) {
        composite.add(op, status);
    }
    ASSERT_TRUE(status.isSuccess()) << "the capacity is no limit";
    EXPECT_EQ(composite.size(), 4u) << "an operation added again stays where it was";
    composite.remove(&d, status);
    ASSERT_TRUE(status.isSuccess());
    composite.cleanup(status);
    EXPECT_EQ(trace, (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(status.getCode(), KELVO_STATUS_UNEXPECTED_KERNEL_RESULT)
        << "the first error stays; the later ones still run";
    EXPECT_EQ(composite.size(), 3u) << "cleanup leaves the list";

    tStatus missing;
    composite.remove(&a, missing);
    composite.remove(&a, missing);
    EXPECT_EQ(missing.getCode(), tStatus::kNotAccessible);
    EXPECT_FALSE(composite.contains(&a));
    composite.clear();

    // An operation may call back into its composite on the same thread.
    struct SelfRemoving : kdut::CleanupOperationInterface {
        explicit SelfRemoving(kdut::CleanupOperationComposite& owner) : owner_(owner) {}
        void cleanup(tStatus& status) override { owner_.remove(this, status); }
        kdut::CleanupOperationComposite& owner_;
    } selfRemoving(composite);
    trace.clear();
    tStatus again;
    composite.add(&a, again);
    composite.add(&selfRemoving, again);
    composite.cleanup(again);
    EXPECT_TRUE(again.isSuccess());
    EXPECT_EQ(trace, (std::vector<std::string>{"a"}));
    EXPECT_EQ(composite.size(), 1u);

    // A missing mutex or storage is out of memory, and a composite without its mutex stays inert.
    trace.clear();
    kal::faults::failNth(kal::faults::kMutex, 1);
    kdut::CleanupOperationComposite noMutex(status = tStatus());
    EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(codeOf([&](tStatus& s) { noMutex.add(&a, s); }), tStatus::kOutOfMemory);
    noMutex.cleanup(again);
    EXPECT_TRUE(trace.empty());
    kal::memory::failNth(1);
    EXPECT_EQ(codeOf([&](tStatus& s) { kdut::CleanupOperationComposite noStorage(20, s); }),
              tStatus::kOutOfMemory);
}

using FrameworkSession = FrameworkDeviceTest;

// The routing session's notifier closes before the session leaves its manager (and its routes go).
TEST_F(FrameworkSession, CloseRunsTheSessionsOperationsNewestFirstWithTheRoutingCleanupLast) {
    constexpr uint32_t kDestination = 4712;
    kal::sockets::reset();
    TestDevice& device = start();
    auto* session = kernel(open());
    ASSERT_NE(session->getRoutingSession().get(), nullptr);
    EXPECT_TRUE(session->getRoutingSession()->isConstructed());
    std::vector<std::string> trace;
    TracingCleanup stream("stream", trace), notifier("notifier", trace);
    tStatus status;
    session->getCleanupOperationComposite().add(&stream, status);
    session->getCleanupOperationComposite().add(&notifier, status);
    session->reserveResources(1, status);
    kelvo_driver::nVOAPAL000::tIONotifierParams params{1, kDestination};
    session->getRoutingSession()->openIONotifier(params, status);
    ASSERT_TRUE(status.isSuccess());
    size_t heardAtUnregister = 0;
    device.routingManager.onUnregister = [&] { heardAtUnregister = kal::sockets::count(kDestination); };
    device.routingManager.log.push_back("before close");
    close(session);
    EXPECT_EQ(trace, (std::vector<std::string>{"notifier", "stream"}));
    EXPECT_EQ(device.reservations().getReservedMask(), 0u) << "the reservation gave its resource back";
    EXPECT_EQ(device.routingManager.log,
              (std::vector<std::string>{"register", "before close", "unregister"}));
    EXPECT_TRUE(device.routingManager.registered.empty());
    EXPECT_EQ(heardAtUnregister, 1u) << "the client hears the close before its routes go";
    kal::sockets::Message heard{};
    EXPECT_TRUE(kal::sockets::pop(kDestination, heard) && !kal::sockets::pop(kDestination, heard));
    EXPECT_EQ(heard.type, kelvo_driver::nVOAPAL000::tIONotifier::kTypeClose);
}

TEST_F(FrameworkSession, ATeardownRunsTheOperationsOnceAndTheInvalidSessionsCloseSkipsThem) {
    kal::clock::ScopedScale fast(1000);
    TestDevice& device = start();
    auto* older = kernel(open());
    auto* newer = kernel(open());
    std::vector<std::string> trace;
    TracingCleanup olderOp("older", trace), newerOp("newer", trace);
    tStatus status;
    older->getCleanupOperationComposite().add(&olderOp, status);
    newer->getCleanupOperationComposite().add(&newerOp, status);
    EXPECT_TRUE(device.resetFrom(open(), 19).isSuccess());
    EXPECT_EQ(trace, (std::vector<std::string>{"newer", "older"})) << "newest session first";
    EXPECT_EQ(older->getRoutingSession().get(), nullptr) << "the teardown destroyed the routing sessions";
    EXPECT_FALSE(older->isValid());
    close(older);
    close(newer);
    EXPECT_EQ(trace.size(), 2u) << "closing an invalidated session does not run its cleanup again";
    EXPECT_TRUE(device.routingManager.registered.empty());
}

} // namespace
