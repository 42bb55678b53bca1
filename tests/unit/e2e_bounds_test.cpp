// What requests may leave behind or cost, through the host's C API: a
// session's cleanup list holds each object once, however often requests
// register it (refused ones included), so its cleanup does each object's
// hardware steps once; a reset's error list, however long it claims to be,
// is read without a kernel allocation sized by its count.
#include <cstdint>
#include <vector>

#include "client_pages.h"
#include "control.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::statusOf;

// ---- the cleanup list ---------------------------------------------------------

// The hardware steps one kind of cleanup makes, counted on the simulated module.
using StepCount = std::uint64_t (*)(sim::Module&);

std::uint64_t fifoResets(sim::Module& m) {
    return m.dma(0).fifoResets();
}
std::uint64_t measureStops(sim::Module& m) {
    std::uint64_t stops = 0;
    for (const sim::Access& a : m.sequencerSide()->measureUnitBlock().trace()) {
        stops += a.write && (a.value & sim::MeasureUnit::kStopStrobe) != 0 ? 1 : 0;
    }
    return stops;
}

struct Repeated {
    const char* what;
    std::int32_t (*request)(int handle);
    std::int32_t answer;
    StepCount steps; // null: none to count
};

const Repeated kRepeated[] = {
    {"a start refused for want of transfers",
     [](int h) {
         return statusOf(h, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{0, 0, {}, 0});
     },
     -52005, fifoResets},
    {"an arm of the measure unit",
     [](int h) { return statusOf(h, KELVO_IOCTL_measureUnit_arm, kelvo_measureUnit_arm_in{0, 0}); }, 0,
     measureStops},
    {"a start of the sequence engine",
     [](int h) {
         return statusOf(h, KELVO_IOCTL_wexmoor_startSequenceEngine,
                         kelvo_wexmoor_startSequenceEngine_in{1, 0, 0});
     },
     0, nullptr},
    {"a reservation of nothing",
     [](int h) {
         return statusOf(h, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{0, 0, 0});
     },
     0, nullptr},
};

using E2EBounds = kelvo_test::HostedTest;

// N repeats of a request leave the session's cleanup list and its close the
// same work as one does.
TEST_F(E2EBounds, ARequestRepeatedLeavesTheSessionTheCleanupOfOne) {
    constexpr int kRepeats = 200;
    const int index = add("solstra");
    sim::Module& m = module(index);
    for (const Repeated& row : kRepeated) {
        SCOPED_TRACE(row.what);
        struct Left {
            std::size_t registered; // cleanup operations the requests added
            std::uint64_t steps;    // hardware steps of the close
        };
        const auto leave = [&](int times) {
            const int handle = open(index);
            auto& list = sessionOf(handle)->getCleanupOperationComposite();
            const std::size_t before = list.size();
            for (int i = 0; i < times; ++i) {
                EXPECT_EQ(row.request(handle), row.answer);
            }
            const Left left{list.size() - before, row.steps != nullptr ? row.steps(m) : 0};
            EXPECT_EQ(kelvo_close(handle), 0);
            return Left{left.registered, row.steps != nullptr ? row.steps(m) - left.steps : 0};
        };
        const Left once = leave(1);
        const Left repeated = leave(kRepeats);
        EXPECT_LE(once.registered, 1u);
        EXPECT_EQ(repeated.registered, once.registered);
        EXPECT_EQ(repeated.steps, once.steps);
    }
    EXPECT_EQ(m.deviceErrorCount(), 0u) << ::testing::PrintToString(m.deviceErrors());
    remove(index);
}

// ---- the reset's error list ------------------------------------------------------

kelvo_custom_reset_parameters errorList(const void* list, std::uint64_t count) {
    kelvo_custom_reset_parameters p{};
    p.errorsToDisablePtr = address(list);
    p.numberOfErrorsToDisable = count;
    return p;
}

// An eight-byte list before a page without access: a count that runs past it
// fails the reset at level 18 with the copy's code, and no count, however
// large, makes the reset ask for more memory than a one-entry list's does.
TEST_F(E2EBounds, AResetsErrorListCostsNoAllocationSizedByItsCount) {
    const int index = add("solstra");
    kelvo_test::ClientPages pages("wn");
    const std::uint8_t* list = pages.at(kelvo_test::pageSize() - 8);

    kal::memory::resetCounters();
    const kelvo_custom_reset_parameters one = errorList(list, 1);
    ASSERT_EQ(resetTo(index, 19, &one), 0);
    const std::uint64_t largest = kal::memory::largestRequest();

    struct Row {
        std::uint64_t count;
        bool readable;
    };
    const Row rows[] = {{2, false}, {0x10000000, false}, {0x1FFFFFFF, false}, {1, true}};
    std::int32_t unreadable = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.count);
        kal::memory::resetCounters();
        const kelvo_custom_reset_parameters p = errorList(list, row.count);
        const std::int32_t answer = resetTo(index, 19, &p);
        EXPECT_EQ(levelOf(index), row.readable ? 19u : 17u);
        if (row.readable) {
            EXPECT_EQ(answer, 0);
        } else {
            EXPECT_LT(answer, 0);
            if (unreadable == 0) {
                unreadable = answer;
            }
            EXPECT_EQ(answer, unreadable) << "the copy's code, whatever the count";
        }
        EXPECT_LE(kal::memory::largestRequest(), largest);
    }
    remove(index);
}

} // namespace
