// The trace stream: indentation, the scope tracer, the line lock, disabled output.
#include "nVOKAL.h"
#include "platform/trace.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tTrace;
using kelvo_driver::nVOAPAL000::tTraceScope;

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
    tTrace* trace_ = nullptr;
};

// Lines that open a scope indent the lines inside it; a close at depth 0 stays
// at 0. Lines are written under the line lock once it exists.
TEST_F(Trace, ScopesIndentAndTheScopeTracerOpensAndClosesALevel) {
    trace_->createLock();
    ASSERT_TRUE(trace_->getLockCreated());
    trace_->clearShowNumber();
    trace_->clearShowFile();
    trace_->setPrefixWidth(3);
    line("a", 2);
    EXPECT_EQ(trace_->getDepth(), 0);
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
    EXPECT_EQ(trace_->getDepth(), 0);
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

} // namespace
