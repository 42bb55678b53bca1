// What the allocation sweep found, kept as a case.
#include <gtest/gtest.h>

#include "standin/control.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regs/arm_dispatcher.h"
#include "regs_fake_accessor.h"

namespace {

using nVOAPALS100::tStatus;

// A teardown removes every name a map tree registered even out of memory: a name left behind would point
// at the destroyed map (the sub-maps' composed names used to need an allocation each).
TEST(HardeningFindingsMaps, RemovalFromTheDispatcherNeedsNoMemory) {
    kelvo_test::FakeAccessor bus;
    tStatus built;
    kelvo_regmaps::tSolstraIsoTopRegMap solstra(&bus, built);
    kelvo_regmaps::tDuskmereNisoTopRegMap duskmere(&bus, built);
    ASSERT_TRUE(built.isSuccess());
    for (arm::tRegisterMapBase* tree : std::initializer_list<arm::tRegisterMapBase*>{&solstra, &duskmere}) {
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
