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

using FrameworkCheckers = kelvo_test::LeakCheckedTest;

// The composite (whose capacity is no limit) and the fixed collection alike.
TEST_F(FrameworkCheckers, RunInOrderEachSeeingWhatAnEarlierOneSetUpToTheCollectionsCapacity) {
    std::vector<std::string> log;
    RecordingChecker a(log, "a"), b(log, "b", -7), c(log, "c", -9);
    struct Case {
        std::vector<RecordingChecker*> added;
        RecordingChecker* removed;
        int64_t before;
        std::vector<std::string> log;
    } const cases[] = {
        {{&a, &b, &c}, nullptr, 0, {"a:0", "b:0", "c:-7"}}, // the first failure is reported
        {{&a, &b, &a, &c}, &a, 0, {"b:0", "a:-7", "c:-7"}}, // the first occurrence goes, order kept
        {{&a, &c}, nullptr, -3, {}},                        // a status holding an error runs none
    };
    for (const Case& k : cases) {
        for (const bool composite : {true, false}) {
            log.clear();
            tStatus status;
            kdut::HardwareStateCheckerComposite checkers(2, status);
            orut::HardwareStateCheckerCollection collection;
            for (RecordingChecker* checker : k.added) {
                composite ? checkers.add(checker, status) : collection.add(checker);
            }
            if (k.removed != nullptr) {
                composite ? checkers.remove(k.removed, status) : collection.remove(k.removed);
            }
            ASSERT_TRUE(status.isSuccess());
            if (k.before != 0) {
                KELVO_SET_STATUS(status, k.before);
            }
            composite ? checkers.checkHardwareState(status) : collection.checkHardwareState(status);
            EXPECT_EQ(log, k.log) << composite;
            EXPECT_EQ(status.getCode(), k.before != 0 ? k.before : -7) << composite;
        }
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
}

} // namespace
