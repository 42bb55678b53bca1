// Test helper: counts debug-layer fatal reports instead of halting.
#pragma once

#include "platform/vosdbg.h"

namespace kelvo_test {

// Swaps the fatal hook for one that only counts, so that a reported misuse
// returns to the caller and the test can check that nothing changed.
class FatalHookCapture {
public:
    FatalHookCapture() : saved_(vosdbg_settings.fatalHook) {
        count_ = 0;
        vosdbg_settings.fatalHook = &FatalHookCapture::hook;
    }
    ~FatalHookCapture() { vosdbg_settings.fatalHook = saved_; }
    FatalHookCapture(const FatalHookCapture&) = delete;
    FatalHookCapture& operator=(const FatalHookCapture&) = delete;
    int count() const { return count_; }

private:
    static void hook(const vosdbg_Line*, const char*) { ++count_; }
    static inline int count_ = 0;
    vosdbg_FatalHook saved_;
};

} // namespace kelvo_test
