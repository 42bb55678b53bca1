// A level table, installed while it lives, whose levels first to last fail the nth allocation and count
// them. One at a time.
#pragma once

#include <utility>

#include "standin/control.h"
#include "core_test_levels.h"

namespace kelvo_test {

class FaultWindow {
public:
    FaultWindow(const kelvo_driver::SetupLevelTable& base, std::uint32_t first, std::uint32_t last) {
        state() = State{base, first, last, 0, 0, 0};
        table_ = wrapped(std::make_index_sequence<kelvo_driver::kNumberOfSetupTasks>());
        setSetupLevelTable(&table_);
    }
    ~FaultWindow() {
        disarm();
        setSetupLevelTable(nullptr);
    }
    FaultWindow(const FaultWindow&) = delete;
    FaultWindow& operator=(const FaultWindow&) = delete;

    // The allocation to fail in the next run (0: none).
    void arm(std::uint64_t n) { state().n = n; }
    // Allocations made by the window's levels in the last run.
    std::uint64_t counted() const { return state().atEnd - state().atStart; }
    static void disarm() {
        state().n = 0;
        kal::memory::clearFaults();
    }

private:
    struct State {
        kelvo_driver::SetupLevelTable base;
        std::uint32_t first, last;
        std::uint64_t n, atStart, atEnd;
    };
    static State& state() {
        static State s;
        return s;
    }
    template <std::uint32_t kLevel>
    static kelvo_driver::SetupTask* task(kelvo_driver::KelvoHelper& helper,
                                         const kelvo_driver::SetupInputs& inputs,
                                         nVOAPALS100::tStatus& status) {
        State& s = state();
        if (kLevel == s.first) {
            s.atStart = kal::memory::allocationCalls();
            if (s.n != 0) {
                kal::memory::failNth(s.n);
            }
        }
        kelvo_driver::SetupTask* created = s.base.tasks[kLevel - 1](helper, inputs, status);
        if (kLevel == s.last) {
            s.atEnd = kal::memory::allocationCalls();
            disarm();
        }
        return created;
    }
    template <std::size_t... kIndex>
    static kelvo_driver::SetupLevelTable wrapped(std::index_sequence<kIndex...>) {
        const State& s = state();
        return {{(s.base.tasks[kIndex] != nullptr ? &task<kIndex + 1> : nullptr)...}};
    }

    kelvo_driver::SetupLevelTable table_;
};

} // namespace kelvo_test
