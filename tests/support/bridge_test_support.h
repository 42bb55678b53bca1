// Helpers for the tests of the bridge and timing-chip maps: a simulated module with BAR 0 mapped.
#pragma once

#include <vector>

#include "pci_test_support.h"
#include "platform/pci_device.h"
#include "platform/pci_memory_accessor.h"
#include "regs/sized_register_map.h"
#include "regs_fake_accessor.h"
#include "status_code.h"

namespace kelvo_test {

using tRegion = kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>;

// One access of a simulated chip's trace, comparable and printable in expectations.
struct ChipAccess {
    bool write;
    uint64_t offset;
    uint32_t width;
    uint64_t value;
    bool operator==(const ChipAccess&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const ChipAccess& a) {
    return out << (a.write ? "W" : "R") << a.width * 8 << " @0x" << std::hex << a.offset << " = 0x" << a.value
               << std::dec;
}
// Expected accesses: a 32-bit read, a 32-bit write, a 64-bit write.
inline constexpr auto R32 = [](uint64_t at, uint64_t value) { return ChipAccess{false, at, 4, value}; };
inline constexpr auto W32 = [](uint64_t at, uint64_t value) { return ChipAccess{true, at, 4, value}; };
inline constexpr auto W64 = [](uint64_t at, uint64_t value) { return ChipAccess{true, at, 8, value}; };

// A simulated block's accesses so far (only its writes with writesOnly).
inline std::vector<ChipAccess> accessesOf(const sim::Block& block, bool writesOnly = false) {
    std::vector<ChipAccess> result;
    for (const sim::Access& a : block.trace()) {
        if (a.write || !writesOnly) {
            result.push_back({a.write, a.offset, a.width, a.value});
        }
    }
    return result;
}

// A plugged module with BAR 0 mapped.
class SimulatedBarTest : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        module = bus.plug("solstra");
        nVOAPALS100::tStatus status;
        device = new (status, false) kelvo_driver::nVOAPAL000::tPCIDevice(deviceInfoOf(*module), status);
        bar = static_cast<char*>(device->mapMemoryWindow(0, status, 0));
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        EXPECT_EQ(module->deviceErrorCount(), 0u) << ::testing::PrintToString(module->deviceErrors());
        device->unmapMemoryWindow(0, bar, 0);
        kelvo_driver::nVOAPAL000::deleteObject(device);
        LeakCheckedTest::TearDown();
    }
    tRegion region(uint64_t offset, uint64_t size) const { return tRegion(bar + offset, size); }
    // The timing chip's accesses so far.
    std::vector<ChipAccess> chipTrace() const { return accessesOf(module->timingChip()); }

    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    kelvo_driver::nVOAPAL000::tPCIDevice* device = nullptr;
    char* bar = nullptr;
};

} // namespace kelvo_test
