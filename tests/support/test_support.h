// Shared helpers for the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "standin/control.h"

namespace kal::live {
inline void PrintTo(const Counts& counts, std::ostream* out) {
    *out << describe(counts);
}
} // namespace kal::live

namespace kelvo_test {

// The codes of several requests or'ed together, the requests made in the order written: the elements of
// a braced list are evaluated left to right, the operands of | in no fixed order.
inline std::int64_t inOrder(std::initializer_list<std::int64_t> codes) {
    std::int64_t all = 0;
    for (std::int64_t code : codes) {
        all |= code;
    }
    return all;
}

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

// The sleeps of one kernel-layer thread in the stand-in's sleep log, in microseconds.
inline std::vector<std::uint32_t> sleepsOf(std::uint64_t threadId) {
    std::vector<std::uint32_t> sleeps;
    for (const kal::clock::SleepRecord& record : kal::clock::sleepLog()) {
        if (record.threadId == threadId) {
            sleeps.push_back(record.microseconds);
        }
    }
    return sleeps;
}

// A row of a script table: what it shows, its steps, and the log they must leave.
struct Script {
    const char* what;
    const char* steps;
    const char* log;
};

} // namespace kelvo_test
