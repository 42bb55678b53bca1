// The storage-map framework and the board's maps: the CRC-32, the field
// tables, and typed, string and raw access bounds.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "flash_images.h"
#include "storage/board_storage_maps.h"
#include "windows/memory_window.h"
#include "test_support.h"

namespace {

using kelvo_storagemaps::KelvoStorageMaps;
using nVOAPALS100::tStatus;

TEST(StorageCrc32, CheckValueAndSpecialCases) {
    struct Case {
        const char* text;
        uint32_t crc;
    } cases[] = {{"123456789", 0xCBF43926u},
                 {"", 0x00000000u},
                 {"a", 0xE8B7BE43u},
                 {"The quick brown fox jumps over the lazy dog", 0x414FA339u}};
    storagemap::CRC32Checksum crc;
    for (const Case& c : cases) {
        tStatus status;
        EXPECT_EQ(crc.compute(reinterpret_cast<const uint8_t*>(c.text), std::strlen(c.text), status), c.crc)
            << c.text;
    }
    tStatus status;
    EXPECT_EQ(crc.compute(nullptr, 4, status), 0xFFFFFFFFu);
    tStatus failed;
    KELVO_SET_STATUS(failed, -52000);
    EXPECT_EQ(crc.compute(reinterpret_cast<const uint8_t*>("1"), 1, failed), 0xFFFFFFFFu);
}

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
        const bool d0 = n == "Posc" || n == "Header";
        dispatcherPtr->getRegistration((n + (d0 ? "_Ver1.0.0d0" : "_Ver1.0.0d1")).c_str(), &m, status,
                                       nullptr);
        EXPECT_NE(m, nullptr) << name;
        return *m;
    }
    storagemap::StorageMapDispatcher* dispatcherPtr = nullptr;
    devicewindow::MemoryAccessor* memory = nullptr;
    devicewindow::MemoryWindow* window = nullptr;
    KelvoStorageMaps* maps = nullptr;
};

TEST_F(StorageMaps, FieldTablesOfEveryMap) {
    load(*sim::flashImage("default"));
    struct Case {
        const char* map;
        uint32_t field;
        uint64_t count;
        uint64_t size;
    } cases[] = {
        {"Posc", 0, 32768, 1},
        {"Manufacturing", 16, 1, 1},
        {"Manufacturing", 18, 1, 32},
        {"Header", 44, 1, 1024},
        {"SelfCalibrationChannel0", 20, 1, 16},
        {"DefaultCalibrationChannel0", 1080, 4, 16},
        {"DefaultCalibrationChannel0", 1384, 3, 16},
        {"Header", 13, 0, 0}, // no field there
    };
    for (const Case& c : cases) {
        tStatus status;
        EXPECT_EQ(map(c.map).getElementCount(c.field, status), c.count) << c.map << " " << c.field;
        EXPECT_EQ(map(c.map).getElementSize(c.field, status), c.size) << c.map << " " << c.field;
        EXPECT_EQ(status.getCode(), c.count == 0 ? -240035 : 0) << c.map << " " << c.field;
    }
    EXPECT_EQ(dispatcherPtr->getNumberOfRegistrations(), 7u);
}

TEST_F(StorageMaps, RawAndTypedAccessBounds) {
    load(*sim::flashImage("default"));
    uint8_t buffer[64] = {};
    struct Case {
        const char* what;
        uint32_t field;
        uint64_t index;
        uint64_t count;
        uint64_t size;
        bool write;
        bool null;
        int64_t code;
        int64_t validateCode; // the dispatcher's check before it has a buffer
    } cases[] = {
        {"count 0 at a valid index", 1080, 3, 0, 16, false, false, 0, -240031},
        {"count 0 at the element count", 1080, 4, 0, 16, false, false, -240015, -240031},
        {"count 0, null buffer", 1080, 0, 0, 16, false, true, -240031, -240031},
        {"past the end", 1080, 3, 2, 16, false, false, -240015, -240015},
        {"huge count", 1080, 1, ~uint64_t{0}, 16, false, false, -240015, -240015},
        {"wrong element size", 1080, 0, 1, 8, false, false, -240025, -240025},
        {"temperature raw with 8", 12, 0, 1, 8, false, false, 0, 0},
        {"unknown field", 13, 0, 1, 4, false, false, -240035, -240035},
        {"checksum field write", 0, 0, 1, 4, true, false, -240045, -240045},
        {"checksum field read", 0, 0, 1, 4, false, false, 0, 0},
        {"write of the last element", 1384, 2, 1, 16, true, false, 0, 0},
    };
    storagemap::StorageMapInterface& m = map("SelfCalibrationChannel0");
    for (const Case& c : cases) {
        tStatus status;
        void* values = c.null ? nullptr : buffer;
        if (c.write) {
            m.setRaw(c.field, c.index, c.count, values, c.size, status);
        } else {
            m.getRaw(c.field, c.index, c.count, values, c.size, status);
        }
        EXPECT_EQ(status.getCode(), c.code) << c.what;
        tStatus check;
        m.validateRaw(c.field, c.index, c.count, c.size, c.write, check);
        EXPECT_EQ(check.getCode(), c.validateCode) << c.what;
    }
    // Strings: 31 characters fit a 32-byte field, 32 do not.
    vohtl::BasicString text;
    tStatus status;
    text.assign(std::string(31, 'x').c_str(), status);
    maps->manufacturing().setOrderablePartNumber(text, status);
    EXPECT_TRUE(status.isSuccess());
    text.assign(std::string(32, 'y').c_str(), status);
    maps->manufacturing().setOrderablePartNumber(text, status);
    EXPECT_EQ(status.getCode(), -240015);
    tStatus read;
    maps->manufacturing().getOrderablePartNumber(text, read);
    EXPECT_EQ(std::string(text.c_str()), std::string(31, 'x'));
    // A change without a flush spoils the checksum; the flush mends it.
    tStatus flush;
    EXPECT_FALSE(maps->manufacturing().isChecksumValid(flush));
    maps->manufacturing().flush(false, flush);
    EXPECT_TRUE(maps->manufacturing().isChecksumValid(flush));
    EXPECT_TRUE(flush.isSuccess());
}

} // namespace
