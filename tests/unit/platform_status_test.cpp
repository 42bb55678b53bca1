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
    EXPECT_TRUE(nVOAPAL200_setStatus(&s, KELVO_STATUS_OUT_OF_MEMORY, "c", "f", 1));
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, KELVO_STATUS_INVALID_PARAMETER, "c", "f", 1));
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, 3, "c", "f", 1));
    EXPECT_FALSE(nVOAPAL200_setStatus(&s, 0, "c", "f", 1));
    EXPECT_EQ(s.getCode(), KELVO_STATUS_OUT_OF_MEMORY);
    EXPECT_TRUE(s.isFatal());
    EXPECT_FALSE(nVOAPAL200_statusIsNotFatal(&s));
    s.clear();
    EXPECT_TRUE(s.isSuccess());
}

// {platform code, kernel-layer code}, the rows both tables share.
const std::vector<std::pair<int64_t, int32_t>> kSharedRows = {
    {0, 0},
    {KELVO_STATUS_OUT_OF_MEMORY, -51352},
    {KELVO_STATUS_PAGE_LOCK_FAILED, -51353},
    {KELVO_STATUS_NOT_IMPLEMENTED, -51256},
    {KELVO_STATUS_UNSUPPORTED_VALUE, -51150},
    {KELVO_STATUS_INVALID_PARAMETER, -51009},
    {KELVO_STATUS_NOT_ACCESSIBLE, -51101},
    {KELVO_STATUS_UNEXPECTED_KERNEL_RESULT, -51202},
    {KELVO_STATUS_SETUP_TARGET_REACHED, -51104},
    {KELVO_STATUS_KERNEL_FAILURE, -51000},
    {KELVO_STATUS_UNSUPPORTED_FORMAT, -51152},
    {KELVO_STATUS_BUFFER_TOO_SMALL, -51409},
    {KELVO_STATUS_INVALID_STATE, -51300},
    {KELVO_STATUS_CANCELLED, -51405},
    {KELVO_STATUS_ABORTED, -51401},
    {KELVO_STATUS_BUSY, -51106},
};

TEST(KalStatus, SharedRowsTranslateBothWays) {
    for (const auto& [platform, kernel] : kSharedRows) {
        EXPECT_EQ(nVOAPAL200_statusToKALStatus(platform), kernel) << "out " << platform;
        EXPECT_EQ(nVOAPAL200_statusFromKALStatus(kernel), platform) << "in " << kernel;
    }
}

TEST(KalStatus, TimeoutIsNotSymmetric) {
    EXPECT_EQ(nVOAPAL200_statusToKALStatus(KELVO_STATUS_TIMED_OUT), -51550);
    EXPECT_EQ(nVOAPAL200_statusFromKALStatus(-51400), KELVO_STATUS_TIMED_OUT);
    EXPECT_EQ(nVOAPAL200_statusFromKALStatus(-51550), KELVO_STATUS_UNEXPECTED_KERNEL_RESULT);
    EXPECT_EQ(nVOAPAL200_statusToKALStatus(nVOAPAL200_statusFromKALStatus(-51400)), -51550);
}

TEST(KalStatus, CodesOutsideTheTablesBecomeTheCatchAll) {
    // Outgoing: platform codes without a row (-52004 is raised by no one), warnings and driver codes.
    for (int64_t code : {int64_t{KELVO_STATUS_SESSION_CLOSING}, int64_t{KELVO_STATUS_IO_GATE_CLOSED},
                         int64_t{KELVO_STATUS_WAIT_INTERRUPTED}, int64_t{KELVO_STATUS_NO_DMA_CONFIGURATION},
                         int64_t{-52004}, // literal on purpose
                         int64_t{1}, int64_t{52000}, int64_t{KELVO_STATUS_SESSION_INVALIDATED},
                         int64_t{KELVO_STATUS_NOT_OFFERED}, int64_t{KELVO_STATUS_CLIENT_VERSION_TOO_OLD},
                         int64_t{INT64_MIN}}) {
        EXPECT_EQ(nVOAPAL200_statusToKALStatus(code), -51001) << code;
    }
    // Incoming: kernel codes without a row, the outgoing catch-all and positive results.
    for (int32_t code : {-51001, -51002, -51550, -51399, int32_t{KELVO_STATUS_OUT_OF_MEMORY}, 1, 51352,
                         INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(nVOAPAL200_statusFromKALStatus(code), KELVO_STATUS_UNEXPECTED_KERNEL_RESULT) << code;
    }
}

TEST(KalStatus, SettingFromAKernelResultFollowsTheStoringRule) {
    tStatusDebug status;
    nVOAPAL200_setStatusFromKALStatus(0, &status, "a.cpp", 1);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_STREQ(status.fileName, "") << "0 leaves the status unchanged";

    nVOAPAL200_setStatusFromKALStatus(-51409, &status, "b.cpp", 7);
    EXPECT_EQ(status.getCode(), KELVO_STATUS_BUFFER_TOO_SMALL);
    EXPECT_STREQ(status.componentName, "vokelvo_d");
    EXPECT_STREQ(status.fileName, "b.cpp");
    EXPECT_EQ(status.lineNumber, 7u);

    nVOAPAL200_setStatusFromKALStatus(-51352, &status, "c.cpp", 9);
    EXPECT_EQ(status.getCode(), KELVO_STATUS_BUFFER_TOO_SMALL) << "the first error stays";

    tStatus warned;
    KELVO_SET_STATUS(warned, 3);
    KELVO_SET_STATUS_FROM_KAL(warned, -12345);
    EXPECT_EQ(warned.getCode(), KELVO_STATUS_UNEXPECTED_KERNEL_RESULT) << "an error replaces a warning";
}

} // namespace
