// What requests may leave behind or cost: the cleanup of repeated requests, a reset's error list.
#include <cstdint>
#include <functional>

#include "client_pages.h"
#include "standin/control.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;

using E2EBounds = kelvo_test::HostedTest;

// N repeats of a request (refused or not) leave the cleanup list and the close the work of one.
TEST_F(E2EBounds, ARequestRepeatedLeavesTheSessionTheCleanupOfOne) {
    struct Row {
        const char* what;
        std::function<std::int32_t(int)> request;
        std::int32_t answer;
    };
    const auto ask = [](std::uint32_t code, auto in) {
        return [code, in](int handle) { return kelvo_test::statusOf(handle, code, in); };
    };
    const Row rows[] = {
        {"a refused start", ask(KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{0, 0, {}, 0}),
         KELVO_STATUS_INVALID_PARAMETER},
        {"an arm", ask(KELVO_IOCTL_measureUnit_arm, kelvo_measureUnit_arm_in{0, 0}), 0},
        {"an engine start",
         ask(KELVO_IOCTL_wexmoor_startSequenceEngine, kelvo_wexmoor_startSequenceEngine_in{1, 0, 0}), 0},
        {"reserving nothing", ask(KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{0, 0, 0}),
         0},
    };
    const int index = add("solstra");
    sim::Module& m = module(index);
    const auto steps = [&m] {
        std::uint64_t stops = 0;
        for (const sim::Access& a : m.sequencerSide()->measureUnitBlock().trace()) {
            stops += a.write && (a.value & sim::MeasureUnit::kStopStrobe) != 0 ? 1 : 0;
        }
        return m.dma(0).fifoResets() + stops;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // The cleanup operations the requests added, and the steps of the close.
        const auto leave = [&](int times) {
            const int handle = open(index);
            auto& list = sessionOf(handle)->getCleanupOperationComposite();
            const std::size_t before = list.size();
            for (int i = 0; i < times; ++i) {
                EXPECT_EQ(row.request(handle), row.answer);
            }
            const std::size_t added = list.size() - before;
            const std::uint64_t start = steps();
            EXPECT_EQ(kelvo_close(handle), 0);
            return std::make_pair(added, steps() - start);
        };
        const auto once = leave(1);
        EXPECT_LE(once.first, 1u);
        EXPECT_EQ(leave(200), once);
    }
    EXPECT_EQ(m.deviceErrorCount(), 0u) << ::testing::PrintToString(m.deviceErrors());
    remove(index);
}

// An eight-byte list before a page without access: a count past it fails the reset at level 18 with
// the copy's code; no count asks for more memory than a one-entry list does.
TEST_F(E2EBounds, AResetsErrorListCostsNoAllocationSizedByItsCount) {
    const int index = add("solstra");
    kelvo_test::ClientPages pages("wn");
    kelvo_custom_reset_parameters p{};
    p.errorsToDisablePtr = address(pages.at(kelvo_test::pageSize() - 8));
    p.numberOfErrorsToDisable = 1;
    kal::memory::resetCounters();
    ASSERT_EQ(resetTo(index, 19, &p), 0);
    const std::uint64_t largest = kal::memory::largestRequest();

    for (const std::uint64_t count : {2ull, 0x10000000ull, 0x1FFFFFFFull, 1ull}) {
        SCOPED_TRACE(count);
        p.numberOfErrorsToDisable = count;
        kal::memory::resetCounters();
        EXPECT_EQ(resetTo(index, 19, &p), count == 1 ? 0 : KELVO_STATUS_NOT_ACCESSIBLE)
            << "the copy's bad-address code";
        EXPECT_EQ(levelOf(index), count == 1 ? 19u : 17u);
        EXPECT_LE(kal::memory::largestRequest(), largest);
    }
    remove(index);
}

} // namespace
