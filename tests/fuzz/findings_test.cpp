// What the fuzzer found (the inputs: regressions/): a clear status, nothing written beyond the room offered.
#include <gtest/gtest.h>

#include "ioctl_fuzz.h"
#include "requests.h"

namespace {

// routing-topography-name-one-short: a buffer of the name's length (no room for its NUL) halted the driver.
TEST(FuzzFindings, TheTopographyNameNeedsRoomForItsNul) {
    kelvo_fuzz::start(kelvo_fuzz::Options{0});
    const std::string name = "KelvoTopography";
    const struct {
        std::uint32_t room; // beyond the name's length
        std::int32_t status;
        std::string written; // what lands in the buffer; the rest keeps its fill
    } cases[] = {{0, KELVO_STATUS_BUFFER_TOO_SMALL, ""}, {1, 0, name + '\0'}};
    for (const auto& row : cases) {
        const auto size = static_cast<std::uint32_t>(name.size() + row.room);
        SCOPED_TRACE("a buffer of " + std::to_string(size));
        std::string buffer(size + 8, '\x5A');
        EXPECT_EQ(ask(kelvo_fuzz::firstHandle(0), KELVO_IOCTL_routing_getTopographyName,
                      kelvo_routing_getTopographyName_in{address(buffer.data()), size, 0}),
                  row.status);
        EXPECT_EQ(buffer, row.written + std::string(buffer.size() - row.written.size(), '\x5A'));
    }
    kelvo_fuzz::stop();
}

} // namespace
