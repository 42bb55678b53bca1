// The debug print layer: prefixed lines, assertion reports and the fatal hook.

#include "fatal_hook_capture.h"
#include "nVOKAL.h"
#include "test_support.h"

namespace {

// The prefix of a debug line of this file's driver component.
std::string prefix(const std::string& file, const std::string& line) {
    const std::string shownFile =
        file.size() > 32 ? file.substr(file.size() - 32) : std::string(32 - file.size(), ' ') + file;
    return "[lvo_driver|" + shownFile + "|" + line + "] ";
}

class DebugPrint : public kelvo_test::LeakCheckedTest {};

TEST_F(DebugPrint, PrefixedLineFieldsAreCutOrPaddedToTheirWidthsAndLongLinesCut) {
    const vosdbg_Line shortFile{"dir/file.cpp", 7, "\n"};
    const std::string longFile = "a/very/long/path/that/goes/beyond/the/field/width/source.cpp";
    const vosdbg_Line longRecord{longFile.c_str(), 12345, "\n"};
    vosdbg_appendf(&shortFile, "value %d", 5);
    vosdbg_appendf(&longRecord, "x");
    EXPECT_EQ(kal::log::text(), prefix("dir/file.cpp", "0007") + "value 5\n[lvo_driver|" +
                                    longFile.substr(longFile.size() - 32) + "|2345] x\n");

    // The calling thread's indentation follows the prefix, one space a level.
    for (const uint32_t depth : {1u, 2u}) {
        vosdbg_acquireIndent();
        kal::log::clear();
        vosdbg_appendf(&shortFile, "i");
        EXPECT_EQ(kal::log::text(), prefix("dir/file.cpp", "0007") + std::string(depth, ' ') + "i\n");
    }
    for (int release = 0; release < 3; ++release) {
        vosdbg_releaseIndent();
    }
    EXPECT_EQ(vosdbg_indentDepth(), 0u);

    // A long line is cut to 255 characters, its prefix and line end among them; a plain print is bounded too.
    kal::log::clear();
    const std::string message(400, 'm');
    vosdbg_appendf(&shortFile, "%s", message.c_str());
    vosdbg_printf("%s", message.c_str());
    EXPECT_EQ(kal::log::text(),
              prefix("dir/file.cpp", "0007") + std::string(203, 'm') + "\n" + std::string(255, 'm'));
}

TEST_F(DebugPrint, StringHelpersAlwaysTerminate) {
    char buffer[8];
    const char* parts[] = {"ASSERT(", "left", ",", "==", ",", "right", ")"};
    EXPECT_EQ(vosdbg_concat(buffer, sizeof(buffer), 7, parts), buffer + 7);
    EXPECT_STREQ(buffer, "ASSERT(");

    char small[6];
    vosdbg_VarLineToBuffer toBuffer("f.cpp", 1, small, sizeof(small));
    EXPECT_EQ(toBuffer.appendf("%d-%d", 1234, 5678), sizeof(small));
    EXPECT_STREQ(small, "1234-");
    EXPECT_EQ(kal::log::text(), "") << "a buffer line prints nothing";
}

class AssertionReport : public kelvo_test::LeakCheckedTest {
protected:
    kelvo_test::FatalHookCapture fatal;
};

TEST_F(AssertionReport, ExplanationsAndComparisonOperandsFollowTheExpression) {
    uint64_t unit = 9;
    VOSDBG_ASSERT_F(unit < 6, "Conversion unit is out of range (%lu)", static_cast<unsigned long>(unit));
    std::string text = kal::log::text();
    EXPECT_LT(text.find("ASSERT(unit < 6)\n"), text.find("Conversion unit is out of range (9)\n"));
    EXPECT_EQ(fatal.message(), "ASSERT(unit < 6)");
    EXPECT_TRUE(text.ends_with("]  \n")) << "a closing blank prefixed line: " << text;
    kal::log::clear();
    VOSDBG_ASSERT(unit == 6);
    EXPECT_TRUE(kal::log::text().ends_with("]  \n")) << kal::log::text();

    kal::log::clear();
    uint64_t castValue = 3;
    VOSDBG_ASSERT_CMP(castValue, ==, unit);
    text = kal::log::text();
    const size_t expression = text.find("ASSERT(castValue,==,unit)\n");
    ASSERT_NE(expression, std::string::npos) << text;
    EXPECT_LT(expression, text.find("castValue: 3\n"));
    EXPECT_LT(text.find("castValue: 3\n"), text.find("unit: 9\n"));
    EXPECT_EQ(fatal.message(), "ASSERT(castValue,==,unit)");
    EXPECT_EQ(fatal.count(), 3);
}

TEST(AssertionDeath, DefaultFatalHookHaltsThroughTheKernelLayer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(vosdbg_settings.fatalHook, vosdbg_halt);
    EXPECT_DEATH(
        {
            int value = 1;
            VOSDBG_ASSERT(value == 2);
        },
        "nVOKAL250_halt: \\[vokelvo_driver\\|[^|]*platform_debug_test\\.cpp\\|[0-9]+\\] ASSERT\\(value == "
        "2\\)");
}

} // namespace
