// Device memory accesses through the stand-in's mappings after the mapping or
// the function behind it is gone: the bus remembers the last access's
// mapping, and neither an unplug nor an unmap may leave that memory in use.
#include <cstdint>
#include <memory>

#include "nVOKAL.h"
#include "pci_bus.h"
#include "test_support.h"

namespace {

// One 4 KiB BAR that answers every read with a pattern and counts accesses.
class CountingFunction : public kal::pci::Function {
public:
    bool configRead(std::uint32_t, std::uint32_t, std::uint32_t& value) override {
        value = 0;
        return true;
    }
    bool configWrite(std::uint32_t, std::uint32_t, std::uint32_t) override { return true; }
    std::uint64_t barSize(std::uint32_t bar) const override { return bar == 0 ? 0x1000 : 0; }
    std::uint64_t memoryRead(std::uint32_t, std::uint64_t, std::uint32_t) override {
        ++accesses;
        return 0x12345678;
    }
    void memoryWrite(std::uint32_t, std::uint64_t, std::uint32_t, std::uint64_t) override { ++accesses; }
    int accesses = 0;
};

class StandinDeviceAccess : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        handle = kal::pci::plug(function, {0, 0x33, 0, 0});
        ASSERT_NE(handle, nullptr);
        bar = static_cast<char*>(nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(handle, 0), 0x1000, 0));
        ASSERT_NE(bar, nullptr);
    }
    void TearDown() override {
        if (bar != nullptr) {
            nVOKAL230_unmapPhysicalFromKernel(bar, 0);
        }
        kal::pci::unplug(handle);
        LeakCheckedTest::TearDown();
    }
    std::shared_ptr<CountingFunction> function = std::make_shared<CountingFunction>();
    nVOKAL_tHandle handle = nullptr;
    char* bar = nullptr;
};
using StandinDeviceAccessDeathTest = StandinDeviceAccess;

TEST_F(StandinDeviceAccess, AfterAnUnplugTheMappingLastUsedReachesNothing) {
    EXPECT_EQ(nVOKAL100_memoryRead32(bar + 4), 0x12345678u);
    kal::pci::unplug(handle);
    // Plugged again elsewhere: a new function on the bus, which the old
    // mapping does not reach either.
    handle = kal::pci::plug(function, {0, 0x34, 0, 0});
    EXPECT_EQ(nVOKAL100_memoryRead32(bar + 4), 0xFFFFFFFFu);
    nVOKAL100_memoryWrite32(bar + 8, 1);
    EXPECT_EQ(function->accesses, 1);
}

TEST_F(StandinDeviceAccessDeathTest, AnAccessThroughTheAddressLastUsedDiesOnceItIsUnmapped) {
    EXPECT_EQ(nVOKAL100_memoryRead32(bar + 4), 0x12345678u);
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    char* const gone = bar;
    bar = nullptr;
    EXPECT_DEATH(nVOKAL100_memoryRead32(gone + 4), "not mapped");
}

} // namespace
