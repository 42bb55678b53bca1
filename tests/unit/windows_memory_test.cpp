// The memory window over an accessor that records its calls.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <numeric>
#include <thread>

#include "status_code.h"
#include "test_support.h"
#include "windows/memory_window.h"

namespace {

using devicewindow::MemoryWindow;
using kelvo_test::codeOf;
using nVOAPALS100::tStatus;

// Memory that logs every call ("R<offset>+<size>", "W...", hooks "<r", ">r", "<w", ">w") and can fail chosen
// ones.
class RecordingAccessor : public devicewindow::MemoryAccessorInterface {
public:
    explicit RecordingAccessor(uint64_t size) : bytes(size) { std::iota(bytes.begin(), bytes.end(), 0x40); }
    void beginRead(tStatus& status) override { hook("<r", 0, status); }
    void beginWrite(tStatus& status) override { hook("<w", failBeginWrite, status); }
    void endRead(tStatus& status) override { hook(">r", failEndRead, status); }
    void endWrite(tStatus& status) override { hook(">w", 0, status); }
    void read(uint64_t offset, uint64_t size, uint8_t* destination, tStatus& status) override {
        if (transfer('R', offset, size, failReads, -50400, status)) {
            std::memcpy(destination, bytes.data() + offset, size);
        }
    }
    void write(const uint8_t* source, uint64_t offset, uint64_t size, tStatus& status) override {
        if (transfer('W', offset, size, failWrites, -50401, status)) {
            std::memcpy(bytes.data() + offset, source, size);
        }
    }
    uint64_t getSizeInBytes() const override { return bytes.size(); }

    std::vector<uint8_t> bytes;
    std::string log;
    int failReads = 0, failWrites = 0;
    int64_t failBeginWrite = 0, failEndRead = 0;

private:
    void note(const std::string& call) { log += (log.empty() ? "" : " ") + call; }
    void hook(const char* name, int64_t code, tStatus& status) {
        note(name);
        if (code != 0) {
            KELVO_SET_STATUS(status, code);
        }
    }
    // Logs the call; false when it is not to move bytes.
    bool transfer(char op, uint64_t offset, uint64_t size, int& failures, int64_t code, tStatus& status) {
        if (status.isFatal()) {
            return false;
        }
        note(op + std::to_string(offset) + "+" + std::to_string(size));
        if (failures > 0) {
            --failures;
            KELVO_SET_STATUS(status, code);
        }
        return status.isNotFatal();
    }
};

std::string hex(const uint8_t* bytes, uint64_t size) {
    std::string text;
    for (uint64_t i = 0; i < size; ++i) {
        text += "0123456789ABCDEF"[bytes[i] >> 4];
        text += "0123456789ABCDEF"[bytes[i] & 0xF];
    }
    return text;
}

class WindowsMemory : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        build();
    }
    // Window and accessor (a driver object) go before the leak check.
    void TearDown() override {
        window.reset();
        accessor.reset();
        LeakCheckedTest::TearDown();
    }
    void build(uint64_t size = 16) {
        window.reset();
        accessor = std::make_unique<RecordingAccessor>(size);
        tStatus status;
        window.reset(new (status, false) MemoryWindow(*accessor, status));
        ASSERT_TRUE(status.isSuccess());
    }
    void fail(char what) {
        accessor->failReads += what == 'r';
        accessor->failWrites += what == 'w';
        accessor->failBeginWrite = what == 'b' ? -7 : accessor->failBeginWrite;
        accessor->failEndRead = what == 'e' ? -8 : accessor->failEndRead;
        kal::memory::failNth(what == 'm' ? 1 : 0);
    }
    // Runs space-separated steps on the window: g/r<offset>+<size> get/read (the bytes, 0xEE where not
    // copied), s<offset>=<hex> set, w<offset>=<hex> write with force, f/F<offset>+<size> flush/forced,
    // R<offset>+<size> refresh, h<offset>+<size> the hardware's bytes, v<offset> a soft copy byte's value,
    // m<offset>=<hex> the hardware's bytes changed, S the states, c clears the log, xr/xw fail the next
    // read/write, xb/xe fail beginWrite (-7) and endRead (-8), xm the next allocation. Answers what the steps
    // showed, with "!<code>" for a step's error.
    std::string run(const std::string& steps) {
        std::istringstream in(steps);
        std::string shown;
        for (std::string step; in >> step;) {
            uint64_t offset = 0, size = 0;
            std::sscanf(step.c_str() + 1, "%" SCNu64 "+%" SCNu64, &offset, &size);
            std::vector<uint8_t> data;
            for (size_t i = step.find('=') + 1; i != 0 && i + 1 < step.size(); i += 2) {
                data.push_back(static_cast<uint8_t>(std::stoul(step.substr(i, 2), nullptr, 16)));
            }
            std::vector<uint8_t> out(size + 1, 0xEE); // never a null buffer
            tStatus status;
            std::string answer;
            const std::map<char, std::function<void()>> ops = {
                {'g', [&] { window->get(offset, size, out.data(), status), answer = hex(out.data(), size); }},
                {'r',
                 [&] { window->read(offset, size, out.data(), status), answer = hex(out.data(), size); }},
                {'s', [&] { window->set(data.data(), offset, data.size(), status); }},
                {'w', [&] { window->write(data.data(), offset, data.size(), true, status); }},
                {'f', [&] { window->flush(offset, size, false, status); }},
                {'F', [&] { window->flush(offset, size, true, status); }},
                {'R', [&] { window->refresh(offset, size, status); }},
                {'h', [&] { answer = hex(accessor->bytes.data() + offset, size); }},
                {'v', [&] { answer = hex(&window->softCopyByte(offset).value, 1); }},
                {'m', [&] { std::copy(data.begin(), data.end(), accessor->bytes.begin() + offset); }},
                {'c', [&] { accessor->log.clear(); }},
                {'S', [&] { answer = states(); }},
                {'x', [&] { fail(step[1]); }},
            };
            ops.at(step[0])();
            if (status.isFatal()) {
                answer.append("!").append(std::to_string(status.getCode()));
            }
            if (!answer.empty()) {
                shown += (shown.empty() ? "" : " ") + answer;
            }
        }
        return shown;
    }
    // Each byte's soft copy: '.' invalid, 'd' staged, 's' synced.
    std::string states() {
        std::string text;
        for (uint64_t i = 0; i < window->getSizeInBytes(); ++i) {
            const devicewindow::SoftCopyByte byte = window->softCopyByte(i);
            text += byte.isInvalid() ? '.' : byte.isDirty() ? 'd' : 's';
        }
        return text;
    }

    std::unique_ptr<RecordingAccessor> accessor;
    std::unique_ptr<MemoryWindow> window;
};

TEST_F(WindowsMemory, TheSoftCopyIsReadWrittenAndForgottenInRuns) {
    const struct {
        const char* what;
        const char* steps;
        const char* shown;
        const char* log;
        const char* states;
    } cases[] = {
        {"bytes are read once, only the invalid runs of a range, under one guard",
         "g0+4 g0+4 g1+2 g8+2 g2+12", "40414243 40414243 4142 4849 42434445464748494A4B4C4D",
         "<r R0+4 >r <r R8+2 >r <r R4+4 R10+4 >r", "ssssssssssssss.."},
        {"a flush writes only the runs of staged bytes; force writes the range",
         "g0+8 c s1=91 s5=9596 f0+8 h1+1 h6+1 F2+4", "4041424344454647 91 96", "<w W1+1 W5+2 >w <w W2+4 >w",
         "ssssssss........"},
        {"a flush of a partly staged range reads the rest first", "s1=77 f0+4", "",
         "<r R0+1 R2+2 >r <w W1+1 >w", "ssss............"},
        {"a failed read of those runs writes nothing and keeps the staged byte", "s1=77 xr f0+4 v1",
         "!-50400 77", "<r R0+1 >r", ".d.............."},
        {"a failed write forgets its run, so the hardware is read again", "g0+4 s0=0102 c xw f0+4 S v1 g0+4",
         "40414243 !-50401 ..ss............ FF 40414243", "<w W0+2 >w <r R0+2 >r", "ssss............"},
        {"so does a failed write with force, for the whole range", "g0+4 xw w1=090909", "40414243 !-50401",
         "<r R0+4 >r <w W1+3 >w", "s..............."},
        {"read and refresh replace staged bytes with the hardware's",
         "s2=1112 r0+4 m0=AB r0+1 s3=13 R3+1 g3+1", "40414243 AB 43", "<r R0+4 >r <r R0+1 >r <r R3+1 >r",
         "ssss............"},
        {"a failed read changes nothing and copies nothing out", "s3=13 xr r2+2 xr g12+2",
         "EEEE!-50400 EEEE!-50400", "<r R2+2 >r <r R12+2 >r", "...d............"},
        {"a failed beginWrite stops the transfer", "s0=01 xb f0+1", "!-7", "<w", "d..............."},
        {"an endRead error joins the status", "xe r4+2", "EEEE!-8", "<r R4+2 >r", "....ss.........."},
        {"a run buffer that cannot be had", "xm g0+4", "EEEEEEEE!-52000", "<r >r", "................"},
        {"zero bytes: refresh and a forced flush make one call", "R16+0 F4+0 f4+0 g4+0", "",
         "<r R16+0 >r <w W4+0 >w", "................"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build();
        EXPECT_EQ(run(c.steps), c.shown);
        EXPECT_EQ(accessor->log, c.log);
        EXPECT_EQ(states(), c.states);
    }
}

TEST_F(WindowsMemory, ArgumentsAndTheMutexAreCheckedBeforeAnythingIsTouched) {
    uint8_t byte = 0;
    const struct { uint64_t offset, size; } outside[] = {{16, 1}, {0, 17}, {UINT64_MAX, 2}, {2, UINT64_MAX}};
    for (const auto& r : outside) {
        SCOPED_TRACE(std::to_string(r.offset) + " " + std::to_string(r.size));
        const int64_t outside = devicewindow::kMemoryWindowOutOfRange;
        EXPECT_EQ(codeOf([&](tStatus& s) { window->get(r.offset, r.size, &byte, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->set(&byte, r.offset, r.size, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->flush(r.offset, r.size, true, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->read(r.offset, r.size, &byte, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->write(&byte, r.offset, r.size, true, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->refresh(r.offset, r.size, s); }), outside);
    }
    // A window without its mutex refuses even a range inside it.
    kal::faults::failNth(kal::faults::kMutex, 1);
    tStatus status;
    MemoryWindow broken(*accessor, status);
    EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(codeOf([&](tStatus& s) { broken.get(0, 1, &byte, s); }), tStatus::kInvalidState);
    EXPECT_EQ(accessor->log, "");
}

// A reader of a range never sees half of a concurrent writer's bytes.
TEST_F(WindowsMemory, ReadAndWriteAreAtomicAgainstEachOther) {
    tStatus status;
    devicewindow::MemoryAccessor memory(64, status);
    MemoryWindow shared(memory, status);
    ASSERT_TRUE(status.isSuccess());
    std::jthread writer([&] {
        for (int i = 0; i < 300; ++i) {
            const std::vector<uint8_t> bytes(64, static_cast<uint8_t>(i));
            EXPECT_EQ(codeOf([&](tStatus& s) { shared.write(bytes.data(), 0, 64, (i % 2) == 0, s); }), 0);
        }
    });
    for (int i = 0; i < 300; ++i) {
        uint8_t bytes[64];
        EXPECT_EQ(codeOf([&](tStatus& s) { shared.read(0, sizeof(bytes), bytes, s); }), 0);
        EXPECT_EQ(std::count(bytes, bytes + 64, bytes[0]), 64);
    }
}

} // namespace
