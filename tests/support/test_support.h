// Shared helpers for the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "control.h"

namespace kelvo_test {

// Checks that a test leaves no kernel-layer allocation behind and clears
// the captured log and the memory faults around it.
class LeakCheckedTest : public ::testing::Test {
protected:
    void SetUp() override {
        kal::memory::clearFaults();
        kal::faults::clear();
        kal::log::clear();
        liveAtStart_ = kal::memory::liveAllocations();
    }
    void TearDown() override {
        kal::memory::clearFaults();
        kal::faults::clear();
        EXPECT_EQ(kal::memory::liveAllocations(), liveAtStart_) << "kernel-layer allocations leaked";
    }

private:
    std::size_t liveAtStart_ = 0;
};

inline int countOccurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++count;
    }
    return count;
}

} // namespace kelvo_test
