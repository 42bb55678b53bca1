// Helpers for the tests of the register-map groups: the real dispatchers with
// a log of the removals, and the registered names read back through the
// TAB-joined registration list (most names are longer than a 64-byte slot).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "framework/arm_dispatcher.h"
#include "framework/device_window_dispatcher.h"
#include "platform/vohtl/string.h"

namespace kelvo_test::groups {

// The register-map dispatcher, logging the names it is asked to remove.
class LoggingARMDispatcher : public armki::ARMDispatcher {
public:
    Wrapper* remove(const char* name, nVOAPALS100::tStatus& status) override {
        removals.emplace_back(name != nullptr ? name : "(null)");
        return armki::ARMDispatcher::remove(name, status);
    }
    using armki::ARMDispatcher::remove;
    std::vector<std::string> removals;
};

// The registered names in registration order.
template <typename Dispatcher> std::vector<std::string> namesOf(const Dispatcher& dispatcher) {
    vohtl::BasicString list;
    nVOAPALS100::tStatus status;
    dispatcher.getRegistrationList(list, status);
    EXPECT_TRUE(status.isSuccess());
    std::vector<std::string> names;
    std::stringstream in(list.c_str());
    for (std::string name; std::getline(in, name, '\t');) {
        names.push_back(name);
    }
    return names;
}

// The registered object of a name (with its version suffix where it has one), or null.
template <typename Dispatcher, typename T = typename Dispatcher::Wrapper>
auto lookUp(Dispatcher& dispatcher, const std::string& name, int64_t* code = nullptr) {
    decltype(std::declval<typename Dispatcher::Wrapper&>().getObject()) object = nullptr;
    nVOAPALS100::tStatus status;
    dispatcher.getRegistration(name.c_str(), &object, status, nullptr);
    if (code != nullptr) {
        *code = status.getCode();
    }
    return object;
}

} // namespace kelvo_test::groups
