// A level table, installed while it lives, whose levels first to last fail the nth creation of a kind and
// count them. One at a time.
#pragma once

#include <utility>

#include "standin/control.h"
#include "core_test_levels.h"

namespace kelvo_test {

enum class FaultKind { kAllocation, kMutex, kDPC };

class FaultWindow {
public:
    FaultWindow(const kelvo_driver::SetupLevelTable& base, std::uint32_t first, std::uint32_t last,
                FaultKind kind) {
        state() = State{base, first, last, kind, 0, 0, 0};
        table_ = wrapped(std::make_index_sequence<kelvo_driver::kNumberOfSetupTasks>());
        setSetupLevelTable(&table_);
    }
    ~FaultWindow() {
        disarm();
        setSetupLevelTable(nullptr);
    }
    FaultWindow(const FaultWindow&) = delete;
    FaultWindow& operator=(const FaultWindow&) = delete;

    // The creation to fail in the next run (0: none).
    void arm(std::uint64_t n) { state().n = n; }
    // Creations of the kind made by the window's levels in the last run (none for DPCs).
    std::uint64_t counted() const { return state().atEnd - state().atStart; }
    static void disarm() {
        state().n = 0;
        kal::memory::clearFaults();
        kal::faults::clear();
        kal::dpc::failCreate(0);
    }

private:
    struct State {
        kelvo_driver::SetupLevelTable base;
        std::uint32_t first, last;
        FaultKind kind;
        std::uint64_t n, atStart, atEnd;
    };
    static State& state() {
        static State s;
        return s;
    }
    static std::uint64_t calls(FaultKind kind) {
        return kind == FaultKind::kAllocation ? kal::memory::allocationCalls()
               : kind == FaultKind::kMutex    ? kal::faults::calls(kal::faults::kMutex)
                                              : 0;
    }
    template <std::uint32_t kLevel>
    static kelvo_driver::SetupTask* task(kelvo_driver::KelvoHelper& helper,
                                         const kelvo_driver::SetupInputs& inputs,
                                         nVOAPALS100::tStatus& status) {
        State& s = state();
        if (kLevel == s.first) {
            s.atStart = calls(s.kind);
            if (s.n != 0) {
                s.kind == FaultKind::kAllocation ? kal::memory::failNth(s.n)
                : s.kind == FaultKind::kMutex    ? kal::faults::failNth(kal::faults::kMutex, s.n)
                                                 : kal::dpc::failCreate(s.n);
            }
        }
        kelvo_driver::SetupTask* created = s.base.tasks[kLevel - 1](helper, inputs, status);
        if (kLevel == s.last) {
            s.atEnd = calls(s.kind);
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
