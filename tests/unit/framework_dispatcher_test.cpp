// Named registration: lookups with version suffixes, name slots and lists, removals, user-memory names.
#include <deque>
#include <optional>

#include "framework/dispatcher.h"
#include "platform/sync.h"
#include "platform/vohtl/string.h"
#include "status_code.h"
#include "test_support.h"
#include "windows/device_window.h"

namespace {

using nVOAPALS100::tStatus;
using WindowDispatcher = voregitools::Dispatcher<devicewindow::DeviceWindow>;
namespace regi = voregitools;

struct FakeWindow : devicewindow::DeviceWindow {
    FakeWindow(const char* version = "", const char* oldest = "") : version_(version), oldest_(oldest) {}
    void get(uint64_t, uint64_t, uint8_t*, tStatus&) override {}
    void set(const uint8_t*, uint64_t, uint64_t, tStatus&) override {}
    void flush(uint64_t, uint64_t, bool, tStatus&) override {}
    void read(uint64_t, uint64_t, uint8_t*, tStatus&) override {}
    void write(const uint8_t*, uint64_t, uint64_t, bool, tStatus&) override {}
    void refresh(uint64_t, uint64_t, tStatus&) override {}
    uint64_t getSizeInBytes() const override { return 0; }
    const char* getVersion() const override { return version_; }
    const char* getOldestCompatibleVersion() const override { return oldest_; }
    const char* version_;
    const char* oldest_;
};

class FrameworkDispatcher : public kelvo_test::LeakCheckedTest {
protected:
    // A failed lookup leaves the mutex as it was (the registration's own, handed out on success, is checked
    // through the register-map requests) and hands out no window.
    int64_t lookup(const char* name, devicewindow::DeviceWindow** found = nullptr) {
        tStatus status;
        auto* const before = reinterpret_cast<kelvo_driver::nVOAPAL000::tMutex*>(this);
        kelvo_driver::nVOAPAL000::tMutex* mutex = before;
        dispatcher.getRegistration(name, found, status, &mutex);
        EXPECT_TRUE(status.isNotFatal() || (mutex == before && (found == nullptr || *found == nullptr)))
            << name;
        return status.getCode();
    }
    std::string list() {
        vohtl::BasicString text;
        tStatus status;
        dispatcher.getRegistrationList(text, status);
        return text.c_str();
    }

    // The dispatcher goes before the leak check.
    void TearDown() override {
        holder_.reset();
        LeakCheckedTest::TearDown();
    }

    std::optional<WindowDispatcher> holder_{std::in_place};
    WindowDispatcher& dispatcher = *holder_;
};

TEST_F(FrameworkDispatcher, NameSlotsAndTheJoinedList) {
    const std::string exact(64, 'x');
    const std::string longer(70, 'y');
    FakeWindow window;
    tStatus status;
    for (const char* name : {"", "Brixel", exact.c_str(), longer.c_str()}) {
        dispatcher.add(name, window, status); // an empty name adds no TAB at the front
    }
    ASSERT_TRUE(status.isSuccess());
    const std::string expected = "Brixel\t" + exact + "\t" + longer;
    EXPECT_EQ(list(), expected);
    EXPECT_EQ(dispatcher.getSizeOfRegistrationList(), expected.size() + 1);

    // After a terminator a slot is left as it was; a name of 64 bytes or more fills its slot, unterminated.
    std::string slots(64 * 4, '#');
    dispatcher.getRegistrationNames(slots.data(), status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(slots, std::string(1, '\0') + std::string(63, '#') + "Brixel" + std::string(1, '\0') +
                         std::string(57, '#') + exact + longer.substr(0, 64));
    EXPECT_EQ(lookup(""), 0);

    WindowDispatcher empty;
    EXPECT_EQ(empty.getSizeOfRegistrationList(), 1u);
}

TEST_F(FrameworkDispatcher, DuplicatesFindTheFirstAndRemovalsSharingOneStatusAllTakePlace) {
    FakeWindow first, second;
    tStatus status;
    dispatcher.add("dup", first, status);
    dispatcher.add("dup", second, status);
    dispatcher.add("b", first, status);
    dispatcher.add("c", first, status);
    devicewindow::DeviceWindow* found = nullptr;
    lookup("dup", &found);
    EXPECT_EQ(found, &first);
    dispatcher.remove("dup", status);
    lookup("dup", &found);
    EXPECT_EQ(found, &second);

    // A teardown chain: a missing name fails, the rest are still removed, also after an earlier failure.
    tStatus teardown;
    KELVO_SET_STATUS(teardown, tStatus::kOutOfMemory);
    dispatcher.remove("dup", teardown);
    dispatcher.remove("missing", teardown);
    dispatcher.remove("b", teardown);
    EXPECT_EQ(teardown.getCode(), tStatus::kOutOfMemory);
    tStatus missing;
    dispatcher.remove("missing", missing);
    dispatcher.remove("c", missing);
    EXPECT_EQ(missing.getCode(), regi::kRegiNameNotFound);
    EXPECT_EQ(dispatcher.getNumberOfRegistrations(), 0u);

    // A null name is refused everywhere, also by the base's removal (overridden by the wrapper's).
    regi::DispatcherBase<WindowDispatcher::Wrapper> base;
    using kelvo_test::codeOf;
    EXPECT_EQ(codeOf([&](tStatus& s) { dispatcher.add(nullptr, first, s); }), regi::kRegiNullPointer);
    EXPECT_EQ(codeOf([&](tStatus& s) { dispatcher.getRegistration(nullptr, &found, s, nullptr); }),
              regi::kRegiNullPointer);
    EXPECT_EQ(codeOf([&](tStatus& s) { dispatcher.remove(nullptr, s); }), regi::kRegiNullPointer);
    EXPECT_EQ(codeOf([&](tStatus& s) { base.remove(nullptr, s); }), regi::kRegiNullPointer);
    EXPECT_EQ(codeOf([&](tStatus& s) { base.remove("b", s); }), regi::kRegiNameNotFound);
}

// Long names sharing their first 100 bytes and short ones of every length up to 17 (the hash takes 8 bytes
// at a time), every other one versioned, before and after every third is removed.
TEST_F(FrameworkDispatcher, EveryNameAmongManyIsFoundAndItsNeighboursAreNot) {
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) {
        names.push_back(std::string(100, 'P') + "_Win" + std::to_string(i));
    }
    for (size_t n = 1; n <= 17; ++n) {
        names.push_back(std::string(n, static_cast<char>('a' + n % 3)));
    }
    std::deque<FakeWindow> windows;
    tStatus status;
    for (size_t i = 0; i < names.size(); ++i) {
        windows.emplace_back(i % 2 == 0 ? "1.2.0f0" : "", i % 2 == 0 ? "1.0.0f0" : "");
        dispatcher.add(names[i].c_str(), windows.back(), status);
    }
    ASSERT_TRUE(status.isSuccess());

    // What a lookup of each form answers for a versioned, an unversioned and a missing registration.
    const struct {
        const char* suffix;
        int64_t versioned, unversioned, missing;
    } forms[] = {
        {"", regi::kRegiVersionRequired, 0, regi::kRegiNameNotFound},
        {"_Ver1.1.0f0", 0, regi::kRegiUnversionedWithVersion, regi::kRegiNameNotFound},
        {"_Ver", regi::kRegiVersionRequired, 0,
         regi::kRegiNameNotFound}, // an empty version text is no version
        {"_Verx", regi::kRegiBadVersionText, regi::kRegiBadVersionText, regi::kRegiBadVersionText},
        // The version text starts after the first marker.
        {"_Ver1.1.0f0_Ver1.1.0f0", regi::kRegiBadVersionText, regi::kRegiBadVersionText,
         regi::kRegiBadVersionText},
    };
    const auto check = [&](const std::vector<bool>& present) {
        for (size_t i = 0; i < names.size(); ++i) {
            SCOPED_TRACE(names[i]);
            for (const auto& form : forms) {
                devicewindow::DeviceWindow* found = nullptr;
                const int64_t code = lookup((names[i] + form.suffix).c_str(), &found);
                EXPECT_EQ(code, !present[i]  ? form.missing
                                : i % 2 == 0 ? form.versioned
                                             : form.unversioned)
                    << form.suffix;
                if (code == 0) {
                    EXPECT_EQ(found, &windows[i]) << form.suffix;
                }
            }
            std::string changed = names[i];
            changed.back() = '#';
            for (const std::string& neighbour : {names[i] + "#", changed, "#" + names[i]}) {
                EXPECT_EQ(lookup(neighbour.c_str()), regi::kRegiNameNotFound) << neighbour;
            }
        }
    };
    std::vector<bool> present(names.size(), true);
    check(present);

    std::string expected;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i % 3 == 0) {
            dispatcher.remove(names[i].c_str(), status);
            present[i] = false;
        } else {
            expected += (expected.empty() ? "" : "\t") + names[i];
        }
    }
    ASSERT_TRUE(status.isSuccess());
    check(present);
    EXPECT_EQ(list(), expected);
}

// An add fails at each of its allocations in turn, the index's growth among them.
TEST_F(FrameworkDispatcher, AnAddFailingAtAnyAllocationRegistersNothing) {
    FakeWindow window;
    tStatus status;
    std::vector<std::string> names;
    for (size_t i = 0; i < regi::internal::kMinimumIndexSlots / 2; ++i) {
        names.push_back("Map" + std::to_string(i));
        dispatcher.add(names.back().c_str(), window, status);
    }
    ASSERT_TRUE(status.isSuccess());
    const std::string before = list();
    uint64_t nth = 1;
    for (;; ++nth) {
        SCOPED_TRACE(nth);
        kal::memory::failNth(nth);
        tStatus failing;
        dispatcher.add("Added", window, failing);
        kal::memory::clearFaults();
        if (failing.isSuccess()) {
            break;
        }
        EXPECT_EQ(failing.getCode(), tStatus::kOutOfMemory);
        EXPECT_EQ(list(), before);
        EXPECT_EQ(lookup("Added"), regi::kRegiNameNotFound);
        for (const std::string& name : names) {
            EXPECT_EQ(lookup(name.c_str()), 0) << name;
        }
    }
    EXPECT_GE(nth, 5u) << "the wrapper, its mutex, the name, the index and the entry";
    EXPECT_EQ(lookup("Added"), 0);
    EXPECT_EQ(list(), before + "\tAdded");
}

// A name of up to 255 bytes is copied onto the stack, a longer one onto the heap (whose failure is -52000);
// either is found whole.
TEST_F(FrameworkDispatcher, ShortUserNamesNeedNoMemoryAndLongOnesAreFoundWhole) {
    const auto userLookup = [&](const void* name, uint64_t length, devicewindow::DeviceWindow** found) {
        *found = reinterpret_cast<devicewindow::DeviceWindow*>(0x1);
        tStatus status;
        dispatcher.getRegistration(0x77, kal::usermem::address(name), length, found, status, nullptr);
        return status.getCode();
    };
    FakeWindow window;
    const struct {
        size_t length;
        bool failAllocation;
        uint64_t allocations;
        int64_t code;
    } cases[] = {
        {1, false, 0, 0},
        {voregitools::kStackNameLength, false, 0, 0},
        {voregitools::kStackNameLength + 1, false, 1, 0},
        {voregitools::kStackNameLength + 1, true, 1, tStatus::kOutOfMemory},
        {voregitools::kMaxUserNameLength, false, 1, 0},
    };
    kal::usermem::Scope scope;
    devicewindow::DeviceWindow* found = nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string name(c.length, 'n');
        tStatus status;
        dispatcher.add(name.c_str(), window, status);
        ASSERT_TRUE(status.isSuccess());
        scope.add(name.data(), name.size());
        const auto calls = kal::memory::allocationCalls();
        kal::memory::failNth(c.failAllocation ? 1 : 0);
        EXPECT_EQ(userLookup(name.data(), name.size(), &found), c.code);
        kal::memory::clearFaults();
        EXPECT_EQ(found, c.code == 0 ? &window : nullptr);
        EXPECT_EQ(kal::memory::allocationCalls() - calls, c.allocations);
        // One byte short is another name.
        EXPECT_EQ(userLookup(name.data(), name.size() - 1, &found), regi::kRegiNameNotFound);
        dispatcher.remove(name.c_str(), status);
        scope.clear();
    }
}

} // namespace
