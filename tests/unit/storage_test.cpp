// Storage: the maps' access bounds and the flash window's sector cache; the device-window dispatcher's
// operations by name.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <vector>

#include "sim/flash_images.h"
#include "storage/board_storage_maps.h"
#include "storage/flash_window.h"
#include "windows/device_window_dispatcher.h"
#include "windows/memory_window.h"
#include "status_code.h"
#include "test_support.h"

namespace {

using devicewindow::DeviceWindowDispatcher;
using devicewindow::FlashWindow;
using kelvo_storagemaps::KelvoStorageMaps;
using kelvo_test::codeOf;
using nVOAPALS100::tStatus;

// The maps over a window in kernel memory that holds the default flash image.
class StorageMaps : public kelvo_test::LeakCheckedTest {
protected:
    storagemap::StorageMapInterface& map(const std::string& name) {
        storagemap::StorageMapInterface* m = nullptr;
        tStatus status;
        dispatcher.getRegistration((name + "_Ver1.0.0d1").c_str(), &m, status, nullptr);
        EXPECT_NE(m, nullptr) << name;
        return *m;
    }
    tStatus built;
    const std::vector<uint8_t> image = *sim::flashImage("default");
    devicewindow::MemoryAccessor memory{image.data(), image.data() + image.size(), built};
    devicewindow::MemoryWindow window{memory, built};
    storagemap::StorageMapDispatcher dispatcher;
    KelvoStorageMaps maps{window, dispatcher, built};
};

TEST_F(StorageMaps, RawAndTypedAccessBounds) {
    ASSERT_EQ(built.getCode(), 0);
    uint8_t buffer[64] = {};
    constexpr int64_t kNull = KELVO_STATUS_NULL_POINTER, kRange = KELVO_STATUS_INDEX_OUT_OF_RANGE;
    constexpr int64_t kSize = KELVO_STATUS_WRONG_ELEMENT_SIZE, kField = KELVO_STATUS_UNKNOWN_FIELD;
    constexpr int64_t kChecksum = KELVO_STATUS_CHECKSUM_FIELD_WRITE;
    struct Case {
        const char* what;
        uint32_t field;
        uint64_t index, count, size;
        bool write, null;
        int64_t code;
        int64_t validateCode; // the dispatcher's check before it has a buffer
    } const cases[] = {
        {"count 0 at a valid index", 1080, 3, 0, 16, false, false, 0, kNull},
        {"count 0 at the element count", 1080, 4, 0, 16, false, false, kRange, kNull},
        {"count 0, null buffer", 1080, 0, 0, 16, false, true, kNull, kNull},
        {"past the end", 1080, 3, 2, 16, false, false, kRange, kRange},
        {"huge count", 1080, 1, ~uint64_t{0}, 16, false, false, kRange, kRange},
        {"wrong element size", 1080, 0, 1, 8, false, false, kSize, kSize},
        {"temperature raw with 8", 12, 0, 1, 8, false, false, 0, 0},
        {"unknown field", 13, 0, 1, 4, false, false, kField, kField},
        {"checksum field write", 0, 0, 1, 4, true, false, kChecksum, kChecksum},
        {"checksum field read", 0, 0, 1, 4, false, false, 0, 0},
        {"write of the last element", 1384, 2, 1, 16, true, false, 0, 0},
    };
    storagemap::StorageMapInterface& m = map("SelfCalibrationChannel0");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tStatus status;
        void* values = c.null ? nullptr : buffer;
        if (c.write) {
            m.setRaw(c.field, c.index, c.count, values, c.size, status);
        } else {
            m.getRaw(c.field, c.index, c.count, values, c.size, status);
        }
        EXPECT_EQ(status.getCode(), c.code);
        EXPECT_EQ(codeOf([&](tStatus& s) { m.validateRaw(c.field, c.index, c.count, c.size, c.write, s); }),
                  c.validateCode);
    }
    // Only a map's own records are looked up: one lying after them in memory is unknown.
    const storagemap::FieldInfo records[] = {storagemap::field("a", 0, storagemap::kTypeU8, 1, 1),
                                             storagemap::field("b", 1, storagemap::kTypeU8, 1, 1)};
    storagemap::StorageMapCommon first("1.0.0d0", "1.0.0d0", 0, 0, 2, nullptr, nullptr, window, records, 1);
    EXPECT_EQ(codeOf([&](tStatus& s) { first.getElementCount(1, s); }), KELVO_STATUS_UNKNOWN_FIELD);
    // Strings: 31 characters fit a 32-byte field, 32 do not; the padding stops at the field's end.
    storagemap::StorageMapInterface& manufacturing = map("Manufacturing");
    uint8_t allowUnsafe = 1, after = 0;
    vohtl::BasicString text;
    tStatus status;
    manufacturing.setRaw(50, 0, 1, &allowUnsafe, 1, status);
    text.assign(std::string(31, 'x').c_str(), status);
    maps.manufacturing().setOrderablePartNumber(text, status);
    manufacturing.getRaw(50, 0, 1, &after, 1, status);
    EXPECT_EQ(after, 1);
    text.assign(std::string(32, 'y').c_str(), status);
    maps.manufacturing().setOrderablePartNumber(text, status);
    EXPECT_EQ(status.getCode(), KELVO_STATUS_INDEX_OUT_OF_RANGE);
    tStatus flush;
    maps.manufacturing().getOrderablePartNumber(text, flush);
    EXPECT_EQ(std::string(text.c_str()), std::string(31, 'x'));
    // A change without a flush spoils the checksum; the flush mends it.
    EXPECT_FALSE(maps.manufacturing().isChecksumValid(flush));
    maps.manufacturing().flush(false, flush);
    EXPECT_TRUE(maps.manufacturing().isChecksumValid(flush));
    EXPECT_TRUE(flush.isSuccess());
}

// A flash in memory with a failure knob and a log of sector accesses.
struct MemoryFlash : devicewindow::FlashController {
    explicit MemoryFlash(tStatus& status) : FlashController(0x10000, 0x1000, status), bytes(0x10000, 0xFF) {}
    void readSector(uint64_t address, uint8_t* destination, tStatus& status) override {
        transfer('R', address, bytes.data() + address, destination, status);
    }
    void writeSector(uint64_t address, const uint8_t* source, tStatus& status) override {
        transfer('W', address, source, bytes.data() + address, status);
    }
    // A failed read hands back zeros; a failed write leaves the sector erased.
    void transfer(char op, uint64_t address, const uint8_t* from, uint8_t* to, tStatus& status) {
        validateSectorAddress(address, status);
        if (status.isFatal()) {
            return;
        }
        log.append(1, op).append(std::to_string(address >> 12)).append(fails ? "! " : " ");
        if (fails) {
            std::memset(to, op == 'R' ? 0 : 0xFF, 0x1000);
            KELVO_SET_STATUS(status, KELVO_STATUS_TIMED_OUT);
        } else {
            std::memcpy(to, from, 0x1000);
        }
    }
    std::vector<uint8_t> bytes;
    std::string log; // "R2 W2! " : sector 2 read, then its write failed
    bool fails = false;
};

class FlashWindowTest : public kelvo_test::LeakCheckedTest {
protected:
    tStatus built;
    MemoryFlash flash{built};
    FlashWindow window{flash, built};
};

TEST_F(FlashWindowTest, RangesAndBuffersAreCheckedBeforeAnythingIsTouched) {
    static uint8_t byte = 0;
    constexpr int64_t kRange = KELVO_STATUS_FLASH_OUT_OF_RANGE, kNull = KELVO_STATUS_NULL_POINTER;
    using W = FlashWindow;
    const struct {
        const char* what;
        void (*op)(FlashWindow&, tStatus&);
        int64_t code;
    } cases[] = {
        {"zero bytes at the end", [](W& w, tStatus& s) { w.get(0x10000, 0, &byte, s); }, 0},
        {"zero bytes past the end", [](W& w, tStatus& s) { w.get(0x10001, 0, &byte, s); }, kRange},
        {"one byte past the end", [](W& w, tStatus& s) { w.set(&byte, 0xFFFF, 2, s); }, kRange},
        {"wrapping range", [](W& w, tStatus& s) { w.flush(8, ~uint64_t{0}, false, s); }, kRange},
        {"null get of zero bytes", [](W& w, tStatus& s) { w.get(0, 0, nullptr, s); }, kNull},
        {"null set", [](W& w, tStatus& s) { w.set(nullptr, 0, 1, s); }, kNull},
        {"null read", [](W& w, tStatus& s) { w.read(0, 1, nullptr, s); }, kNull},
        {"null write", [](W& w, tStatus& s) { w.write(nullptr, 0, 1, false, s); }, kNull},
        {"refresh beyond", [](W& w, tStatus& s) { w.refresh(0x10000, 1, s); }, kRange},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(codeOf([&](tStatus& s) { c.op(window, s); }), c.code) << c.what;
    }
    EXPECT_EQ(flash.log, "") << "no sector was touched";
}

// A write and a read from the middle of a sector across one and two sector boundaries: every byte lands at
// its own flash address and comes back from it; the sectors go in ascending order.
TEST_F(FlashWindowTest, AnAccessAcrossSectorBoundariesKeepsEveryByteInPlace) {
    const struct {
        const char* what;
        uint64_t offset, size;
        const char* log; // of the write, then of the read
    } rows[] = {
        {"one boundary", 0x1800, 0x1000, "R1 R2 W1 W2 R1 R2 "},
        {"two boundaries", 0x2F00, 0x1200, "R2 R3 R4 W2 W3 W4 R2 R3 R4 "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        MemoryFlash flash(built);
        FlashWindow window(flash, built);
        const auto at = static_cast<std::ptrdiff_t>(row.offset);
        std::vector<uint8_t> written(row.size), stored(row.size), read(row.size), image(0x10000, 0xFF);
        for (size_t i = 0; i < row.size; ++i) { // no two sectors' parts alike
            written[i] = static_cast<uint8_t>(i ^ i >> 8), stored[i] = static_cast<uint8_t>(~written[i]);
        }
        EXPECT_EQ(codeOf([&](tStatus& s) { window.write(written.data(), row.offset, row.size, false, s); }),
                  0);
        std::copy(written.begin(), written.end(), image.begin() + at);
        EXPECT_EQ(flash.bytes, image) << "the write's bytes in place, nothing else changed";
        std::copy(stored.begin(), stored.end(), flash.bytes.begin() + at);
        EXPECT_EQ(codeOf([&](tStatus& s) { window.read(row.offset, row.size, read.data(), s); }), 0);
        EXPECT_EQ(read, stored) << "the flash's bytes, each from its own address";
        EXPECT_EQ(flash.log, row.log);
    }
}

// A script of "op offset size byte [!]" steps: 's' set, 'f' flush, 'F' forced flush, 'r' refresh, 'g' get and
// 'p' the flash itself expecting `size` bytes of `byte`; '!' has the flash fail the step (-50200).
TEST_F(FlashWindowTest, EachScriptLeavesItsSectorAccessesOnTheFlash) {
    const kelvo_test::Script scripts[] = {
        {"only the flushed range of a sector reaches the flash, the rest stays staged",
         "s 1000 800 A1; s 1800 800 B2; f 1000 800; p 1000 800 A1; p 1800 800 FF; g 1800 800 B2; f 1800 800; "
         "p 1800 800 B2",
         "R1 W1 W1 "},
        {"a set and a refresh of another range keep the staged bytes; a refresh of the range restores them",
         "s 1000 1 C3; r 1001 1; g 1000 1 C3; r 1000 1; g 1000 1 FF", "R1 R1 R1 "},
        {"a refresh of a sector not kept yet reads it once", "r 5000 1; g 5000 1 FF", "R5 "},
        {"a failed write leaves the sector stale: written again though unchanged; a failed read drops the "
         "sector, or does not keep it: the next access reads it again",
         "s 2000 10 42; f 2000 10; F 2000 10 0 !; f 2000 10; p 2000 10 42; r 2000 1 0 !; g 3000 1 0 !; "
         "g 2000 10 42; g 3000 1 FF",
         "R2 W2 W2! W2 R2! R3! R2 R3 "},
        {"only sectors that differ are written unless forced",
         "s 1010 1 0; s 2000 1 FF; s 4000 1 0; f 1000 4000; f 1000 4000; F 1000 4000",
         "R1 R2 R4 W1 R3 W4 W1 W2 W3 W4 "},
    };
    for (const auto& script : scripts) {
        SCOPED_TRACE(script.what);
        MemoryFlash flash(built);
        FlashWindow window(flash, built);
        std::istringstream steps(script.steps);
        for (std::string step; std::getline(steps, step, ';');) {
            SCOPED_TRACE(step);
            char op = 0;
            uint64_t offset = 0, size = 0;
            unsigned byte = 0;
            std::sscanf(step.c_str(), " %c %" SCNx64 " %" SCNx64 " %x", &op, &offset, &size, &byte);
            flash.fails = step.find('!') != std::string::npos;
            const std::vector<uint8_t> expected(size, static_cast<uint8_t>(byte));
            std::vector<uint8_t> bytes(size, static_cast<uint8_t>(op == 's' ? byte : ~byte));
            const int64_t code =
                op == 's'   ? codeOf([&](tStatus& s) { window.set(bytes.data(), offset, size, s); })
                : op == 'f' ? codeOf([&](tStatus& s) { window.flush(offset, size, false, s); })
                : op == 'F' ? codeOf([&](tStatus& s) { window.flush(offset, size, true, s); })
                : op == 'r' ? codeOf([&](tStatus& s) { window.refresh(offset, size, s); })
                : op == 'g' ? codeOf([&](tStatus& s) { window.get(offset, size, bytes.data(), s); })
                            : 0;
            EXPECT_EQ(code, flash.fails ? KELVO_STATUS_TIMED_OUT : 0);
            if (op == 'p') {
                bytes.assign(flash.bytes.begin() + offset, flash.bytes.begin() + offset + size);
            }
            if ((op == 'g' || op == 'p') && !flash.fails) {
                EXPECT_EQ(bytes, expected);
            }
        }
        EXPECT_EQ(flash.log, script.log);
    }
}

constexpr kelvo_driver::nVOAPAL000::tEventDescriptor kEvent = 0x51;

class WindowsDispatcher : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        dispatcher->add("IsoFpgaWindow", window, built);
        ASSERT_TRUE(built.isSuccess());
        nameAddress = scope.add(name.data(), name.size(), kal::usermem::kRead);
    }
    void TearDown() override {
        tStatus status;
        dispatcher->remove("IsoFpgaWindow", status);
        dispatcher.reset();
        scope.clear();
        LeakCheckedTest::TearDown();
    }

    uint64_t user(std::vector<uint8_t>& bytes) { return scope.add(bytes.data(), bytes.size()); }

    kal::usermem::Scope scope;
    std::string name = "IsoFpgaWindow";
    uint64_t nameAddress = 0;
    tStatus built;
    devicewindow::MemoryAccessor memory{32, built};
    devicewindow::MemoryWindow window{memory, built};
    std::optional<DeviceWindowDispatcher> dispatcher{std::in_place};
};

// What is refused or runs short of memory leaves the caller's bytes and the soft copy as they were.
TEST_F(WindowsDispatcher, RangesAreRefusedBeforeTheUsersSizeIsAllocatedAndShortMemoryIsReported) {
    std::vector<uint8_t> out(8, 0xEE);
    const uint64_t address = user(out);
    const struct {
        uint64_t offset, size;
    } outside[] = {{28, 8}, {0, 33}, {1, UINT64_MAX}, {UINT64_MAX, 1}, {0, uint64_t{1} << 40}};
    for (const auto& r : outside) {
        SCOPED_TRACE(std::to_string(r.offset) + " " + std::to_string(r.size));
        const auto calls = kal::memory::allocationCalls();
        tStatus a, b, c, d;
        dispatcher->get(kEvent, nameAddress, name.size(), r.offset, r.size, address, a);
        dispatcher->read(kEvent, nameAddress, name.size(), r.offset, r.size, address, b);
        dispatcher->set(kEvent, nameAddress, name.size(), address, r.offset, r.size, c);
        dispatcher->write(kEvent, nameAddress, name.size(), address, r.offset, r.size, true, d);
        EXPECT_EQ((std::vector<int64_t>{a.getCode(), b.getCode(), c.getCode(), d.getCode()}),
                  std::vector<int64_t>(4, devicewindow::kMemoryWindowOutOfRange));
        // Nothing: a short name is copied onto the stack.
        EXPECT_EQ(kal::memory::allocationCalls(), calls);
    }

    // Zero bytes go to the window as a null buffer.
    EXPECT_EQ(
        codeOf([&](tStatus& s) { dispatcher->get(kEvent, nameAddress, name.size(), 0, 0, address, s); }),
        devicewindow::kWindowNullBuffer);
    EXPECT_EQ(codeOf([&](tStatus& s) { dispatcher->set(kEvent, nameAddress, name.size(), 0, 32, 0, s); }),
              devicewindow::kWindowNullBuffer);

    // Short memory: the kernel buffer, then the window's run buffer (the name is copied onto the stack).
    for (uint64_t nth : {1u, 2u}) {
        kal::memory::failNth(nth);
        EXPECT_EQ(
            codeOf([&](tStatus& s) { dispatcher->get(kEvent, nameAddress, name.size(), 0, 4, address, s); }),
            tStatus::kOutOfMemory)
            << nth;
        kal::memory::clearFaults();
    }
    EXPECT_EQ(out, std::vector<uint8_t>(8, 0xEE));
    EXPECT_TRUE(window.softCopyByte(0).isInvalid());
}

} // namespace
