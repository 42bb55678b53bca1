// Failure injection for the stand-in's creation calls.
#include <map>
#include <mutex>
#include <string>

#include "standin/control.h"

namespace {

struct Knob {
    std::uint64_t calls = 0;
    std::uint64_t failAt = 0;    // absolute call number to fail, 0 = none
    std::uint64_t failAfter = 0; // fail every call numbered above this ...
    bool failAfterSet = false;   // ... when set
};

struct FaultState {
    std::mutex lock;
    std::map<std::string, Knob, std::less<>> knobs;
};

FaultState& state() {
    static FaultState* s = new FaultState; // lives for the whole process
    return *s;
}

Knob& knob(FaultState& s, std::string_view kind) {
    auto it = s.knobs.find(kind);
    if (it == s.knobs.end()) {
        it = s.knobs.emplace(std::string(kind), Knob{}).first;
    }
    return it->second;
}

} // namespace

namespace kal::faults {

void failNth(std::string_view kind, std::uint64_t n) {
    auto& s = state();
    std::lock_guard g(s.lock);
    Knob& k = knob(s, kind);
    k.failAt = n == 0 ? 0 : k.calls + n;
}

void failAfter(std::string_view kind, std::uint64_t n) {
    auto& s = state();
    std::lock_guard g(s.lock);
    Knob& k = knob(s, kind);
    k.failAfter = k.calls + n;
    k.failAfterSet = true;
}

void clear() {
    auto& s = state();
    std::lock_guard g(s.lock);
    for (auto& [kind, k] : s.knobs) {
        k.failAt = 0;
        k.failAfterSet = false;
    }
}

std::uint64_t calls(std::string_view kind) {
    auto& s = state();
    std::lock_guard g(s.lock);
    return knob(s, kind).calls;
}

bool shouldFail(std::string_view kind) {
    auto& s = state();
    std::lock_guard g(s.lock);
    Knob& k = knob(s, kind);
    const std::uint64_t n = ++k.calls;
    return (k.failAt != 0 && n == k.failAt) || (k.failAfterSet && n > k.failAfter);
}

} // namespace kal::faults
