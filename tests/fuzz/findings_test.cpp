// What the fuzzer found (the inputs: regressions/), on every board: a clear status, nothing written beyond
// the room offered.
#include <gtest/gtest.h>

#include "ioctl_fuzz.h"
#include "requests.h"

namespace {

class FuzzFindings : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kelvo_fuzz::start(kelvo_fuzz::Options{0}); }
    static void TearDownTestSuite() { kelvo_fuzz::stop(); }
};

// routing-topography-name-one-short: a buffer of the name's length (no room for its NUL) halted the driver.
TEST_F(FuzzFindings, TheTopographyNameNeedsRoomForItsNul) {
    const std::string name = "KelvoTopography";
    const struct {
        std::uint32_t size;
        std::int32_t status;
        std::string written; // what lands in the buffer; the rest keeps its fill
    } cases[] = {
        {0, KELVO_STATUS_BUFFER_TOO_SMALL, ""},
        {static_cast<std::uint32_t>(name.size()), KELVO_STATUS_BUFFER_TOO_SMALL, ""},
        {static_cast<std::uint32_t>(name.size() + 1), 0, name + '\0'},
        {64, 0, name + '\0'},
    };
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        for (const auto& row : cases) {
            SCOPED_TRACE(kelvo_fuzz::boards()[board] + ", a buffer of " + std::to_string(row.size));
            std::string buffer(row.size + 8, '\x5A');
            EXPECT_EQ(ask(kelvo_fuzz::firstHandle(board), KELVO_IOCTL_routing_getTopographyName,
                          kelvo_routing_getTopographyName_in{address(buffer.data()), row.size, 0}),
                      row.status);
            std::string expected = row.written;
            expected.resize(buffer.size(), '\x5A');
            EXPECT_EQ(buffer, expected);
        }
    }
}

} // namespace
