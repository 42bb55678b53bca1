// The setup tracker: how far the current setup run has come and why it
// stopped. The product's setup code advances it after each level it built
// and leaves a failing step's error in its status; the I/O gates read it to
// refuse operations that need a level that was not reached.
#pragma once

#include <stdint.h>

#include "platform/status.h"
#include "platform/vosdbg.h"

namespace kdut {

// SetupLevel names the levels; it provides kSetupLevelComplete (the full
// level, whose completion sets no status) and kSetupLevelCount.
template <typename SetupLevel> class SetupTracker {
public:
    static constexpr uint32_t kCompleteLevel = static_cast<uint32_t>(SetupLevel::kSetupLevelComplete);
    static constexpr uint32_t kLevelCount = static_cast<uint32_t>(SetupLevel::kSetupLevelCount);
    static_assert(kCompleteLevel + 1 == kLevelCount, "the complete level is the last one");

    SetupTracker() = default;
    SetupTracker(const SetupTracker&) = delete;
    SetupTracker& operator=(const SetupTracker&) = delete;

    // Begins a run to target: nothing reached yet, status cleared. A run to
    // level 0 has reached its target at once (-52010).
    void begin(uint32_t target) {
        VOSDBG_ASSERT_MSG(target < kLevelCount, "invalid SetupLevel value encountered!");
        targetLevel_ = target;
        currentLevel_ = 0;
        status_.clear();
        if (target == 0) {
            KELVO_SET_STATUS(status_, nVOAPALS100::tStatus::kSetupTargetReached);
        }
    }

    // Records that level was built. Reaching a target below the complete
    // level stops the run with -52010; reaching the complete level sets
    // nothing, so a full run ends with success.
    void advance(uint32_t level) {
        VOSDBG_ASSERT_MSG(level <= targetLevel_,
                          " Failed - Advancing past the targetSetupLevel is not allowed!");
        VOSDBG_ASSERT_MSG(level > currentLevel_,
                          " Failed - It is not possible to advance to the same or previous setupLevel!");
        currentLevel_ = level;
        if (currentLevel_ == targetLevel_ && targetLevel_ < kCompleteLevel) {
            KELVO_SET_STATUS(status_, nVOAPALS100::tStatus::kSetupTargetReached);
        }
    }

    // Why the run stopped; the setup code reports its failures into it.
    nVOAPALS100::tStatus& getStatus() { return status_; }
    const nVOAPALS100::tStatus& getStatus() const { return status_; }
    bool isFatal() const { return status_.isFatal(); }
    uint32_t getTargetLevel() const { return targetLevel_; }
    uint32_t getCurrentLevel() const { return currentLevel_; }

private:
    nVOAPALS100::tStatus status_;
    uint32_t targetLevel_ = kCompleteLevel;
    uint32_t currentLevel_ = 0;
};

} // namespace kdut
