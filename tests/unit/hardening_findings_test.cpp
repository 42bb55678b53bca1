// What the hardware-fault and allocation sweeps found, each kept as a case.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "standin/control.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regs/arm_dispatcher.h"
#include "regs_fake_accessor.h"
#include "sim/module.h"

namespace {

using kelvo_test::address;
using kelvo_test::statusOf;
using nVOAPALS100::tStatus;

// A flash busy with a write reads all ones: a sector read then must fail, not be cached for a later flush
// to write back over the real data (it used to wipe "Manufacturing" after a write that timed out).
using HardeningFindingsFlash = kelvo_test::HostedTest;

TEST_F(HardeningFindingsFlash, ASectorIsNotReadWhileTheFlashIsBusy) {
    const int index = add("solstra");
    EXPECT_EQ(resetTo(index, 3), tStatus::kSetupTargetReached); // no sector of the flash cached
    const int reader = open(index);
    sim::SerialFlash& flash = module(index).flash();
    const std::vector<uint8_t> stored = flash.contents();
    const std::string_view name = "Manufacturing_Ver1.0.0d1";
    uint32_t serial = 0; // field 12
    const kelvo_storageMap_getRaw_in in{address(name.data()), name.size(), 12, 0, 0, 1,
                                        address(&serial),     4,           0,  0};
    flash.setStuckBusy(true);
    EXPECT_EQ(statusOf(reader, KELVO_IOCTL_storageMap_getRaw, in), KELVO_STATUS_FLASH_BUSY_TIMEOUT);
    EXPECT_EQ(serial, 0u);
    flash.setStuckBusy(false);
    EXPECT_EQ(statusOf(reader, KELVO_IOCTL_storageMap_getRaw, in), 0);
    EXPECT_EQ(std::memcmp(&serial, stored.data() + 0x8000 + 12, 4), 0);
    EXPECT_EQ(statusOf(reader, KELVO_IOCTL_storageMap_flush,
                       kelvo_storageMap_flush_in{address(name.data()), name.size(), 1, {}, 0}),
              0);
    EXPECT_TRUE(flash.contents() == stored) << "the flash as it was";
    kelvo_close(reader);
    remove(index);
}

// A teardown removes every name a map tree registered even out of memory: a name left behind would point
// at the destroyed map (the sub-maps' composed names used to need an allocation each).
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
