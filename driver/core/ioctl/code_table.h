// The I/O-control code table of the driver: one row per code of "smu_kelvo",
// in code order, and everything the dispatcher (stub.h) needs of a code is
// in its row: the record sizes (any other is refused), where the caller's
// status word and the answer's status word lie, how the request is admitted
// (a gate at a setup level, the body's own gate, or an answer without an
// operation), the particular rules of a few codes, and the body.
//
// The setup level a code needs is the driver's policy and lives here only;
// the user-mode header carries the codes and records.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/ioctl/bodies.h"
#include "core/ioctl/context.h"
#include "kelvo/ioctl.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

// How a request is admitted.
enum class Admit : uint8_t {
    // Inside an I/O gate at the row's setup level, opened by the dispatcher.
    kGate,
    // The body opens its own gate (the reset: a second gate around it would
    // keep the I/O count above the one the reset waits for).
    kOwnGate,
    // The row's fixed code, at any level, without a gate (not offered).
    kAnswer,
    // The caller's status word, at any level, without a gate.
    kCallersWord,
};

struct Rules {
    Admit admit = Admit::kGate;
    uint8_t level = 0;
    // Nothing at all runs (no gate, no body, results 0) when the caller's
    // word is an error.
    bool skipOnCallersError = false;
    // The input offset of a u32 argument that must be 0 (the value-out-of-range
    // code and nothing more otherwise), checked inside the gate but before its
    // answer is looked at; -1: none.
    int8_t zeroArgumentAt = -1;
    // The first result word of an answer whose gate refused (0: none).
    uint32_t refusedResult = 0;
    // The fixed code of Admit::kAnswer.
    int32_t answer = 0;

    constexpr Rules skipOnError() const {
        Rules rules = *this;
        rules.skipOnCallersError = true;
        return rules;
    }
    constexpr Rules zeroArgument(size_t offset) const {
        Rules rules = *this;
        rules.zeroArgumentAt = static_cast<int8_t>(offset);
        return rules;
    }
    constexpr Rules refusedAnswers(uint32_t result) const {
        Rules rules = *this;
        rules.refusedResult = result;
        return rules;
    }
};

constexpr Rules gate(uint8_t level) {
    return Rules{.admit = Admit::kGate, .level = level};
}
constexpr Rules ownGate() {
    return Rules{.admit = Admit::kOwnGate};
}
constexpr Rules notOffered(int32_t code = KELVO_STATUS_NOT_OFFERED) {
    return Rules{.admit = Admit::kAnswer, .answer = code};
}
constexpr Rules callersWord() {
    return Rules{.admit = Admit::kCallersWord};
}

// A body as a row holds it: the records as the dispatcher's bytes.
template <class A>
using Body = void (*)(typename A::DeviceType&, const nVOAPAL000::tEventDescriptor&, const uint8_t* in,
                      uint8_t* out, nVOAPALS100::tStatus&);

template <class A> struct Row {
    uint32_t code;
    const char* name;
    uint8_t inSize;
    uint8_t outSize;
    uint8_t inStatusAt;
    uint8_t outStatusAt;
    Rules rules;
    Body<A> body; // null for the codes answered without an operation
    // Whether body is set, as a constant: a function's address is no constant
    // to compare where the compiler instruments addresses (the sanitizers).
    bool hasBody;
};

// The largest records (the dispatcher's buffers).
inline constexpr size_t kMaxInSize = 64;
inline constexpr size_t kMaxOutSize = 16;

namespace detail {

// The body fn of op over the dispatcher's bytes.
template <class A, Op op, void (*fn)(Ctx<A, op>&)>
void call(typename A::DeviceType& device, const nVOAPAL000::tEventDescriptor& event, const uint8_t* inBytes,
          uint8_t* outBytes, nVOAPALS100::tStatus& status) {
    typename Record<op>::In in;
    typename Record<op>::Out out;
    __builtin_memcpy(&in, inBytes, sizeof(in));
    __builtin_memcpy(&out, outBytes, sizeof(out));
    Ctx<A, op> context{device, event, in, out, status};
    fn(context);
    __builtin_memcpy(outBytes, &out, sizeof(out));
}

template <class A, Op op, bool hasBody> constexpr Row<A> row(const char* name, Rules rules, Body<A> body) {
    using In = typename Record<op>::In;
    using Out = typename Record<op>::Out;
    static_assert(sizeof(In) <= kMaxInSize && sizeof(Out) <= kMaxOutSize);
    static_assert(offsetof(In, status) + sizeof(int32_t) <= sizeof(In));
    static_assert(offsetof(Out, status) + sizeof(int32_t) <= sizeof(Out));
    return {Record<op>::kCode,     name,  sizeof(In), sizeof(Out), offsetof(In, status),
            offsetof(Out, status), rules, body,       hasBody};
}

} // namespace detail

#define KELVO_ROW(op, rules) detail::row<A, Op::op, true>(#op, rules, &detail::call<A, Op::op, &op<A>>)
#define KELVO_ANSWER_ROW(op, rules) detail::row<A, Op::op, false>(#op, rules, nullptr)

template <class A>
inline constexpr Row<A> kCodeTable[] = {
    KELVO_ROW(voquantaPXICooling_getCoolingMode, gate(19)),
    KELVO_ROW(voquantaPXICooling_overrideCoolingMode, gate(19)),
    KELVO_ROW(hwCondition_clearChannelBasedHardwareErrors, gate(19)),
    KELVO_ROW(hwCondition_checkBoardAndChannelBasedHardwareErrors, gate(19)),
    KELVO_ANSWER_ROW(hwCondition_checkMeasureFIFOOverflowStatus, callersWord()),
    KELVO_ROW(measureUnit_arm, gate(19)),
    KELVO_ROW(measureUnit_reset, gate(19)),
    KELVO_ROW(wexmoor_startSequenceEngine, gate(19)),
    KELVO_ROW(wexmoor_resetSequenceEngine, gate(19)),
    KELVO_ROW(wexmoor_isSequenceEngineRunning, gate(19)),
    KELVO_ANSWER_ROW(wexmoor_downloadSubroutines, notOffered(KELVO_STATUS_NOT_IMPLEMENTED)),
    KELVO_ROW(wexmoor_getSubroutines, gate(19)),
    KELVO_ROW(wexmoor_getNumSubroutines, gate(19)),
    KELVO_ANSWER_ROW(wexmoor_executeSubroutine, notOffered(KELVO_STATUS_NOT_IMPLEMENTED)),
    KELVO_ROW(kelvo_getSetupLevel, gate(0)),
    KELVO_ROW(triggersAndEvents_overrideTrigger, gate(19)),
    KELVO_ROW(triggersAndEvents_checkEventLatch, gate(19)),
    KELVO_ROW(triggersAndEvents_clearEventLatch, gate(19)),
    KELVO_ANSWER_ROW(triggersAndEvents_clearAllEventLatches, notOffered(KELVO_STATUS_NOT_IMPLEMENTED)),
    KELVO_ROW(corran_getHardwareErrors, gate(11)),
    KELVO_ROW(corran_readTemperatureSensor,
              gate(19).zeroArgument(offsetof(kelvo_corran_readTemperatureSensor_in, sensor))),
    KELVO_ROW(corran_queryInCompliance, gate(19)),
    KELVO_ROW(corran_areStorageMapChecksumsValid, gate(19).skipOnError()),
    KELVO_ROW(corran_areStorageMapVersionsValid, gate(19).skipOnError()),
    KELVO_ANSWER_ROW(corran_getAlarmRaised, notOffered()),
    KELVO_ANSWER_ROW(corran_clearAlarm, notOffered()),
    KELVO_ANSWER_ROW(corran_maskAlarm, notOffered()),
    KELVO_ANSWER_ROW(corran_unmaskAlarm, notOffered()),
    KELVO_ROW(corran_calculateChargeBalanceOffset, gate(19)),
    KELVO_ROW(corran_configureChargeBalanceOffset, gate(19)),
    KELVO_ROW(corran_loadCalibrationToFirmwareFromStorageMapSoftcopy, gate(19)),
    KELVO_ANSWER_ROW(corran_configureMeasureUnit, notOffered()),
    KELVO_ANSWER_ROW(corran_getMeasurement, notOffered()),
    KELVO_ROW(corran_stagePowerAllocation, gate(19).skipOnError()),
    KELVO_ROW(corran_commitPowerAllocation, gate(19)),
    KELVO_ROW(corran_discardPowerAllocation, gate(19)),
    KELVO_ROW(corran_getActualPowerAllocation, gate(19).skipOnError()),
    KELVO_ANSWER_ROW(corran_readDAC, notOffered()),
    KELVO_ANSWER_ROW(corran_writeCmccDigipot, notOffered()),
    KELVO_ANSWER_ROW(corran_fetchChargeBalanceOffsetRawData, notOffered()),
    KELVO_ROW(corran_getConnectedAccessory, gate(19).refusedAnswers(1)),
    KELVO_ROW(corran_setConnectedAccessory, gate(19)),
    KELVO_ROW(routing_queryVersion, gate(19)),
    KELVO_ROW(routing_calculateRoute, gate(19)),
    KELVO_ROW(routing_destroyRoute, gate(19)),
    KELVO_ROW(routing_reserveRoute, gate(19)),
    KELVO_ROW(routing_programRoute, gate(19)),
    KELVO_ROW(routing_unreserveRoute, gate(19)),
    KELVO_ROW(routing_unprogramRoute, gate(19)),
    KELVO_ROW(routing_getRouteTerminalPath, gate(19)),
    KELVO_ROW(routing_getTopographyName, gate(19)),
    KELVO_ROW(routing_resetTerminal, gate(19)),
    KELVO_ROW(routing_calculateResetTerminal, gate(19)),
    KELVO_ROW(arm_write, gate(1)),
    KELVO_ROW(arm_read, gate(1)),
    KELVO_ROW(arm_flushRegister, gate(1)),
    KELVO_ROW(arm_refreshRegister, gate(1)),
    KELVO_ROW(arm_getNumberOfRegistrations, gate(1)),
    KELVO_ROW(arm_getRegistrationNames, gate(1)),
    KELVO_ROW(arm_flushRegMap, gate(1)),
    KELVO_ROW(arm_set, gate(1)),
    KELVO_ROW(arm_get, gate(1)),
    KELVO_ROW(arm_writeEx, gate(1)),
    KELVO_ROW(arm_readEx, gate(1)),
    KELVO_ROW(arm_setEx, gate(1)),
    KELVO_ROW(arm_getEx, gate(1)),
    KELVO_ROW(arm_flushRegisterEx, gate(1)),
    KELVO_ROW(arm_refreshRegisterEx, gate(1)),
    KELVO_ROW(arm_getRegisterFormat, gate(1)),
    KELVO_ROW(arm_getSizeOfRegistrationList, gate(1)),
    KELVO_ROW(arm_getRegistrationList, gate(1)),
    KELVO_ROW(deviceWindow_flush, gate(1)),
    KELVO_ROW(deviceWindow_getNumberOfRegistrations, gate(1)),
    KELVO_ROW(deviceWindow_getRegistrationNames, gate(1)),
    KELVO_ROW(deviceWindow_getSizeInBytes, gate(1)),
    KELVO_ROW(deviceWindow_write, gate(1)),
    KELVO_ROW(deviceWindow_read, gate(1)),
    KELVO_ROW(deviceWindow_set, gate(1)),
    KELVO_ROW(deviceWindow_get, gate(1)),
    KELVO_ROW(deviceWindow_refresh, gate(1)),
    KELVO_ROW(storageMap_flush, gate(1)),
    KELVO_ROW(storageMap_getNumberOfRegistrations, gate(1)),
    KELVO_ROW(storageMap_getRegistrationNames, gate(1)),
    KELVO_ROW(storageMap_getElementCount, gate(1)),
    KELVO_ROW(storageMap_getElementSize, gate(1)),
    KELVO_ROW(storageMap_refresh, gate(1)),
    KELVO_ROW(storageMap_setRaw, gate(1)),
    KELVO_ROW(storageMap_getRaw, gate(1)),
    KELVO_ROW(storageMap_isChecksumValid, gate(1)),
    KELVO_ROW(brixelTools_startDMA, gate(14)),
    KELVO_ROW(brixelTools_stopDMA, gate(14)),
    KELVO_ROW(brixelTools_addTransferToDevice, gate(14)),
    KELVO_ROW(brixelTools_addTransferFromDevice, gate(14)),
    KELVO_ROW(brixelTools_writeStreamAdditiveTransferCount, gate(14)),
    KELVO_ROW(brixelTools_getTransferCount, gate(14)),
    KELVO_ROW(brixelTools_clearTransfers, gate(14)),
    KELVO_ROW(brixelTools_clearApplicationFIFO, gate(14)),
    KELVO_ROW(brixelTools_waitUntilBytesTransferred, gate(14)),
    KELVO_ROW(brixelTools_cancelWaitUntilBytesTransferred, gate(14)),
    KELVO_ROW(kdut_reset, ownGate()),
    KELVO_ROW(kdut_checkHardwareState, gate(19)),
    KELVO_ROW(kdut_checkChannelHardwareState, gate(19)),
    KELVO_ROW(kdut_cleanup, gate(0)),
    KELVO_ROW(kdut_reserveResources, gate(19).skipOnError()),
    KELVO_ROW(pxiCooling_setCoolingMode, gate(19)),
    KELVO_ROW(pxiCooling_getRequestedCoolingMode, gate(19)),
};

#undef KELVO_ROW
#undef KELVO_ANSWER_ROW

// The codes of the user-mode header, in its order.
inline constexpr uint32_t kHeaderCodes[] = {
#define KELVO_HEADER_CODE(op, in, out) KELVO_IOCTL_##op,
    KELVO_IOCTL_TABLE(KELVO_HEADER_CODE)
#undef KELVO_HEADER_CODE
};

// A row for every code of the header, in its order, which is code order; a
// body exactly where the code has an operation; the codes answered without
// one find the caller's word in the input's last four bytes.
template <class A> constexpr bool tableIsConsistent() {
    constexpr size_t count = sizeof(kCodeTable<A>) / sizeof(kCodeTable<A>[0]);
    if (count != sizeof(kHeaderCodes) / sizeof(kHeaderCodes[0])) {
        return false;
    }
    if (count != static_cast<size_t>(Op::kCount)) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const Row<A>& row = kCodeTable<A>[i];
        const bool answered = row.rules.admit == Admit::kAnswer || row.rules.admit == Admit::kCallersWord;
        if (row.code != kHeaderCodes[i] || (i > 0 && kCodeTable<A>[i - 1].code >= row.code) ||
            answered == row.hasBody || (answered && row.inStatusAt != row.inSize - 4) ||
            row.rules.level > KELVO_SETUP_LEVEL_COMPLETE) {
            return false;
        }
    }
    return true;
}

} // namespace kelvo_driver::ioctl
