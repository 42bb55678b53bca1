// What the hardware-fault and allocation sweeps found, each kept as a case
// through the C API.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "core/routing_objects.h"
#include "core_test_levels.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regs/arm_dispatcher.h"
#include "regs_fake_accessor.h"
#include "module.h"

namespace {

using kelvo_test::standIns;
using nVOAPALS100::tStatus;

const kelvo_driver::SetupLevelTable& tableWithRouting() {
    static const kelvo_driver::SetupLevelTable table = [] {
        kelvo_driver::SetupLevelTable t = kelvo_test::testSetupLevelTable();
        t.tasks[15] = kelvo_driver::RoutingObjects::create;
        return t;
    }();
    return table;
}

class HardeningFindings : public kelvo_test::HostedTest {
protected:
    void SetUp() override {
        standIns().reset();
        kelvo_driver::setSetupLevelTableForTests(&tableWithRouting());
        HostedTest::SetUp();
    }
    void TearDown() override {
        HostedTest::TearDown();
        kelvo_driver::setSetupLevelTableForTests(nullptr);
    }
};

// A name buffer too small for the topography's name and its NUL answers
// -52019 and is left as it was (it used to halt the system on the copy).
TEST_F(HardeningFindings, ATopographyNameBufferTooSmallIsRefusedUntouched) {
    const int index = kelvo_host::addModule("solstra");
    ASSERT_GE(index, 0);
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    ASSERT_GE(handle, 0);
    struct Row {
        std::uint32_t size;
        std::int32_t status;
    } const rows[] = {{0, tStatus::kBufferTooSmall},
                      {1, tStatus::kBufferTooSmall},
                      {15, tStatus::kBufferTooSmall},
                      {16, 0},
                      {64, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        std::vector<char> name(64, 'x');
        kelvo_routing_getTopographyName_in in{reinterpret_cast<uintptr_t>(name.data()), row.size, 0};
        kelvo_status_record out{};
        kelvo_ioctl_header header{reinterpret_cast<uintptr_t>(&in),
                                  reinterpret_cast<uintptr_t>(&out),
                                  sizeof(in),
                                  sizeof(out),
                                  0,
                                  0};
        ASSERT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_routing_getTopographyName, &header), 0);
        EXPECT_EQ(out.status, row.status);
        if (row.status == 0) {
            EXPECT_STREQ(name.data(), "KelvoTopography");
            EXPECT_EQ(name[16], 'x');
        } else {
            EXPECT_EQ(name, std::vector<char>(64, 'x'));
        }
    }
    EXPECT_EQ(kelvo_close(handle), 0);
    EXPECT_EQ(kelvo_host_remove_module(static_cast<unsigned>(index)), 0);
}

// A flash busy with a write ignores reads (every byte reads all ones): a
// sector read then must fail, not be cached as the flash's content, which a
// later flush would write back over the real data (it used to wipe the
// "Manufacturing" map after a write that timed out).
class HardeningFindingsFlash : public kelvo_test::HostedTest {};

TEST_F(HardeningFindingsFlash, ASectorIsNotReadWhileTheFlashIsBusy) {
    kelvo_test::ScopedTestLevels levels(kelvo_test::RealLevels::kUpTo3);
    const int index = kelvo_host::addModule("solstra");
    ASSERT_GE(index, 0);
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    ASSERT_GE(handle, 0);
    const auto request = [](int h, uint32_t code, const auto& in) {
        kelvo_status_record out{};
        kelvo_ioctl_header header{reinterpret_cast<uintptr_t>(&in),
                                  reinterpret_cast<uintptr_t>(&out),
                                  sizeof(in),
                                  sizeof(out),
                                  0,
                                  0};
        EXPECT_EQ(kelvo_ioctl(h, code, &header), 0);
        return out.status;
    };
    // Level 3 anew: no sector of the flash is cached.
    kelvo_kdut_reset_in reset{3, 0, 0, 0, 0};
    EXPECT_EQ(request(handle, KELVO_IOCTL_kdut_reset, reset), tStatus::kSetupTargetReached);
    kelvo_close(handle);
    const int reader = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    sim::SerialFlash& flash = kelvo_host::module(static_cast<unsigned>(index))->flash();
    const std::vector<uint8_t> stored = flash.contents();
    const std::string name = "Manufacturing_Ver1.0.0d1";
    uint32_t serial = 0;
    kelvo_storageMap_getRaw_in in{};
    in.nameAddress = reinterpret_cast<uintptr_t>(name.data());
    in.nameLength = name.size();
    in.fieldId = 12; // the serial number
    in.elementCount = 1;
    in.buffer = reinterpret_cast<uintptr_t>(&serial);
    in.elementSize = 4;
    flash.setStuckBusy(true);
    EXPECT_EQ(request(reader, KELVO_IOCTL_storageMap_getRaw, in), static_cast<int32_t>(0xBFFA4081));
    EXPECT_EQ(serial, 0u);
    flash.setStuckBusy(false);
    EXPECT_EQ(request(reader, KELVO_IOCTL_storageMap_getRaw, in), 0);
    EXPECT_EQ(std::memcmp(&serial, stored.data() + 0x8000 + 12, 4), 0);
    // A flush writes back what the flash holds.
    kelvo_storageMap_flush_in flush{reinterpret_cast<uintptr_t>(name.data()), name.size(), 1, {}, 0};
    EXPECT_EQ(request(reader, KELVO_IOCTL_storageMap_flush, flush), 0);
    EXPECT_TRUE(flash.contents() == stored) << "the flash as it was";
    kelvo_close(reader);
    EXPECT_EQ(kelvo_host_remove_module(static_cast<unsigned>(index)), 0);
}

// A teardown removes every name a map tree registered even when memory runs
// out: a name left behind would point at the destroyed map (the composed
// names of the sub-maps used to need an allocation each).
TEST(HardeningFindingsMaps, RemovalFromTheDispatcherNeedsNoMemory) {
    kelvo_test::FakeAccessor bus;
    tStatus built;
    kelvo_regmaps::tSolstraIsoTopRegMap solstra(&bus, built);
    kelvo_regmaps::tDuskmereNisoTopRegMap duskmere(&bus, built);
    ASSERT_TRUE(built.isSuccess());
    for (arm::tRegisterMapBase* tree :
         {static_cast<arm::tRegisterMapBase*>(&solstra), static_cast<arm::tRegisterMapBase*>(&duskmere)}) {
        armki::ARMDispatcher dispatcher;
        tStatus added;
        tree->addToDispatcher(dispatcher, added);
        ASSERT_TRUE(added.isSuccess());
        ASSERT_GT(dispatcher.getNumberOfRegistrations(), 10u);
        tStatus removed;
        kal::memory::failAfter(0);
        tree->removeFromDispatcher(dispatcher, removed);
        kal::memory::clearFaults();
        EXPECT_TRUE(removed.isSuccess());
        EXPECT_EQ(dispatcher.getNumberOfRegistrations(), 0u);
    }
}

} // namespace
