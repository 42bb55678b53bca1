// Setup level 3 end to end through the host's C API on every board: the
// storage maps and "flashWindow" by name, the serial number from the flash,
// raw access and its bounds, a stored field surviving a reset and a device
// restart, the checkers on each flash image (through the test level table,
// whose stand-ins 4 to 18 sit over the real levels 1 to 3), a wrong bridge
// signature, and concurrent edits of one map.
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core_test_levels.h"
#include "core_test_support.h"
#include "flash_images.h"
#include "host.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"
#include "platform/device_core.h"
#include "test_support.h"

namespace {

using kelvo_test::address;
using kelvo_test::answer;

using nVOAPALS100::tStatus;


constexpr const char* kManufacturing = "Manufacturing_Ver1.0.0d1";

// Raw access to one map field.
int32_t raw(int handle, bool write, const std::string& map, uint32_t field, uint64_t index, uint64_t count,
            void* buffer, uint64_t elementSize) {
    kelvo_storageMap_setRaw_in in{};
    in.nameAddress = address(map.data());
    in.nameLength = map.size();
    in.fieldId = field;
    in.firstElement = index;
    in.elementCount = count;
    in.buffer = address(buffer);
    in.elementSize = elementSize;
    return answer<kelvo_status_record>(
               handle, write ? KELVO_IOCTL_storageMap_setRaw : KELVO_IOCTL_storageMap_getRaw, in)
        .status;
}

int32_t flush(int handle, const std::string& map) {
    kelvo_storageMap_flush_in in{};
    in.nameAddress = address(map.data());
    in.nameLength = map.size();
    return answer<kelvo_status_record>(handle, KELVO_IOCTL_storageMap_flush, in).status;
}

uint32_t serialOf(int handle) {
    uint32_t serial = 0;
    EXPECT_EQ(raw(handle, false, kManufacturing, 12, 0, 1, &serial, 4), 0);
    return serial;
}

class E2EStorage : public kelvo_test::HostedTest {
protected:
    int addWithImage(const std::string& board, const char* image) {
        return kelvo_host::addModule(board,
                                     [image](sim::Module& m) { m.flash().load(*sim::flashImage(image)); });
    }
};

TEST_F(E2EStorage, EveryBoardReachesLevelThreeWithItsMapsAndFlashWindow) {
    kelvo_test::ScopedProductLevels levels(3);
    for (const std::string& board : kelvo_test::boards()) {
        SCOPED_TRACE(board);
        const int index = add(board);
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        const auto level = answer<kelvo_kelvo_getSetupLevel_out>(handle, KELVO_IOCTL_kelvo_getSetupLevel,
                                                                 kelvo_status_record{0});
        EXPECT_EQ(level.setupLevel, 3u);
        const auto count = answer<kelvo_storageMap_getNumberOfRegistrations_out>(
            handle, KELVO_IOCTL_storageMap_getNumberOfRegistrations, kelvo_status_record{0});
        ASSERT_EQ(count.count, 7u);
        std::vector<char> names(448, 'x');
        EXPECT_EQ(
            answer<kelvo_status_record>(handle, KELVO_IOCTL_storageMap_getRegistrationNames,
                                        kelvo_storageMap_getRegistrationNames_in{address(names.data()), 0, 0})
                .status,
            0);
        const char* expected[] = {"Posc",
                                  "Manufacturing",
                                  "Header",
                                  "DefaultCalibrationChannel0",
                                  "FactoryCalibrationChannel0",
                                  "ExternalCalibrationChannel0",
                                  "SelfCalibrationChannel0"};
        for (int i = 0; i < 7; ++i) {
            EXPECT_STREQ(names.data() + 64 * i, expected[i]);
        }
        const std::string flash = "flashWindow";
        const auto size = answer<kelvo_deviceWindow_getSizeInBytes_out>(
            handle, KELVO_IOCTL_deviceWindow_getSizeInBytes,
            kelvo_deviceWindow_getSizeInBytes_in{address(flash.data()), flash.size(), 0, 0});
        EXPECT_EQ(size.size, 1048576u);
        EXPECT_EQ(textProperty(index, "serialNumber"), "1F2A3B4");
        EXPECT_EQ(serialOf(handle), 0x01F2A3B4u);
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(module(index).deviceErrorCount(), 0u);
        remove(index);
    }
}

TEST_F(E2EStorage, RawAccessBoundsAndNames) {
    const int index = kelvo_host_add_module("solstra");
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    struct Case {
        const char* what;
        std::string map;
        bool write;
        uint32_t field;
        uint64_t index;
        uint64_t count;
        uint64_t size;
        int32_t code;
        bool bufferWritten;
    } cases[] = {
        {"serial number", kManufacturing, false, 12, 0, 1, 4, 0, true},
        {"no version suffix", "Manufacturing", false, 12, 0, 1, 4, -240023, false},
        {"older than the oldest compatible", "Manufacturing_Ver0.9.0d0", false, 12, 0, 1, 4, -240000, false},
        {"newer: a warning", "Header_Ver1.0.0d1", false, 12, 0, 1, 32, 240000, true},
        {"unknown map", "Nothing_Ver1.0.0d0", false, 0, 0, 1, 4, -240024, false},
        {"count 0", kManufacturing, false, 12, 0, 0, 4, -240031, false},
        {"index out of range", kManufacturing, false, 12, 1, 1, 4, -240015, false},
        {"element size 0", kManufacturing, false, 12, 0, 1, 0, -240015, false},
        {"byte count beyond 64 bits", kManufacturing, false, 12, 0, uint64_t{1} << 62, 8, -240015, false},
        {"wrong element size", kManufacturing, false, 12, 0, 1, 8, -240025, false},
        {"unknown field", kManufacturing, false, 13, 0, 1, 4, -240035, false},
        {"checksum field write", kManufacturing, true, 0, 0, 1, 4, -240045, false},
        {"temperature raw", "SelfCalibrationChannel0_Ver1.0.0d1", false, 12, 0, 1, 8, 0, true},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(64, 0xEE);
        EXPECT_EQ(raw(handle, c.write, c.map, c.field, c.index, c.count, buffer.data(), c.size), c.code)
            << c.what;
        if (!c.write) {
            EXPECT_EQ(buffer != std::vector<uint8_t>(64, 0xEE), c.bufferWritten) << c.what;
        }
    }
    const std::string posc = "Posc_Ver1.0.0d0";
    const auto valid = answer<kelvo_storageMap_isChecksumValid_out>(
        handle, KELVO_IOCTL_storageMap_isChecksumValid,
        kelvo_storageMap_isChecksumValid_in{address(posc.data()), posc.size(), 0, 0});
    EXPECT_EQ(valid.valid, 0);
    EXPECT_EQ(valid.status, -240044);
    EXPECT_EQ(flush(handle, "Manufacturing"), -240023);
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

TEST_F(E2EStorage, AStoredFieldSurvivesAResetAndADeviceRestart) {
    const int index = kelvo_host_add_module("duskmere-a");
    int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    uint32_t serial = 0x00C0FFEE;
    ASSERT_EQ(raw(handle, true, kManufacturing, 12, 0, 1, &serial, 4), 0);
    ASSERT_EQ(flush(handle, kManufacturing), 0);
    const auto reset =
        answer<kelvo_status_record>(handle, KELVO_IOCTL_kdut_reset, kelvo_kdut_reset_in{3, 0, 0, 0, 0});
    EXPECT_EQ(reset.status, -52010);
    EXPECT_EQ(kelvo_close(handle), 0);
    handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    EXPECT_EQ(serialOf(handle), 0x00C0FFEEu) << "after the reset";
    EXPECT_EQ(kelvo_close(handle), 0);

    kelvo_driver::KelvoDevice* device = deviceOf(index);
    tStatus status;
    using namespace kelvo_driver::nVOAPAL000;
    ASSERT_TRUE(device->commonChangePnPState(tEventDescriptor(0), kPnPStateNotStarted, kSuspendReasonStart,
                                             false, status));
    ASSERT_TRUE(device->commonChangePnPState(tEventDescriptor(0), kPnPStateReady, kSuspendReasonStart, false,
                                             status));
    handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    EXPECT_EQ(serialOf(handle), 0x00C0FFEEu) << "after stop and start";
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

TEST_F(E2EStorage, CheckersAndSerialNumberOnEveryFlashImage) {
    const int32_t kChecksum = static_cast<int32_t>(0xBFFA4088u);
    const int32_t kVersion = static_cast<int32_t>(0xBFFA4082u);
    struct Case {
        const char* image;
        const char* serial;
        uint32_t checksumsValid;
        uint32_t versionsValid;
        int32_t hardwareState;
    } cases[] = {
        {"default", "1F2A3B4", 1, 1, 0},
        {"erased", "0", 0, 0, kChecksum},
        {"bit-flipped", "0", 0, 1, kChecksum},
        {"version-out-of-range", "0", 1, 0, kVersion},
        {"oldest-above-version", "1F2A3B4", 1, 0, kVersion},
        {"default-calibration-only", "1F2A3B4", 0, 0, kChecksum},
    };
    kelvo_test::ScopedTestLevels levels(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        const int index = addWithImage("solstra", c.image);
        ASSERT_GE(index, 0) << "the device is added whatever the flash holds";
        EXPECT_EQ(textProperty(index, "serialNumber"), c.serial);
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        const auto level = answer<kelvo_kelvo_getSetupLevel_out>(handle, KELVO_IOCTL_kelvo_getSetupLevel,
                                                                 kelvo_status_record{0});
        EXPECT_EQ(level.setupLevel, 19u);
        const auto checksums = answer<kelvo_corran_areStorageMapChecksumsValid_out>(
            handle, KELVO_IOCTL_corran_areStorageMapChecksumsValid, kelvo_status_record{0});
        EXPECT_EQ(checksums.allValid, c.checksumsValid);
        EXPECT_EQ(checksums.status, 0);
        const auto versions = answer<kelvo_corran_areStorageMapVersionsValid_out>(
            handle, KELVO_IOCTL_corran_areStorageMapVersionsValid, kelvo_status_record{0});
        EXPECT_EQ(versions.allValid, c.versionsValid);
        EXPECT_EQ(versions.status, 0);
        EXPECT_EQ(answer<kelvo_status_record>(handle, KELVO_IOCTL_kdut_checkHardwareState,
                                              kelvo_kdut_checkHardwareState_in{0, 0, 0})
                      .status,
                  c.hardwareState);
        EXPECT_EQ(kelvo_close(handle), 0);
        remove(index);
    }
}

TEST_F(E2EStorage, AWrongBridgeSignatureFailsLevelThreeAndLeavesNothingRegistered) {
    const int index = kelvo_host::addModule(
        "solstra", [](sim::Module& m) { m.bridgeRegisters().setSignature(0x12345678); });
    ASSERT_GE(index, 0);
    kelvo_driver::KelvoDevice* device = deviceOf(index);
    EXPECT_EQ(device->getSetupTracker().getCurrentLevel(), 2u);
    EXPECT_EQ(device->getSetupTracker().getStatus().getCode(), static_cast<int32_t>(0xBFFA8078u));
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    EXPECT_EQ(answer<kelvo_arm_getNumberOfRegistrations_out>(handle, KELVO_IOCTL_arm_getNumberOfRegistrations,
                                                             kelvo_status_record{0})
                  .count,
              0u);
    EXPECT_EQ(answer<kelvo_storageMap_getNumberOfRegistrations_out>(
                  handle, KELVO_IOCTL_storageMap_getNumberOfRegistrations, kelvo_status_record{0})
                  .count,
              0u);
    EXPECT_EQ(answer<kelvo_deviceWindow_getNumberOfRegistrations_out>(
                  handle, KELVO_IOCTL_deviceWindow_getNumberOfRegistrations, kelvo_status_record{0})
                  .count,
              0u);
    EXPECT_EQ(kal::pci::liveMappings(), 0u) << "memory window 0 is unmapped again";
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

// Edits, flushes and refreshes of one map from several threads: each
// operation holds the map's mutex, so a flush never writes a half-applied
// edit and the stored checksum always matches.
TEST_F(E2EStorage, ConcurrentSetRawFlushAndRefreshOfOneMap) {
    const int index = kelvo_host_add_module("solstra");
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
    const std::string cal = "SelfCalibrationChannel0_Ver1.0.0d1";
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i) {
                uint32_t words[4] = {uint32_t(t), uint32_t(i), 0, 0};
                EXPECT_EQ(raw(handle, true, cal, 1144, 0, 1, words, 16), 0);
                EXPECT_EQ(flush(handle, cal), 0);
                kelvo_storageMap_refresh_in in{address(cal.data()), cal.size(), 0, 0};
                EXPECT_EQ(answer<kelvo_status_record>(handle, KELVO_IOCTL_storageMap_refresh, in).status, 0);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto valid = answer<kelvo_storageMap_isChecksumValid_out>(
        handle, KELVO_IOCTL_storageMap_isChecksumValid,
        kelvo_storageMap_isChecksumValid_in{address(cal.data()), cal.size(), 0, 0});
    EXPECT_EQ(valid.valid, 1);
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

} // namespace
