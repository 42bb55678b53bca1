// The status's storing rule, origin, merge and dump; kernel-layer code translation.

#include "platform/kal_status.h"
#include "platform/status.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
using nVOAPALS100::tStatusDebug;

// 0 never stores, nor does a warning over a warning or anything over an error; an error replaces a warning.
TEST(Status, StoringRuleKeepsFirstErrorAndLetsErrorReplaceWarning) {
    tStatus s;
    const int64_t codes[] = {0, 5, 7, KELVO_STATUS_OUT_OF_MEMORY, KELVO_STATUS_INVALID_PARAMETER, 3, 0};
    std::vector<bool> stored;
    for (int64_t code : codes) {
        stored.push_back(nVOAPAL200_setStatus(&s, code, "c", "f", 1));
    }
    EXPECT_EQ(stored, (std::vector<bool>{false, true, false, true, false, false, false}));
    EXPECT_EQ(std::make_tuple(s.getCode(), s.isFatal(), nVOAPAL200_statusIsNotFatal(&s)),
              std::make_tuple(int64_t{KELVO_STATUS_OUT_OF_MEMORY}, true, false));
}

// A text of n characters in which every position shows.
std::string textOf(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += static_cast<char>('!' + i % 90);
    }
    return text;
}

// At most 9 characters of the component; a file over 100 keeps 49, "..", and the last 49.
// A copy, constructed or assigned, keeps the whole origin.
TEST(Status, AFullRecordShortensTheOriginItKeeps) {
    const struct { size_t component, file; } cases[] = {{14, 100}, {9, 101}, {3, 180}, {0, 0}};
    for (const auto& c : cases) {
        const std::string component = textOf(c.component);
        const std::string file = textOf(c.file);
        const std::string keptFile =
            file.size() <= 100 ? file : file.substr(0, 49) + ".." + file.substr(file.size() - 49);
        tStatusDebug status;
        EXPECT_TRUE(nVOAPAL200_setStatus(&status, -7, component.c_str(), file.c_str(), 42));
        status.stackTrace[0] = 0x1234;
        tStatusDebug assigned;
        nVOAPAL200_setStatus(&assigned, -1, "other", "other.cpp", 1);
        assigned = status;
        for (const tStatusDebug* record : {&status, &assigned}) {
            const tStatusDebug copy(*record);
            for (const tStatusDebug* kept : {record, &copy}) {
                EXPECT_EQ(kept->componentName, component.substr(0, 9));
                EXPECT_EQ(kept->fileName, keptFile);
                EXPECT_EQ(std::make_tuple(kept->getCode(), kept->lineNumber, kept->stackTrace[0]),
                          std::make_tuple(int64_t{-7}, uint64_t{42}, uint64_t{0x1234}));
            }
        }
    }
}

// Merge stores by the rule, with a full source's origin and stack up to its first 0 entry.
TEST(Status, MergeTakesTheSourcesOriginAndStackByTheStoringRule) {
    const struct {
        bool fullSource;
        int64_t destination; // the destination's code before
        bool stored;
        size_t stackEntries; // non-zero entries of the source's stack
    } cases[] = {{true, 0, true, 2}, {true, 3, true, 10}, {false, 0, true, 0}, {true, -1, false, 2}};
    for (const auto& c : cases) {
        tStatusDebug source;
        tStatus shortSource;
        nVOAPAL200_setStatus(&source, KELVO_STATUS_OUT_OF_MEMORY, "source", "s.cpp", 9);
        shortSource.merge(source);
        for (size_t k = 0; k < 10; ++k) {
            source.stackTrace[k] = k < c.stackEntries ? 0x100 + k : 0;
        }
        tStatusDebug destination;
        nVOAPAL200_setStatus(&destination, c.destination, "before", "d.cpp", 1);
        std::fill(std::begin(destination.stackTrace), std::end(destination.stackTrace), 0xDEAD);
        const nVOAPALS100_tStatus& from = c.fullSource ? static_cast<tStatus&>(source) : shortSource;
        EXPECT_EQ(nVOAPAL200_mergeStatus(&destination, &from), c.stored);
        EXPECT_EQ(destination.getCode(), c.stored ? int64_t{KELVO_STATUS_OUT_OF_MEMORY} : c.destination);
        const bool origin = c.stored && c.fullSource;
        EXPECT_STREQ(destination.componentName, origin ? "source" : c.stored ? "" : "before");
        EXPECT_EQ(destination.lineNumber, origin ? 9u : c.stored ? 0u : 1u);
        for (size_t k = 0; k < 10; ++k) {
            const uint64_t expected = !origin               ? (c.stored && k == 0 ? 0 : 0xDEAD)
                                      : k <= c.stackEntries ? source.stackTrace[k]
                                                            : 0xDEAD;
            EXPECT_EQ(destination.stackTrace[k], expected) << k;
        }
    }
}

// The code, a full record's origin and stack; -1 when the text and its NUL do not fit.
TEST(Status, TheDumpFitsExactlyOrIsRefused) {
    const struct {
        bool full;
        int64_t code;
        size_t stackEntries;
    } cases[] = {{false, -5, 0}, {true, 0, 3}, {true, KELVO_STATUS_OUT_OF_MEMORY, 2}, {true, 7, 10}};
    for (const auto& c : cases) {
        tStatusDebug full;
        tStatus plain;
        nVOAPAL200_setStatus(&full, c.code, "comp", "f.cpp", 12);
        nVOAPAL200_setStatus(&plain, c.code, "comp", "f.cpp", 12);
        for (size_t k = 0; k < c.stackEntries; ++k) {
            full.stackTrace[k] = 0xA0 + k;
        }
        char line[64];
        std::snprintf(line, sizeof line, "\ntStatus contents:\n\tcode = %ld\n", static_cast<long>(c.code));
        std::string expected = line;
        if (c.full && c.code != 0) {
            expected += "\tcomponent name = comp\n\tfile name: f.cpp\n\tline number = 12\n\tstack trace:\n";
            for (size_t k = 0; k <= c.stackEntries && k < 10; ++k) {
                std::snprintf(line, sizeof line, "\t\t0x%016lx\n",
                              static_cast<unsigned long>(full.stackTrace[k]));
                expected += line;
            }
        }
        const nVOAPALS100_tStatus& record = c.full ? static_cast<tStatus&>(full) : plain;
        std::vector<char> buffer(expected.size() + 1, 'x');
        EXPECT_EQ(nVOAPAL200_formatStatus(&record, buffer.data(), buffer.size()),
                  static_cast<int64_t>(expected.size()));
        EXPECT_EQ(std::string(buffer.data()), expected);
        EXPECT_EQ(nVOAPAL200_formatStatus(&record, buffer.data(), expected.size()), -1)
            << "one character short";
    }
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

// The timeout differs each way; what has no row becomes the catch-all.
TEST(KalStatus, CodesTranslateBothWaysAndAKernelResultSetsItsOrigin) {
    for (const auto& [platform, kernel] : kSharedRows) {
        EXPECT_EQ(nVOAPAL200_statusToKALStatus(platform), kernel) << "out " << platform;
        EXPECT_EQ(nVOAPAL200_statusFromKALStatus(kernel), platform) << "in " << kernel;
    }
    const std::pair<int64_t, int32_t> out[] = {{KELVO_STATUS_TIMED_OUT, -51550},
                                               {KELVO_STATUS_SESSION_CLOSING, -51001},
                                               {1, -51001},
                                               {INT64_MIN, -51001}};
    for (const auto& [platform, kernel] : out) {
        EXPECT_EQ(nVOAPAL200_statusToKALStatus(platform), kernel) << "out " << platform;
    }
    const std::pair<int32_t, int64_t> in[] = {{-51400, KELVO_STATUS_TIMED_OUT},
                                              {-51550, KELVO_STATUS_UNEXPECTED_KERNEL_RESULT},
                                              {-51001, KELVO_STATUS_UNEXPECTED_KERNEL_RESULT},
                                              {1, KELVO_STATUS_UNEXPECTED_KERNEL_RESULT}};
    for (const auto& [kernel, platform] : in) {
        EXPECT_EQ(nVOAPAL200_statusFromKALStatus(kernel), platform) << "in " << kernel;
    }
    // Set from kernel results, the first error stays, with its origin.
    tStatusDebug status;
    nVOAPAL200_setStatusFromKALStatus(-51409, &status, "b.cpp", 7);
    nVOAPAL200_setStatusFromKALStatus(-51352, &status, "c.cpp", 9);
    EXPECT_EQ(std::make_tuple(status.getCode(), std::string(status.componentName),
                              std::string(status.fileName), status.lineNumber),
              std::make_tuple(int64_t{KELVO_STATUS_BUFFER_TOO_SMALL}, std::string("vokelvo_d"),
                              std::string("b.cpp"), 7u));
}

} // namespace
