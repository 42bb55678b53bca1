// Hardware-state checkers: the composite and the fixed collection.
#include <vector>

#include "fatal_hook_capture.h"
#include "framework/hardware_state_checker_collection.h"
#include "framework/hardware_state_checker_composite.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;

// Records the order of the calls and the status each one saw.
struct RecordingChecker : kdut::HardwareStateCheckerInterface {
    RecordingChecker(std::vector<std::string>& log, std::string name, int64_t fault = 0)
        : log_(log), name_(std::move(name)), fault_(fault) {}
    void checkHardwareState(tStatus& status) override {
        log_.push_back(name_ + ":" + std::to_string(status.getCode()));
        if (status.isNotFatal() && fault_ != 0) {
            KELVO_SET_STATUS(status, fault_);
        }
    }
    std::vector<std::string>& log_;
    std::string name_;
    int64_t fault_;
};

using FrameworkCheckerComposite = kelvo_test::LeakCheckedTest;

TEST_F(FrameworkCheckerComposite, RunsInInsertionOrderAndTheFirstFailureIsReported) {
    std::vector<std::string> log;
    RecordingChecker first(log, "a");
    RecordingChecker second(log, "b", -7);
    RecordingChecker third(log, "c", -9);
    tStatus status;
    kdut::HardwareStateCheckerComposite composite(2, status); // the capacity is no limit
    composite.add(&first, status);
    composite.add(&second, status);
    composite.add(&third, status);
    composite.add(&first, status); // no duplicate check
    composite.remove(&first, status);
    ASSERT_TRUE(status.isSuccess());
    composite.checkHardwareState(status);
    EXPECT_EQ(status.getCode(), -7);
    EXPECT_EQ(log, (std::vector<std::string>{"b:0", "c:-7", "a:-7"}));
}

TEST(FrameworkCheckerCollection, RunsItsMembersInOrderUpToItsCapacity) {
    std::vector<std::string> log;
    RecordingChecker a(log, "a"), b(log, "b", -7), c(log, "c");
    struct Case {
        std::vector<RecordingChecker*> added;
        RecordingChecker* removed;
        int64_t before;
        std::vector<std::string> log;
    } const cases[] = {
        {{&a, &b, &c}, nullptr, 0, {"a:0", "b:0", "c:-7"}}, // each sees what an earlier one set
        {{&a, &b, &a, &c}, &a, 0, {"b:0", "a:-7", "c:-7"}}, // the first occurrence goes, order kept
        {{&a, &c}, nullptr, -3, {}},                        // a status holding an error runs none
    };
    for (const Case& k : cases) {
        log.clear();
        orut::HardwareStateCheckerCollection collection;
        for (RecordingChecker* checker : k.added) {
            collection.add(checker);
        }
        if (k.removed != nullptr) {
            collection.remove(k.removed);
        }
        tStatus status;
        if (k.before != 0) {
            KELVO_SET_STATUS(status, k.before);
        }
        collection.checkHardwareState(status);
        EXPECT_EQ(log, k.log);
    }
    kelvo_test::FatalHookCapture hook;
    orut::HardwareStateCheckerCollection collection;
    collection.remove(&a);
    EXPECT_EQ(hook.count(), 1) << "not a member";
    for (uint32_t i = 0; i <= 64; ++i) {
        collection.add(&a);
    }
    EXPECT_EQ(hook.count(), 2) << "one past full";
    EXPECT_EQ(collection.size(), 64u);
    collection.clear();
    EXPECT_EQ(collection.size(), 0u);
}

} // namespace
