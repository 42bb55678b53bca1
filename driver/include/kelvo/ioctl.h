/* The I/O-control interface of the driver as user mode sees it: the codes of
 * the two device interfaces and the record of every code. Plain C (C99 or
 * later, or C++); the driver's own stubs read and write these very structs,
 * so a client built with this header and the driver cannot disagree.
 *
 * ---- Interfaces ------------------------------------------------------------
 *
 * "smu_kelvo" answers every code below. "nPXICOOLING_17_2_pxiCooling" answers
 * only KELVO_IOCTL_pxiCooling_setCoolingMode and
 * KELVO_IOCTL_pxiCooling_getRequestedCoolingMode, exactly as "smu_kelvo" does.
 *
 * ---- A request --------------------------------------------------------------
 *
 * A client fills the code's input record, points a struct kelvo_ioctl_header
 * (host/kelvo_host.h) at it and at an output record of the code's output
 * type, and calls kelvo_ioctl(handle, code, &header). Both sizes must be
 * exactly the sizes of the code's records (a larger buffer is refused too).
 *
 * Every input record ends in the caller's status word: the code that the
 * caller's own status held when it made the request (0 when it holds none).
 * The driver seeds the operation's status with it: a negative word (an error;
 * the driver's own codes 0xBFFAxxxx are negative 32-bit values) comes back
 * unchanged and the operation does no work that reports through a status; a
 * positive word (a warning) lets the operation run and stays unless the
 * operation fails.
 *
 * ---- Two status channels ----------------------------------------------------
 *
 * 1. The transport: what kelvo_ioctl returns, a kernel-layer code. It is 0
 *    whenever the request reached its operation, whatever the operation
 *    answered. It is negative only when the request itself failed:
 *      -51009  an input or output size other than the code's (nothing was
 *              read or written), or an output buffer the caller may not
 *              write (the operation did run);
 *      -51101  an input record (or the header) the caller does not own
 *              (nothing ran);
 *      -51256  a code the interface does not know (nothing written).
 * 2. The operation: the status word at the end of the output record, a 32-bit
 *    status code (0 success, positive a warning, negative an error). It is
 *    valid only when the transport answered 0. Every failure of the operation
 *    (setup level not reached, handle invalidated by a reset, bad argument,
 *    hardware error) is reported here, in a complete output record whose
 *    result fields hold 0 unless the operation says otherwise. Every code the
 *    driver answers has a name (KELVO_STATUS_<NAME>) and a one-line meaning
 *    in the status-code catalogue, kelvo/status_codes.h, which this header
 *    includes.
 *
 * The header's result field receives the number of bytes written to the
 * output record (the output size) when the request reached its operation, and
 * is copied back to the caller only when that number is not 0: a request
 * refused by the transport leaves the field as the caller left it, so clear
 * it before the call.
 *
 * ---- Codes answered without an operation --------------------------------------
 *
 * Thirteen codes are answered by the driver's decoding itself, at any setup
 * level: the twelve that this product does not offer (they answer -52002 or
 * 0xBFFA4308, or the caller's status word when that is an error) and
 * KELVO_IOCTL_hwCondition_checkMeasureFIFOOverflowStatus (it answers the
 * caller's status word). Their arguments are not read. The caller's status word
 * of these codes is, by rule, the LAST FOUR BYTES of the input record (offset
 * N - 4 of an N-byte record); their input types below declare exactly that.
 *
 * ---- Records ----------------------------------------------------------------
 *
 * Little-endian, each field at the offset the struct gives it; the checks at
 * the end of this file fix every size and every offset. A "buffer" is a
 * user-space address (of the caller's memory) carried as a u64; a "name" is
 * the address of a registration name's characters and their count (no NUL
 * needed), optionally ending in "_Ver" and the version the client expects.
 * Booleans and 8-bit results occupy the first byte of a 32-bit slot, 16-bit
 * results its low half; fields named reserved are ignored on input and 0 on
 * output.
 *
 * Buffer sizes the records do not carry:
 *   - *_getRegistrationNames: 64 bytes per registration (ask
 *     *_getNumberOfRegistrations first); every slot holds one name, NUL
 *     terminated and zero filled, or its first 64 characters when longer.
 *   - arm_getRegistrationList: the size that arm_getSizeOfRegistrationList
 *     answers; the names are written separated by TAB, without a NUL.
 *   - arm_getRegisterFormat: the record's capacity counts fields: the
 *     field-type buffer holds that many bytes and the mask buffer that many
 *     u64. A register of more fields (up to 64) is answered with -52019 and
 *     a count of 0, and nothing is written; otherwise the driver writes the
 *     register's field count of each.
 *   - routing: the capacity fields count records of the kelvo_route_* types.
 */
#ifndef KELVO_IOCTL_H
#define KELVO_IOCTL_H

#include <stddef.h>
#include <stdint.h>

#include "status_codes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Codes ------------------------------------------------------------------ */

/* 0x27 cooling */
#define KELVO_IOCTL_voquantaPXICooling_getCoolingMode 0x00202701u
#define KELVO_IOCTL_voquantaPXICooling_overrideCoolingMode 0x00202702u
/* 0x28 hardware conditions */
#define KELVO_IOCTL_hwCondition_clearChannelBasedHardwareErrors 0x00202800u
#define KELVO_IOCTL_hwCondition_checkBoardAndChannelBasedHardwareErrors 0x00202801u
#define KELVO_IOCTL_hwCondition_checkMeasureFIFOOverflowStatus 0x00202802u
/* 0x29 measure unit */
#define KELVO_IOCTL_measureUnit_arm 0x00202900u
#define KELVO_IOCTL_measureUnit_reset 0x00202901u
/* 0x2A sequencer */
#define KELVO_IOCTL_wexmoor_startSequenceEngine 0x00202a00u
#define KELVO_IOCTL_wexmoor_resetSequenceEngine 0x00202a01u
#define KELVO_IOCTL_wexmoor_isSequenceEngineRunning 0x00202a02u
#define KELVO_IOCTL_wexmoor_downloadSubroutines 0x00202a03u
#define KELVO_IOCTL_wexmoor_getSubroutines 0x00202a04u
#define KELVO_IOCTL_wexmoor_getNumSubroutines 0x00202a05u
#define KELVO_IOCTL_wexmoor_executeSubroutine 0x00202a06u
/* 0x2B setup level */
#define KELVO_IOCTL_kelvo_getSetupLevel 0x00202b00u
/* 0x2C triggers and events */
#define KELVO_IOCTL_triggersAndEvents_overrideTrigger 0x00202c00u
#define KELVO_IOCTL_triggersAndEvents_checkEventLatch 0x00202c01u
#define KELVO_IOCTL_triggersAndEvents_clearEventLatch 0x00202c02u
#define KELVO_IOCTL_triggersAndEvents_clearAllEventLatches 0x00202c03u
/* 0x2E channel operations */
#define KELVO_IOCTL_corran_getHardwareErrors 0x00202e00u
#define KELVO_IOCTL_corran_readTemperatureSensor 0x00202e02u
#define KELVO_IOCTL_corran_queryInCompliance 0x00202e03u
#define KELVO_IOCTL_corran_areStorageMapChecksumsValid 0x00202e04u
#define KELVO_IOCTL_corran_areStorageMapVersionsValid 0x00202e05u
#define KELVO_IOCTL_corran_getAlarmRaised 0x00202e06u
#define KELVO_IOCTL_corran_clearAlarm 0x00202e07u
#define KELVO_IOCTL_corran_maskAlarm 0x00202e08u
#define KELVO_IOCTL_corran_unmaskAlarm 0x00202e09u
#define KELVO_IOCTL_corran_calculateChargeBalanceOffset 0x00202e0au
#define KELVO_IOCTL_corran_configureChargeBalanceOffset 0x00202e0bu
#define KELVO_IOCTL_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy 0x00202e0cu
#define KELVO_IOCTL_corran_configureMeasureUnit 0x00202e0du
#define KELVO_IOCTL_corran_getMeasurement 0x00202e0eu
#define KELVO_IOCTL_corran_stagePowerAllocation 0x00202e0fu
#define KELVO_IOCTL_corran_commitPowerAllocation 0x00202e10u
#define KELVO_IOCTL_corran_discardPowerAllocation 0x00202e11u
#define KELVO_IOCTL_corran_getActualPowerAllocation 0x00202e12u
#define KELVO_IOCTL_corran_readDAC 0x00202e13u
#define KELVO_IOCTL_corran_writeCmccDigipot 0x00202e14u
#define KELVO_IOCTL_corran_fetchChargeBalanceOffsetRawData 0x00202e15u
#define KELVO_IOCTL_corran_getConnectedAccessory 0x00202e16u
#define KELVO_IOCTL_corran_setConnectedAccessory 0x00202e17u
/* 0x80 routing */
#define KELVO_IOCTL_routing_queryVersion 0x00208000u
#define KELVO_IOCTL_routing_calculateRoute 0x00208001u
#define KELVO_IOCTL_routing_destroyRoute 0x00208002u
#define KELVO_IOCTL_routing_reserveRoute 0x00208003u
#define KELVO_IOCTL_routing_programRoute 0x00208004u
#define KELVO_IOCTL_routing_unreserveRoute 0x00208005u
#define KELVO_IOCTL_routing_unprogramRoute 0x00208006u
#define KELVO_IOCTL_routing_getRouteTerminalPath 0x00208007u
#define KELVO_IOCTL_routing_getTopographyName 0x00208008u
#define KELVO_IOCTL_routing_resetTerminal 0x0020800au
#define KELVO_IOCTL_routing_calculateResetTerminal 0x0020800bu
/* 0x81 register maps */
#define KELVO_IOCTL_arm_write 0x00208100u
#define KELVO_IOCTL_arm_read 0x00208101u
#define KELVO_IOCTL_arm_flushRegister 0x00208102u
#define KELVO_IOCTL_arm_refreshRegister 0x00208103u
#define KELVO_IOCTL_arm_getNumberOfRegistrations 0x00208104u
#define KELVO_IOCTL_arm_getRegistrationNames 0x00208105u
#define KELVO_IOCTL_arm_flushRegMap 0x00208108u
#define KELVO_IOCTL_arm_set 0x00208109u
#define KELVO_IOCTL_arm_get 0x0020810au
#define KELVO_IOCTL_arm_writeEx 0x0020810bu
#define KELVO_IOCTL_arm_readEx 0x0020810cu
#define KELVO_IOCTL_arm_setEx 0x0020810du
#define KELVO_IOCTL_arm_getEx 0x0020810eu
#define KELVO_IOCTL_arm_flushRegisterEx 0x0020810fu
#define KELVO_IOCTL_arm_refreshRegisterEx 0x00208110u
#define KELVO_IOCTL_arm_getRegisterFormat 0x00208111u
#define KELVO_IOCTL_arm_getSizeOfRegistrationList 0x00208112u
#define KELVO_IOCTL_arm_getRegistrationList 0x00208113u
/* 0x81 device windows */
#define KELVO_IOCTL_deviceWindow_flush 0x00208140u
#define KELVO_IOCTL_deviceWindow_getNumberOfRegistrations 0x00208141u
#define KELVO_IOCTL_deviceWindow_getRegistrationNames 0x00208142u
#define KELVO_IOCTL_deviceWindow_getSizeInBytes 0x00208143u
#define KELVO_IOCTL_deviceWindow_write 0x00208144u
#define KELVO_IOCTL_deviceWindow_read 0x00208145u
#define KELVO_IOCTL_deviceWindow_set 0x00208146u
#define KELVO_IOCTL_deviceWindow_get 0x00208147u
#define KELVO_IOCTL_deviceWindow_refresh 0x00208148u
/* 0x81 storage maps */
#define KELVO_IOCTL_storageMap_flush 0x00208180u
#define KELVO_IOCTL_storageMap_getNumberOfRegistrations 0x00208181u
#define KELVO_IOCTL_storageMap_getRegistrationNames 0x00208182u
#define KELVO_IOCTL_storageMap_getElementCount 0x00208183u
#define KELVO_IOCTL_storageMap_getElementSize 0x00208184u
#define KELVO_IOCTL_storageMap_refresh 0x00208185u
#define KELVO_IOCTL_storageMap_setRaw 0x0020818cu
#define KELVO_IOCTL_storageMap_getRaw 0x002081a0u
#define KELVO_IOCTL_storageMap_isChecksumValid 0x002081b5u
/* 0x82 DMA */
#define KELVO_IOCTL_brixelTools_startDMA 0x00208200u
#define KELVO_IOCTL_brixelTools_stopDMA 0x00208201u
#define KELVO_IOCTL_brixelTools_addTransferToDevice 0x00208202u
#define KELVO_IOCTL_brixelTools_addTransferFromDevice 0x00208203u
#define KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount 0x00208204u
#define KELVO_IOCTL_brixelTools_getTransferCount 0x00208205u
#define KELVO_IOCTL_brixelTools_clearTransfers 0x00208206u
#define KELVO_IOCTL_brixelTools_clearApplicationFIFO 0x00208207u
#define KELVO_IOCTL_brixelTools_waitUntilBytesTransferred 0x00208208u
#define KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred 0x00208209u
/* 0x86 reset, hardware state, cleanup, reservation */
#define KELVO_IOCTL_kdut_reset 0x00208600u
#define KELVO_IOCTL_kdut_checkHardwareState 0x00208601u
#define KELVO_IOCTL_kdut_checkChannelHardwareState 0x00208602u
#define KELVO_IOCTL_kdut_cleanup 0x00208603u
#define KELVO_IOCTL_kdut_reserveResources 0x00208604u
/* the cooling interface's two codes (also answered by "smu_kelvo") */
#define KELVO_IOCTL_pxiCooling_setCoolingMode 0x40208401u
#define KELVO_IOCTL_pxiCooling_getRequestedCoolingMode 0x80208400u

/* Setup levels: 0 nothing set up ... 19 fully set up (kdut_reset's target,
 * kelvo_getSetupLevel's answer). A code's operation answers
 * KELVO_STATUS_SETUP_TARGET_REACHED while the module is below the level the
 * driver needs for it. */
#define KELVO_SETUP_LEVEL_COMPLETE 19u

/* Bytes per name slot of the *_getRegistrationNames codes. */
#define KELVO_NAME_SLOT_SIZE 64u

/* ---- Records ------------------------------------------------------------------ */

/* A record that is the status word alone (4 bytes). */
typedef struct kelvo_status_record {
    int32_t status;
} kelvo_status_record;

/* The input of a code answered without an operation, N bytes: arguments the
 * driver does not read, then the caller's status word in the last four bytes. */
#define KELVO_STUB_INPUT(op, n)                                                                              \
    typedef struct kelvo_##op##_in {                                                                         \
        uint8_t arguments[(n)-4];                                                                            \
        int32_t status;                                                                                      \
    } kelvo_##op##_in

/* An output that is a u32 result and the status word (8 bytes). */
#define KELVO_U32_OUTPUT(op, field)                                                                          \
    typedef struct kelvo_##op##_out {                                                                        \
        uint32_t field;                                                                                      \
        int32_t status;                                                                                      \
    } kelvo_##op##_out

/* An output that is a boolean in a u32 slot and the status word (8 bytes). */
#define KELVO_BOOL_OUTPUT(op, field)                                                                         \
    typedef struct kelvo_##op##_out {                                                                        \
        uint8_t field;                                                                                       \
        uint8_t reserved[3];                                                                                 \
        int32_t status;                                                                                      \
    } kelvo_##op##_out

/* An output that is a u64 result and the status word (16 bytes). */
#define KELVO_U64_OUTPUT(op, field)                                                                          \
    typedef struct kelvo_##op##_out {                                                                        \
        uint64_t field;                                                                                      \
        int32_t status;                                                                                      \
        uint32_t reserved;                                                                                   \
    } kelvo_##op##_out

/* An input that is one u64 and the caller's status word (16 bytes). */
#define KELVO_U64_INPUT(op, field)                                                                           \
    typedef struct kelvo_##op##_in {                                                                         \
        uint64_t field;                                                                                      \
        int32_t status;                                                                                      \
        uint32_t reserved;                                                                                   \
    } kelvo_##op##_in

/* An input that is one u32 and the caller's status word (8 bytes). */
#define KELVO_U32_INPUT(op, field)                                                                           \
    typedef struct kelvo_##op##_in {                                                                         \
        uint32_t field;                                                                                      \
        int32_t status;                                                                                      \
    } kelvo_##op##_in

/* An input that is a channel number (u8) and the caller's status word (8 bytes). */
#define KELVO_CHANNEL_INPUT(op)                                                                              \
    typedef struct kelvo_##op##_in {                                                                         \
        uint8_t channel;                                                                                     \
        uint8_t reserved[3];                                                                                 \
        int32_t status;                                                                                      \
    } kelvo_##op##_in

/* An input that is a registration name and the caller's status word (24 bytes). */
#define KELVO_NAME_INPUT(op)                                                                                 \
    typedef struct kelvo_##op##_in {                                                                         \
        uint64_t nameAddress;                                                                                \
        uint64_t nameLength;                                                                                 \
        int32_t status;                                                                                      \
        uint32_t reserved;                                                                                   \
    } kelvo_##op##_in

/* An input that is a name, a field id and the caller's status word (24 bytes). */
#define KELVO_NAME_FIELD_INPUT(op)                                                                           \
    typedef struct kelvo_##op##_in {                                                                         \
        uint64_t nameAddress;                                                                                \
        uint64_t nameLength;                                                                                 \
        uint32_t fieldId;                                                                                    \
        int32_t status;                                                                                      \
    } kelvo_##op##_in

/* A route request of one route ID (8 bytes). */
#define KELVO_ROUTE_INPUT(op) KELVO_U32_INPUT(op, routeID)
/* A DMA request of one DMA channel (8 bytes). */
#define KELVO_DMA_INPUT(op) KELVO_U32_INPUT(op, channel)

/* cooling */
typedef kelvo_status_record kelvo_voquantaPXICooling_getCoolingMode_in;
KELVO_U32_OUTPUT(voquantaPXICooling_getCoolingMode, coolingMode);
KELVO_U32_INPUT(voquantaPXICooling_overrideCoolingMode, coolingMode);
typedef kelvo_status_record kelvo_voquantaPXICooling_overrideCoolingMode_out;
KELVO_U32_INPUT(pxiCooling_setCoolingMode, coolingMode);
typedef kelvo_status_record kelvo_pxiCooling_setCoolingMode_out;
typedef kelvo_status_record kelvo_pxiCooling_getRequestedCoolingMode_in;
KELVO_U32_OUTPUT(pxiCooling_getRequestedCoolingMode, coolingMode);

/* hardware conditions */
KELVO_U64_INPUT(hwCondition_clearChannelBasedHardwareErrors, channelMask);
typedef kelvo_status_record kelvo_hwCondition_clearChannelBasedHardwareErrors_out;
KELVO_U64_INPUT(hwCondition_checkBoardAndChannelBasedHardwareErrors, channelMask);
typedef kelvo_status_record kelvo_hwCondition_checkBoardAndChannelBasedHardwareErrors_out;
KELVO_STUB_INPUT(hwCondition_checkMeasureFIFOOverflowStatus, 16);
typedef kelvo_status_record kelvo_hwCondition_checkMeasureFIFOOverflowStatus_out;

/* measure unit */
KELVO_U32_INPUT(measureUnit_arm, channel);
typedef kelvo_status_record kelvo_measureUnit_arm_out;
KELVO_U32_INPUT(measureUnit_reset, channel);
typedef kelvo_status_record kelvo_measureUnit_reset_out;

/* sequencer */
typedef struct kelvo_wexmoor_startSequenceEngine_in {
    uint64_t channelMask;
    uint32_t commandCount;
    int32_t status;
} kelvo_wexmoor_startSequenceEngine_in;
typedef kelvo_status_record kelvo_wexmoor_startSequenceEngine_out;
KELVO_U64_INPUT(wexmoor_resetSequenceEngine, channelMask);
typedef kelvo_status_record kelvo_wexmoor_resetSequenceEngine_out;
KELVO_U64_INPUT(wexmoor_isSequenceEngineRunning, channelMask);
KELVO_BOOL_OUTPUT(wexmoor_isSequenceEngineRunning, running);
KELVO_STUB_INPUT(wexmoor_downloadSubroutines, 40);
typedef kelvo_status_record kelvo_wexmoor_downloadSubroutines_out;
typedef struct kelvo_wexmoor_getSubroutines_in {
    uint64_t idBuffer;      /* subroutineCount u32 IDs */
    uint64_t addressBuffer; /* subroutineCount u32 local-RAM addresses */
    uint32_t subroutineCount;
    int32_t status;
} kelvo_wexmoor_getSubroutines_in;
typedef kelvo_status_record kelvo_wexmoor_getSubroutines_out;
typedef kelvo_status_record kelvo_wexmoor_getNumSubroutines_in;
KELVO_U32_OUTPUT(wexmoor_getNumSubroutines, subroutineCount);
KELVO_STUB_INPUT(wexmoor_executeSubroutine, 24);
typedef kelvo_status_record kelvo_wexmoor_executeSubroutine_out;

/* setup level */
typedef kelvo_status_record kelvo_kelvo_getSetupLevel_in;
KELVO_U32_OUTPUT(kelvo_getSetupLevel, setupLevel);

/* triggers and events */
typedef struct kelvo_triggersAndEvents_overrideTrigger_in {
    uint64_t triggerWord;
    uint32_t trigger;
    int32_t status;
} kelvo_triggersAndEvents_overrideTrigger_in;
KELVO_BOOL_OUTPUT(triggersAndEvents_overrideTrigger, result);
typedef struct kelvo_triggersAndEvents_checkEventLatch_in {
    uint64_t channelMask;
    uint16_t event;
    uint16_t reserved;
    int32_t status;
} kelvo_triggersAndEvents_checkEventLatch_in;
KELVO_BOOL_OUTPUT(triggersAndEvents_checkEventLatch, latched);
typedef kelvo_triggersAndEvents_checkEventLatch_in kelvo_triggersAndEvents_clearEventLatch_in;
typedef kelvo_status_record kelvo_triggersAndEvents_clearEventLatch_out;
KELVO_STUB_INPUT(triggersAndEvents_clearAllEventLatches, 16);
typedef kelvo_status_record kelvo_triggersAndEvents_clearAllEventLatches_out;

/* channel operations */
typedef struct kelvo_corran_getHardwareErrors_in {
    uint64_t firstWord;
    uint32_t secondWord;
    int32_t status;
} kelvo_corran_getHardwareErrors_in;
typedef kelvo_status_record kelvo_corran_getHardwareErrors_out;
KELVO_U32_INPUT(corran_readTemperatureSensor, sensor);
typedef struct kelvo_corran_readTemperatureSensor_out {
    uint16_t temperature;
    uint16_t reserved;
    int32_t status;
} kelvo_corran_readTemperatureSensor_out;
KELVO_CHANNEL_INPUT(corran_queryInCompliance);
KELVO_BOOL_OUTPUT(corran_queryInCompliance, inCompliance);
typedef kelvo_status_record kelvo_corran_areStorageMapChecksumsValid_in;
KELVO_U32_OUTPUT(corran_areStorageMapChecksumsValid, allValid);
typedef kelvo_status_record kelvo_corran_areStorageMapVersionsValid_in;
KELVO_U32_OUTPUT(corran_areStorageMapVersionsValid, allValid);
KELVO_STUB_INPUT(corran_getAlarmRaised, 16);
KELVO_U32_OUTPUT(corran_getAlarmRaised, result);
KELVO_STUB_INPUT(corran_clearAlarm, 16);
typedef kelvo_status_record kelvo_corran_clearAlarm_out;
KELVO_STUB_INPUT(corran_maskAlarm, 16);
typedef kelvo_status_record kelvo_corran_maskAlarm_out;
KELVO_STUB_INPUT(corran_unmaskAlarm, 16);
typedef kelvo_status_record kelvo_corran_unmaskAlarm_out;
typedef struct kelvo_corran_calculateChargeBalanceOffset_in {
    uint8_t channel;
    uint8_t loop;
    uint16_t reserved;
    int32_t status;
} kelvo_corran_calculateChargeBalanceOffset_in;
typedef struct kelvo_corran_calculateChargeBalanceOffset_out {
    uint16_t offset;
    uint16_t reserved;
    int32_t status;
} kelvo_corran_calculateChargeBalanceOffset_out;
typedef struct kelvo_corran_configureChargeBalanceOffset_in {
    uint8_t channel;
    uint8_t loop;
    uint16_t offset;
    int32_t status;
} kelvo_corran_configureChargeBalanceOffset_in;
typedef kelvo_status_record kelvo_corran_configureChargeBalanceOffset_out;
KELVO_U64_INPUT(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, channelMask);
typedef kelvo_status_record kelvo_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy_out;
KELVO_STUB_INPUT(corran_configureMeasureUnit, 40);
typedef kelvo_status_record kelvo_corran_configureMeasureUnit_out;
KELVO_STUB_INPUT(corran_getMeasurement, 24);
typedef kelvo_status_record kelvo_corran_getMeasurement_out;
typedef struct kelvo_corran_stagePowerAllocation_in {
    uint8_t channel;
    uint8_t reserved[3];
    uint32_t powerMicrowatts;
    int32_t status;
} kelvo_corran_stagePowerAllocation_in;
KELVO_U32_OUTPUT(corran_stagePowerAllocation, result);
KELVO_CHANNEL_INPUT(corran_commitPowerAllocation);
typedef kelvo_status_record kelvo_corran_commitPowerAllocation_out;
KELVO_CHANNEL_INPUT(corran_discardPowerAllocation);
typedef kelvo_status_record kelvo_corran_discardPowerAllocation_out;
KELVO_CHANNEL_INPUT(corran_getActualPowerAllocation);
KELVO_U32_OUTPUT(corran_getActualPowerAllocation, powerMicrowatts);
KELVO_STUB_INPUT(corran_readDAC, 8);
KELVO_U32_OUTPUT(corran_readDAC, result);
KELVO_STUB_INPUT(corran_writeCmccDigipot, 8);
typedef kelvo_status_record kelvo_corran_writeCmccDigipot_out;
KELVO_STUB_INPUT(corran_fetchChargeBalanceOffsetRawData, 24);
typedef kelvo_status_record kelvo_corran_fetchChargeBalanceOffsetRawData_out;
typedef kelvo_status_record kelvo_corran_getConnectedAccessory_in;
KELVO_U32_OUTPUT(corran_getConnectedAccessory, accessory);
KELVO_U32_INPUT(corran_setConnectedAccessory, accessory);
typedef kelvo_status_record kelvo_corran_setConnectedAccessory_out;

/* routing: records in the caller's buffers */
typedef struct kelvo_route_seed { /* 12 bytes */
    uint32_t sourceTerminalID;
    uint32_t startCost;
    uint8_t hasInversionConstraint;
    uint8_t reserved[3];
} kelvo_route_seed;
typedef struct kelvo_route_possibility { /* 20 bytes */
    uint32_t routeID;
    uint32_t destinationTerminalID;
    uint32_t cost;
    int32_t seedIndex;
    uint8_t inverted;
    uint8_t reserved[3];
} kelvo_route_possibility;
typedef struct kelvo_route_conflict { /* 16 bytes */
    uint64_t owner;
    uint32_t routeID;
    uint32_t reserved;
} kelvo_route_conflict;

/* routing
 * Counts are bounded: a seedCount or destinationCount above
 * KELVO_ROUTING_MAX_RECORDS answers -52005 and nothing is calculated. A
 * possibilitiesCapacity, conflictsCapacity or pathCapacity is the number of
 * records the buffer holds, any value: the driver writes only the records it
 * found, never more than the capacity. Too small a possibilities or path
 * capacity answers -52019 with the count needed and writes nothing (the
 * routes found are destroyed again); conflicts beyond the capacity are left
 * out. A handle keeps at most KELVO_ROUTING_MAX_ROUTES_PER_HANDLE routes
 * (calculated or reset-terminal routes, until destroyed): calculateRoute and
 * calculateResetTerminal of a handle that keeps that many, or whose routes
 * found would take it past them, answer -52000 and keep nothing new (the
 * count answered is the number found; for a full handle no search runs and
 * it is 0). A handle opened before routing was set up, or whose routing was
 * cleaned up, answers -52020 (queryVersion answers 1; destroy, unreserve and
 * unprogram answer 0 and do nothing). */
#define KELVO_ROUTING_MAX_RECORDS 4096u
#define KELVO_ROUTING_MAX_ROUTES_PER_HANDLE 65536u
typedef kelvo_status_record kelvo_routing_queryVersion_in;
KELVO_U32_OUTPUT(routing_queryVersion, version);
typedef struct kelvo_routing_calculateRoute_in {
    uint64_t routeOwner;
    uint64_t seedBuffer; /* seedCount kelvo_route_seed */
    uint32_t seedCount;
    uint32_t reserved20;
    uint64_t destinationBuffer; /* destinationCount u32 terminal IDs */
    uint32_t destinationCount;
    uint32_t routeCalculationWord;
    uint64_t possibilitiesBuffer; /* possibilitiesCapacity kelvo_route_possibility */
    uint32_t possibilitiesCapacity;
    int32_t status;
} kelvo_routing_calculateRoute_in;
typedef struct kelvo_routing_calculateRoute_out {
    uint32_t result;
    uint32_t possibilitiesCount;
    int32_t status;
} kelvo_routing_calculateRoute_out;
KELVO_ROUTE_INPUT(routing_destroyRoute);
typedef kelvo_status_record kelvo_routing_destroyRoute_out;
typedef struct kelvo_routing_reserveRoute_in {
    uint32_t routeID;
    uint32_t reserved4;
    uint64_t conflictsBuffer; /* conflictsCapacity kelvo_route_conflict */
    uint32_t conflictsCapacity;
    int32_t status;
} kelvo_routing_reserveRoute_in;
KELVO_U32_OUTPUT(routing_reserveRoute, conflictsCount);
KELVO_ROUTE_INPUT(routing_programRoute);
typedef kelvo_status_record kelvo_routing_programRoute_out;
KELVO_ROUTE_INPUT(routing_unreserveRoute);
typedef kelvo_status_record kelvo_routing_unreserveRoute_out;
KELVO_ROUTE_INPUT(routing_unprogramRoute);
typedef kelvo_status_record kelvo_routing_unprogramRoute_out;
typedef struct kelvo_routing_getRouteTerminalPath_in {
    uint32_t routeID;
    uint32_t reserved4;
    uint64_t pathBuffer; /* pathCapacity u32 terminal IDs */
    uint32_t pathCapacity;
    int32_t status;
} kelvo_routing_getRouteTerminalPath_in;
KELVO_U32_OUTPUT(routing_getRouteTerminalPath, pathLength);
typedef struct kelvo_routing_getTopographyName_in {
    uint64_t nameBuffer;
    uint32_t bufferSize; /* must exceed the name's length (room for its NUL) */
    int32_t status;
} kelvo_routing_getTopographyName_in;
typedef kelvo_status_record kelvo_routing_getTopographyName_out;
typedef struct kelvo_routing_resetTerminal_in {
    uint32_t terminalID;
    uint32_t resetWord;
    int32_t status;
} kelvo_routing_resetTerminal_in;
typedef kelvo_status_record kelvo_routing_resetTerminal_out;
typedef struct kelvo_routing_calculateResetTerminal_in {
    uint64_t routeOwner;
    uint32_t terminalID;
    uint32_t resetWord;
    int32_t status;
    uint32_t reserved;
} kelvo_routing_calculateResetTerminal_in;
KELVO_U32_OUTPUT(routing_calculateResetTerminal, result);

/* register maps */
typedef struct kelvo_arm_write_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint32_t value;
    uint8_t force;
    uint8_t reserved[3];
    int32_t status;
} kelvo_arm_write_in;
typedef kelvo_status_record kelvo_arm_write_out;
KELVO_NAME_FIELD_INPUT(arm_read);
KELVO_U32_OUTPUT(arm_read, value);
typedef struct kelvo_arm_flushRegister_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint8_t force;
    uint8_t reserved[3];
    int32_t status;
    uint32_t reserved28;
} kelvo_arm_flushRegister_in;
typedef kelvo_status_record kelvo_arm_flushRegister_out;
KELVO_NAME_FIELD_INPUT(arm_refreshRegister);
typedef kelvo_status_record kelvo_arm_refreshRegister_out;
typedef kelvo_status_record kelvo_arm_getNumberOfRegistrations_in;
KELVO_U64_OUTPUT(arm_getNumberOfRegistrations, count);
KELVO_U64_INPUT(arm_getRegistrationNames, buffer);
typedef kelvo_status_record kelvo_arm_getRegistrationNames_out;
typedef struct kelvo_arm_flushRegMap_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint8_t force;
    uint8_t reserved[3];
    int32_t status;
} kelvo_arm_flushRegMap_in;
typedef kelvo_status_record kelvo_arm_flushRegMap_out;
typedef struct kelvo_arm_set_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint32_t value;
    int32_t status;
    uint32_t reserved;
} kelvo_arm_set_in;
typedef kelvo_status_record kelvo_arm_set_out;
KELVO_NAME_FIELD_INPUT(arm_get);
KELVO_U32_OUTPUT(arm_get, value);
typedef struct kelvo_arm_writeEx_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint32_t reserved20;
    uint64_t index; /* at most 0xFFFFFF */
    uint64_t value;
    uint8_t force;
    uint8_t reserved[3];
    int32_t status;
} kelvo_arm_writeEx_in;
typedef kelvo_status_record kelvo_arm_writeEx_out;
typedef struct kelvo_arm_readEx_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint32_t reserved20;
    uint64_t index;
    int32_t status;
    uint32_t reserved;
} kelvo_arm_readEx_in;
KELVO_U64_OUTPUT(arm_readEx, value);
typedef struct kelvo_arm_setEx_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint32_t reserved20;
    uint64_t index;
    uint64_t value;
    int32_t status;
    uint32_t reserved;
} kelvo_arm_setEx_in;
typedef kelvo_status_record kelvo_arm_setEx_out;
typedef kelvo_arm_readEx_in kelvo_arm_getEx_in;
KELVO_U64_OUTPUT(arm_getEx, value);
typedef struct kelvo_arm_flushRegisterEx_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint32_t reserved20;
    uint64_t index;
    uint8_t force;
    uint8_t reserved[3];
    int32_t status;
} kelvo_arm_flushRegisterEx_in;
typedef kelvo_status_record kelvo_arm_flushRegisterEx_out;
typedef kelvo_arm_readEx_in kelvo_arm_refreshRegisterEx_in;
typedef kelvo_status_record kelvo_arm_refreshRegisterEx_out;
typedef struct kelvo_arm_getRegisterFormat_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t registerId;
    uint32_t capacity;        /* fields each buffer holds */
    uint64_t fieldTypeBuffer; /* one byte per field */
    uint64_t maskBuffer;      /* one u64 per field */
    int32_t status;
    uint32_t reserved;
} kelvo_arm_getRegisterFormat_in;
KELVO_U32_OUTPUT(arm_getRegisterFormat, fieldCount);
typedef kelvo_status_record kelvo_arm_getSizeOfRegistrationList_in;
KELVO_U64_OUTPUT(arm_getSizeOfRegistrationList, size);
KELVO_U64_INPUT(arm_getRegistrationList, buffer);
typedef kelvo_status_record kelvo_arm_getRegistrationList_out;

/* device windows */
typedef struct kelvo_deviceWindow_flush_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint64_t offset;
    uint64_t size;
    uint8_t force;
    uint8_t reserved[3];
    int32_t status;
} kelvo_deviceWindow_flush_in;
typedef kelvo_status_record kelvo_deviceWindow_flush_out;
typedef kelvo_status_record kelvo_deviceWindow_getNumberOfRegistrations_in;
KELVO_U64_OUTPUT(deviceWindow_getNumberOfRegistrations, count);
KELVO_U64_INPUT(deviceWindow_getRegistrationNames, buffer);
typedef kelvo_status_record kelvo_deviceWindow_getRegistrationNames_out;
KELVO_NAME_INPUT(deviceWindow_getSizeInBytes);
KELVO_U64_OUTPUT(deviceWindow_getSizeInBytes, size);
typedef struct kelvo_deviceWindow_write_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint64_t buffer;
    uint64_t offset;
    uint64_t size;
    uint8_t force;
    uint8_t reserved[3];
    int32_t status;
} kelvo_deviceWindow_write_in;
typedef kelvo_status_record kelvo_deviceWindow_write_out;
typedef struct kelvo_deviceWindow_read_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint64_t offset;
    uint64_t size;
    uint64_t buffer;
    int32_t status;
    uint32_t reserved;
} kelvo_deviceWindow_read_in;
typedef kelvo_status_record kelvo_deviceWindow_read_out;
typedef struct kelvo_deviceWindow_set_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint64_t buffer;
    uint64_t offset;
    uint64_t size;
    int32_t status;
    uint32_t reserved;
} kelvo_deviceWindow_set_in;
typedef kelvo_status_record kelvo_deviceWindow_set_out;
typedef kelvo_deviceWindow_read_in kelvo_deviceWindow_get_in;
typedef kelvo_status_record kelvo_deviceWindow_get_out;
typedef struct kelvo_deviceWindow_refresh_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint64_t offset;
    uint64_t size;
    int32_t status;
    uint32_t reserved;
} kelvo_deviceWindow_refresh_in;
typedef kelvo_status_record kelvo_deviceWindow_refresh_out;

/* storage maps */
typedef kelvo_arm_flushRegMap_in kelvo_storageMap_flush_in;
typedef kelvo_status_record kelvo_storageMap_flush_out;
typedef kelvo_status_record kelvo_storageMap_getNumberOfRegistrations_in;
KELVO_U64_OUTPUT(storageMap_getNumberOfRegistrations, count);
KELVO_U64_INPUT(storageMap_getRegistrationNames, buffer);
typedef kelvo_status_record kelvo_storageMap_getRegistrationNames_out;
KELVO_NAME_FIELD_INPUT(storageMap_getElementCount);
KELVO_U64_OUTPUT(storageMap_getElementCount, count);
KELVO_NAME_FIELD_INPUT(storageMap_getElementSize);
KELVO_U64_OUTPUT(storageMap_getElementSize, size);
KELVO_NAME_INPUT(storageMap_refresh);
typedef kelvo_status_record kelvo_storageMap_refresh_out;
typedef struct kelvo_storageMap_setRaw_in {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t fieldId;
    uint32_t reserved20;
    uint64_t firstElement;
    uint64_t elementCount;
    uint64_t buffer; /* elementCount * elementSize bytes */
    uint64_t elementSize;
    int32_t status;
    uint32_t reserved;
} kelvo_storageMap_setRaw_in;
typedef kelvo_status_record kelvo_storageMap_setRaw_out;
typedef kelvo_storageMap_setRaw_in kelvo_storageMap_getRaw_in;
typedef kelvo_status_record kelvo_storageMap_getRaw_out;
KELVO_NAME_INPUT(storageMap_isChecksumValid);
KELVO_BOOL_OUTPUT(storageMap_isChecksumValid, valid);

/* DMA (channel: the stream index, 0 device to host, 1 host to device)
 *
 * Bounds of an added transfer (answered with -52005, nothing added): a buffer
 * of more than KELVO_DMA_MAX_TRANSFER_BYTES, or whose range wraps past the top
 * of the address space; a list (finite or continuous) that would hold more
 * than KELVO_DMA_MAX_ENTRIES_PER_LIST entries (one entry per physically
 * contiguous run of the buffer, listed repeat-count times); a finite transfer
 * after a continuous one, or any transfer after a start that joined both
 * lists, until the transfers are cleared. A buffer of 0 bytes is -52019 and a
 * repeat count of 0 is 0xBFFA806C (nothing added either way). While the
 * stream runs, clearing the transfers and starting again answer 0xBFFA806E
 * (adding continuous transfers stays allowed; they run from the next start
 * on).
 *
 * A transfer belongs to the handle that added it: closing the handle, or its
 * kdut_cleanup, takes back its transfers on both channels (stopping a stream
 * that runs them; the other handles' transfers stay listed and run from the
 * next start), while clearTransfers takes back every handle's on its channel.
 * One handle keeps at most KELVO_DMA_MAX_LOCKED_BYTES_PER_HANDLE bytes of
 * user pages locked, both channels together, counting the whole pages each
 * added buffer spans once (whatever its repeat count): an addition beyond
 * that answers -52000 and adds nothing.
 *
 * What a start leaves running is owed by the handle that started the stream,
 * for that start only: the stop of the stream's credits (on a channel that
 * has them), the stream's stop and its FIFO reset. stopDMA runs these steps
 * in that order. A step that this handle does not owe for the stream's
 * current start (another handle started it, the stream was started again
 * since, or this handle's stop or clear already did it) still runs, but the
 * request then answers -52006 and skips the steps after it.
 * clearApplicationFIFO empties the FIFO of a stream that may keep running: on
 * a channel with credits it first stops them, a step this handle must owe as
 * above (-52006 and nothing more when it does not); then it resets the FIFO,
 * which any handle may ask and which settles nothing (so on a channel without
 * credits it answers 0 whoever started the stream); then, on a channel with
 * credits, it starts them again, and from then on this handle owes their
 * stop. clearTransfers takes back every transfer of its channel and then
 * answers -52006 unless this handle added the first transfer into the
 * channel's empty lists.
 *
 * While a handle holds the reservation of physical channel 0
 * (kdut_reserveResources, mask 1), the requests of this group on DMA channel
 * 0 or 1 from any other handle, but for the wait and its cancel, answer
 * 0xBFFA4319 and change nothing. The grant ends the other handles' use of
 * both DMA channels as their close would: the streams they started are
 * stopped and their FIFOs reset, and their transfers are taken back; so
 * nothing they set up before, nor their cleanup or close afterwards, reaches
 * the holder's stream or data, but for one thing: an additive transfer
 * count (writeStreamAdditiveTransferCount) that another handle wrote stays
 * with the stream circuit, which offers no way to withdraw it. The grant
 * and that handle's close leave it, and the holder's bytes to the device
 * move up to it before the holder allows any.
 *
 * waitUntilBytesTransferred waits, on a DMA channel whose physical channel
 * the handle holds (0xBFFA431A otherwise), until the channel's transfer
 * count has passed startCount by byteCount, or for timeout milliseconds
 * (timedOut 1, status 0; 0 only looks, 0xFFFFFFFF waits without limit). One
 * wait at a time per DMA channel: a second answers -52020.
 * cancelWaitUntilBytesTransferred ends the channel's wait with 0xBFFA40E4.
 * A wait is its handle's for as long as the handle holds the reservation
 * that let it in: the handle's kdut_cleanup (which gives the reservation
 * back) ends it as a cancel does, and so does a grant of the channel to
 * another handle, whatever bytes move afterwards; the DMA channel's next
 * wait (the next holder's) is its own at once. */
#define KELVO_DMA_MAX_TRANSFER_BYTES (1ull << 40)
#define KELVO_DMA_MAX_ENTRIES_PER_LIST (1ull << 20)
#define KELVO_DMA_MAX_LOCKED_BYTES_PER_HANDLE (1ull << 30)
typedef struct kelvo_brixelTools_startDMA_in {
    uint32_t channel;
    uint8_t startFlag;
    uint8_t reserved[3];
    int32_t status;
} kelvo_brixelTools_startDMA_in;
typedef kelvo_status_record kelvo_brixelTools_startDMA_out;
KELVO_DMA_INPUT(brixelTools_stopDMA);
typedef kelvo_status_record kelvo_brixelTools_stopDMA_out;
typedef struct kelvo_brixelTools_addTransferToDevice_in {
    uint32_t channel;
    uint32_t transferKind; /* 0 finite, 1 continuous */
    uint64_t bufferAddress;
    uint64_t bufferSize;
    uint32_t transferWord;
    int32_t status;
} kelvo_brixelTools_addTransferToDevice_in;
typedef kelvo_status_record kelvo_brixelTools_addTransferToDevice_out;
typedef struct kelvo_brixelTools_addTransferFromDevice_in {
    uint32_t channel;
    uint32_t transferKind;
    uint64_t bufferAddress;
    uint64_t bufferSize;
    int32_t status;
    uint32_t reserved;
} kelvo_brixelTools_addTransferFromDevice_in;
typedef kelvo_status_record kelvo_brixelTools_addTransferFromDevice_out;
typedef struct kelvo_brixelTools_writeStreamAdditiveTransferCount_in {
    uint32_t channel;
    uint32_t count;
    int32_t status;
} kelvo_brixelTools_writeStreamAdditiveTransferCount_in;
typedef kelvo_status_record kelvo_brixelTools_writeStreamAdditiveTransferCount_out;
KELVO_DMA_INPUT(brixelTools_getTransferCount);
KELVO_U64_OUTPUT(brixelTools_getTransferCount, transferCount);
KELVO_DMA_INPUT(brixelTools_clearTransfers);
typedef kelvo_status_record kelvo_brixelTools_clearTransfers_out;
KELVO_DMA_INPUT(brixelTools_clearApplicationFIFO);
typedef kelvo_status_record kelvo_brixelTools_clearApplicationFIFO_out;
/* Not naturally aligned: the status word sits at 28, after a reserved word at 24. */
typedef struct kelvo_brixelTools_waitUntilBytesTransferred_in {
    uint32_t channel;
    uint32_t reserved4;
    uint64_t startCount;
    uint32_t byteCount;
    uint32_t timeout;
    uint32_t reserved24;
    int32_t status;
} kelvo_brixelTools_waitUntilBytesTransferred_in;
KELVO_U32_OUTPUT(brixelTools_waitUntilBytesTransferred, timedOut);
KELVO_DMA_INPUT(brixelTools_cancelWaitUntilBytesTransferred);
typedef kelvo_status_record kelvo_brixelTools_cancelWaitUntilBytesTransferred_out;

/* reset, hardware state, cleanup, reservation */
typedef struct kelvo_kdut_reset_in {
    uint32_t setupLevel; /* 0 to 19 */
    uint32_t reserved4;
    uint64_t resetParametersAddress; /* 0, or a struct kelvo_custom_reset_parameters */
    int32_t status;
    uint32_t reserved;
} kelvo_kdut_reset_in;
typedef kelvo_status_record kelvo_kdut_reset_out;
KELVO_U64_INPUT(kdut_checkHardwareState, word); /* word: not used */
typedef kelvo_status_record kelvo_kdut_checkHardwareState_out;
typedef struct kelvo_kdut_checkChannelHardwareState_in {
    uint64_t firstWord;
    uint64_t secondWord;
    int32_t status;
    uint32_t reserved;
} kelvo_kdut_checkChannelHardwareState_in;
typedef kelvo_status_record kelvo_kdut_checkChannelHardwareState_out;
typedef kelvo_status_record kelvo_kdut_cleanup_in;
typedef kelvo_status_record kelvo_kdut_cleanup_out;
KELVO_U64_INPUT(kdut_reserveResources, resourceMask); /* bit 0: channel 0 */
typedef kelvo_status_record kelvo_kdut_reserveResources_out;

/* The custom parameters of a reset (96 bytes). All 0 selects the defaults. */
typedef struct kelvo_custom_reset_parameters {
    uint64_t nonIsolatedFirmwarePtr;
    uint64_t nonIsolatedFirmwareSize;
    uint64_t isolatedFirmwarePtr;
    uint64_t isolatedFirmwareSize;
    uint64_t subroutineCommandsPtr;
    uint64_t numberOfSubroutineCommands; /* at most 8192 (the local RAM kept for subroutines) */
    uint64_t subroutineIdsPtr;
    uint64_t subroutineAddressesPtr;
    uint64_t numberOfSubroutines;     /* at most 8192 */
    uint64_t errorsToDisablePtr;      /* read whole, 4 KiB at a time, and not used further */
    uint64_t numberOfErrorsToDisable; /* at most 0x1FFFFFFF u64 entries */
    uint64_t ignoreStartupErrors;     /* non-zero: true */
} kelvo_custom_reset_parameters;

/* ---- The code table ------------------------------------------------------------
 *
 * X(operation, input bytes, output bytes) for every code of
 * "smu_kelvo", sorted by code; the code is KELVO_IOCTL_##operation and the
 * records kelvo_##operation##_in and kelvo_##operation##_out. */
#define KELVO_IOCTL_TABLE(X)                                                                                 \
    X(voquantaPXICooling_getCoolingMode, 4, 8)                                                               \
    X(voquantaPXICooling_overrideCoolingMode, 8, 4)                                                          \
    X(hwCondition_clearChannelBasedHardwareErrors, 16, 4)                                                    \
    X(hwCondition_checkBoardAndChannelBasedHardwareErrors, 16, 4)                                            \
    X(hwCondition_checkMeasureFIFOOverflowStatus, 16, 4)                                                     \
    X(measureUnit_arm, 8, 4)                                                                                 \
    X(measureUnit_reset, 8, 4)                                                                               \
    X(wexmoor_startSequenceEngine, 16, 4)                                                                    \
    X(wexmoor_resetSequenceEngine, 16, 4)                                                                    \
    X(wexmoor_isSequenceEngineRunning, 16, 8)                                                                \
    X(wexmoor_downloadSubroutines, 40, 4)                                                                    \
    X(wexmoor_getSubroutines, 24, 4)                                                                         \
    X(wexmoor_getNumSubroutines, 4, 8)                                                                       \
    X(wexmoor_executeSubroutine, 24, 4)                                                                      \
    X(kelvo_getSetupLevel, 4, 8)                                                                             \
    X(triggersAndEvents_overrideTrigger, 16, 8)                                                              \
    X(triggersAndEvents_checkEventLatch, 16, 8)                                                              \
    X(triggersAndEvents_clearEventLatch, 16, 4)                                                              \
    X(triggersAndEvents_clearAllEventLatches, 16, 4)                                                         \
    X(corran_getHardwareErrors, 16, 4)                                                                       \
    X(corran_readTemperatureSensor, 8, 8)                                                                    \
    X(corran_queryInCompliance, 8, 8)                                                                        \
    X(corran_areStorageMapChecksumsValid, 4, 8)                                                              \
    X(corran_areStorageMapVersionsValid, 4, 8)                                                               \
    X(corran_getAlarmRaised, 16, 8)                                                                          \
    X(corran_clearAlarm, 16, 4)                                                                              \
    X(corran_maskAlarm, 16, 4)                                                                               \
    X(corran_unmaskAlarm, 16, 4)                                                                             \
    X(corran_calculateChargeBalanceOffset, 8, 8)                                                             \
    X(corran_configureChargeBalanceOffset, 8, 4)                                                             \
    X(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, 16, 4)                                         \
    X(corran_configureMeasureUnit, 40, 4)                                                                    \
    X(corran_getMeasurement, 24, 4)                                                                          \
    X(corran_stagePowerAllocation, 12, 8)                                                                    \
    X(corran_commitPowerAllocation, 8, 4)                                                                    \
    X(corran_discardPowerAllocation, 8, 4)                                                                   \
    X(corran_getActualPowerAllocation, 8, 8)                                                                 \
    X(corran_readDAC, 8, 8)                                                                                  \
    X(corran_writeCmccDigipot, 8, 4)                                                                         \
    X(corran_fetchChargeBalanceOffsetRawData, 24, 4)                                                         \
    X(corran_getConnectedAccessory, 4, 8)                                                                    \
    X(corran_setConnectedAccessory, 8, 4)                                                                    \
    X(routing_queryVersion, 4, 8)                                                                            \
    X(routing_calculateRoute, 56, 12)                                                                        \
    X(routing_destroyRoute, 8, 4)                                                                            \
    X(routing_reserveRoute, 24, 8)                                                                           \
    X(routing_programRoute, 8, 4)                                                                            \
    X(routing_unreserveRoute, 8, 4)                                                                          \
    X(routing_unprogramRoute, 8, 4)                                                                          \
    X(routing_getRouteTerminalPath, 24, 8)                                                                   \
    X(routing_getTopographyName, 16, 4)                                                                      \
    X(routing_resetTerminal, 12, 4)                                                                          \
    X(routing_calculateResetTerminal, 24, 8)                                                                 \
    X(arm_write, 32, 4)                                                                                      \
    X(arm_read, 24, 8)                                                                                       \
    X(arm_flushRegister, 32, 4)                                                                              \
    X(arm_refreshRegister, 24, 4)                                                                            \
    X(arm_getNumberOfRegistrations, 4, 16)                                                                   \
    X(arm_getRegistrationNames, 16, 4)                                                                       \
    X(arm_flushRegMap, 24, 4)                                                                                \
    X(arm_set, 32, 4)                                                                                        \
    X(arm_get, 24, 8)                                                                                        \
    X(arm_writeEx, 48, 4)                                                                                    \
    X(arm_readEx, 40, 16)                                                                                    \
    X(arm_setEx, 48, 4)                                                                                      \
    X(arm_getEx, 40, 16)                                                                                     \
    X(arm_flushRegisterEx, 40, 4)                                                                            \
    X(arm_refreshRegisterEx, 40, 4)                                                                          \
    X(arm_getRegisterFormat, 48, 8)                                                                          \
    X(arm_getSizeOfRegistrationList, 4, 16)                                                                  \
    X(arm_getRegistrationList, 16, 4)                                                                        \
    X(deviceWindow_flush, 40, 4)                                                                             \
    X(deviceWindow_getNumberOfRegistrations, 4, 16)                                                          \
    X(deviceWindow_getRegistrationNames, 16, 4)                                                              \
    X(deviceWindow_getSizeInBytes, 24, 16)                                                                   \
    X(deviceWindow_write, 48, 4)                                                                             \
    X(deviceWindow_read, 48, 4)                                                                              \
    X(deviceWindow_set, 48, 4)                                                                               \
    X(deviceWindow_get, 48, 4)                                                                               \
    X(deviceWindow_refresh, 40, 4)                                                                           \
    X(storageMap_flush, 24, 4)                                                                               \
    X(storageMap_getNumberOfRegistrations, 4, 16)                                                            \
    X(storageMap_getRegistrationNames, 16, 4)                                                                \
    X(storageMap_getElementCount, 24, 16)                                                                    \
    X(storageMap_getElementSize, 24, 16)                                                                     \
    X(storageMap_refresh, 24, 4)                                                                             \
    X(storageMap_setRaw, 64, 4)                                                                              \
    X(storageMap_getRaw, 64, 4)                                                                              \
    X(storageMap_isChecksumValid, 24, 8)                                                                     \
    X(brixelTools_startDMA, 12, 4)                                                                           \
    X(brixelTools_stopDMA, 8, 4)                                                                             \
    X(brixelTools_addTransferToDevice, 32, 4)                                                                \
    X(brixelTools_addTransferFromDevice, 32, 4)                                                              \
    X(brixelTools_writeStreamAdditiveTransferCount, 12, 4)                                                   \
    X(brixelTools_getTransferCount, 8, 16)                                                                   \
    X(brixelTools_clearTransfers, 8, 4)                                                                      \
    X(brixelTools_clearApplicationFIFO, 8, 4)                                                                \
    X(brixelTools_waitUntilBytesTransferred, 32, 8)                                                          \
    X(brixelTools_cancelWaitUntilBytesTransferred, 8, 4)                                                     \
    X(kdut_reset, 24, 4)                                                                                     \
    X(kdut_checkHardwareState, 16, 4)                                                                        \
    X(kdut_checkChannelHardwareState, 24, 4)                                                                 \
    X(kdut_cleanup, 4, 4)                                                                                    \
    X(kdut_reserveResources, 16, 4)                                                                          \
    X(pxiCooling_setCoolingMode, 8, 4)                                                                       \
    X(pxiCooling_getRequestedCoolingMode, 4, 8)

/* The same for "nPXICOOLING_17_2_pxiCooling". */
#define KELVO_PXICOOLING_TABLE(X)                                                                            \
    X(pxiCooling_setCoolingMode, 8, 4)                                                                       \
    X(pxiCooling_getRequestedCoolingMode, 4, 8)

#define KELVO_IOCTL_CODE_COUNT 106
#define KELVO_PXICOOLING_CODE_COUNT 2

/* ---- Layout checks ------------------------------------------------------------- */

#ifdef __cplusplus
#define KELVO_LAYOUT_CHECK(condition, text) static_assert(condition, text)
#else
#define KELVO_LAYOUT_CHECK(condition, text) _Static_assert(condition, text)
#endif

/* Every record has the size of the table. */
#define KELVO_CHECK_SIZES(op, in, out)                                                                       \
    KELVO_LAYOUT_CHECK(sizeof(kelvo_##op##_in) == (in), "input record size of " #op);                        \
    KELVO_LAYOUT_CHECK(sizeof(kelvo_##op##_out) == (out), "output record size of " #op);
KELVO_IOCTL_TABLE(KELVO_CHECK_SIZES)
#undef KELVO_CHECK_SIZES

#define KELVO_AT(type, field, offset)                                                                        \
    KELVO_LAYOUT_CHECK(offsetof(type, field) == (offset), #type "." #field " at " #offset)

KELVO_LAYOUT_CHECK(sizeof(kelvo_route_seed) == 12, "seed record");
KELVO_AT(kelvo_route_seed, hasInversionConstraint, 8);
KELVO_LAYOUT_CHECK(sizeof(kelvo_route_possibility) == 20, "possibility record");
KELVO_AT(kelvo_route_possibility, seedIndex, 12);
KELVO_AT(kelvo_route_possibility, inverted, 16);
KELVO_LAYOUT_CHECK(sizeof(kelvo_route_conflict) == 16, "conflict record");
KELVO_AT(kelvo_route_conflict, routeID, 8);
KELVO_LAYOUT_CHECK(sizeof(kelvo_custom_reset_parameters) == 96, "custom reset parameters");
KELVO_AT(kelvo_custom_reset_parameters, numberOfSubroutineCommands, 40);
KELVO_AT(kelvo_custom_reset_parameters, ignoreStartupErrors, 88);

/* Status-only and shared shapes. */
KELVO_AT(kelvo_status_record, status, 0);
KELVO_AT(kelvo_kelvo_getSetupLevel_out, setupLevel, 0);
KELVO_AT(kelvo_kelvo_getSetupLevel_out, status, 4);

/* cooling */
KELVO_AT(kelvo_voquantaPXICooling_getCoolingMode_out, status, 4);
KELVO_AT(kelvo_voquantaPXICooling_overrideCoolingMode_in, status, 4);
KELVO_AT(kelvo_pxiCooling_setCoolingMode_in, status, 4);
KELVO_AT(kelvo_pxiCooling_getRequestedCoolingMode_out, status, 4);
/* hardware conditions, measure unit */
KELVO_AT(kelvo_hwCondition_clearChannelBasedHardwareErrors_in, status, 8);
KELVO_AT(kelvo_hwCondition_checkBoardAndChannelBasedHardwareErrors_in, status, 8);
KELVO_AT(kelvo_hwCondition_checkMeasureFIFOOverflowStatus_in, status, 12);
KELVO_AT(kelvo_measureUnit_arm_in, status, 4);
KELVO_AT(kelvo_measureUnit_reset_in, status, 4);
/* sequencer */
KELVO_AT(kelvo_wexmoor_startSequenceEngine_in, commandCount, 8);
KELVO_AT(kelvo_wexmoor_startSequenceEngine_in, status, 12);
KELVO_AT(kelvo_wexmoor_resetSequenceEngine_in, status, 8);
KELVO_AT(kelvo_wexmoor_isSequenceEngineRunning_in, status, 8);
KELVO_AT(kelvo_wexmoor_isSequenceEngineRunning_out, status, 4);
KELVO_AT(kelvo_wexmoor_downloadSubroutines_in, status, 36);
KELVO_AT(kelvo_wexmoor_getSubroutines_in, addressBuffer, 8);
KELVO_AT(kelvo_wexmoor_getSubroutines_in, subroutineCount, 16);
KELVO_AT(kelvo_wexmoor_getSubroutines_in, status, 20);
KELVO_AT(kelvo_wexmoor_getNumSubroutines_out, status, 4);
KELVO_AT(kelvo_wexmoor_executeSubroutine_in, status, 20);
/* triggers and events */
KELVO_AT(kelvo_triggersAndEvents_overrideTrigger_in, trigger, 8);
KELVO_AT(kelvo_triggersAndEvents_overrideTrigger_in, status, 12);
KELVO_AT(kelvo_triggersAndEvents_overrideTrigger_out, status, 4);
KELVO_AT(kelvo_triggersAndEvents_checkEventLatch_in, event, 8);
KELVO_AT(kelvo_triggersAndEvents_checkEventLatch_in, status, 12);
KELVO_AT(kelvo_triggersAndEvents_checkEventLatch_out, status, 4);
KELVO_AT(kelvo_triggersAndEvents_clearAllEventLatches_in, status, 12);
/* channel operations */
KELVO_AT(kelvo_corran_getHardwareErrors_in, secondWord, 8);
KELVO_AT(kelvo_corran_getHardwareErrors_in, status, 12);
KELVO_AT(kelvo_corran_readTemperatureSensor_in, status, 4);
KELVO_AT(kelvo_corran_readTemperatureSensor_out, status, 4);
KELVO_AT(kelvo_corran_queryInCompliance_in, status, 4);
KELVO_AT(kelvo_corran_queryInCompliance_out, status, 4);
KELVO_AT(kelvo_corran_areStorageMapChecksumsValid_out, status, 4);
KELVO_AT(kelvo_corran_areStorageMapVersionsValid_out, status, 4);
KELVO_AT(kelvo_corran_getAlarmRaised_in, status, 12);
KELVO_AT(kelvo_corran_getAlarmRaised_out, status, 4);
KELVO_AT(kelvo_corran_clearAlarm_in, status, 12);
KELVO_AT(kelvo_corran_maskAlarm_in, status, 12);
KELVO_AT(kelvo_corran_unmaskAlarm_in, status, 12);
KELVO_AT(kelvo_corran_calculateChargeBalanceOffset_in, loop, 1);
KELVO_AT(kelvo_corran_calculateChargeBalanceOffset_in, status, 4);
KELVO_AT(kelvo_corran_calculateChargeBalanceOffset_out, status, 4);
KELVO_AT(kelvo_corran_configureChargeBalanceOffset_in, loop, 1);
KELVO_AT(kelvo_corran_configureChargeBalanceOffset_in, offset, 2);
KELVO_AT(kelvo_corran_configureChargeBalanceOffset_in, status, 4);
KELVO_AT(kelvo_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy_in, status, 8);
KELVO_AT(kelvo_corran_configureMeasureUnit_in, status, 36);
KELVO_AT(kelvo_corran_getMeasurement_in, status, 20);
KELVO_AT(kelvo_corran_stagePowerAllocation_in, powerMicrowatts, 4);
KELVO_AT(kelvo_corran_stagePowerAllocation_in, status, 8);
KELVO_AT(kelvo_corran_stagePowerAllocation_out, status, 4);
KELVO_AT(kelvo_corran_commitPowerAllocation_in, status, 4);
KELVO_AT(kelvo_corran_discardPowerAllocation_in, status, 4);
KELVO_AT(kelvo_corran_getActualPowerAllocation_in, status, 4);
KELVO_AT(kelvo_corran_getActualPowerAllocation_out, status, 4);
KELVO_AT(kelvo_corran_readDAC_in, status, 4);
KELVO_AT(kelvo_corran_readDAC_out, status, 4);
KELVO_AT(kelvo_corran_writeCmccDigipot_in, status, 4);
KELVO_AT(kelvo_corran_fetchChargeBalanceOffsetRawData_in, status, 20);
KELVO_AT(kelvo_corran_getConnectedAccessory_out, status, 4);
KELVO_AT(kelvo_corran_setConnectedAccessory_in, status, 4);
/* routing */
KELVO_AT(kelvo_routing_queryVersion_out, status, 4);
KELVO_AT(kelvo_routing_calculateRoute_in, seedBuffer, 8);
KELVO_AT(kelvo_routing_calculateRoute_in, seedCount, 16);
KELVO_AT(kelvo_routing_calculateRoute_in, destinationBuffer, 24);
KELVO_AT(kelvo_routing_calculateRoute_in, destinationCount, 32);
KELVO_AT(kelvo_routing_calculateRoute_in, routeCalculationWord, 36);
KELVO_AT(kelvo_routing_calculateRoute_in, possibilitiesBuffer, 40);
KELVO_AT(kelvo_routing_calculateRoute_in, possibilitiesCapacity, 48);
KELVO_AT(kelvo_routing_calculateRoute_in, status, 52);
KELVO_AT(kelvo_routing_calculateRoute_out, possibilitiesCount, 4);
KELVO_AT(kelvo_routing_calculateRoute_out, status, 8);
KELVO_AT(kelvo_routing_destroyRoute_in, status, 4);
KELVO_AT(kelvo_routing_reserveRoute_in, conflictsBuffer, 8);
KELVO_AT(kelvo_routing_reserveRoute_in, conflictsCapacity, 16);
KELVO_AT(kelvo_routing_reserveRoute_in, status, 20);
KELVO_AT(kelvo_routing_reserveRoute_out, status, 4);
KELVO_AT(kelvo_routing_programRoute_in, status, 4);
KELVO_AT(kelvo_routing_unreserveRoute_in, status, 4);
KELVO_AT(kelvo_routing_unprogramRoute_in, status, 4);
KELVO_AT(kelvo_routing_getRouteTerminalPath_in, pathBuffer, 8);
KELVO_AT(kelvo_routing_getRouteTerminalPath_in, pathCapacity, 16);
KELVO_AT(kelvo_routing_getRouteTerminalPath_in, status, 20);
KELVO_AT(kelvo_routing_getRouteTerminalPath_out, status, 4);
KELVO_AT(kelvo_routing_getTopographyName_in, bufferSize, 8);
KELVO_AT(kelvo_routing_getTopographyName_in, status, 12);
KELVO_AT(kelvo_routing_resetTerminal_in, resetWord, 4);
KELVO_AT(kelvo_routing_resetTerminal_in, status, 8);
KELVO_AT(kelvo_routing_calculateResetTerminal_in, terminalID, 8);
KELVO_AT(kelvo_routing_calculateResetTerminal_in, resetWord, 12);
KELVO_AT(kelvo_routing_calculateResetTerminal_in, status, 16);
KELVO_AT(kelvo_routing_calculateResetTerminal_out, status, 4);
/* register maps */
KELVO_AT(kelvo_arm_write_in, nameLength, 8);
KELVO_AT(kelvo_arm_write_in, fieldId, 16);
KELVO_AT(kelvo_arm_write_in, value, 20);
KELVO_AT(kelvo_arm_write_in, force, 24);
KELVO_AT(kelvo_arm_write_in, status, 28);
KELVO_AT(kelvo_arm_read_in, fieldId, 16);
KELVO_AT(kelvo_arm_read_in, status, 20);
KELVO_AT(kelvo_arm_read_out, status, 4);
KELVO_AT(kelvo_arm_flushRegister_in, fieldId, 16);
KELVO_AT(kelvo_arm_flushRegister_in, force, 20);
KELVO_AT(kelvo_arm_flushRegister_in, status, 24);
KELVO_AT(kelvo_arm_refreshRegister_in, status, 20);
KELVO_AT(kelvo_arm_getNumberOfRegistrations_out, status, 8);
KELVO_AT(kelvo_arm_getRegistrationNames_in, status, 8);
KELVO_AT(kelvo_arm_flushRegMap_in, force, 16);
KELVO_AT(kelvo_arm_flushRegMap_in, status, 20);
KELVO_AT(kelvo_arm_set_in, value, 20);
KELVO_AT(kelvo_arm_set_in, status, 24);
KELVO_AT(kelvo_arm_get_in, status, 20);
KELVO_AT(kelvo_arm_get_out, status, 4);
KELVO_AT(kelvo_arm_writeEx_in, index, 24);
KELVO_AT(kelvo_arm_writeEx_in, value, 32);
KELVO_AT(kelvo_arm_writeEx_in, force, 40);
KELVO_AT(kelvo_arm_writeEx_in, status, 44);
KELVO_AT(kelvo_arm_readEx_in, index, 24);
KELVO_AT(kelvo_arm_readEx_in, status, 32);
KELVO_AT(kelvo_arm_readEx_out, status, 8);
KELVO_AT(kelvo_arm_setEx_in, index, 24);
KELVO_AT(kelvo_arm_setEx_in, value, 32);
KELVO_AT(kelvo_arm_setEx_in, status, 40);
KELVO_AT(kelvo_arm_getEx_out, status, 8);
KELVO_AT(kelvo_arm_flushRegisterEx_in, index, 24);
KELVO_AT(kelvo_arm_flushRegisterEx_in, force, 32);
KELVO_AT(kelvo_arm_flushRegisterEx_in, status, 36);
KELVO_AT(kelvo_arm_getRegisterFormat_in, registerId, 16);
KELVO_AT(kelvo_arm_getRegisterFormat_in, capacity, 20);
KELVO_AT(kelvo_arm_getRegisterFormat_in, fieldTypeBuffer, 24);
KELVO_AT(kelvo_arm_getRegisterFormat_in, maskBuffer, 32);
KELVO_AT(kelvo_arm_getRegisterFormat_in, status, 40);
KELVO_AT(kelvo_arm_getRegisterFormat_out, status, 4);
KELVO_AT(kelvo_arm_getSizeOfRegistrationList_out, status, 8);
KELVO_AT(kelvo_arm_getRegistrationList_in, status, 8);
/* device windows */
KELVO_AT(kelvo_deviceWindow_flush_in, offset, 16);
KELVO_AT(kelvo_deviceWindow_flush_in, size, 24);
KELVO_AT(kelvo_deviceWindow_flush_in, force, 32);
KELVO_AT(kelvo_deviceWindow_flush_in, status, 36);
KELVO_AT(kelvo_deviceWindow_getNumberOfRegistrations_out, status, 8);
KELVO_AT(kelvo_deviceWindow_getRegistrationNames_in, status, 8);
KELVO_AT(kelvo_deviceWindow_getSizeInBytes_in, status, 16);
KELVO_AT(kelvo_deviceWindow_getSizeInBytes_out, status, 8);
KELVO_AT(kelvo_deviceWindow_write_in, buffer, 16);
KELVO_AT(kelvo_deviceWindow_write_in, offset, 24);
KELVO_AT(kelvo_deviceWindow_write_in, size, 32);
KELVO_AT(kelvo_deviceWindow_write_in, force, 40);
KELVO_AT(kelvo_deviceWindow_write_in, status, 44);
KELVO_AT(kelvo_deviceWindow_read_in, offset, 16);
KELVO_AT(kelvo_deviceWindow_read_in, size, 24);
KELVO_AT(kelvo_deviceWindow_read_in, buffer, 32);
KELVO_AT(kelvo_deviceWindow_read_in, status, 40);
KELVO_AT(kelvo_deviceWindow_set_in, buffer, 16);
KELVO_AT(kelvo_deviceWindow_set_in, offset, 24);
KELVO_AT(kelvo_deviceWindow_set_in, size, 32);
KELVO_AT(kelvo_deviceWindow_set_in, status, 40);
KELVO_AT(kelvo_deviceWindow_refresh_in, offset, 16);
KELVO_AT(kelvo_deviceWindow_refresh_in, size, 24);
KELVO_AT(kelvo_deviceWindow_refresh_in, status, 32);
/* storage maps */
KELVO_AT(kelvo_storageMap_flush_in, force, 16);
KELVO_AT(kelvo_storageMap_flush_in, status, 20);
KELVO_AT(kelvo_storageMap_getNumberOfRegistrations_out, status, 8);
KELVO_AT(kelvo_storageMap_getRegistrationNames_in, status, 8);
KELVO_AT(kelvo_storageMap_getElementCount_in, fieldId, 16);
KELVO_AT(kelvo_storageMap_getElementCount_in, status, 20);
KELVO_AT(kelvo_storageMap_getElementCount_out, status, 8);
KELVO_AT(kelvo_storageMap_getElementSize_in, status, 20);
KELVO_AT(kelvo_storageMap_getElementSize_out, status, 8);
KELVO_AT(kelvo_storageMap_refresh_in, status, 16);
KELVO_AT(kelvo_storageMap_setRaw_in, fieldId, 16);
KELVO_AT(kelvo_storageMap_setRaw_in, firstElement, 24);
KELVO_AT(kelvo_storageMap_setRaw_in, elementCount, 32);
KELVO_AT(kelvo_storageMap_setRaw_in, buffer, 40);
KELVO_AT(kelvo_storageMap_setRaw_in, elementSize, 48);
KELVO_AT(kelvo_storageMap_setRaw_in, status, 56);
KELVO_AT(kelvo_storageMap_isChecksumValid_in, status, 16);
KELVO_AT(kelvo_storageMap_isChecksumValid_out, status, 4);
/* DMA */
KELVO_AT(kelvo_brixelTools_startDMA_in, startFlag, 4);
KELVO_AT(kelvo_brixelTools_startDMA_in, status, 8);
KELVO_AT(kelvo_brixelTools_stopDMA_in, status, 4);
KELVO_AT(kelvo_brixelTools_addTransferToDevice_in, transferKind, 4);
KELVO_AT(kelvo_brixelTools_addTransferToDevice_in, bufferAddress, 8);
KELVO_AT(kelvo_brixelTools_addTransferToDevice_in, bufferSize, 16);
KELVO_AT(kelvo_brixelTools_addTransferToDevice_in, transferWord, 24);
KELVO_AT(kelvo_brixelTools_addTransferToDevice_in, status, 28);
KELVO_AT(kelvo_brixelTools_addTransferFromDevice_in, bufferAddress, 8);
KELVO_AT(kelvo_brixelTools_addTransferFromDevice_in, bufferSize, 16);
KELVO_AT(kelvo_brixelTools_addTransferFromDevice_in, status, 24);
KELVO_AT(kelvo_brixelTools_writeStreamAdditiveTransferCount_in, count, 4);
KELVO_AT(kelvo_brixelTools_writeStreamAdditiveTransferCount_in, status, 8);
KELVO_AT(kelvo_brixelTools_getTransferCount_in, status, 4);
KELVO_AT(kelvo_brixelTools_getTransferCount_out, status, 8);
KELVO_AT(kelvo_brixelTools_clearTransfers_in, status, 4);
KELVO_AT(kelvo_brixelTools_clearApplicationFIFO_in, status, 4);
KELVO_AT(kelvo_brixelTools_waitUntilBytesTransferred_in, startCount, 8);
KELVO_AT(kelvo_brixelTools_waitUntilBytesTransferred_in, byteCount, 16);
KELVO_AT(kelvo_brixelTools_waitUntilBytesTransferred_in, timeout, 20);
KELVO_AT(kelvo_brixelTools_waitUntilBytesTransferred_in, status, 28);
KELVO_AT(kelvo_brixelTools_waitUntilBytesTransferred_out, status, 4);
KELVO_AT(kelvo_brixelTools_cancelWaitUntilBytesTransferred_in, status, 4);
/* reset, hardware state, cleanup, reservation */
KELVO_AT(kelvo_kdut_reset_in, resetParametersAddress, 8);
KELVO_AT(kelvo_kdut_reset_in, status, 16);
KELVO_AT(kelvo_kdut_checkHardwareState_in, status, 8);
KELVO_AT(kelvo_kdut_checkChannelHardwareState_in, secondWord, 8);
KELVO_AT(kelvo_kdut_checkChannelHardwareState_in, status, 16);
KELVO_AT(kelvo_kdut_reserveResources_in, status, 8);

#undef KELVO_AT
#undef KELVO_STUB_INPUT
#undef KELVO_U32_OUTPUT
#undef KELVO_BOOL_OUTPUT
#undef KELVO_U64_OUTPUT
#undef KELVO_U64_INPUT
#undef KELVO_U32_INPUT
#undef KELVO_CHANNEL_INPUT
#undef KELVO_NAME_INPUT
#undef KELVO_NAME_FIELD_INPUT
#undef KELVO_ROUTE_INPUT
#undef KELVO_DMA_INPUT

#ifdef __cplusplus
}
#endif

#endif
