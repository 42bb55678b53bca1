// Shared helpers for the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "standin/control.h"

namespace kal::live {
inline void PrintTo(const Counts& counts, std::ostream* out) {
    *out << describe(counts);
}
} // namespace kal::live

namespace kelvo_test {

// Fails a test that leaves a kernel-layer object (allocation, lock, DPC, thread, mapping, ...) behind;
// clears the captured log and the memory faults around it.
class LeakCheckedTest : public ::testing::Test {
protected:
    void SetUp() override {
        kal::memory::clearFaults();
        kal::faults::clear();
        kal::log::clear();
        liveAtStart_ = kal::live::now();
    }
    void TearDown() override {
        kal::memory::clearFaults();
        kal::faults::clear();
        EXPECT_EQ(kal::live::now(), liveAtStart_) << "kernel-layer objects leaked";
    }

private:
    kal::live::Counts liveAtStart_;
};

} // namespace kelvo_test
