// Swaps the debug layer's fatal hook for one that counts the reports and keeps the last one instead of
// halting, so that a reported misuse returns and the test can check that nothing changed.
#pragma once

#include <string>

#include "platform/vosdbg.h"

namespace kelvo_test {

class FatalHookCapture {
public:
    FatalHookCapture() : saved_(vosdbg_settings.fatalHook) {
        count_ = 0;
        message_.clear();
        vosdbg_settings.fatalHook = &FatalHookCapture::hook;
    }
    ~FatalHookCapture() { vosdbg_settings.fatalHook = saved_; }
    FatalHookCapture(const FatalHookCapture&) = delete;
    FatalHookCapture& operator=(const FatalHookCapture&) = delete;
    int count() const { return count_; }
    const std::string& message() const { return message_; }

private:
    static void hook(const vosdbg_Line*, const char* message) {
        ++count_;
        message_ = message != nullptr ? message : "";
    }
    static inline int count_ = 0;
    static inline std::string message_;
    vosdbg_FatalHook saved_;
};

} // namespace kelvo_test
