// The status object: storing and merge rules and the two forms; the translation of kernel-layer results into platform codes and back.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client_pages.h"
#include "nVOKAL.h"
#include "platform/kal_status.h"
#include "platform/status.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
using nVOAPALS100::tStatusDebug;

// A string whose terminator is the last byte before a page without access: a
// read one past the terminator faults, with or without a sanitizer.
const char* atPageEnd(kelvo_test::ClientPages& pages, const char* text) {
    const size_t size = std::strlen(text) + 1;
    return static_cast<const char*>(std::memcpy(pages.at(kelvo_test::pageSize() - size), text, size));
}

TEST(Status, StoringRuleKeepsFirstErrorAndLetsErrorReplaceWarning) {
    tStatus s;
    EXPECT_EQ(s.sizeWord, 16u);
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

TEST(Status, FullFormKeepsOriginAndShortensLongNames) {
    tStatusDebug d;
    EXPECT_EQ(d.sizeWord, 216u);
    std::string file101(101, 'a');
    for (int i = 0; i < 101; ++i) {
        file101[i] = static_cast<char>('A' + i % 26);
    }
    EXPECT_TRUE(nVOAPAL200_setStatus(&d, -52005, "abcdefghijklmn", file101.c_str(), 42));
    EXPECT_STREQ(d.componentName, "abcdefghi");
    std::string expected = file101.substr(0, 49) + ".." + file101.substr(101 - 49);
    EXPECT_EQ(std::string(d.fileName), expected);
    EXPECT_EQ(std::strlen(d.fileName), 100u);
    EXPECT_EQ(d.lineNumber, 42u);

    tStatusDebug e;
    std::string file100(100, 'x');
    nVOAPAL200_setStatus(&e, 2, "c", file100.c_str(), 1);
    EXPECT_EQ(std::string(e.fileName), file100);
}

// The name field holds nine characters and its terminator, whatever the
// source's length, and the file name after it stays as given. Both sources
// end at a page end: nothing past a terminator is read.
TEST(Status, ComponentNamesAreCutToTheirField) {
    const struct {
        const char* name;
        const char* stored;
    } cases[] = {
        {"", ""}, {"abcdefghi", "abcdefghi"}, {"abcdefghij", "abcdefghi"}, {"abcdefghijk", "abcdefghi"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kelvo_test::ClientPages namePage("wn");
        kelvo_test::ClientPages filePage("wn");
        tStatusDebug set;
        nVOAPAL200_setStatus(&set, -1, atPageEnd(namePage, c.name), atPageEnd(filePage, "f.cpp"), 7);
        tStatusDebug merged;
        nVOAPAL200_mergeStatus(&merged, &set);
        for (const tStatusDebug* d : {&set, &merged}) {
            EXPECT_EQ(std::string(d->componentName, sizeof(d->componentName)),
                      std::string(c.stored) +
                          std::string(sizeof(d->componentName) - std::strlen(c.stored), '\0'));
            EXPECT_STREQ(d->fileName, "f.cpp");
        }
    }
}

TEST(Status, MergeRules) {
    // Short source into a full destination: code with empty origin.
    tStatus shortSource;
    KELVO_SET_STATUS(shortSource, -52007);
    tStatusDebug full;
    nVOAPAL200_setStatus(&full, 4, "warn", "w.cpp", 9);
    EXPECT_TRUE(nVOAPAL200_mergeStatus(&full, &shortSource));
    EXPECT_EQ(full.getCode(), -52007);
    EXPECT_STREQ(full.componentName, "");
    EXPECT_STREQ(full.fileName, "");
    EXPECT_EQ(full.lineNumber, 0u);

    // Full into full copies the stack up to and including the first 0 entry.
    tStatusDebug source;
    nVOAPAL200_setStatus(&source, -1, "src", "s.cpp", 3);
    source.stackTrace[0] = 0x10;
    source.stackTrace[1] = 0x20;
    source.stackTrace[2] = 0;
    source.stackTrace[3] = 0x99;
    tStatusDebug destination;
    destination.stackTrace[3] = 0x77;
    EXPECT_TRUE(nVOAPAL200_mergeStatus(&destination, &source));
    EXPECT_EQ(destination.stackTrace[0], 0x10u);
    EXPECT_EQ(destination.stackTrace[1], 0x20u);
    EXPECT_EQ(destination.stackTrace[2], 0u);
    EXPECT_EQ(destination.stackTrace[3], 0x77u);
    EXPECT_STREQ(destination.fileName, "s.cpp");

    // Into a destination that already holds an error: nothing, no stack copied.
    tStatusDebug holding;
    nVOAPAL200_setStatus(&holding, -9, "h", "h.cpp", 1);
    EXPECT_FALSE(nVOAPAL200_mergeStatus(&holding, &source));
    EXPECT_EQ(holding.getCode(), -9);
    EXPECT_EQ(holding.stackTrace[0], 0u);
}

TEST(Status, CopiesKeepTheirOwnForm) {
    // A full record handed in by a caller, copied into a short local: the local
    // stays short, so a later set cannot write detail fields it does not have.
    tStatusDebug caller;
    nVOAPAL200_setStatus(&caller, 3, "c", "f.cpp", 1);
    const tStatus& asShort = caller;
    tStatus local = asShort;
    EXPECT_EQ(local.sizeWord, 16u);
    EXPECT_EQ(local.getCode(), 3);
    tStatus assigned;
    assigned = asShort;
    EXPECT_EQ(assigned.sizeWord, 16u);
    EXPECT_TRUE(KELVO_SET_STATUS(assigned, -1));

    tStatusDebug copy = caller;
    EXPECT_EQ(copy.sizeWord, 216u);
    EXPECT_STREQ(copy.fileName, "f.cpp");
    tStatusDebug other;
    other = caller;
    EXPECT_EQ(other.sizeWord, 216u);
    EXPECT_EQ(other.lineNumber, 1u);
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
