// The storage maps through the host's C API: raw access and its bounds, concurrent edits of one map.
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;
using kelvo_test::named;
using kelvo_test::statusOf;

constexpr const char* kManufacturing = "Manufacturing_Ver1.0.0d1";

// Raw access to one map field from its first element.
int32_t raw(int handle, bool write, std::string_view map, uint32_t field, uint64_t count, void* buffer,
            uint64_t elementSize) {
    const kelvo_storageMap_setRaw_in in{address(map.data()), map.size(),  field, 0, 0, count,
                                        address(buffer),     elementSize, 0,     0};
    return statusOf(handle, write ? KELVO_IOCTL_storageMap_setRaw : KELVO_IOCTL_storageMap_getRaw, in);
}
int32_t flush(int handle, std::string_view map) {
    return statusOf(handle, KELVO_IOCTL_storageMap_flush, named(kelvo_storageMap_flush_in{}, map));
}

using E2EStorage = kelvo_test::HostedTest;

// What the C API adds to a map's own checks: the name's version, the byte count's overflow, the
// caller's buffer left alone on a refusal; the flash window's size.
TEST_F(E2EStorage, RawAccessBoundsAndNames) {
    const int index = add("solstra");
    const int handle = open(index);
    struct Case {
        const char* what;
        std::string map;
        uint64_t count;
        uint64_t size;
        int32_t code;
        bool bufferWritten;
    } cases[] = {
        {"serial number", kManufacturing, 1, 4, 0, true},
        {"no version suffix", "Manufacturing", 1, 4, KELVO_STATUS_VERSION_REQUIRED, false},
        {"older than the oldest compatible", "Manufacturing_Ver0.9.0d0", 1, 4,
         KELVO_STATUS_CLIENT_VERSION_TOO_OLD, false},
        {"newer: a warning", "Header_Ver1.0.0d1", 1, 32, KELVO_STATUS_CLIENT_VERSION_NEWER, true},
        {"unknown map", "Nothing_Ver1.0.0d0", 1, 4, KELVO_STATUS_NAME_NOT_FOUND, false},
        {"count 0", kManufacturing, 0, 4, KELVO_STATUS_NULL_POINTER, false},
        {"element size 0", kManufacturing, 1, 0, KELVO_STATUS_INDEX_OUT_OF_RANGE, false},
        {"byte count beyond 64 bits", kManufacturing, uint64_t{1} << 62, 8, KELVO_STATUS_INDEX_OUT_OF_RANGE,
         false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(64, 0xEE);
        EXPECT_EQ(raw(handle, false, c.map, 12, c.count, buffer.data(), c.size), c.code) << c.what;
        EXPECT_EQ(buffer != std::vector<uint8_t>(64, 0xEE), c.bufferWritten) << c.what;
    }
    const auto valid = answer<kelvo_storageMap_isChecksumValid_out>(
        handle, KELVO_IOCTL_storageMap_isChecksumValid,
        named(kelvo_storageMap_isChecksumValid_in{}, "Posc_Ver1.0.0d0"));
    EXPECT_EQ(valid.valid, 0);
    EXPECT_EQ(valid.status, KELVO_STATUS_NO_CHECKSUM);
    EXPECT_EQ(flush(handle, "Manufacturing"), KELVO_STATUS_VERSION_REQUIRED);
    EXPECT_EQ(answer<kelvo_deviceWindow_getSizeInBytes_out>(
                  handle, KELVO_IOCTL_deviceWindow_getSizeInBytes,
                  named(kelvo_deviceWindow_getSizeInBytes_in{}, "flashWindow"))
                  .size,
              1048576u)
        << "the flash the maps live in";
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

// Edits, flushes and refreshes of one map from several threads: a flush never writes a half-applied
// edit, so the stored checksum matches.
TEST_F(E2EStorage, ConcurrentSetRawFlushAndRefreshOfOneMap) {
    const int index = add("solstra");
    const int handle = open(index);
    const std::string cal = "SelfCalibrationChannel0_Ver1.0.0d1";
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i) {
                uint32_t words[4] = {uint32_t(t), uint32_t(i), 0, 0};
                EXPECT_EQ(raw(handle, true, cal, 1144, 1, words, 16), 0);
                EXPECT_EQ(flush(handle, cal), 0);
                EXPECT_EQ(statusOf(handle, KELVO_IOCTL_storageMap_refresh,
                                   named(kelvo_storageMap_refresh_in{}, cal)),
                          0);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(answer<kelvo_storageMap_isChecksumValid_out>(handle, KELVO_IOCTL_storageMap_isChecksumValid,
                                                           named(kelvo_storageMap_isChecksumValid_in{}, cal))
                  .valid,
              1);
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

} // namespace
