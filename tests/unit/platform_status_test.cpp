// The status object's storing rule; the translation of kernel-layer results
// into platform codes and back.
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

#include "nVOKAL.h"
#include "platform/kal_status.h"
#include "platform/status.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
using nVOAPALS100::tStatusDebug;

TEST(Status, StoringRuleKeepsFirstErrorAndLetsErrorReplaceWarning) {
    tStatus s;
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, 0, "c", "f", 1)) << "setting 0 never stores";
    EXPECT_TRUE(nVOAPAL200_setStatus(&s, 5, "c", "f", 1));
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, 7, "c", "f", 1)) << "a warning never replaces a warning";
    EXPECT_EQ(s.getCode(), 5);
    EXPECT_TRUE(nVOAPAL200_setStatus(&s, -52000, "c", "f", 1));
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, -52005, "c", "f", 1));
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, 3, "c", "f", 1));
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, 0, "c", "f", 1));
    EXPECT_EQ(s.getCode(), -52000);
    EXPECT_TRUE(s.isFatal());
    EXPECT_FALSE(nVOAPAL200_statusIsNotFatal(&s));
    s.clear();
    EXPECT_TRUE(s.isSuccess());
}

// {platform code, kernel-layer code}, the rows both tables share.
const std::vector<std::pair<int64_t, int32_t>> kSharedRows = {
    {0, 0},           {-52000, -51352}, {-52001, -51353}, {-52002, -51256},
    {-52003, -51150}, {-52005, -51009}, {-52006, -51101}, {-52008, -51202},
    {-52010, -51104}, {-52013, -51000}, {-52018, -51152}, {-52019, -51409},
    {-52020, -51300}, {-52023, -51405}, {-52024, -51401}, {-52031, -51106},
};

TEST(KalStatus, SharedRowsTranslateBothWays) {
    for (const auto& [platform, kernel] : kSharedRows) {
        EXPECT_EQ(nVOAPAL200_statusToKALStatus(platform), kernel) << "out " << platform;
        EXPECT_EQ(nVOAPAL200_statusFromKALStatus(kernel), platform) << "in " << kernel;
    }
}

TEST(KalStatus, TimeoutIsNotSymmetric) {
    EXPECT_EQ(nVOAPAL200_statusToKALStatus(-52007), -51550);
    EXPECT_EQ(nVOAPAL200_statusFromKALStatus(-51400), -52007);
    EXPECT_EQ(nVOAPAL200_statusFromKALStatus(-51550), -52008);
    EXPECT_EQ(nVOAPAL200_statusToKALStatus(nVOAPAL200_statusFromKALStatus(-51400)), -51550);
}

TEST(KalStatus, CodesOutsideTheTablesBecomeTheCatchAll) {
    // Outgoing: platform codes without a row, warnings and driver codes.
    for (int64_t code : {int64_t{-52009}, int64_t{-52022}, int64_t{-52025}, int64_t{-52017}, int64_t{-52004},
                         int64_t{1}, int64_t{52000}, kelvoDriverCode(0xBFFA9179), kelvoDriverCode(0xBFFA4308),
                         int64_t{-240000}, int64_t{INT64_MIN}}) {
        EXPECT_EQ(nVOAPAL200_statusToKALStatus(code), -51001) << code;
    }
    // Incoming: kernel codes without a row, the outgoing catch-all and positive results.
    for (int32_t code : {-51001, -51002, -51550, -51399, -52000, 1, 51352, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(nVOAPAL200_statusFromKALStatus(code), -52008) << code;
    }
}

TEST(KalStatus, SettingFromAKernelResultFollowsTheStoringRule) {
    tStatusDebug status;
    nVOAPAL200_setStatusFromKALStatus(0, &status, "a.cpp", 1);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_STREQ(status.fileName, "") << "0 leaves the status unchanged";

    nVOAPAL200_setStatusFromKALStatus(-51409, &status, "b.cpp", 7);
    EXPECT_EQ(status.getCode(), -52019);
    EXPECT_STREQ(status.componentName, "vokelvo_d");
    EXPECT_STREQ(status.fileName, "b.cpp");
    EXPECT_EQ(status.lineNumber, 7u);

    nVOAPAL200_setStatusFromKALStatus(-51352, &status, "c.cpp", 9);
    EXPECT_EQ(status.getCode(), -52019) << "the first error stays";

    tStatus warned;
    KELVO_SET_STATUS(warned, 3);
    KELVO_SET_STATUS_FROM_KAL(warned, -12345);
    EXPECT_EQ(warned.getCode(), -52008) << "an error replaces a warning";
}

} // namespace
