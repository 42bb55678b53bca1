// A valid request of every I/O-control code at level 19 on a board, its answer, and a bad variant
// refused with its code, in an order where what a request needs comes first (the fuzzer's seeds too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kelvo/ioctl.h"

namespace kelvo_test {

// The bad input is the record one byte too long (the transport refuses it).
constexpr std::int32_t kRequestWrongSize = 1;

// Places a field names instead of a number.
enum Place : std::uint64_t {
    kMap = 1ull << 62, // a register map (name address and length): the required registers
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
    kRoute,            // the route ID a route calculation found
    kReadOnly,         // a read-only page
    kNull,
    kSubroutines, // the number of registered subroutines
};

// What the valid request needs before it, besides the reservation of channel 0.
enum class Needs : std::uint8_t {
    kNothing,
    kRoute,         // a route calculated (from terminal 3 to 2)
    kReservedRoute, // and reserved
    kTransfer,      // a transfer from the device added on channel 0
    kStoredSerial, // its data the serial number as the module holds it (a get of it): the set changes nothing
};

struct Put {
    std::uint16_t at;
    std::uint8_t width; // 16: a name's address and length
    std::uint64_t value;
};

struct ValidRequest {
    const char* name;
    std::uint32_t code;
    std::uint32_t inSize, outSize, statusAt;
    std::vector<Put> valid{}; // the valid request's fields (the others zero)
    std::int32_t answer = 0;  // its status word
    std::int64_t result = -1; // its first result word, when known
    std::vector<Put> bad{};   // put over the valid fields; none: the record one byte too long
    std::int32_t refusal = kRequestWrongSize;
    std::uint32_t refusedResult = 0; // the first result word of the refused request
    Needs needs = Needs::kNothing;
};

constexpr std::uint32_t kScratchField = 0x0033B4C6; // the required registers' scratch register
constexpr std::uint32_t kSerialField = 12;          // Manufacturing's serial number, one u32

// A scratch word of the non-isolated FPGA's window on the board.
inline std::uint64_t nisoScratch(const std::string& board) {
    return board == "solstra" ? 0x18 : 0x8018;
}

// The names of kMap, kWindow, kStorage and kUnknown on the board.
inline std::string placeName(Place place, const std::string& board) {
    const std::string family = board == "solstra" ? "Solstra" : "Duskmere";
    const std::string map = family + "NisoTopRegMap_BoardWin_" + family + "NisoBoardRegMap_StandardRegsWin_" +
                            family + "StandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379";
    return place == kMap       ? map
           : place == kWindow  ? "NisoFpgaWindow"
           : place == kStorage ? "Manufacturing_Ver1.0.0d1"
                               : "NoSuchRegistration";
}

// A field of the request's input record In.
#define F(field, value) (Put{offsetof(In, field), sizeof(In::field), value})
#define NAME(place) (Put{offsetof(In, nameAddress), 16, place})
#define REFUSED(put, code) .bad = {put}, .refusal = code
#define UNKNOWN_NAME REFUSED(NAME(kUnknown), KELVO_STATUS_NAME_NOT_FOUND)
#define MASK(bad) .valid = {F(channelMask, 1)}, REFUSED(F(channelMask, bad), kInvalidChannel)
#define NAMES .valid = {F(buffer, kOut)}, REFUSED(F(buffer, kReadOnly), kBadAddress)
#define SCRATCH NAME(kMap), F(fieldId, kScratchField)
#define WINDOW_WORD NAME(kWindow), F(offset, scratch), F(size, 4)
#define REQUEST(op, ...)                                                                                     \
    [&] {                                                                                                    \
        using In = kelvo_##op##_in;                                                                          \
        using Out = kelvo_##op##_out;                                                                        \
        return ValidRequest{.name = #op,                                                                     \
                            .code = KELVO_IOCTL_##op,                                                        \
                            .inSize = sizeof(In),                                                            \
                            .outSize = sizeof(Out),                                                          \
                            .statusAt = offsetof(Out, status) __VA_OPT__(, ) __VA_ARGS__};                   \
    }()

inline std::vector<ValidRequest> validRequests(const std::string& board) {
    constexpr std::int32_t kNotOffered = KELVO_STATUS_NOT_OFFERED;
    constexpr std::int32_t kNotImplemented = KELVO_STATUS_NOT_IMPLEMENTED;
    constexpr std::int32_t kInvalidChannel = KELVO_STATUS_INVALID_CHANNEL;
    constexpr std::int32_t kInvalidParameter = KELVO_STATUS_INVALID_PARAMETER;
    constexpr std::int32_t kBadAddress = KELVO_STATUS_NOT_ACCESSIBLE; // a user address the copy refuses
    const std::uint64_t scratch = nisoScratch(board);
    return {
        REQUEST(kdut_checkHardwareState),
        REQUEST(kdut_checkChannelHardwareState, .answer = kNotImplemented),
        REQUEST(kelvo_getSetupLevel, .result = 19),
        REQUEST(kdut_reserveResources, .valid = {F(resourceMask, 1)},
                REFUSED(F(resourceMask, 2), kInvalidChannel)),
        REQUEST(voquantaPXICooling_getCoolingMode, .result = 16), // the device's starting mode
        REQUEST(voquantaPXICooling_overrideCoolingMode, .valid = {F(coolingMode, 16)}),
        REQUEST(pxiCooling_setCoolingMode, .valid = {F(coolingMode, 16)}),
        REQUEST(pxiCooling_getRequestedCoolingMode),
        REQUEST(hwCondition_clearChannelBasedHardwareErrors, MASK(2)),
        REQUEST(hwCondition_checkBoardAndChannelBasedHardwareErrors, MASK(2)),
        REQUEST(hwCondition_checkMeasureFIFOOverflowStatus),
        REQUEST(measureUnit_arm, REFUSED(F(channel, 1), kInvalidChannel)),
        REQUEST(triggersAndEvents_overrideTrigger, .valid = {F(trigger, 0x40C)}),
        REQUEST(triggersAndEvents_checkEventLatch, .valid = {F(channelMask, 1), F(event, 0x135)},
                REFUSED(F(channelMask, 2), kInvalidChannel)),
        REQUEST(triggersAndEvents_clearEventLatch, .valid = {F(channelMask, 1), F(event, 0x135)},
                REFUSED(F(channelMask, 0), kInvalidChannel)),
        REQUEST(triggersAndEvents_clearAllEventLatches, .answer = kNotImplemented),
        REQUEST(measureUnit_reset, REFUSED(F(channel, 1), kInvalidChannel)),
        REQUEST(wexmoor_getNumSubroutines),
        REQUEST(wexmoor_getSubroutines,
                .valid = {F(idBuffer, kOut), F(addressBuffer, kData), F(subroutineCount, kSubroutines)},
                REFUSED(F(idBuffer, kNull), KELVO_STATUS_NULL_SUBROUTINE_BUFFER)),
        REQUEST(wexmoor_downloadSubroutines, .answer = kNotImplemented),
        REQUEST(wexmoor_executeSubroutine, .answer = kNotImplemented),
        REQUEST(wexmoor_startSequenceEngine, MASK(3)),
        REQUEST(wexmoor_isSequenceEngineRunning, MASK(2)),
        REQUEST(wexmoor_resetSequenceEngine, MASK(0)),
        REQUEST(corran_getHardwareErrors),
        // Solstra's reference temperature; Duskmere has no sensor to read.
        REQUEST(corran_readTemperatureSensor, .result = board == "solstra" ? 0x0B2C : 0,
                REFUSED(F(sensor, 1), KELVO_STATUS_VALUE_OUT_OF_RANGE)),
        REQUEST(corran_queryInCompliance, .result = 1, REFUSED(F(channel, 1), kInvalidChannel)),
        REQUEST(corran_areStorageMapChecksumsValid, .result = 1),
        REQUEST(corran_areStorageMapVersionsValid, .result = 1),
        REQUEST(corran_getAlarmRaised, .answer = kNotOffered),
        REQUEST(corran_clearAlarm, .answer = kNotOffered),
        REQUEST(corran_maskAlarm, .answer = kNotOffered),
        REQUEST(corran_unmaskAlarm, .answer = kNotOffered),
        // Channel 255: a mask shifted by it would be undefined.
        REQUEST(corran_calculateChargeBalanceOffset, REFUSED(F(channel, 255), kInvalidChannel)),
        REQUEST(corran_configureChargeBalanceOffset, REFUSED(F(channel, 255), kInvalidChannel)),
        REQUEST(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, MASK(2)),
        REQUEST(corran_configureMeasureUnit, .answer = kNotOffered),
        REQUEST(corran_getMeasurement, .answer = kNotOffered),
        REQUEST(corran_stagePowerAllocation, .valid = {F(powerMicrowatts, 1000)},
                REFUSED(F(channel, 1), kInvalidChannel)),
        REQUEST(corran_commitPowerAllocation, REFUSED(F(channel, 1), kInvalidChannel)),
        REQUEST(corran_getActualPowerAllocation, REFUSED(F(channel, 1), kInvalidChannel)),
        REQUEST(corran_discardPowerAllocation, REFUSED(F(channel, 1), kInvalidChannel)),
        REQUEST(corran_readDAC, .answer = kNotOffered),
        REQUEST(corran_writeCmccDigipot, .answer = kNotOffered),
        REQUEST(corran_fetchChargeBalanceOffsetRawData, .answer = kNotOffered),
        REQUEST(corran_getConnectedAccessory),
        REQUEST(corran_setConnectedAccessory),
        REQUEST(routing_queryVersion, .result = 1),
        REQUEST(routing_calculateRoute,
                .valid = {F(seedBuffer, kSeeds), F(seedCount, 1), F(destinationBuffer, kDestination),
                          F(destinationCount, 1), F(possibilitiesBuffer, kPossibilities),
                          F(possibilitiesCapacity, 4)},
                REFUSED(F(possibilitiesCapacity, 0), KELVO_STATUS_BUFFER_TOO_SMALL)),
        REQUEST(routing_getRouteTerminalPath,
                .valid = {F(routeID, kRoute), F(pathBuffer, kOut), F(pathCapacity, 4)},
                REFUSED(F(routeID, 0xDEAD), kInvalidParameter), .refusedResult = 4, .needs = Needs::kRoute),
        REQUEST(routing_reserveRoute,
                .valid = {F(routeID, kRoute), F(conflictsBuffer, kOut), F(conflictsCapacity, 4)},
                REFUSED(F(routeID, 0xDEAD), kInvalidParameter), .refusedResult = 4, .needs = Needs::kRoute),
        REQUEST(routing_programRoute, .valid = {F(routeID, kRoute)},
                REFUSED(F(routeID, 0xDEAD), kInvalidParameter), .needs = Needs::kReservedRoute),
        REQUEST(routing_unprogramRoute, .valid = {F(routeID, kRoute)}, .needs = Needs::kReservedRoute),
        REQUEST(routing_unreserveRoute, .valid = {F(routeID, kRoute)}, .needs = Needs::kReservedRoute),
        REQUEST(routing_destroyRoute, .valid = {F(routeID, kRoute)}, .needs = Needs::kReservedRoute),
        REQUEST(routing_getTopographyName, .valid = {F(nameBuffer, kOut), F(bufferSize, 64)},
                REFUSED(F(bufferSize, 0), KELVO_STATUS_BUFFER_TOO_SMALL)),
        REQUEST(routing_resetTerminal, .valid = {F(terminalID, 2)}),
        REQUEST(routing_calculateResetTerminal, .valid = {F(terminalID, 2)}),
        REQUEST(arm_getNumberOfRegistrations),
        REQUEST(arm_getRegistrationNames, NAMES),
        REQUEST(arm_getSizeOfRegistrationList),
        REQUEST(arm_getRegistrationList, NAMES),
        REQUEST(arm_set, .valid = {SCRATCH, F(value, 0x5A)}, UNKNOWN_NAME),
        REQUEST(arm_get, .valid = {SCRATCH}, .result = 0x5A, UNKNOWN_NAME),
        REQUEST(arm_flushRegister, .valid = {SCRATCH}, UNKNOWN_NAME),
        REQUEST(arm_write, .valid = {SCRATCH, F(value, 0x600D), F(force, 1)}, UNKNOWN_NAME),
        REQUEST(arm_read, .valid = {SCRATCH}, .result = 0x600D, UNKNOWN_NAME),
        REQUEST(arm_refreshRegister, .valid = {SCRATCH}, UNKNOWN_NAME),
        REQUEST(arm_flushRegMap, .valid = {NAME(kMap)}, UNKNOWN_NAME),
        REQUEST(arm_setEx, .valid = {SCRATCH, F(value, 7)}, UNKNOWN_NAME),
        REQUEST(arm_getEx, .valid = {SCRATCH}, .result = 7, REFUSED(F(index, 0x1000000), kNotImplemented)),
        REQUEST(arm_writeEx, .valid = {SCRATCH, F(value, 9)}, UNKNOWN_NAME),
        REQUEST(arm_readEx, .valid = {SCRATCH}, .result = 9, UNKNOWN_NAME),
        REQUEST(arm_flushRegisterEx, .valid = {SCRATCH}, UNKNOWN_NAME),
        REQUEST(arm_refreshRegisterEx, .valid = {SCRATCH}, UNKNOWN_NAME),
        REQUEST(arm_getRegisterFormat,
                .valid = {NAME(kMap), F(registerId, kScratchField), F(capacity, 64), F(fieldTypeBuffer, kOut),
                          F(maskBuffer, kData)},
                .result = 1, UNKNOWN_NAME),
        REQUEST(deviceWindow_getNumberOfRegistrations, .result = 3),
        REQUEST(deviceWindow_getRegistrationNames, NAMES),
        REQUEST(deviceWindow_getSizeInBytes, .valid = {NAME(kWindow)}, UNKNOWN_NAME),
        REQUEST(deviceWindow_set, .valid = {WINDOW_WORD, F(buffer, kData)}, UNKNOWN_NAME),
        REQUEST(deviceWindow_get, .valid = {WINDOW_WORD, F(buffer, kData)},
                REFUSED(F(buffer, kReadOnly), kBadAddress)),
        REQUEST(deviceWindow_flush, .valid = {WINDOW_WORD}, UNKNOWN_NAME),
        REQUEST(deviceWindow_write, .valid = {WINDOW_WORD, F(buffer, kData)}, UNKNOWN_NAME),
        REQUEST(deviceWindow_read, .valid = {WINDOW_WORD, F(buffer, kData)},
                REFUSED(F(buffer, kReadOnly), kBadAddress)),
        REQUEST(deviceWindow_refresh, .valid = {WINDOW_WORD}, UNKNOWN_NAME),
        REQUEST(storageMap_getNumberOfRegistrations, .result = 7),
        REQUEST(storageMap_getRegistrationNames, NAMES),
        REQUEST(storageMap_getElementCount, .valid = {NAME(kStorage), F(fieldId, kSerialField)}, .result = 1,
                UNKNOWN_NAME, .refusedResult = 0xFFFFFFFF),
        REQUEST(storageMap_getElementSize, .valid = {NAME(kStorage), F(fieldId, kSerialField)}, .result = 4,
                UNKNOWN_NAME, .refusedResult = 0xFFFFFFFF),
        REQUEST(storageMap_getRaw,
                .valid = {NAME(kStorage), F(fieldId, kSerialField), F(elementCount, 1), F(buffer, kData),
                          F(elementSize, 4)},
                REFUSED(F(buffer, kReadOnly), kBadAddress)),
        REQUEST(storageMap_setRaw,
                .valid = {NAME(kStorage), F(fieldId, kSerialField), F(elementCount, 1), F(buffer, kData),
                          F(elementSize, 4)},
                REFUSED(F(elementSize, 2), KELVO_STATUS_WRONG_ELEMENT_SIZE), .needs = Needs::kStoredSerial),
        REQUEST(storageMap_isChecksumValid, .valid = {NAME(kStorage)}, .result = 1, UNKNOWN_NAME),
        REQUEST(storageMap_flush, .valid = {NAME(kStorage)}, UNKNOWN_NAME),
        REQUEST(storageMap_refresh, .valid = {NAME(kStorage)}, UNKNOWN_NAME),
        REQUEST(brixelTools_addTransferFromDevice, .valid = {F(bufferAddress, kDma), F(bufferSize, 4096)},
                REFUSED(F(transferKind, 2), kInvalidParameter)),
        REQUEST(brixelTools_startDMA, REFUSED(F(channel, 2), kInvalidParameter), .needs = Needs::kTransfer),
        REQUEST(brixelTools_getTransferCount, REFUSED(F(channel, 2), kInvalidParameter)),
        // No time-out: on stepped time (the sweep's slow-link row) nothing moves the clock during a wait.
        REQUEST(brixelTools_waitUntilBytesTransferred, REFUSED(F(channel, 2), kInvalidChannel)),
        REQUEST(brixelTools_cancelWaitUntilBytesTransferred, REFUSED(F(channel, 2), kInvalidChannel)),
        REQUEST(brixelTools_stopDMA, REFUSED(F(channel, 2), kInvalidParameter)),
        REQUEST(brixelTools_clearTransfers, REFUSED(F(channel, 2), kInvalidParameter)),
        REQUEST(brixelTools_clearApplicationFIFO, REFUSED(F(channel, 2), kInvalidParameter)),
        REQUEST(brixelTools_addTransferToDevice,
                .valid = {F(channel, 1), F(bufferAddress, kDmaOut), F(bufferSize, 4096), F(transferWord, 1)},
                REFUSED(F(bufferSize, 0), KELVO_STATUS_BUFFER_TOO_SMALL)),
        REQUEST(brixelTools_writeStreamAdditiveTransferCount, .valid = {F(channel, 1)},
                REFUSED(F(channel, 2), kInvalidParameter)),
        REQUEST(kdut_cleanup),
        REQUEST(kdut_reset, .valid = {F(setupLevel, 19)}, REFUSED(F(setupLevel, 20), kInvalidParameter)),
    };
}
#undef REQUEST
#undef WINDOW_WORD
#undef SCRATCH
#undef NAMES
#undef MASK
#undef UNKNOWN_NAME
#undef REFUSED
#undef NAME
#undef F

} // namespace kelvo_test
