// The driver's static initialiser and finaliser table.
#include "platform/cxxruntime.h"
#include "platform/trace.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tTrace;

class RunTime : public kelvo_test::LeakCheckedTest {};

const nVOAPAL200_tInitializer kPlatformTable[] = {nVOAPAL200_initializeTrace};

TEST_F(RunTime, UseCountedLoadCreatesAndUnloadDestroysTheTrace) {
    ASSERT_EQ(nVOAPAL200_cppRunTimeUseCount(), 0u);
    ASSERT_EQ(tTrace::get(), nullptr);

    nVOAPAL200_initializeCPPRunTime(kPlatformTable, 1);
    tTrace* first = tTrace::get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getDestination(), &first->consoleDestination());
    nVOAPAL200_initializeCPPRunTime(kPlatformTable, 1);
    EXPECT_EQ(nVOAPAL200_cppRunTimeUseCount(), 2u);
    EXPECT_EQ(tTrace::get(), first) << "only the first use runs the initialisers";

    nVOAPAL200_finalizeCPPRunTime();
    EXPECT_EQ(tTrace::get(), first) << "finalisers wait for the last use";
    first->clearOutputEnabled();
    nVOAPAL200_finalizeCPPRunTime();
    EXPECT_EQ(nVOAPAL200_cppRunTimeUseCount(), 0u);
    EXPECT_EQ(tTrace::get(), nullptr);
    nVOAPAL200_finalizeCPPRunTime(); // unbalanced: no underflow
    EXPECT_EQ(nVOAPAL200_cppRunTimeUseCount(), 0u);

    // Loaded again, every static starts afresh.
    nVOAPAL200_initializeCPPRunTime(kPlatformTable, 1);
    ASSERT_NE(tTrace::get(), nullptr);
    EXPECT_TRUE(tTrace::get()->getOutputEnabled());
    nVOAPAL200_finalizeCPPRunTime();
    EXPECT_EQ(tTrace::get(), nullptr);
}

} // namespace
