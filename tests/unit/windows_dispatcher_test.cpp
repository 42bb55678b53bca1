// The device-window dispatcher's operations by name.
#include <optional>

#include "status_code.h"
#include "test_support.h"
#include "windows/device_window_dispatcher.h"
#include "windows/memory_window.h"

namespace {

using devicewindow::DeviceWindowDispatcher;
using kelvo_test::codeOf;
using nVOAPALS100::tStatus;

constexpr kelvo_driver::nVOAPAL000::tEventDescriptor kEvent = 0x51;

class WindowsDispatcher : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        dispatcher->add("IsoFpgaWindow", window, built);
        ASSERT_TRUE(built.isSuccess());
        nameAddress = scope.add(name.data(), name.size(), kal::usermem::kRead);
    }
    void TearDown() override {
        tStatus status;
        dispatcher->remove("IsoFpgaWindow", status);
        dispatcher.reset();
        scope.clear();
        LeakCheckedTest::TearDown();
    }

    uint64_t user(std::vector<uint8_t>& bytes) { return scope.add(bytes.data(), bytes.size()); }

    kal::usermem::Scope scope;
    std::string name = "IsoFpgaWindow";
    uint64_t nameAddress = 0;
    tStatus built;
    devicewindow::MemoryAccessor memory{32, built};
    devicewindow::MemoryWindow window{memory, built};
    std::optional<DeviceWindowDispatcher> dispatcher{std::in_place};
};

// What is refused or runs short of memory leaves the caller's bytes and the soft copy as they were.
TEST_F(WindowsDispatcher, RangesAreRefusedBeforeTheUsersSizeIsAllocatedAndShortMemoryIsReported) {
    std::vector<uint8_t> out(8, 0xEE);
    const uint64_t address = user(out);
    const struct {
        uint64_t offset, size;
    } outside[] = {{28, 8}, {0, 33}, {1, UINT64_MAX}, {UINT64_MAX, 1}, {0, uint64_t{1} << 40}};
    for (const auto& r : outside) {
        SCOPED_TRACE(std::to_string(r.offset) + " " + std::to_string(r.size));
        const auto calls = kal::memory::allocationCalls();
        tStatus a, b, c, d;
        dispatcher->get(kEvent, nameAddress, name.size(), r.offset, r.size, address, a);
        dispatcher->read(kEvent, nameAddress, name.size(), r.offset, r.size, address, b);
        dispatcher->set(kEvent, nameAddress, name.size(), address, r.offset, r.size, c);
        dispatcher->write(kEvent, nameAddress, name.size(), address, r.offset, r.size, true, d);
        EXPECT_EQ((std::vector<int64_t>{a.getCode(), b.getCode(), c.getCode(), d.getCode()}),
                  std::vector<int64_t>(4, devicewindow::kMemoryWindowOutOfRange));
        // Nothing: a short name is copied onto the stack.
        EXPECT_EQ(kal::memory::allocationCalls(), calls);
    }

    // Zero bytes go to the window as a null buffer.
    EXPECT_EQ(
        codeOf([&](tStatus& s) { dispatcher->get(kEvent, nameAddress, name.size(), 0, 0, address, s); }),
        devicewindow::kWindowNullBuffer);
    EXPECT_EQ(codeOf([&](tStatus& s) { dispatcher->set(kEvent, nameAddress, name.size(), 0, 32, 0, s); }),
              devicewindow::kWindowNullBuffer);

    // Short memory: the kernel buffer, then the window's run buffer (the name is copied onto the stack).
    for (uint64_t nth : {1u, 2u}) {
        kal::memory::failNth(nth);
        EXPECT_EQ(
            codeOf([&](tStatus& s) { dispatcher->get(kEvent, nameAddress, name.size(), 0, 4, address, s); }),
            tStatus::kOutOfMemory)
            << nth;
        kal::memory::clearFaults();
    }
    EXPECT_EQ(out, std::vector<uint8_t>(8, 0xEE));
    EXPECT_TRUE(window.softCopyByte(0).isInvalid());
}

} // namespace
