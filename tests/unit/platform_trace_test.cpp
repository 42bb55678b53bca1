// The trace stream: line prefix, indentation, line assembly, hex dump,
// destinations and the scope tracer.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "fatal_hook_capture.h"
#include "nVOKAL.h"
#include "platform/trace.h"
#include "platform/vosdbg.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tTrace;
using kelvo_driver::nVOAPAL000::tTraceDestination;
using kelvo_driver::nVOAPAL000::tTraceScope;

// Records each text handed to it, so chunking is visible.
class CaptureDestination : public tTraceDestination {
public:
    explicit CaptureDestination(const char* name, bool opens = true) : name_(name), opens_(opens) {}
    void write(const char* text) override { writes.emplace_back(text); }
    void write(const char* text, uint64_t length) override { writes.emplace_back(text, length); }
    void describe(char* buffer, uint64_t size, uint64_t* requiredSize) override {
        vosdbg_strlcpy(buffer, name_, size);
        *requiredSize = vosdbg_strlen(name_) + 1;
    }
    bool open() override {
        ++opened;
        return opens_;
    }
    void close() override { ++closed; }
    const char* getName() const override { return name_; }

    std::string all() const {
        std::string text;
        for (const auto& w : writes) {
            text += w;
        }
        return text;
    }

    std::vector<std::string> writes;
    int opened = 0;
    int closed = 0;

private:
    const char* name_;
    bool opens_;
};

class Trace : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        trace_ = new tTrace;
        ASSERT_NE(trace_, nullptr);
    }
    void TearDown() override {
        delete trace_;
        LeakCheckedTest::TearDown();
    }
    // One line of `name` at a scope step (0 none, 1 opens, 2 closes) with `text`.
    void line(const char* name, int scope, const char* text = "") {
        trace_->beginLine(name, 0, 0, nullptr, 0, scope);
        trace_->write(text);
        trace_->endLine();
    }
    // Shows only the name field.
    void nameOnly() {
        trace_->clearShowNumber();
        trace_->clearShowFile();
    }
    tTrace* trace_ = nullptr;
};

TEST_F(Trace, ConsoleIsTheInitialDestinationAndPrintsThroughTheDebugLayer) {
    EXPECT_EQ(trace_->getDestination(), &trace_->consoleDestination());
    trace_->write("hello\n");
    EXPECT_EQ(kal::log::text(), "hello\n");

    kal::log::clear();
    trace_->consoleDestination().write("abcdef", 3);
    EXPECT_EQ(kal::log::text(), "abc");

    char small[8];
    uint64_t required = 0;
    trace_->consoleDestination().describe(small, sizeof(small), &required);
    EXPECT_STREQ(small, " --dest");
    EXPECT_EQ(required, std::string(" --destination apal").size() + 1);
    EXPECT_STREQ(trace_->consoleDestination().getName(), "vosdbg_printf");
}

TEST_F(Trace, PrefixFieldsPadToTheWidthAndAreCutAtIt) {
    nameOnly();
    trace_->beginLine("x", 0, 0, "f.cpp", 0, 0);
    trace_->endLine();
    EXPECT_EQ(kal::log::text(), "[x" + std::string(47, '-') + "] \n");

    // Default fields: name, number and the file's last component.
    kal::log::clear();
    trace_->setShowNumber();
    trace_->setShowFile();
    trace_->beginLine("n", 0, 42, "dir\\sub/file.cpp", 0, 0);
    trace_->endLine();
    const std::string fields = "[n--42--file.cpp";
    EXPECT_EQ(kal::log::text(), fields + std::string(49 - fields.size(), '-') + "] \n");

    // A name longer than the prefix is cut at 49 characters; unbounded it is kept.
    kal::log::clear();
    nameOnly();
    const std::string longName(70, 'q');
    line(longName.c_str(), 0);
    EXPECT_EQ(kal::log::text(), "[" + longName.substr(0, 48) + "] \n");
    kal::log::clear();
    trace_->clearLimitPrefix();
    line(longName.c_str(), 0);
    EXPECT_EQ(kal::log::text(), "[" + longName + "] \n");

    // No field at all: blanks instead of the frame.
    kal::log::clear();
    trace_->setLimitPrefix();
    trace_->clearShowName();
    line("x", 0);
    EXPECT_EQ(kal::log::text(), std::string(49, ' ') + "  \n");
}

TEST_F(Trace, VersionThreadAndSecondNumberFields) {
    trace_->clearShowName();
    trace_->clearShowNumber();
    trace_->clearShowFile();
    trace_->setShowVersion();
    trace_->setShowSecondNumber();
    trace_->setPrefixWidth(0);
    trace_->clearLimitPrefix();
    trace_->beginLine("n", 0x0123C004, 0, nullptr, 77, 0);
    trace_->endLine();
    EXPECT_EQ(kal::log::text(), "[1.2.3f4--77] \n");

    kal::log::clear();
    trace_->setLimitPrefix(); // width 0 with the limit: no prefix at all
    trace_->beginLine("n", 0x0123C004, 0, nullptr, 77, 0);
    trace_->write("m");
    trace_->endLine();
    EXPECT_EQ(kal::log::text(), "m\n");
}

TEST_F(Trace, DepthIndentsScopesAndNeverGoesNegative) {
    nameOnly();
    trace_->setPrefixWidth(3);
    line("a", 2); // closing at depth 0
    EXPECT_EQ(trace_->getDepth(), 0);
    line("a", 0, "plain");
    line("a", 1, "open");
    line("a", 0, "inner");
    line("a", 2, "close");
    EXPECT_EQ(kal::log::text(), "[a] \n[a] plain\n[a] open\n[a]   inner\n[a] close\n");
    EXPECT_EQ(trace_->getDepth(), 0);
}

TEST_F(Trace, ScopeTracerOpensAndClosesALevel) {
    nameOnly();
    trace_->setPrefixWidth(3);
    nVOAPALS100::tStatus status;
    KELVO_SET_STATUS(status, -5);
    const void* object = reinterpret_cast<const void*>(static_cast<uintptr_t>(0xBEEF));
    {
        tTraceScope scope("s", 0, 0, nullptr, 0, "work", object, &status, *trace_);
        EXPECT_EQ(trace_->getDepth(), 1);
        line("s", 0, "body");
    }
    { tTraceScope bare("s", 0, 0, nullptr, 0, nullptr, nullptr, nullptr, *trace_); }
    EXPECT_EQ(kal::log::text(),
              "[s] work; this=0xbeef; tStatus code=-5 {\n[s]   body\n[s] } tStatus code=-5; work\n"
              "[s] {\n[s] } \n");
    EXPECT_EQ(trace_->getDepth(), 0);
}

TEST_F(Trace, LineBufferIsHandedOnWhenFullOrAtNewline) {
    CaptureDestination capture("capture");
    trace_->switchDestination(&capture);
    capture.writes.clear();
    trace_->write(std::string(300, 'a').c_str());
    ASSERT_EQ(capture.writes.size(), 1u);
    EXPECT_EQ(capture.writes[0], std::string(253, 'a'));
    trace_->put('\n');
    ASSERT_EQ(capture.writes.size(), 2u);
    EXPECT_EQ(capture.writes[1], std::string(47, 'a') + "\n");
    trace_->switchDestination(&trace_->consoleDestination());
}

TEST_F(Trace, ValuesAndFormattedText) {
    trace_->writeBool(true).put(' ').writeBool(false).put(' ');
    trace_->writeUnsigned(255, 16).put(' ').writeUnsigned(15, 8).put(' ').writeUnsigned(0).put(' ');
    trace_->writeSigned(INT64_MIN).put(' ').writeSigned(-5, 16).put(' ');
    trace_->writeWide(L"w\x141").put('\n');
    EXPECT_EQ(kal::log::text(), "true(1) false(0) 0xff 8#17 0 -9223372036854775808 -0x5 L\"wA\"\n");

    kal::log::clear();
    trace_->printf("%d-%s", 7, "x");
    trace_->put('\n');
    EXPECT_EQ(kal::log::text(), "7-x\n");

    // Too long for the 256-character buffer: the notice, then what fitted.
    CaptureDestination capture("capture");
    trace_->switchDestination(&capture);
    capture.writes.clear();
    trace_->printf("%s", std::string(300, 'p').c_str());
    trace_->put('\n');
    EXPECT_EQ(capture.all(),
              "!!Formatted string exceeds kMaxTraceLine characters!!" + std::string(255, 'p') + "\n");
    trace_->switchDestination(&trace_->consoleDestination());

    kal::log::clear();
    nVOAPALS100::tStatus status;
    KELVO_SET_STATUS(status, -52000);
    trace_->writeStatus(status);
    EXPECT_EQ(kal::log::text(), "\ntStatus contents:\n\tcode = -52000\n");
}

TEST_F(Trace, DisabledOutputWritesNothing) {
    trace_->clearOutputEnabled();
    trace_->beginLine("x", 0, 0, "f", 0, 0);
    trace_->write("text").printf("%d", 1).writeUnsigned(5);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    trace_->hexDump(bytes, sizeof(bytes), 1);
    trace_->endLine();
    EXPECT_EQ(kal::log::text(), "");
}

std::string addressOf(const void* p) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08" PRIX32, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

TEST_F(Trace, HexDumpGroupsAndPadsPastTheEnd) {
    uint8_t bytes[20];
    for (int i = 0; i < 20; ++i) {
        bytes[i] = static_cast<uint8_t>(0x3E + i); // '>' .. 'Q'
    }
    bytes[1] = 0x07;
    struct Case {
        uint64_t length, group;
        const char* first;  // the first line after the address
        const char* second; // the second line after the address, if any
    };
    const Case cases[] = {
        {20, 1, ": 3E 07 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D : >.@ABCDEFGHIJKLM\n",
         ": 4E 4F 50 51 XX XX XX XX XX XX XX XX XX XX XX XX : NOPQ\n"},
        {20, 4, ": 4140073E 45444342 49484746 4D4C4B4A : >.@ABCDEFGHIJKLM\n",
         ": 51504F4E XX XX XX XX XX XX XX XX XX XX XX XX : NOPQ\n"},
        // A tail shorter than a group is shown byte by byte; nothing is skipped.
        {11, 4, ": 4140073E 45444342 46 47 48 XX XX XX XX XX : >.@ABCDEFGH\n", nullptr},
        {5, 2, ": 073E 4140 42 XX XX XX XX XX XX XX XX XX XX XX : >.@AB\n", nullptr},
        // A group size without a wide form shows every byte.
        {3, 8, ": 3E 07 40 XX XX XX XX XX XX XX XX XX XX XX XX XX : >.@\n", nullptr},
    };
    for (const Case& c : cases) {
        kal::log::clear();
        trace_->hexDump(bytes, c.length, c.group);
        std::string expected = addressOf(bytes) + c.first;
        if (c.second != nullptr) {
            expected += addressOf(bytes + 16) + c.second;
        }
        EXPECT_EQ(kal::log::text(), expected) << c.length << " bytes in groups of " << c.group;
    }
}

TEST_F(Trace, DestinationSwitchRules) {
    trace_->createLock(); // the switch takes the line lock like any line
    ASSERT_TRUE(trace_->getLockCreated());
    CaptureDestination first("first");
    trace_->switchDestination(&first);
    EXPECT_EQ(kal::log::text(), "Switching trace destination to first\n")
        << "the notice goes to the old destination";
    EXPECT_EQ(trace_->getDestination(), &first);
    EXPECT_EQ(first.opened, 1);

    // The same destination: the notice, nothing else.
    trace_->switchDestination(&first);
    EXPECT_EQ(first.all(), "Switching trace destination to first\n");
    EXPECT_EQ(first.opened, 1);
    EXPECT_EQ(first.closed, 0);

    // One that does not open: the current one stays.
    CaptureDestination refusing("refusing", false);
    trace_->switchDestination(&refusing);
    EXPECT_EQ(trace_->getDestination(), &first);
    EXPECT_EQ(refusing.opened, 1);
    EXPECT_EQ(first.closed, 0);

    CaptureDestination second("second");
    trace_->switchDestination(&second);
    EXPECT_EQ(trace_->getDestination(), &second);
    EXPECT_EQ(first.closed, 1);
    line("x", 0);
    EXPECT_EQ(second.writes.size(), 1u);
    trace_->switchDestination(&trace_->consoleDestination());
}

TEST_F(Trace, AssertionReportAndBreak) {
    nameOnly();
    trace_->setShowSecondNumber();
    trace_->setPrefixWidth(0);
    trace_->clearLimitPrefix();
    trace_->reportAssertion("default", "n", 0, 0, nullptr, "m1");
    trace_->reportAssertion("warning", "n", 0, 0, nullptr, "m2");
    trace_->reportAssertion("range", "n", 0, 0, nullptr, "m3");
    EXPECT_EQ(kal::log::text(), "[n--105] ASSERTION FAILED: m1\n[n--105] ASSERTION WARNING: m2\n"
                                "[n--105] ASSERTION FAILED (range): m3\n");

    kelvo_test::FatalHookCapture fatal;
    tTrace::debugBreak("warning");
    EXPECT_EQ(fatal.count(), 0);
    tTrace::debugBreak("default");
    tTrace::debugBreak("other");
    EXPECT_EQ(fatal.count(), 2);
    EXPECT_FALSE(fatal.lineGiven());
    EXPECT_EQ(fatal.message(), "APAL debug break");
}

} // namespace
