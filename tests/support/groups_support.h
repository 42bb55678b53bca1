// Helpers for the register-map group tests: the real dispatchers, logging removals, and the registered
// names read back through the TAB-joined list (most names are longer than a 64-byte slot).
#pragma once

#include <optional>
#include <sstream>

#include "bridge/tymo_reg_maps.h"
#include "platform/vohtl/string.h"
#include "regmaps/isolated_reg_maps.h"
#include "regmaps/non_isolated_reg_maps.h"
#include "regs/arm_dispatcher.h"
#include "regs_sim_support.h"
#include "windows/device_window_dispatcher.h"

namespace kelvo_test::groups {

class LoggingARMDispatcher : public armki::ARMDispatcher {
public:
    Wrapper* remove(const char* name, nVOAPALS100::tStatus& status) override {
        removals.emplace_back(name != nullptr ? name : "(null)");
        return armki::ARMDispatcher::remove(name, status);
    }
    using armki::ARMDispatcher::remove;
    std::vector<std::string> removals;
};

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
template <typename Dispatcher> auto lookUp(Dispatcher& dispatcher, const std::string& name) {
    decltype(std::declval<typename Dispatcher::Wrapper&>().getObject()) object = nullptr;
    nVOAPALS100::tStatus status;
    dispatcher.getRegistration(name.c_str(), &object, status, nullptr);
    return object;
}

// One simulated board with the real dispatchers and the two FPGA groups.
class GroupsTest : public kelvo_test::LeakCheckedTest {
protected:
    void TearDown() override {
        destroyGroups();
        EXPECT_EQ(arm->getNumberOfRegistrations(), 0u) << ::testing::PrintToString(namesOf(*arm));
        EXPECT_EQ(windows->getNumberOfRegistrations(), 0u);
        arm.reset();
        windows.reset();
        if (board) {
            EXPECT_EQ(board->module->deviceErrorCount(), 0u)
                << ::testing::PrintToString(board->module->deviceErrors());
            EXPECT_EQ(board->link().accessesWhileBusy(), 0u);
        }
        board.reset();
        caps.reset();
        LeakCheckedTest::TearDown();
    }
    void plug(const std::string& name) {
        board = std::make_unique<kelvo_test::SimBoard>(name);
        caps.emplace();
        caps->subsystemID = board->module->identity().subsystemID;
        capsPtr = &*caps;
    }
    uint64_t bar() const { return reinterpret_cast<uintptr_t>(board->bar); }
    int64_t buildNiso() {
        tStatus status;
        niso = new (status, false) kelvo_driver::NonIsolatedRegMaps(bar(), *arm, *windows, capsPtr, status);
        return status.getCode();
    }
    int64_t buildIso() {
        tStatus status;
        iso = new (status, false)
            kelvo_driver::IsolatedRegMaps(niso->wrapper, *arm, *windows, nullptr, nullptr, capsPtr, status);
        return status.getCode();
    }
    // The isolated group goes first: its accessor runs over the non-isolated group's map.
    void destroyGroups() {
        delete iso;
        iso = nullptr;
        delete niso;
        niso = nullptr;
    }

    using tStatus = nVOAPALS100::tStatus;
    std::unique_ptr<kelvo_test::SimBoard> board;
    // The groups read the record's subsystem ID only.
    std::optional<corran_caps::ProductCaps> caps;
    const corran_caps::ProductCaps* capsPtr = nullptr;
    std::optional<LoggingARMDispatcher> arm{std::in_place};
    std::optional<devicewindow::DeviceWindowDispatcher> windows{std::in_place};
    kelvo_driver::NonIsolatedRegMaps* niso = nullptr;
    kelvo_driver::IsolatedRegMaps* iso = nullptr;
};

// The bridge and timing-chip group over a plugged Solstra, built by buildTymo().
class TymoTest : public GroupsTest {
protected:
    void SetUp() override {
        GroupsTest::SetUp();
        plug("solstra");
        barSize = kelvo_driver::mappedSizeOfBar0(*board->device);
    }
    void TearDown() override {
        delete tymo;
        GroupsTest::TearDown();
    }
    int64_t buildTymo() {
        tStatus status;
        tymo = new (status, false) kelvo_driver::TYMORegMaps(bar(), barSize, *arm, status);
        return status.getCode();
    }

    uint64_t barSize = 0;
    kelvo_driver::TYMORegMaps* tymo = nullptr;
};

} // namespace kelvo_test::groups
