// What the allocation sweep found, kept as a case.
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regs/arm_dispatcher.h"
#include "regs_fake_accessor.h"
#include "status_code.h"
#include "test_support.h"

namespace {

using kelvo_test::codeOf;
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
        ASSERT_EQ(codeOf([&](tStatus& s) { tree->addToDispatcher(dispatcher, s); }), 0);
        ASSERT_GT(dispatcher.getNumberOfRegistrations(), 10u);
        kal::memory::failAfter(0);
        const int64_t removed = codeOf([&](tStatus& s) { tree->removeFromDispatcher(dispatcher, s); });
        kal::memory::clearFaults();
        EXPECT_EQ(std::pair(removed, dispatcher.getNumberOfRegistrations()),
                  std::pair(int64_t{0}, size_t{0}));
    }
}

} // namespace
