// Level 19 end to end through the host's C API, on each board: the module
// comes up complete; every code of both interfaces answers a valid request as
// a user expects and refuses a bad one with a clear code, changing nothing;
// a reset to each level 0 to 19 admits exactly the codes at or below it; the
// connected-accessory word survives resets.
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "control_io.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

constexpr int32_t driverCode(uint32_t word) {
    return static_cast<int32_t>(word);
}
constexpr int32_t kNotImplemented = -52002;
constexpr int32_t kInvalidParameter = -52005;
constexpr int32_t kBadAddress = -52006; // a user address the kernel layer's copy refuses
constexpr int32_t kLevelReached = -52010;
constexpr int32_t kBufferTooSmall = -52019;
constexpr int32_t kNameNotFound = -240024;
constexpr int32_t kWrongElementSize = -240025;
constexpr int32_t kNotOffered = driverCode(0xBFFA4308);
constexpr int32_t kInvalidChannel = driverCode(0xBFFA4303);
constexpr int32_t kInvalidSensor = driverCode(0xBFFA4300);
constexpr int32_t kNullSubroutineBuffer = driverCode(0xBFFA4311);
constexpr int kTransportBadSize = -51009; // -52005 at the kernel layer's boundary
constexpr int32_t kWrongSize = 1;         // a row's bad input is a record one byte too long

// Places a row's fields name instead of numbers.
enum Place : uint64_t {
    kMap = 1ull << 62, // a register map (name address and length)
    kWindow,           // "NisoFpgaWindow"
    kStorage,          // "Manufacturing"
    kUnknown,          // a name nobody registered
    kOut,              // a writable buffer
    kData,             // bytes the driver reads (and some requests fill)
    kDma,              // a whole page for the transfer from the device
    kDmaOut,           // another one for the transfer to the device
    kSeeds,            // one route seed from terminal 3
    kDestination,      // terminal 2
    kPossibilities,    // room for four route possibilities
    kRoute,            // the route ID the valid route calculation found
    kReadOnly,         // a read-only page
    kNull,
    kSubroutines, // the number of registered subroutines
};

struct Put {
    uint16_t at;
    uint8_t width; // 16: a name's address and length
    uint64_t value;
};
#define F(op, field, value)                                                                                  \
    Put {                                                                                                    \
        offsetof(kelvo_##op##_in, field), sizeof(kelvo_##op##_in::field), value                              \
    }
#define NAME(op, place)                                                                                      \
    Put {                                                                                                    \
        offsetof(kelvo_##op##_in, nameAddress), 16, place                                                    \
    }

struct Row {
    const char* name;
    uint32_t code;
    uint32_t inSize, outSize, statusAt;
    bool cooling; // also on "nPXICOOLING_17_2_pxiCooling"
    std::vector<Put> valid;
    int32_t answer;       // to the valid request
    std::vector<Put> bad; // over the valid fields; empty: the record one byte too long
    int32_t refusal;
    uint32_t refusedResult = 0; // the first result word of the refused request
    int64_t result = -1;        // that of the valid one, when it is known
};
#define ROW(op, ...)                                                                                         \
    Row {                                                                                                    \
#op, KELVO_IOCTL_##op, sizeof(kelvo_##op##_in), sizeof(kelvo_##op##_out),                            \
            offsetof(kelvo_##op##_out, status), __VA_ARGS__                                                  \
    }

constexpr uint32_t kScratchField = 0x0033B4C6; // the required block's scratch register
constexpr uint64_t kNisoScratch[] = {0x18, 0x8018, 0x8018};
constexpr uint32_t kSerialField = 12; // Manufacturing's serial number, one u32

// In order: what a request needs comes before it (reservation, arm, route).
std::vector<Row> rows(unsigned board) {
    const uint64_t scratch = kNisoScratch[board];
    return {
        ROW(kdut_reserveResources, false, {F(kdut_reserveResources, resourceMask, 1)}, 0,
            {F(kdut_reserveResources, resourceMask, 2)}, kInvalidChannel),
        ROW(kdut_checkHardwareState, false, {}, 0, {}, kWrongSize),
        ROW(kdut_checkChannelHardwareState, false, {}, kNotImplemented, {}, kWrongSize),
        ROW(kelvo_getSetupLevel, false, {}, 0, {}, kWrongSize, 0, 19),
        ROW(voquantaPXICooling_getCoolingMode, false, {}, 0, {}, kWrongSize),
        ROW(voquantaPXICooling_overrideCoolingMode, false,
            {F(voquantaPXICooling_overrideCoolingMode, coolingMode, 16)}, 0, {}, kWrongSize),
        ROW(pxiCooling_setCoolingMode, true, {F(pxiCooling_setCoolingMode, coolingMode, 16)}, 0, {},
            kWrongSize),
        ROW(pxiCooling_getRequestedCoolingMode, true, {}, 0, {}, kWrongSize),
        ROW(hwCondition_clearChannelBasedHardwareErrors, false,
            {F(hwCondition_clearChannelBasedHardwareErrors, channelMask, 1)}, 0,
            {F(hwCondition_clearChannelBasedHardwareErrors, channelMask, 2)}, kInvalidChannel),
        ROW(hwCondition_checkBoardAndChannelBasedHardwareErrors, false,
            {F(hwCondition_checkBoardAndChannelBasedHardwareErrors, channelMask, 1)}, 0,
            {F(hwCondition_checkBoardAndChannelBasedHardwareErrors, channelMask, 2)}, kInvalidChannel),
        ROW(hwCondition_checkMeasureFIFOOverflowStatus, false, {}, 0, {}, kWrongSize),
        ROW(measureUnit_arm, false, {}, 0, {F(measureUnit_arm, channel, 1)}, kInvalidChannel),
        ROW(triggersAndEvents_overrideTrigger, false, {F(triggersAndEvents_overrideTrigger, trigger, 0x40C)},
            0, {}, kWrongSize),
        ROW(triggersAndEvents_checkEventLatch, false,
            {F(triggersAndEvents_checkEventLatch, channelMask, 1),
             F(triggersAndEvents_checkEventLatch, event, 0x135)},
            0, {F(triggersAndEvents_checkEventLatch, channelMask, 2)}, kInvalidChannel),
        ROW(triggersAndEvents_clearEventLatch, false,
            {F(triggersAndEvents_clearEventLatch, channelMask, 1),
             F(triggersAndEvents_clearEventLatch, event, 0x135)},
            0, {F(triggersAndEvents_clearEventLatch, channelMask, 0)}, kInvalidChannel),
        ROW(triggersAndEvents_clearAllEventLatches, false, {}, kNotImplemented, {}, kWrongSize),
        ROW(measureUnit_reset, false, {}, 0, {F(measureUnit_reset, channel, 1)}, kInvalidChannel),
        ROW(wexmoor_getNumSubroutines, false, {}, 0, {}, kWrongSize),
        ROW(wexmoor_getSubroutines, false,
            {F(wexmoor_getSubroutines, idBuffer, kOut), F(wexmoor_getSubroutines, addressBuffer, kData),
             F(wexmoor_getSubroutines, subroutineCount, kSubroutines)},
            0, {F(wexmoor_getSubroutines, idBuffer, kNull)}, kNullSubroutineBuffer),
        ROW(wexmoor_downloadSubroutines, false, {}, kNotImplemented, {}, kWrongSize),
        ROW(wexmoor_executeSubroutine, false, {}, kNotImplemented, {}, kWrongSize),
        ROW(wexmoor_startSequenceEngine, false, {F(wexmoor_startSequenceEngine, channelMask, 1)}, 0,
            {F(wexmoor_startSequenceEngine, channelMask, 3)}, kInvalidChannel),
        ROW(wexmoor_isSequenceEngineRunning, false, {F(wexmoor_isSequenceEngineRunning, channelMask, 1)}, 0,
            {F(wexmoor_isSequenceEngineRunning, channelMask, 2)}, kInvalidChannel),
        ROW(wexmoor_resetSequenceEngine, false, {F(wexmoor_resetSequenceEngine, channelMask, 1)}, 0,
            {F(wexmoor_resetSequenceEngine, channelMask, 0)}, kInvalidChannel),
        ROW(corran_getHardwareErrors, false, {}, 0, {}, kWrongSize),
        ROW(corran_readTemperatureSensor, false, {}, 0, {F(corran_readTemperatureSensor, sensor, 1)},
            kInvalidSensor),
        ROW(corran_queryInCompliance, false, {}, 0, {F(corran_queryInCompliance, channel, 1)},
            kInvalidChannel),
        ROW(corran_areStorageMapChecksumsValid, false, {}, 0, {}, kWrongSize, 0, 1),
        ROW(corran_areStorageMapVersionsValid, false, {}, 0, {}, kWrongSize, 0, 1),
        ROW(corran_getAlarmRaised, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_clearAlarm, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_maskAlarm, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_unmaskAlarm, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_calculateChargeBalanceOffset, false, {}, 0,
            {F(corran_calculateChargeBalanceOffset, channel, 1)}, kInvalidChannel),
        ROW(corran_configureChargeBalanceOffset, false, {}, 0,
            {F(corran_configureChargeBalanceOffset, channel, 1)}, kInvalidChannel),
        ROW(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, false,
            {F(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, channelMask, 1)}, 0,
            {F(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, channelMask, 2)}, kInvalidChannel),
        ROW(corran_configureMeasureUnit, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_getMeasurement, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_stagePowerAllocation, false, {F(corran_stagePowerAllocation, powerMicrowatts, 1000)}, 0,
            {F(corran_stagePowerAllocation, channel, 1)}, kInvalidChannel),
        ROW(corran_commitPowerAllocation, false, {}, 0, {F(corran_commitPowerAllocation, channel, 1)},
            kInvalidChannel),
        ROW(corran_getActualPowerAllocation, false, {}, 0, {F(corran_getActualPowerAllocation, channel, 1)},
            kInvalidChannel),
        ROW(corran_discardPowerAllocation, false, {}, 0, {F(corran_discardPowerAllocation, channel, 1)},
            kInvalidChannel),
        ROW(corran_readDAC, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_writeCmccDigipot, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_fetchChargeBalanceOffsetRawData, false, {}, kNotOffered, {}, kWrongSize),
        ROW(corran_getConnectedAccessory, false, {}, 0, {}, kWrongSize),
        ROW(corran_setConnectedAccessory, false, {}, 0, {}, kWrongSize),
        ROW(routing_queryVersion, false, {}, 0, {}, kWrongSize, 0, 1),
        ROW(routing_calculateRoute, false,
            {F(routing_calculateRoute, seedBuffer, kSeeds), F(routing_calculateRoute, seedCount, 1),
             F(routing_calculateRoute, destinationBuffer, kDestination),
             F(routing_calculateRoute, destinationCount, 1),
             F(routing_calculateRoute, possibilitiesBuffer, kPossibilities),
             F(routing_calculateRoute, possibilitiesCapacity, 4)},
            0, {F(routing_calculateRoute, possibilitiesCapacity, 0)}, kBufferTooSmall),
        ROW(routing_getRouteTerminalPath, false,
            {F(routing_getRouteTerminalPath, routeID, kRoute),
             F(routing_getRouteTerminalPath, pathBuffer, kOut),
             F(routing_getRouteTerminalPath, pathCapacity, 4)},
            0, {F(routing_getRouteTerminalPath, routeID, 0xDEAD)}, kInvalidParameter, 4),
        ROW(routing_reserveRoute, false,
            {F(routing_reserveRoute, routeID, kRoute), F(routing_reserveRoute, conflictsBuffer, kOut),
             F(routing_reserveRoute, conflictsCapacity, 4)},
            0, {F(routing_reserveRoute, routeID, 0xDEAD)}, kInvalidParameter, 4),
        ROW(routing_programRoute, false, {F(routing_programRoute, routeID, kRoute)}, 0,
            {F(routing_programRoute, routeID, 0xDEAD)}, kInvalidParameter),
        ROW(routing_unprogramRoute, false, {F(routing_unprogramRoute, routeID, kRoute)}, 0, {}, kWrongSize),
        ROW(routing_unreserveRoute, false, {F(routing_unreserveRoute, routeID, kRoute)}, 0, {}, kWrongSize),
        ROW(routing_destroyRoute, false, {F(routing_destroyRoute, routeID, kRoute)}, 0, {}, kWrongSize),
        ROW(routing_getTopographyName, false,
            {F(routing_getTopographyName, nameBuffer, kOut), F(routing_getTopographyName, bufferSize, 64)}, 0,
            {F(routing_getTopographyName, bufferSize, 0)}, kBufferTooSmall),
        ROW(routing_resetTerminal, false, {F(routing_resetTerminal, terminalID, 2)}, 0, {}, kWrongSize),
        ROW(routing_calculateResetTerminal, false, {F(routing_calculateResetTerminal, terminalID, 2)}, 0, {},
            kWrongSize),
        ROW(arm_getNumberOfRegistrations, false, {}, 0, {}, kWrongSize),
        ROW(arm_getRegistrationNames, false, {F(arm_getRegistrationNames, buffer, kOut)}, 0,
            {F(arm_getRegistrationNames, buffer, kReadOnly)}, kBadAddress),
        ROW(arm_getSizeOfRegistrationList, false, {}, 0, {}, kWrongSize),
        ROW(arm_getRegistrationList, false, {F(arm_getRegistrationList, buffer, kOut)}, 0,
            {F(arm_getRegistrationList, buffer, kReadOnly)}, kBadAddress),
        ROW(arm_set, false,
            {NAME(arm_set, kMap), F(arm_set, fieldId, kScratchField), F(arm_set, value, 0x5A)}, 0,
            {NAME(arm_set, kUnknown)}, kNameNotFound),
        ROW(arm_get, false, {NAME(arm_get, kMap), F(arm_get, fieldId, kScratchField)}, 0,
            {NAME(arm_get, kUnknown)}, kNameNotFound, 0, 0x5A),
        ROW(arm_flushRegister, false,
            {NAME(arm_flushRegister, kMap), F(arm_flushRegister, fieldId, kScratchField)}, 0,
            {NAME(arm_flushRegister, kUnknown)}, kNameNotFound),
        ROW(arm_write, false,
            {NAME(arm_write, kMap), F(arm_write, fieldId, kScratchField), F(arm_write, value, 0x600D),
             F(arm_write, force, 1)},
            0, {NAME(arm_write, kUnknown)}, kNameNotFound),
        ROW(arm_read, false, {NAME(arm_read, kMap), F(arm_read, fieldId, kScratchField)}, 0,
            {NAME(arm_read, kUnknown)}, kNameNotFound, 0, 0x600D),
        ROW(arm_refreshRegister, false,
            {NAME(arm_refreshRegister, kMap), F(arm_refreshRegister, fieldId, kScratchField)}, 0,
            {NAME(arm_refreshRegister, kUnknown)}, kNameNotFound),
        ROW(arm_flushRegMap, false, {NAME(arm_flushRegMap, kMap)}, 0, {NAME(arm_flushRegMap, kUnknown)},
            kNameNotFound),
        ROW(arm_setEx, false,
            {NAME(arm_setEx, kMap), F(arm_setEx, fieldId, kScratchField), F(arm_setEx, value, 7)}, 0,
            {NAME(arm_setEx, kUnknown)}, kNameNotFound),
        ROW(arm_getEx, false, {NAME(arm_getEx, kMap), F(arm_getEx, fieldId, kScratchField)}, 0,
            {F(arm_getEx, index, 0x1000000)}, kNotImplemented, 0, 7),
        ROW(arm_writeEx, false,
            {NAME(arm_writeEx, kMap), F(arm_writeEx, fieldId, kScratchField), F(arm_writeEx, value, 9)}, 0,
            {NAME(arm_writeEx, kUnknown)}, kNameNotFound),
        ROW(arm_readEx, false, {NAME(arm_readEx, kMap), F(arm_readEx, fieldId, kScratchField)}, 0,
            {NAME(arm_readEx, kUnknown)}, kNameNotFound, 0, 9),
        ROW(arm_flushRegisterEx, false,
            {NAME(arm_flushRegisterEx, kMap), F(arm_flushRegisterEx, fieldId, kScratchField)}, 0,
            {NAME(arm_flushRegisterEx, kUnknown)}, kNameNotFound),
        ROW(arm_refreshRegisterEx, false,
            {NAME(arm_refreshRegisterEx, kMap), F(arm_refreshRegisterEx, fieldId, kScratchField)}, 0,
            {NAME(arm_refreshRegisterEx, kUnknown)}, kNameNotFound),
        ROW(arm_getRegisterFormat, false,
            {NAME(arm_getRegisterFormat, kMap), F(arm_getRegisterFormat, registerId, kScratchField),
             F(arm_getRegisterFormat, fieldTypeBuffer, kOut), F(arm_getRegisterFormat, maskBuffer, kData)},
            0, {NAME(arm_getRegisterFormat, kUnknown)}, kNameNotFound, 0, 1),
        ROW(deviceWindow_getNumberOfRegistrations, false, {}, 0, {}, kWrongSize, 0, 3),
        ROW(deviceWindow_getRegistrationNames, false, {F(deviceWindow_getRegistrationNames, buffer, kOut)}, 0,
            {F(deviceWindow_getRegistrationNames, buffer, kReadOnly)}, kBadAddress),
        ROW(deviceWindow_getSizeInBytes, false, {NAME(deviceWindow_getSizeInBytes, kWindow)}, 0,
            {NAME(deviceWindow_getSizeInBytes, kUnknown)}, kNameNotFound),
        ROW(deviceWindow_set, false,
            {NAME(deviceWindow_set, kWindow), F(deviceWindow_set, buffer, kData),
             F(deviceWindow_set, offset, scratch), F(deviceWindow_set, size, 4)},
            0, {NAME(deviceWindow_set, kUnknown)}, kNameNotFound),
        ROW(deviceWindow_get, false,
            {NAME(deviceWindow_get, kWindow), F(deviceWindow_get, buffer, kData),
             F(deviceWindow_get, offset, scratch), F(deviceWindow_get, size, 4)},
            0, {F(deviceWindow_get, buffer, kReadOnly)}, kBadAddress),
        ROW(deviceWindow_flush, false,
            {NAME(deviceWindow_flush, kWindow), F(deviceWindow_flush, offset, scratch),
             F(deviceWindow_flush, size, 4)},
            0, {NAME(deviceWindow_flush, kUnknown)}, kNameNotFound),
        ROW(deviceWindow_write, false,
            {NAME(deviceWindow_write, kWindow), F(deviceWindow_write, buffer, kData),
             F(deviceWindow_write, offset, scratch), F(deviceWindow_write, size, 4)},
            0, {NAME(deviceWindow_write, kUnknown)}, kNameNotFound),
        ROW(deviceWindow_read, false,
            {NAME(deviceWindow_read, kWindow), F(deviceWindow_read, buffer, kData),
             F(deviceWindow_read, offset, scratch), F(deviceWindow_read, size, 4)},
            0, {F(deviceWindow_read, buffer, kReadOnly)}, kBadAddress),
        ROW(deviceWindow_refresh, false,
            {NAME(deviceWindow_refresh, kWindow), F(deviceWindow_refresh, offset, scratch),
             F(deviceWindow_refresh, size, 4)},
            0, {NAME(deviceWindow_refresh, kUnknown)}, kNameNotFound),
        ROW(storageMap_getNumberOfRegistrations, false, {}, 0, {}, kWrongSize, 0, 7),
        ROW(storageMap_getRegistrationNames, false, {F(storageMap_getRegistrationNames, buffer, kOut)}, 0,
            {F(storageMap_getRegistrationNames, buffer, kReadOnly)}, kBadAddress),
        ROW(storageMap_getElementCount, false,
            {NAME(storageMap_getElementCount, kStorage),
             F(storageMap_getElementCount, fieldId, kSerialField)},
            0, {NAME(storageMap_getElementCount, kUnknown)}, kNameNotFound, 0xFFFFFFFF, 1),
        ROW(storageMap_getElementSize, false,
            {NAME(storageMap_getElementSize, kStorage), F(storageMap_getElementSize, fieldId, kSerialField)},
            0, {NAME(storageMap_getElementSize, kUnknown)}, kNameNotFound, 0xFFFFFFFF, 4),
        ROW(storageMap_getRaw, false,
            {NAME(storageMap_getRaw, kStorage), F(storageMap_getRaw, fieldId, kSerialField),
             F(storageMap_getRaw, elementCount, 1), F(storageMap_getRaw, buffer, kData),
             F(storageMap_getRaw, elementSize, 4)},
            0, {F(storageMap_getRaw, buffer, kReadOnly)}, kBadAddress),
        ROW(storageMap_setRaw, false,
            {NAME(storageMap_setRaw, kStorage), F(storageMap_setRaw, fieldId, kSerialField),
             F(storageMap_setRaw, elementCount, 1), F(storageMap_setRaw, buffer, kData),
             F(storageMap_setRaw, elementSize, 4)},
            0, {F(storageMap_setRaw, elementSize, 2)}, kWrongElementSize),
        ROW(storageMap_isChecksumValid, false, {NAME(storageMap_isChecksumValid, kStorage)}, 0,
            {NAME(storageMap_isChecksumValid, kUnknown)}, kNameNotFound, 0, 1),
        ROW(storageMap_flush, false, {NAME(storageMap_flush, kStorage)}, 0,
            {NAME(storageMap_flush, kUnknown)}, kNameNotFound),
        ROW(storageMap_refresh, false, {NAME(storageMap_refresh, kStorage)}, 0,
            {NAME(storageMap_refresh, kUnknown)}, kNameNotFound),
        ROW(brixelTools_addTransferFromDevice, false,
            {F(brixelTools_addTransferFromDevice, bufferAddress, kDma),
             F(brixelTools_addTransferFromDevice, bufferSize, 4096)},
            0, {F(brixelTools_addTransferFromDevice, transferKind, 2)}, kInvalidParameter),
        ROW(brixelTools_startDMA, false, {}, 0, {F(brixelTools_startDMA, channel, 2)}, kInvalidParameter),
        ROW(brixelTools_getTransferCount, false, {}, 0, {F(brixelTools_getTransferCount, channel, 2)},
            kInvalidParameter),
        ROW(brixelTools_waitUntilBytesTransferred, false, {}, 0,
            {F(brixelTools_waitUntilBytesTransferred, channel, 2)}, kInvalidChannel),
        ROW(brixelTools_cancelWaitUntilBytesTransferred, false, {}, 0,
            {F(brixelTools_cancelWaitUntilBytesTransferred, channel, 2)}, kInvalidChannel),
        ROW(brixelTools_stopDMA, false, {}, 0, {F(brixelTools_stopDMA, channel, 2)}, kInvalidParameter),
        ROW(brixelTools_clearTransfers, false, {}, 0, {F(brixelTools_clearTransfers, channel, 2)},
            kInvalidParameter),
        ROW(brixelTools_clearApplicationFIFO, false, {}, 0, {F(brixelTools_clearApplicationFIFO, channel, 2)},
            kInvalidParameter),
        ROW(brixelTools_addTransferToDevice, false,
            {F(brixelTools_addTransferToDevice, channel, 1),
             F(brixelTools_addTransferToDevice, bufferAddress, kDma),
             F(brixelTools_addTransferToDevice, bufferSize, 4096),
             F(brixelTools_addTransferToDevice, transferWord, 1)},
            0, {F(brixelTools_addTransferToDevice, bufferSize, 0)}, kBufferTooSmall),
        ROW(brixelTools_writeStreamAdditiveTransferCount, false,
            {F(brixelTools_writeStreamAdditiveTransferCount, channel, 1)}, 0,
            {F(brixelTools_writeStreamAdditiveTransferCount, channel, 2)}, kInvalidParameter),
        ROW(kdut_cleanup, false, {}, 0, {}, kWrongSize),
        ROW(kdut_reset, false, {F(kdut_reset, setupLevel, 19)}, 0, {F(kdut_reset, setupLevel, 20)},
            kInvalidParameter),
    };
}

uint64_t address(const void* pointer) {
    return reinterpret_cast<uintptr_t>(pointer);
}

class E2ELevel19 : public kelvo_test::HostedTest, public ::testing::WithParamInterface<unsigned> {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        board_ = kelvo_test::boards()[GetParam()];
        index_ = kelvo_host_add_module(board_.c_str());
        ASSERT_GE(index_, 0);
        module_ = kelvo_host::module(static_cast<unsigned>(index_));
        reopen();
        dmaMemory_.add(dma_, 2 * 4096);
        readOnly_ = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(readOnly_, MAP_FAILED);
        const std::string family = board_ == "solstra" ? "Solstra" : "Duskmere";
        map_ = family + "NisoTopRegMap_BoardWin_" + family + "NisoBoardRegMap_StandardRegsWin_" + family +
               "StandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379";
    }
    void TearDown() override {
        munmap(readOnly_, 4096);
        std::free(dma_);
        module_.reset();
        for (int handle : handles_) {
            EXPECT_EQ(kelvo_close(handle), 0);
        }
        EXPECT_EQ(kelvo_host_remove_module(static_cast<unsigned>(index_)), 0);
        HostedTest::TearDown();
    }
    // New handles on both interfaces (a reset invalidates the old ones).
    void reopen() {
        for (int handle : handles_) {
            EXPECT_EQ(kelvo_close(handle), 0);
        }
        handles_ = {kelvo_open("smu_kelvo", static_cast<unsigned>(index_)),
                    kelvo_open("nPXICOOLING_17_2_pxiCooling", static_cast<unsigned>(index_))};
        ASSERT_GE(handles_[0], 0);
        ASSERT_GE(handles_[1], 0);
    }

    struct Answer {
        int transport;
        uint32_t written;
        std::vector<uint8_t> out;
        int32_t word(uint32_t at) const {
            int32_t status;
            std::memcpy(&status, out.data() + at, 4);
            return status;
        }
        uint32_t result() const {
            uint32_t value;
            std::memcpy(&value, out.data(), 4);
            return value;
        }
    };
    Answer send(int handle, uint32_t code, const std::vector<uint8_t>& in, size_t outSize) {
        Answer answer{0, 0, std::vector<uint8_t>(outSize, 0)};
        kelvo_ioctl_header header{address(in.data()),
                                  address(answer.out.data()),
                                  static_cast<uint32_t>(in.size()),
                                  static_cast<uint32_t>(outSize),
                                  0,
                                  0};
        answer.transport = kelvo_ioctl(handle, code, &header);
        answer.written = header.result;
        return answer;
    }
    template <class Out, class In> Out request(uint32_t code, const In& in) {
        std::vector<uint8_t> bytes(sizeof(In));
        std::memcpy(bytes.data(), &in, sizeof(In));
        const Answer answer = send(handles_[0], code, bytes, sizeof(Out));
        EXPECT_EQ(answer.transport, 0);
        Out out;
        std::memcpy(&out, answer.out.data(), sizeof(Out));
        return out;
    }
    int32_t reset(uint32_t level) {
        const auto out =
            request<kelvo_status_record>(KELVO_IOCTL_kdut_reset, kelvo_kdut_reset_in{level, 0, 0, 0, 0});
        reopen();
        return out.status;
    }
    kelvo_corran_getConnectedAccessory_out accessory() {
        return request<kelvo_corran_getConnectedAccessory_out>(KELVO_IOCTL_corran_getConnectedAccessory,
                                                               kelvo_status_record{0});
    }

    uint64_t resolve(uint64_t value) {
        const std::string* name = value == kMap       ? &map_
                                  : value == kWindow  ? &window_
                                  : value == kStorage ? &storage_
                                                      : &unknown_;
        switch (value) {
        case kMap:
        case kWindow:
        case kStorage:
        case kUnknown:
            return address(name->data());
        case kOut:
            return address(out_.data());
        case kData:
            return address(data_.data());
        case kDma:
        case kDmaOut:
            return address(dma_) + (value == kDmaOut ? 4096 : 0);
        case kSeeds:
            return address(&seed_);
        case kDestination:
            return address(&destination_);
        case kPossibilities:
            return address(possibilities_);
        case kRoute:
            return possibilities_[0].routeID;
        case kReadOnly:
            return address(readOnly_);
        case kNull:
            return 0;
        case kSubroutines:
            return request<kelvo_wexmoor_getNumSubroutines_out>(KELVO_IOCTL_wexmoor_getNumSubroutines,
                                                                kelvo_status_record{0})
                .subroutineCount;
        default:
            return value;
        }
    }
    // A record of size bytes with the fields put in order (a later one wins).
    std::vector<uint8_t> record(const std::vector<Put>& puts, size_t size) {
        std::vector<uint8_t> bytes(size, 0);
        for (const Put& put : puts) {
            const uint64_t value = resolve(put.value);
            std::memcpy(bytes.data() + put.at, &value, put.width == 16 ? 8 : put.width);
            if (put.width == 16) {
                const uint64_t length = put.value == kMap       ? map_.size()
                                        : put.value == kWindow  ? window_.size()
                                        : put.value == kStorage ? storage_.size()
                                                                : unknown_.size();
                std::memcpy(bytes.data() + put.at + 8, &length, 8);
            }
        }
        return bytes;
    }

    // What a refused request must leave as it was: the FPGAs and the flash
    // unwritten, the client's buffers, the level, the accessory and cooling mode.
    struct Observed {
        size_t writes;
        std::vector<uint8_t> out, data;
        uint32_t level, accessory, cooling;
        bool operator==(const Observed&) const = default;
    };
    Observed observe() {
        size_t writes = 0;
        for (const auto& trace : {module_->nisoFpga().trace(), module_->isoFpga().trace()}) {
            for (const sim::Access& access : trace) {
                writes += access.write ? 1 : 0;
            }
        }
        writes += module_->flash().trace().size();
        return {
            writes,
            out_,
            data_,
            request<kelvo_kelvo_getSetupLevel_out>(KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{0})
                .setupLevel,
            accessory().accessory,
            request<kelvo_voquantaPXICooling_getCoolingMode_out>(
                KELVO_IOCTL_voquantaPXICooling_getCoolingMode, kelvo_status_record{0})
                .coolingMode};
    }
    void clearTraces() {
        module_->nisoFpga().clearTrace();
        module_->isoFpga().clearTrace();
        module_->flash().clearTrace();
    }

    std::string board_;
    int index_ = -1;
    std::shared_ptr<sim::Module> module_;
    std::vector<int> handles_;
    void* readOnly_ = nullptr;
    std::string map_, window_ = "NisoFpgaWindow", storage_ = "Manufacturing_Ver1.0.0d1",
                      unknown_ = "NoSuchRegistration";
    std::vector<uint8_t> out_ = std::vector<uint8_t>(1 << 16, 0), data_ = std::vector<uint8_t>(1024, 0);
    // Pages the stand-in can lock for DMA: registered as the client's memory.
    uint8_t* dma_ = static_cast<uint8_t*>(std::aligned_alloc(4096, 2 * 4096));
    kal::usermem::Scope dmaMemory_;
    kelvo_route_seed seed_{3, 0, 0, {}};
    uint32_t destination_ = 2;
    kelvo_route_possibility possibilities_[4] = {};
};

TEST_P(E2ELevel19, TheModuleIsCompleteOnAdd) {
    EXPECT_EQ((request<kelvo_kelvo_getSetupLevel_out>(KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{0})
                   .setupLevel),
              19u);
    EXPECT_EQ(
        request<kelvo_status_record>(KELVO_IOCTL_kdut_checkHardwareState, kelvo_kdut_checkHardwareState_in{})
            .status,
        0);
}

// Each code once with a bad input, refused with its code and nothing changed,
// then once with a valid one, answered as its operation promises.
TEST_P(E2ELevel19, EveryCodeAnswersValidInputAndRefusesBadInput) {
    const std::vector<Row> table = rows(GetParam());
    EXPECT_EQ(table.size(), KELVO_IOCTL_CODE_COUNT);
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        for (int handle : row.cooling ? handles_ : std::vector<int>{handles_[0]}) {
            Observed before = observe();
            before.writes = 0;
            clearTraces();
            std::vector<Put> bad = row.valid;
            bad.insert(bad.end(), row.bad.begin(), row.bad.end());
            const bool wrongSize = row.bad.empty();
            const Answer refused =
                send(handle, row.code, record(bad, row.inSize + (wrongSize ? 1 : 0)), row.outSize);
            if (wrongSize) {
                EXPECT_EQ(refused.transport, kTransportBadSize);
                EXPECT_EQ(refused.written, 0u);
                EXPECT_EQ(refused.out, std::vector<uint8_t>(row.outSize, 0));
            } else {
                EXPECT_EQ(refused.transport, 0);
                EXPECT_EQ(refused.word(row.statusAt), row.refusal);
                EXPECT_EQ(row.statusAt == 0 ? row.refusedResult : refused.result(), row.refusedResult);
            }
            EXPECT_EQ(observe(), before);

            const Answer answered = send(handle, row.code, record(row.valid, row.inSize), row.outSize);
            EXPECT_EQ(answered.transport, 0);
            EXPECT_EQ(answered.written, row.outSize);
            EXPECT_EQ(answered.word(row.statusAt), row.answer);
            if (row.result >= 0) {
                EXPECT_EQ(answered.result(), row.result);
            }
            if (row.code == KELVO_IOCTL_kdut_reset) {
                reopen();
            }
        }
    }
    EXPECT_EQ(module_->deviceErrorCount(), 0u);
}

// After a reset to each level, the level is answered, a code of a higher
// level answers the tracker's status and one at or below it is admitted;
// then a reset to 19 completes the module again.
TEST_P(E2ELevel19, EveryResetLevelAdmitsTheCodesAtOrBelowIt) {
    struct Probe {
        const char* name;
        uint32_t level; // the code's setup level
        uint32_t code;
        std::vector<uint8_t> in;
        size_t outSize;
    };
    const auto bytes = [](const auto& in) {
        std::vector<uint8_t> v(sizeof(in));
        std::memcpy(v.data(), &in, sizeof(in));
        return v;
    };
    const Probe probes[] = {
        {"kdut_cleanup", 0, KELVO_IOCTL_kdut_cleanup, bytes(kelvo_status_record{0}), 4},
        {"arm_getNumberOfRegistrations", 1, KELVO_IOCTL_arm_getNumberOfRegistrations,
         bytes(kelvo_status_record{0}), 16},
        {"corran_getHardwareErrors", 11, KELVO_IOCTL_corran_getHardwareErrors,
         bytes(kelvo_corran_getHardwareErrors_in{}), 4},
        {"brixelTools_getTransferCount", 14, KELVO_IOCTL_brixelTools_getTransferCount,
         bytes(kelvo_brixelTools_getTransferCount_in{}), 16},
        {"kdut_checkHardwareState", 19, KELVO_IOCTL_kdut_checkHardwareState,
         bytes(kelvo_kdut_checkHardwareState_in{}), 4},
    };
    for (uint32_t level = 0; level <= 19; ++level) {
        SCOPED_TRACE(level);
        EXPECT_EQ(reset(level), level == 19 ? 0 : kLevelReached);
        const auto reached =
            request<kelvo_kelvo_getSetupLevel_out>(KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{0});
        EXPECT_EQ(reached.setupLevel, level);
        EXPECT_EQ(reached.status, 0);
        for (const Probe& probe : probes) {
            SCOPED_TRACE(probe.name);
            const Answer answer = send(handles_[0], probe.code, probe.in, probe.outSize);
            EXPECT_EQ(answer.transport, 0);
            EXPECT_EQ(answer.word(probe.outSize == 16 ? 8 : probe.outSize - 4),
                      probe.level > level ? kLevelReached : 0);
        }
    }
    EXPECT_EQ(reset(19), 0);
    EXPECT_EQ((request<kelvo_kelvo_getSetupLevel_out>(KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{0})
                   .setupLevel),
              19u);
}

// The accessory word: set, read back, kept across resets; below level 19 the
// get answers 1 with the gate's code and the set changes nothing.
TEST_P(E2ELevel19, TheConnectedAccessorySurvivesResets) {
    const auto set = [&](uint32_t value) {
        return request<kelvo_status_record>(KELVO_IOCTL_corran_setConnectedAccessory,
                                            kelvo_corran_setConnectedAccessory_in{value, 0})
            .status;
    };
    EXPECT_EQ(accessory().accessory, 0u);
    EXPECT_EQ(set(7), 0);
    EXPECT_EQ(accessory().accessory, 7u);
    EXPECT_EQ(accessory().status, 0);
    EXPECT_EQ(reset(19), 0);
    EXPECT_EQ(accessory().accessory, 7u);
    EXPECT_EQ(reset(18), kLevelReached);
    EXPECT_EQ(accessory().accessory, 1u);
    EXPECT_EQ(accessory().status, kLevelReached);
    EXPECT_EQ(set(9), kLevelReached);
    EXPECT_EQ(reset(19), 0);
    EXPECT_EQ(accessory().accessory, 7u);
    // A caller's error word comes back and leaves the word as it was.
    EXPECT_EQ(request<kelvo_status_record>(KELVO_IOCTL_corran_setConnectedAccessory,
                                           kelvo_corran_setConnectedAccessory_in{3, -1})
                  .status,
              -1);
    EXPECT_EQ(accessory().accessory, 7u);
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, E2ELevel19, ::testing::Values(0u, 1u, 2u),
                         [](const auto& info) { return std::to_string(info.param); });

} // namespace
