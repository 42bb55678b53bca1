// Named registration: the "_Ver" suffix texts, the name slots and the
// TAB-separated list, duplicates, removals that share one status, null
// names, and lookups of names in user memory.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "control.h"
#include "framework/dispatcher.h"
#include "platform/sync.h"
#include "platform/vohtl/string.h"
#include "test_support.h"
#include "windows/device_window.h"

namespace {

using kelvo_driver::nVOAPAL000::tMutex;
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
    // Looks name up; returns the code and puts the object found in found.
    int64_t lookup(const char* name, devicewindow::DeviceWindow** found = nullptr) {
        devicewindow::DeviceWindow* object = nullptr;
        tStatus status;
        dispatcher.getRegistration(name, &object, status, nullptr);
        if (found != nullptr) {
            *found = object;
        }
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

TEST_F(FrameworkDispatcher, VersionedRegistrationChecksTheClientVersion) {
    FakeWindow map("1.2.0f0", "1.0.0f0");
    tStatus status;
    dispatcher.add("Header", map, status);
    ASSERT_TRUE(status.isSuccess());
    // Through user mode: core_ioctl_arm_test; the texts: framework_version_test.
    EXPECT_EQ(lookup("Header_Ver1.0.0f0"), 0);
    EXPECT_EQ(lookup("Header_Verx"), regi::kRegiBadVersionText);
    EXPECT_EQ(lookup("Header_Ver1.1.0f0_Ver1.1.0f0"), regi::kRegiBadVersionText) << "the first marker";
}

TEST_F(FrameworkDispatcher, ALookupHandsOutTheRegistrationsOwnMutexOnlyOnSuccess) {
    FakeWindow a("1.0.0f0", "1.0.0f0");
    FakeWindow b;
    tStatus status;
    dispatcher.add("a", a, status);
    dispatcher.add("b", b, status);
    WindowDispatcher::Wrapper* wrapper = nullptr;
    tMutex* mutex = nullptr;
    dispatcher.getRegistration("a_Ver1.0.0f0", &wrapper, status, &mutex);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(wrapper->getObject(), &a);
    EXPECT_EQ(mutex, wrapper->getMutex());
    tMutex* other = nullptr;
    dispatcher.getRegistration("b", &wrapper, status, &other);
    EXPECT_NE(other, mutex);
    tStatus failed;
    dispatcher.getRegistration("a", &wrapper, failed, &other);
    EXPECT_EQ(failed.getCode(), regi::kRegiVersionRequired);
    EXPECT_EQ(wrapper->getObject(), &b) << "on an error the out values stay as they were";
    EXPECT_NE(other, mutex);
}

TEST_F(FrameworkDispatcher, NameSlotsAndTheJoinedList) {
    const std::string exact(64, 'x');
    const std::string longer = std::string(70, 'y');
    FakeWindow window;
    tStatus status;
    for (const char* name : {"", "Brixel", exact.c_str(), longer.c_str()}) {
        dispatcher.add(name, window, status); // an empty name adds no TAB at the front
    }
    ASSERT_TRUE(status.isSuccess());
    const std::string expected = "Brixel\t" + exact + "\t" + longer;
    EXPECT_EQ(list(), expected);
    EXPECT_EQ(dispatcher.getSizeOfRegistrationList(), expected.size() + 1);

    std::array<char, 64 * 4> slots;
    slots.fill('#');
    dispatcher.getRegistrationNames(slots.data(), status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(slots[0], '\0');
    EXPECT_EQ(slots[1], '#'); // after a terminator the slot is left as it was
    EXPECT_EQ(std::string(slots.data() + 64), "Brixel");
    EXPECT_EQ(slots[64 + 7], '#');
    EXPECT_EQ(std::string(slots.data() + 128, 64), exact); // whole slot, no terminator
    EXPECT_EQ(std::string(slots.data() + 192, 64), longer.substr(0, 64));
    EXPECT_EQ(lookup(""), 0);
    EXPECT_EQ(lookup(exact.c_str()), 0);

    WindowDispatcher empty;
    EXPECT_EQ(empty.getSizeOfRegistrationList(), 1u);
}

TEST_F(FrameworkDispatcher, DuplicatesFindTheFirstAndRemovalsSharingOneStatusAllTakePlace) {
    FakeWindow first;
    FakeWindow second;
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

    // A null name is refused everywhere, by the base's removal too (which the
    // wrapper dispatcher overrides), and so is an unknown name there.
    regi::DispatcherBase<WindowDispatcher::Wrapper> base;
    const std::pair<std::function<void(tStatus&)>, int64_t> refused[] = {
        {[&](tStatus& s) { dispatcher.add(nullptr, first, s); }, regi::kRegiNullPointer},
        {[&](tStatus& s) { dispatcher.getRegistration(nullptr, &found, s, nullptr); },
         regi::kRegiNullPointer},
        {[&](tStatus& s) { dispatcher.remove(nullptr, s); }, regi::kRegiNullPointer},
        {[&](tStatus& s) { base.remove(nullptr, s); }, regi::kRegiNullPointer},
        {[&](tStatus& s) { base.remove("b", s); }, regi::kRegiNameNotFound},
    };
    for (size_t i = 0; i < std::size(refused); ++i) {
        tStatus refusal;
        refused[i].first(refusal);
        EXPECT_EQ(refusal.getCode(), refused[i].second) << i;
    }

    // A dispatcher destroyed with two entries of one name (and a name holding
    // a TAB) deletes every wrapper: the leak check would see one left.
    auto* other = new WindowDispatcher;
    for (const char* name : {"dup", "dup", "tab\tname"}) {
        other->add(name, first, status);
    }
    ASSERT_TRUE(status.isSuccess());
    delete other;
}

class FrameworkUserNameLookup : public FrameworkDispatcher {
protected:
    int64_t userLookup(const void* name, uint64_t length, devicewindow::DeviceWindow** found) {
        *found = reinterpret_cast<devicewindow::DeviceWindow*>(0x1);
        tStatus status;
        dispatcher.getRegistration(kContext, kal::usermem::address(name), length, found, status, nullptr);
        return status.getCode();
    }
    static constexpr kelvo_driver::nVOAPAL000::tEventDescriptor kContext = 0x77;
};

TEST_F(FrameworkUserNameLookup, BadLengthsAndAddressesChangeNothing) {
    FakeWindow window;
    tStatus status;
    dispatcher.add("w", window, status);

    kal::usermem::Scope scope;
    std::string longName(5000, 'w');
    scope.add(longName.data(), longName.size());
    devicewindow::DeviceWindow* found = nullptr;
    const auto calls = kal::memory::allocationCalls();
    // A length from user mode is bounded before length + 1 is allocated.
    EXPECT_EQ(userLookup(longName.data(), UINT64_MAX, &found), tStatus::kInvalidParameter);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(kal::memory::allocationCalls(), calls);

    kal::memory::failNth(1);
    const char name[] = "w";
    scope.add(name, 1);
    EXPECT_EQ(userLookup(name, 1, &found), tStatus::kOutOfMemory);
    EXPECT_EQ(userLookup(name, 1, &found), 0);
    EXPECT_EQ(found, &window);
}

} // namespace
