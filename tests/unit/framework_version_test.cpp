// Version values: text forms, packing, ordering and their error codes.
#include <cstdint>
#include <string>

#include "framework/version.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
using voregitools::Version;

std::string text(const Version& version) {
    char buffer[Version::kStringSize];
    tStatus status;
    version.toString(buffer, status);
    EXPECT_TRUE(status.isSuccess());
    return buffer;
}

Version parsed(const char* versionText) {
    tStatus status;
    Version version = Version::parse(versionText, status);
    EXPECT_TRUE(status.isSuccess()) << versionText << " -> " << status.getCode();
    return version;
}

int64_t parseError(const char* versionText) {
    tStatus status;
    Version version = Version::parse(versionText, status);
    EXPECT_EQ(version, voregitools::kNoVersion) << versionText;
    return status.getCode();
}

TEST(FrameworkVersion, DottedAndCompactFormsReadTheSameValue) {
    const Version reference = parsed("1.2.3f45");
    EXPECT_EQ(parsed("01.02.03f045"), reference);
    EXPECT_EQ(parsed("123f45"), reference);
    EXPECT_EQ(text(reference), "1.2.3f45");
    EXPECT_EQ(reference.getFirstWord(), (1u << 24) | (2u << 20) | (3u << 16) | (3u << 14) | 45u);
    EXPECT_EQ(reference.getSecondWord(), 0u);

    // Texts the register maps carry.
    EXPECT_EQ(text(parsed("1.0.0d379")), "1.0.0d379");
    const Version compactLarge = parsed("200a13081315");
    EXPECT_EQ(text(compactLarge), "2.0.0a13081315");
    EXPECT_EQ(compactLarge.getSecondWord(), 13081315u);
}

TEST(FrameworkVersion, EmptyAndNullTextsAreTheNoVersionValue) {
    EXPECT_EQ(parsed(""), voregitools::kNoVersion);
    EXPECT_EQ(parsed(nullptr), voregitools::kNoVersion);
    EXPECT_EQ(text(voregitools::kNoVersion), "0.0.0d0");
}

TEST(FrameworkVersion, MalformedTextsFailAndLeaveTheNoVersionValue) {
    EXPECT_EQ(parseError("1.2.3"), voregitools::kRegiBadVersionText);   // no phase letter
    EXPECT_EQ(parseError("1.2.3f"), voregitools::kRegiBadVersionText);  // no build
    EXPECT_EQ(parseError("1.2"), voregitools::kRegiBadVersionText);     // missing '.'
    EXPECT_EQ(parseError("1234"), voregitools::kRegiBadVersionText);    // short compact form
    EXPECT_EQ(parseError("1"), voregitools::kRegiBadVersionText);
    EXPECT_EQ(parseError("1.2.3x4"), voregitools::kRegiBadVersionText); // phase letter
    EXPECT_EQ(parseError("1.2.3f4z"), voregitools::kRegiBadVersionText); // trailing character
    EXPECT_EQ(parseError("12a3f4"), voregitools::kRegiBadVersionText);  // compact: single digit expected
    EXPECT_EQ(parseError(".1.2f3"), voregitools::kRegiBadVersionText);
    EXPECT_EQ(parseError("1.2.3F4"), voregitools::kRegiBadVersionText);
    EXPECT_EQ(parseError("256.0.0f0"), voregitools::kRegiVersionOutOfRange);
    EXPECT_EQ(parseError("1.16.0f0"), voregitools::kRegiVersionOutOfRange);
    EXPECT_EQ(parseError("1.0.16f0"), voregitools::kRegiVersionOutOfRange);
    // A number too large for 32 bits is out of range, not wrapped.
    EXPECT_EQ(parseError("4294967297.0.0f0"), voregitools::kRegiVersionOutOfRange);
    EXPECT_EQ(parseError("1.0.0f4294967296"), voregitools::kRegiVersionOutOfRange);
    EXPECT_EQ(text(parsed("1.0.0f4294967295")), "1.0.0f4294967295");
}

TEST(FrameworkVersion, ParseErrorsCarryTheirSourceLine) {
    nVOAPALS100::tStatusDebug full;
    Version::parse("1.2", full);
    EXPECT_EQ(full.getCode(), voregitools::kRegiBadVersionText);
    EXPECT_STREQ(full.fileName, "Version");
    EXPECT_EQ(full.lineNumber, 265u);
    nVOAPALS100::tStatusDebug range;
    Version::parse("256.0.0f0", range);
    EXPECT_EQ(range.lineNumber, 174u);
}

TEST(FrameworkVersion, TheBuildMovesToTheSecondWordFrom16384On) {
    const Version small = parsed("255.15.15f16383");
    EXPECT_EQ(small.getFirstWord(), 0xFFFFFFFFu);
    EXPECT_EQ(small.getSecondWord(), 0u);
    tStatus status;
    EXPECT_EQ(small.toPacked(status), 0xFFFFFFFFu);
    EXPECT_TRUE(status.isSuccess());

    const Version large = parsed("1.0.0f16384");
    EXPECT_EQ(large.getSecondWord(), 16384u);
    EXPECT_EQ(large.getFirstWord() & 0x3FFFu, 0u);
    EXPECT_EQ(text(large), "1.0.0f16384");
    EXPECT_EQ(large.toPacked(status), 0u);
    EXPECT_EQ(status.getCode(), voregitools::kRegiVersionDoesNotFit);

    EXPECT_EQ(Version(0x01230000u), parsed("1.2.3d0"));
}

TEST(FrameworkVersion, SetRefusesFieldsOutOfRangeAndKeepsTheValue) {
    tStatus status;
    Version version(1, 2, 3, Version::kPhaseBeta, 7, status);
    ASSERT_TRUE(status.isSuccess());
    version.set(1, 2, 3, 4, 7, status);
    EXPECT_EQ(status.getCode(), voregitools::kRegiVersionOutOfRange);
    EXPECT_EQ(text(version), "1.2.3b7");

    // A status that already holds an error changes nothing.
    version.set(9, 9, 9, 0, 9, status);
    EXPECT_EQ(text(version), "1.2.3b7");
    char buffer[Version::kStringSize] = "untouched";
    version.toString(buffer, status);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(Version::parse("1.2.3f4", status), voregitools::kNoVersion);
    EXPECT_EQ(status.getCode(), voregitools::kRegiVersionOutOfRange);
}

TEST(FrameworkVersion, PhaseLettersBothWays) {
    const char letters[] = {'d', 'a', 'b', 'f'};
    for (uint32_t phase = 0; phase < 4; ++phase) {
        tStatus status;
        EXPECT_EQ(Version::letterFromPhase(phase, status), letters[phase]);
        EXPECT_EQ(Version::phaseFromLetter(letters[phase], status), phase);
        EXPECT_TRUE(status.isSuccess());
    }
    tStatus status;
    EXPECT_EQ(Version::letterFromPhase(4, status), 0);
    EXPECT_EQ(status.getCode(), voregitools::kRegiBadVersionText);
    tStatus other;
    EXPECT_EQ(Version::phaseFromLetter('r', other), 0u);
    EXPECT_EQ(other.getCode(), voregitools::kRegiBadVersionText);
}

TEST(FrameworkVersion, OrderingFollowsTheFieldsFromMajorToBuild) {
    const char* ascending[] = {"0.0.0d0", "0.0.0d1",  "0.0.0a0",     "0.0.0f9",     "0.0.1d0",
                               "0.1.0d0", "1.0.0d0",  "1.0.0f5",     "1.0.0f16383", "1.0.0f16384",
                               "1.0.0f1000000", "1.0.1d0", "255.15.15f16383"};
    const size_t count = sizeof(ascending) / sizeof(ascending[0]);
    for (size_t i = 0; i < count; ++i) {
        for (size_t k = 0; k < count; ++k) {
            const Version left = parsed(ascending[i]);
            const Version right = parsed(ascending[k]);
            EXPECT_EQ(left.isOlderThan(right), i < k) << ascending[i] << " vs " << ascending[k];
            EXPECT_EQ(left.isNewerThan(right), i > k) << ascending[i] << " vs " << ascending[k];
            EXPECT_EQ(left == right, i == k);
            EXPECT_EQ(left != right, i != k);
        }
    }
}

} // namespace
