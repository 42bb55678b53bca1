// Storage: the maps' access bounds and the flash window's sector cache.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/flash_images.h"
#include "storage/board_storage_maps.h"
#include "storage/flash_window.h"
#include "windows/memory_window.h"
#include "status_code.h"
#include "test_support.h"

namespace {

using devicewindow::FlashWindow;
using kelvo_storagemaps::KelvoStorageMaps;
using kelvo_test::codeOf;
using nVOAPALS100::tStatus;

// The maps over a window in kernel memory that holds a flash image.
class StorageMaps : public kelvo_test::LeakCheckedTest {
protected:
    void load(const std::vector<uint8_t>& image) {
        tStatus status;
        memory = new (status, false)
            devicewindow::MemoryAccessor(image.data(), image.data() + image.size(), status);
        window = new (status, false) devicewindow::MemoryWindow(*memory, status);
        dispatcherPtr = new (status, false) storagemap::StorageMapDispatcher();
        maps = new (status, false) KelvoStorageMaps(*window, *dispatcherPtr, status);
        ASSERT_EQ(status.getCode(), 0);
    }
    void TearDown() override {
        delete maps;
        delete dispatcherPtr;
        delete window;
        delete memory;
        LeakCheckedTest::TearDown();
    }
    storagemap::StorageMapInterface& map(const char* name) {
        storagemap::StorageMapInterface* m = nullptr;
        tStatus status;
        const std::string n = name;
        dispatcherPtr->getRegistration(
            (n + (n == "Posc" || n == "Header" ? "_Ver1.0.0d0" : "_Ver1.0.0d1")).c_str(), &m, status,
            nullptr);
        EXPECT_NE(m, nullptr) << name;
        return *m;
    }
    storagemap::StorageMapDispatcher* dispatcherPtr = nullptr;
    devicewindow::MemoryAccessor* memory = nullptr;
    devicewindow::MemoryWindow* window = nullptr;
    KelvoStorageMaps* maps = nullptr;
};

TEST_F(StorageMaps, RawAndTypedAccessBounds) {
    load(*sim::flashImage("default"));
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
    storagemap::StorageMapCommon first("1.0.0d0", "1.0.0d0", 0, 0, 2, nullptr, nullptr, *window, records, 1);
    EXPECT_EQ(codeOf([&](tStatus& s) { first.getElementCount(1, s); }), KELVO_STATUS_UNKNOWN_FIELD);
    // Strings: 31 characters fit a 32-byte field, 32 do not; the padding stops at the field's end.
    storagemap::StorageMapInterface& manufacturing = map("Manufacturing");
    uint8_t allowUnsafe = 1, after = 0;
    vohtl::BasicString text;
    tStatus status;
    manufacturing.setRaw(50, 0, 1, &allowUnsafe, 1, status);
    text.assign(std::string(31, 'x').c_str(), status);
    maps->manufacturing().setOrderablePartNumber(text, status);
    manufacturing.getRaw(50, 0, 1, &after, 1, status);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(after, 1);
    text.assign(std::string(32, 'y').c_str(), status);
    maps->manufacturing().setOrderablePartNumber(text, status);
    EXPECT_EQ(status.getCode(), KELVO_STATUS_INDEX_OUT_OF_RANGE);
    tStatus flush;
    maps->manufacturing().getOrderablePartNumber(text, flush);
    EXPECT_EQ(std::string(text.c_str()), std::string(31, 'x'));
    // A change without a flush spoils the checksum; the flush mends it.
    EXPECT_FALSE(maps->manufacturing().isChecksumValid(flush));
    maps->manufacturing().flush(false, flush);
    EXPECT_TRUE(maps->manufacturing().isChecksumValid(flush));
    EXPECT_TRUE(flush.isSuccess());
}

// A flash in memory with failure knobs and a log of sector writes.
class MemoryFlash : public devicewindow::FlashController {
public:
    explicit MemoryFlash(tStatus& status) : FlashController(0x10000, 0x1000, status), bytes(0x10000, 0xFF) {}
    void readSector(uint64_t address, uint8_t* destination, tStatus& status) override {
        validateSectorAddress(address, status);
        if (status.isFatal()) {
            return;
        }
        ++reads;
        if (failReads) {
            KELVO_SET_STATUS(status, KELVO_STATUS_TIMED_OUT);
            std::memset(destination, 0, 0x1000);
            return;
        }
        std::memcpy(destination, bytes.data() + address, 0x1000);
    }
    void writeSector(uint64_t address, const uint8_t* source, tStatus& status) override {
        validateSectorAddress(address, status);
        if (status.isFatal()) {
            return;
        }
        writes.push_back(address);
        if (failWrites) {
            std::memset(bytes.data() + address, 0xFF, 0x1000); // erased, then the program failed
            KELVO_SET_STATUS(status, KELVO_STATUS_TIMED_OUT);
            return;
        }
        std::memcpy(bytes.data() + address, source, 0x1000);
    }
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> writes;
    int reads = 0;
    bool failReads = false, failWrites = false;
};

class FlashWindowTest : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        tStatus status;
        flash = std::make_unique<MemoryFlash>(status);
        window = new (status, false) FlashWindow(*flash, status);
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        delete window;
        flash.reset();
        LeakCheckedTest::TearDown();
    }
    std::unique_ptr<MemoryFlash> flash;
    FlashWindow* window = nullptr;
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
        EXPECT_EQ(codeOf([&](tStatus& s) { c.op(*window, s); }), c.code) << c.what;
    }
    EXPECT_EQ(flash->reads, 0) << "no sector was read";
    EXPECT_TRUE(flash->writes.empty());
}

TEST_F(FlashWindowTest, OnlyTheFlushedRangeOfASectorReachesTheFlash) {
    std::vector<uint8_t> a(0x800, 0xA1), b(0x800, 0xB2), seen(0x1000);
    tStatus status;
    window->set(a.data(), 0x1000, a.size(), status);
    window->set(b.data(), 0x1800, b.size(), status);
    window->flush(0x1000, 0x800, false, status);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), flash->bytes.begin() + 0x1000));
    EXPECT_EQ(flash->bytes[0x1800], 0xFF) << "the staged second half stays staged";
    window->get(0x1000, seen.size(), seen.data(), status);
    EXPECT_EQ(seen[0x800], 0xB2);
    window->flush(0x1800, 0x800, false, status);
    EXPECT_EQ(flash->bytes[0x1FFF], 0xB2);
    // A set and a refresh of another range of the sector keep the staged bytes.
    uint8_t c = 0xC3;
    window->set(&c, 0x1000, 1, status);
    window->refresh(0x1001, 1, status);
    window->get(0x1000, 1, seen.data(), status);
    EXPECT_EQ(seen[0], 0xC3);
    window->refresh(0x1000, 1, status);
    window->get(0x1000, 1, seen.data(), status);
    EXPECT_EQ(seen[0], 0xA1) << "refresh of the same range restores the flash";
    EXPECT_TRUE(status.isSuccess());
}

TEST_F(FlashWindowTest, AFailedWriteIsRewrittenAndAFailedReadIsDropped) {
    std::vector<uint8_t> data(16, 0x42), seen(16);
    tStatus status;
    window->set(data.data(), 0x2000, data.size(), status);
    flash->failWrites = true;
    window->flush(0x2000, data.size(), false, status);
    EXPECT_EQ(status.getCode(), KELVO_STATUS_TIMED_OUT);
    EXPECT_TRUE(window->cachedSector(2)->isStale());
    flash->failWrites = false;
    EXPECT_EQ(codeOf([&](tStatus& s) { window->flush(0x2000, data.size(), false, s); }), 0);
    EXPECT_EQ(flash->writes.size(), 2u) << "the unchanged but stale sector is written again";
    EXPECT_EQ(flash->bytes[0x2000], 0x42);
    // A failed refresh drops the sector: the next access reads it again.
    flash->failReads = true;
    EXPECT_EQ(codeOf([&](tStatus& s) { window->refresh(0x2000, 1, s); }), KELVO_STATUS_TIMED_OUT);
    EXPECT_EQ(window->cachedSector(2), nullptr);
    EXPECT_EQ(codeOf([&](tStatus& s) { window->get(0x3000, 1, seen.data(), s); }), KELVO_STATUS_TIMED_OUT);
    EXPECT_EQ(window->cachedSector(3), nullptr) << "a sector that could not be read is not kept";
    flash->failReads = false;
    EXPECT_EQ(codeOf([&](tStatus& s) { window->get(0x2000, seen.size(), seen.data(), s); }), 0);
    EXPECT_EQ(seen, data);
}

TEST_F(FlashWindowTest, OnlySectorsThatDifferAreWrittenUnlessForced) {
    const uint8_t changed = 0x00, same = 0xFF; // the flash is erased
    tStatus status;
    window->set(&changed, 0x1010, 1, status);
    window->set(&same, 0x2000, 1, status);
    window->set(&changed, 0x4000, 1, status);
    const struct {
        bool force;
        std::vector<uint64_t> written;
    } cases[] = {{false, {0x1000, 0x4000}}, {false, {}}, {true, {0x1000, 0x2000, 0x3000, 0x4000}}};
    for (const auto& c : cases) {
        flash->writes.clear();
        window->flush(0x1000, 0x4000, c.force, status);
        EXPECT_EQ(flash->writes, c.written) << c.force;
    }
    EXPECT_TRUE(status.isSuccess());
}

} // namespace
