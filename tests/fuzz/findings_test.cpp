// What the fuzzer found, each mended in the driver: the request that showed
// it, at the top level of every board, answers a clear status and writes
// nothing the caller did not offer room for. The inputs themselves are kept
// in regressions/ and replayed by `fuzz_regressions`.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ioctl_fuzz.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"

namespace {

class FuzzFindings : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kelvo_fuzz::Options options;
        options.eventSpacing = 0;
        options.clockScale = 1000;
        options.topLevel = KELVO_SETUP_LEVEL_COMPLETE;
        kelvo_fuzz::start(options);
    }
    static void TearDownTestSuite() { kelvo_fuzz::stop(); }
};

// routing-topography-name-one-short: a name buffer of exactly the name's
// length (no room for its NUL) halted the driver on a copy past the buffer.
TEST_F(FuzzFindings, TheTopographyNameNeedsRoomForItsNul) {
    const std::string name = "KelvoTopography";
    const struct {
        std::uint32_t size;
        std::int32_t status;
        std::string written; // what lands in the buffer; the rest keeps its fill
    } cases[] = {
        {0, -52019, ""},
        {1, -52019, ""},
        {static_cast<std::uint32_t>(name.size()), -52019, ""},
        {static_cast<std::uint32_t>(name.size() + 1), 0, name + '\0'},
        {64, 0, name + '\0'},
    };
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        for (const auto& row : cases) {
            SCOPED_TRACE(kelvo_fuzz::boards()[board] + ", a buffer of " + std::to_string(row.size));
            std::vector<char> buffer(row.size + 8, '\x5A');
            kelvo_routing_getTopographyName_in in{reinterpret_cast<std::uintptr_t>(buffer.data()), row.size,
                                                  0};
            kelvo_status_record out{};
            kelvo_ioctl_header header{reinterpret_cast<std::uintptr_t>(&in),
                                      reinterpret_cast<std::uintptr_t>(&out),
                                      sizeof(in),
                                      sizeof(out),
                                      0,
                                      0};
            ASSERT_EQ(
                kelvo_ioctl(kelvo_fuzz::firstHandle(board), KELVO_IOCTL_routing_getTopographyName, &header),
                0);
            EXPECT_EQ(out.status, row.status);
            std::string expected = row.written;
            expected.resize(buffer.size(), '\x5A');
            EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected);
        }
    }
}

} // namespace
