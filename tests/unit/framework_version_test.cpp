// Version values: text forms, packing, ordering and their error codes.
#include "framework/routing_interface.h"
#include "framework/version.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
using voregitools::Version;

std::string text(const Version& version) {
    char buffer[Version::kStringSize];
    tStatus status;
    version.toString(buffer, status);
    return buffer;
}

Version parsed(const char* versionText) {
    tStatus status;
    Version version = Version::parse(versionText, status);
    EXPECT_TRUE(status.isSuccess()) << versionText << " -> " << status.getCode();
    return version;
}

// Dotted and compact forms read the same value; a malformed text fails and leaves the no-version value. The
// packed form is the first word; a build of 16384 or more moves to the second word and does not pack.
TEST(FrameworkVersion, TextsReadOrFailWithTheirCodeAndPackIntoTheFirstWord) {
    const struct {
        const char* text;
        int64_t code;
        const char* shown = nullptr;
        uint32_t second = 0;
    } cases[] = {
        {"1.2.3f45", 0, "1.2.3f45"},
        {"255.15.15f16383", 0, "255.15.15f16383"},
        {"1.0.0f16384", 0, "1.0.0f16384", 16384},
        {"01.02.03f045", 0, "1.2.3f45"},
        {"123f45", 0, "1.2.3f45"},
        {"200a13081315", 0, "2.0.0a13081315", 13081315}, // a register map's text
        {"", 0, "0.0.0d0"},
        {nullptr, 0, "0.0.0d0"},
        {"1.2.3x4", voregitools::kRegiBadVersionText},
        {"1.2.3f4z", voregitools::kRegiBadVersionText},
        {"256.0.0f0", voregitools::kRegiVersionOutOfRange},
        {"1.16.0f0", voregitools::kRegiVersionOutOfRange},
        // A number too large for 32 bits is out of range, not wrapped.
        {"4294967297.0.0f0", voregitools::kRegiVersionOutOfRange},
        {"1.0.0f4294967296", voregitools::kRegiVersionOutOfRange},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        tStatus status;
        const Version version = Version::parse(c.text, status);
        EXPECT_EQ(status.getCode(), c.code);
        if (c.code != 0) {
            EXPECT_EQ(version, voregitools::kNoVersion);
        } else {
            EXPECT_EQ(text(version), c.shown);
            tStatus packing;
            EXPECT_EQ(std::pair(version.getSecondWord(), version.toPacked(packing)),
                      std::pair(c.second, c.second != 0 ? 0u : version.getFirstWord()));
            EXPECT_EQ(packing.getCode(), c.second != 0 ? voregitools::kRegiVersionDoesNotFit : 0);
        }
    }
    EXPECT_EQ(parsed("1.2.3f45").getFirstWord(), (1u << 24) | (2u << 20) | (3u << 16) | (3u << 14) | 45u);
    EXPECT_EQ(parsed("255.15.15f16383").getFirstWord(), 0xFFFFFFFFu);
}

TEST(FrameworkVersion, OrderingFollowsTheFieldsFromMajorToBuild) {
    // A build of 16384 or more orders by its value, not as a 0 in the first word.
    const char* ascending[] = {"0.0.0d0",     "0.0.0d1",     "0.0.0a0", "0.0.0f9",
                               "0.0.1d0",     "0.1.0d0",     "1.0.0d0", "1.0.0f5",
                               "1.0.0f16383", "1.0.0f16384", "1.0.1d0", "255.15.15f16383"};
    for (size_t i = 0; i < std::size(ascending); ++i) {
        for (size_t k = 0; k < std::size(ascending); ++k) {
            const Version left = parsed(ascending[i]);
            const Version right = parsed(ascending[k]);
            EXPECT_EQ(left.isOlderThan(right), i < k) << ascending[i] << " vs " << ascending[k];
            EXPECT_EQ(left.isNewerThan(right), i > k) << ascending[i] << " vs " << ascending[k];
            EXPECT_EQ(left == right, i == k);
        }
    }
}

// The routing codes a caller sees (they are no catalogue codes of the driver).
TEST(FrameworkCodes, RoutingCodesKeepTheirValues) {
    EXPECT_EQ(voark::kTerminalDrivenByReservedRoute, -89127);
    EXPECT_EQ(voark::kNoResetEdge, -89128);
    EXPECT_EQ(voark::kRouteConflict, -89137);
}

} // namespace
