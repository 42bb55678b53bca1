// The memory window over an accessor that records its calls.
#include <cstring>
#include <thread>

#include "status_code.h"
#include "test_support.h"
#include "windows/memory_window.h"

namespace {

using devicewindow::MemoryWindow;
using kelvo_test::codeOf;
using nVOAPALS100::tStatus;

struct Call {
    char op; // 'R' read, 'W' write
    uint64_t offset, size;
    bool operator==(const Call&) const = default;
};

// Memory that records every call and can fail chosen ones.
class RecordingAccessor : public devicewindow::MemoryAccessorInterface {
public:
    explicit RecordingAccessor(uint64_t size) : bytes(size) {
        for (uint64_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>(0x40 + i);
        }
    }
    void beginRead(tStatus& status) override { hook(beginReads, 0, status); }
    void beginWrite(tStatus& status) override { hook(beginWrites, failBeginWrite, status); }
    void endRead(tStatus& status) override { hook(endReads, failEndRead, status); }
    void endWrite(tStatus& status) override { hook(endWrites, 0, status); }
    void read(uint64_t offset, uint64_t size, uint8_t* destination, tStatus& status) override {
        if (transfer({'R', offset, size}, failReads, -50400, status)) {
            std::memcpy(destination, bytes.data() + offset, size);
        }
    }
    void write(const uint8_t* source, uint64_t offset, uint64_t size, tStatus& status) override {
        if (transfer({'W', offset, size}, failWrites, -50401, status)) {
            std::memcpy(bytes.data() + offset, source, size);
        }
    }
    uint64_t getSizeInBytes() const override { return bytes.size(); }

    std::vector<uint8_t> bytes;
    std::vector<Call> calls;
    int failReads = 0, failWrites = 0;
    int64_t failBeginWrite = 0, failEndRead = 0;
    int beginReads = 0, beginWrites = 0, endReads = 0, endWrites = 0;

private:
    static void hook(int& count, int64_t code, tStatus& status) {
        ++count;
        if (code != 0) {
            KELVO_SET_STATUS(status, code);
        }
    }
    // Records the call; false when it is not to move bytes.
    bool transfer(Call call, int& failures, int64_t code, tStatus& status) {
        if (status.isFatal()) {
            return false;
        }
        calls.push_back(call);
        if (failures > 0) {
            --failures;
            KELVO_SET_STATUS(status, code);
        }
        return status.isNotFatal();
    }
};

class WindowsMemory : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        build();
    }
    // Window and accessor (a driver object) go before the leak check.
    void TearDown() override {
        delete window;
        window = nullptr;
        accessor.reset();
        LeakCheckedTest::TearDown();
    }
    void build(uint64_t size = 16) {
        delete window;
        window = nullptr;
        accessor = std::make_unique<RecordingAccessor>(size);
        tStatus status;
        window = new (status, false) MemoryWindow(*accessor, status);
        ASSERT_TRUE(status.isSuccess());
    }
    // get, or read from the hardware.
    std::vector<uint8_t> get(uint64_t offset, uint64_t size, int64_t expected = 0, bool hardware = false) {
        std::vector<uint8_t> out(size, 0xEE);
        tStatus status;
        if (hardware) {
            window->read(offset, size, out.data(), status);
        } else {
            window->get(offset, size, out.data(), status);
        }
        EXPECT_EQ(status.getCode(), expected);
        return out;
    }
    int64_t set(uint64_t offset, std::vector<uint8_t> bytes) {
        return codeOf([&](tStatus& s) { window->set(bytes.data(), offset, bytes.size(), s); });
    }
    int64_t flush(uint64_t offset, uint64_t size, bool force) {
        return codeOf([&](tStatus& s) { window->flush(offset, size, force, s); });
    }
    std::vector<Call> takeCalls() { return std::exchange(accessor->calls, {}); }

    std::unique_ptr<RecordingAccessor> accessor;
    MemoryWindow* window = nullptr;
};

TEST_F(WindowsMemory, BytesAreReadOnceInRunsAndThenServedFromTheSoftCopy) {
    EXPECT_EQ(window->getSizeInBytes(), 16u);
    EXPECT_EQ(get(0, 4), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43}));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'R', 0, 4}}));
    get(0, 4);
    get(1, 2);
    EXPECT_TRUE(takeCalls().empty());

    // Only the invalid runs of a range are read, each in one call, under one guard.
    get(8, 2);
    takeCalls();
    accessor->beginReads = accessor->endReads = 0;
    EXPECT_EQ(get(2, 12),
              (std::vector<uint8_t>{0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D}));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'R', 4, 4}, {'R', 10, 4}}));
    EXPECT_EQ(accessor->beginReads, 1);
    EXPECT_EQ(accessor->endReads, 1);
    EXPECT_TRUE(window->softCopyByte(13).isSynced());
    EXPECT_TRUE(window->softCopyByte(14).isInvalid());
}

TEST_F(WindowsMemory, FlushWritesOnlyRunsOfStagedBytes) {
    get(0, 8);
    takeCalls();
    EXPECT_EQ(set(1, {0x91}), 0);
    EXPECT_EQ(set(5, {0x95, 0x96}), 0);
    EXPECT_TRUE(window->softCopyByte(1).isDirty());
    EXPECT_EQ(flush(0, 8, false), 0);
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'W', 1, 1}, {'W', 5, 2}}));
    EXPECT_EQ(accessor->beginWrites, 1);
    EXPECT_EQ(accessor->endWrites, 1);
    EXPECT_EQ(accessor->bytes[1], 0x91);
    EXPECT_EQ(accessor->bytes[6], 0x96);
    EXPECT_TRUE(window->softCopyByte(6).isSynced());

    // Force writes the whole range in one call, changed or not.
    EXPECT_EQ(flush(2, 4, true), 0);
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'W', 2, 4}}));
}

TEST_F(WindowsMemory, FlushOfAPartlyStagedRangeReadsTheRestFirst) {
    EXPECT_EQ(set(1, {0x77}), 0);
    EXPECT_EQ(flush(0, 4, false), 0);
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'R', 0, 1}, {'R', 2, 2}, {'W', 1, 1}}));

    // A failed read of those runs writes nothing and keeps the staged byte.
    build();
    EXPECT_EQ(set(1, {0x77}), 0);
    accessor->failReads = 1;
    EXPECT_EQ(flush(0, 4, false), -50400);
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'R', 0, 1}}));
    EXPECT_TRUE(window->softCopyByte(1).isDirty());
    EXPECT_EQ(window->softCopyByte(1).getValue(), 0x77);
}

TEST_F(WindowsMemory, AFailedWriteForgetsItsRunSoTheHardwareIsReadAgain) {
    get(0, 4);
    EXPECT_EQ(set(0, {1, 2}), 0);
    takeCalls();
    accessor->failWrites = 1;
    EXPECT_EQ(flush(0, 4, false), -50401);
    EXPECT_TRUE(window->softCopyByte(0).isInvalid());
    EXPECT_EQ(window->softCopyByte(1).getValue(), 0xFF);
    EXPECT_TRUE(window->softCopyByte(2).isSynced());

    EXPECT_EQ(get(0, 4), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43}));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'W', 0, 2}, {'R', 0, 2}}));

    // The same for write with force: the whole range is forgotten.
    accessor->failWrites = 1;
    const uint8_t bytes[3] = {9, 9, 9};
    EXPECT_EQ(codeOf([&](tStatus& s) { window->write(bytes, 1, 3, true, s); }), -50401);
    for (uint64_t i = 1; i < 4; ++i) {
        EXPECT_TRUE(window->softCopyByte(i).isInvalid()) << i;
    }
    EXPECT_TRUE(window->softCopyByte(0).isSynced());
}

TEST_F(WindowsMemory, ReadAndRefreshReplaceStagedBytesWithTheHardwares) {
    EXPECT_EQ(set(2, {0x11, 0x12}), 0);
    EXPECT_EQ(get(0, 4, 0, true), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43}));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'R', 0, 4}}));
    EXPECT_TRUE(window->softCopyByte(2).isSynced());
    accessor->bytes[0] = 0xAB; // read goes to the hardware even for valid bytes
    EXPECT_EQ(get(0, 1, 0, true)[0], 0xAB);

    EXPECT_EQ(set(3, {0x13}), 0);
    EXPECT_EQ(codeOf([&](tStatus& s) { window->refresh(3, 1, s); }), 0);
    EXPECT_EQ(get(3, 1), (std::vector<uint8_t>{0x43}));

    // A failed read changes nothing and copies nothing out.
    EXPECT_EQ(set(3, {0x13}), 0);
    accessor->failReads = 1;
    EXPECT_EQ(get(2, 2, -50400, true), (std::vector<uint8_t>{0xEE, 0xEE}));
    EXPECT_TRUE(window->softCopyByte(3).isDirty());
    accessor->failReads = 1;
    EXPECT_EQ(get(12, 2, -50400), (std::vector<uint8_t>{0xEE, 0xEE}));
}

TEST_F(WindowsMemory, ArgumentsAreCheckedBeforeAnythingIsTouched) {
    uint8_t byte = 0;
    const struct { uint64_t offset, size; } outside[] = {{16, 1}, {0, 17}, {UINT64_MAX, 2}, {2, UINT64_MAX}};
    for (const auto& r : outside) {
        SCOPED_TRACE(std::to_string(r.offset) + " " + std::to_string(r.size));
        const int64_t outside = devicewindow::kMemoryWindowOutOfRange;
        EXPECT_EQ(codeOf([&](tStatus& s) { window->get(r.offset, r.size, &byte, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->set(&byte, r.offset, r.size, s); }), outside);
        EXPECT_EQ(flush(r.offset, r.size, true), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->read(r.offset, r.size, &byte, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->write(&byte, r.offset, r.size, true, s); }), outside);
        EXPECT_EQ(codeOf([&](tStatus& s) { window->refresh(r.offset, r.size, s); }), outside);
    }
    EXPECT_TRUE(takeCalls().empty());
    EXPECT_EQ(accessor->beginReads + accessor->beginWrites, 0);

    // Zero bytes: refresh and forced flush make one call of length 0; flush and get nothing.
    tStatus zero;
    window->refresh(16, 0, zero);
    window->flush(4, 0, true, zero);
    window->flush(4, 0, false, zero);
    window->get(4, 0, &byte, zero);
    EXPECT_EQ(zero.getCode(), 0);
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'R', 16, 0}, {'W', 4, 0}}));
}

TEST_F(WindowsMemory, HookFailuresJoinTheStatusAndStopTheTransfer) {
    accessor->failBeginWrite = -7;
    EXPECT_EQ(set(0, {1}), 0);
    EXPECT_EQ(flush(0, 1, false), -7);
    EXPECT_TRUE(takeCalls().empty());
    EXPECT_TRUE(window->softCopyByte(0).isDirty());
    EXPECT_EQ(accessor->endWrites, 0);

    // endRead runs after a successful begin and its error joins the status.
    accessor->failEndRead = -8;
    EXPECT_EQ(get(4, 2, -8, true), (std::vector<uint8_t>{0xEE, 0xEE}));
    EXPECT_EQ(accessor->endReads, 1);
}

TEST_F(WindowsMemory, ShortMemoryLeavesEverythingAsItWas) {
    // A window that could not get its mutex refuses every operation.
    kal::faults::failNth(kal::faults::kMutex, 1);
    tStatus status;
    MemoryWindow broken(*accessor, status);
    EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory);
    uint8_t byte = 0;
    EXPECT_EQ(codeOf([&](tStatus& s) { broken.get(0, 1, &byte, s); }), tStatus::kInvalidState);

    // A run buffer that cannot be had: -52000 and nothing changes.
    build(8);
    kal::memory::failNth(1);
    EXPECT_EQ(get(0, 4, tStatus::kOutOfMemory), (std::vector<uint8_t>(4, 0xEE)));
    EXPECT_TRUE(window->softCopyByte(0).isInvalid());
    EXPECT_TRUE(accessor->calls.empty());
}

// A reader of a range never sees half of a concurrent writer's bytes.
TEST_F(WindowsMemory, ReadAndWriteAreAtomicAgainstEachOther) {
    tStatus status;
    devicewindow::MemoryAccessor memory(64, status);
    MemoryWindow shared(memory, status);
    ASSERT_TRUE(status.isSuccess());
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            std::vector<uint8_t> bytes(64, static_cast<uint8_t>(i));
            tStatus s;
            shared.write(bytes.data(), 0, bytes.size(), (i % 2) == 0, s);
            EXPECT_TRUE(s.isSuccess());
        }
    });
    for (int i = 0; i < 300; ++i) {
        uint8_t bytes[64];
        tStatus s;
        shared.read(0, sizeof(bytes), bytes, s);
        ASSERT_TRUE(s.isSuccess());
        for (uint8_t b : bytes) {
            ASSERT_EQ(b, bytes[0]);
        }
    }
    writer.join();
}

} // namespace
