// The trace stream: indentation, the scope tracer, the line prefix, the writers, the destination.

#include "fatal_hook_capture.h"

#include "nVOKAL.h"
#include "platform/trace.h"
#include "test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;

class Trace : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        trace_ = new tTrace;
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
    tTrace* trace_ = nullptr;
};

// Lines inside a scope are indented; a close at depth 0 stays at 0.
TEST_F(Trace, ScopesIndentAndTheScopeTracerOpensAndClosesALevel) {
    trace_->createLock();
    ASSERT_TRUE(trace_->getLockCreated());
    trace_->clearShowNumber();
    trace_->clearShowFile();
    trace_->setPrefixWidth(3);
    line("a", 2);
    line("a", 1, "open");
    line("a", 0, "inner");
    line("a", 2, "close");
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
              "[a] \n[a] open\n[a]   inner\n[a] close\n"
              "[s] work; this=0xbeef; tStatus code=-5 {\n[s]   body\n[s] } tStatus code=-5; work\n"
              "[s] {\n[s] } \n");
}

// The enabled fields joined by "--", cut or padded with '-' to the width when limited.
TEST_F(Trace, ThePrefixShowsTheEnabledFieldsPaddedToItsWidth) {
    const struct {
        bool name, version, number, file, fullPath, second, limit;
        uint64_t width;
        std::string expected;
    } cases[] = {
        {true, false, false, false, false, false, true, 50, "[x" + std::string(47, '-') + "] "},
        {true, true, true, true, false, true, false, 0, "[x--1.2.3f4--7--f.cpp--105] "},
        {false, true, false, true, true, false, true, 50,
         "[10.1.0a4387--a/b\\f.cpp" + std::string(26, '-') + "] "},
        {true, true, true, true, false, true, true, 10, "[x--1.2.3] "},
        {false, false, false, false, false, false, true, 5, "      "},
        {true, false, false, false, false, false, true, 0, ""},
    };
    for (const auto& c : cases) {
        tTrace trace;
        auto flag = [&](bool on, void (tTrace::*set)(), void (tTrace::*clear)()) {
            (trace.*(on ? set : clear))();
        };
        flag(c.name, &tTrace::setShowName, &tTrace::clearShowName);
        flag(c.version, &tTrace::setShowVersion, &tTrace::clearShowVersion);
        flag(c.number, &tTrace::setShowNumber, &tTrace::clearShowNumber);
        flag(c.file, &tTrace::setShowFile, &tTrace::clearShowFile);
        flag(c.fullPath, &tTrace::setFullPath, &tTrace::clearFullPath);
        flag(c.second, &tTrace::setShowSecondNumber, &tTrace::clearShowSecondNumber);
        flag(c.limit, &tTrace::setLimitPrefix, &tTrace::clearLimitPrefix);
        trace.setPrefixWidth(c.width);
        kal::log::clear();
        trace.beginLine("x", c.version && !c.name ? 0x0A105123 : 0x0123C004, 7, "a/b\\f.cpp", 105, 0);
        trace.endLine();
        EXPECT_EQ(kal::log::text(), c.expected + "\n");
    }
}

// The writers, the hex dump, the assertion report; with output disabled nothing is written.
TEST_F(Trace, WritersFormatTheirValues) {
    static const uint8_t bytes[] = {0x1F, 0x20, 0x7E, 0x7F}; // the printable range's edges
    char address[16];
    std::snprintf(address, sizeof(address),
                  "%08X: ", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bytes)));
    const auto line = [&](const std::string& groups, int missing, const char* text) {
        std::string result = address + groups;
        for (int i = 0; i < missing; ++i) {
            result += "XX ";
        }
        return result + ": " + text + "\n";
    };
    const std::string longText(300, 'm');
    tTrace& t = *trace_;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { t.writeUnsigned(255, 16).put(' ').writeUnsigned(5, 2).put(' ').writeUnsigned(7, 99); },
         "0xff 2#101 7"},
        {[&] { t.writeSigned(-12).writeBool(true).writeBool(false).write("abcdef", 3); },
         "-12true(1)false(0)abc"},
        {[&] { t.writeWide(L"h\x141i"); }, "L\"hAi\""},
        {[&] { t.printf("%s", longText.c_str()); },
         "!!Formatted string exceeds kMaxTraceLine characters!!" + std::string(255, 'm')},
        {[&] { t.hexDump(bytes, 4, 2); }, line("201F 7F7E ", 12, ". ~.")},
        {[&] { t.hexDump(bytes, 4, 4); }, line("7F7E201F ", 12, ". ~.")},
        {[&] { t.hexDump(bytes, 2, 4); }, line("201F ", 14, ". ")},
        {[&] { t.hexDump(bytes, 3, 1); }, line("1F 20 7E ", 13, ". ~")},
        {[&] { t.reportAssertion("default", "a", 0, 0, nullptr, "m"); }, "[a] ASSERTION FAILED: m\n"},
        {[&] { t.reportAssertion("warning", "a", 0, 0, nullptr, "m"); }, "[a] ASSERTION WARNING: m\n"},
        {[&] { t.reportAssertion("odd", "a", 0, 0, nullptr, "m"); }, "[a] ASSERTION FAILED (odd): m\n"},
        {[&] {
             t.clearOutputEnabled();
             t.beginLine("x", 0, 0, "f", 0, 0);
             t.write("text").printf("%d", 1).writeUnsigned(5);
             t.hexDump(bytes, 4, 1);
             t.endLine();
             t.setOutputEnabled();
         },
         ""},
    };
    t.clearShowNumber();
    t.clearShowFile();
    t.setPrefixWidth(3);
    for (const auto& [write, expected] : cases) {
        kal::log::clear();
        write();
        t.put('\n');
        EXPECT_EQ(kal::log::text(), expected + "\n");
    }
    kelvo_test::FatalHookCapture fatal;
    tTrace::debugBreak("warning");
    EXPECT_EQ(fatal.count(), 0);
    tTrace::debugBreak(nullptr);
    EXPECT_EQ(fatal.message(), "APAL debug break");
}

struct RecordingDestination : tTraceDestination {
    RecordingDestination(const char* name, bool opens) : name(name), opens(opens) {}
    void write(const char* text) override { written += text; }
    void write(const char* text, uint64_t length) override { written.append(text, length); }
    void describe(char*, uint64_t, uint64_t*) override {}
    bool open() override { return ++opened, opens; }
    void close() override { ++closed; }
    const char* getName() const override { return name; }
    const char* name;
    bool opens;
    std::string written;
    int opened = 0, closed = 0;
};

// A new destination that opens replaces the old, which is closed; otherwise nothing changes.
TEST_F(Trace, SwitchingTheDestinationOpensTheNewAndClosesTheOld) {
    const struct {
        bool toCurrent, opens, switched;
    } cases[] = {{false, true, true}, {false, false, false}, {true, true, false}};
    for (const auto& c : cases) {
        RecordingDestination current("current", true);
        RecordingDestination other("other", c.opens);
        RecordingDestination& target = c.toCurrent ? current : other;
        trace_->switchDestination(&current);
        current.written.clear();
        trace_->switchDestination(&target);
        EXPECT_EQ(current.written, std::string("Switching trace destination to ") + target.getName() + "\n");
        EXPECT_EQ(std::make_tuple(other.opened, current.closed, other.closed, trace_->getDestination()),
                  std::make_tuple(c.toCurrent ? 0 : 1, c.switched ? 1 : 0, 0,
                                  static_cast<tTraceDestination*>(c.switched ? &other : &current)));
        trace_->switchDestination(&trace_->consoleDestination());
    }
}

} // namespace
