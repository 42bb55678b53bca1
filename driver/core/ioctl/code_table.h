// The I/O-control code table of the driver: one row per code of the
// instrument interface, built from the user-mode header's table, with what the
// decoding needs beyond the record sizes: how each code is answered.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kelvo/ioctl.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

// One enumerator per operation, in code order.
enum class Op : uint32_t {
#define KELVO_OP_ENUM(op, in, out, level) op,
    KELVO_IOCTL_TABLE(KELVO_OP_ENUM)
#undef KELVO_OP_ENUM
        kCount
};

// The records of an operation.
template <Op op> struct Record;
#define KELVO_OP_RECORD(op, in, out, level)                                                                  \
    template <> struct Record<Op::op> {                                                                      \
        using In = kelvo_##op##_in;                                                                          \
        using Out = kelvo_##op##_out;                                                                        \
        static constexpr uint32_t kCode = KELVO_IOCTL_##op;                                                  \
        static constexpr uint32_t kLevel = level;                                                            \
    };
KELVO_IOCTL_TABLE(KELVO_OP_RECORD)
#undef KELVO_OP_RECORD

// How a code is answered.
enum Flags : uint32_t {
    // Inside an I/O gate at the code's setup level, opened by the stub.
    kGate = 1u << 0,
    // Answered at the stub with a fixed code, without a gate (not offered).
    kNotOffered = 1u << 1,
    // Answered at the stub with the caller's status word, without a gate.
    kEchoStatus = 1u << 2,
    // Does nothing at all (no gate, no body, results 0) when the caller's
    // status word is an error.
    kSkipOnSeededError = 1u << 3,
    // The body opens its own gate (the reset: a second gate around it would
    // keep the I/O count above the one the reset waits for).
    kOwnGate = 1u << 4,
    // A refused gate answers an accessory word of 1.
    kRefusalAnswersOne = 1u << 5,
    // The sensor number is checked before the gate's answer is looked at.
    kSensorCheck = 1u << 6,
    // The record's capacity is placed in the output's count before the body.
    kPlaceCapacity = 1u << 7,
};

// Whose code is it: answered at the stub, or by an operation body.
enum class Body : uint32_t { kAtStub, kBuilt };

struct CodeRow {
    uint32_t code;
    const char* name;
    uint32_t inSize;
    uint32_t outSize;
    uint32_t level; // KELVO_LEVEL_AT_STUB for the codes answered at the stub
    uint32_t flags;
    int32_t answer; // the fixed code of a not-offered operation, else 0
    Body body;
};

constexpr int32_t kNotOfferedCode = KELVO_STATUS_NOT_OFFERED;
constexpr int32_t kInvalidSensorCode = KELVO_STATUS_VALUE_OUT_OF_RANGE;

constexpr uint32_t flagsOf(Op op) {
    switch (op) {
    case Op::hwCondition_checkMeasureFIFOOverflowStatus:
        return kEchoStatus;
    case Op::wexmoor_downloadSubroutines:
    case Op::wexmoor_executeSubroutine:
    case Op::triggersAndEvents_clearAllEventLatches:
    case Op::corran_getAlarmRaised:
    case Op::corran_clearAlarm:
    case Op::corran_maskAlarm:
    case Op::corran_unmaskAlarm:
    case Op::corran_configureMeasureUnit:
    case Op::corran_getMeasurement:
    case Op::corran_readDAC:
    case Op::corran_writeCmccDigipot:
    case Op::corran_fetchChargeBalanceOffsetRawData:
        return kNotOffered;
    case Op::kdut_reset:
        return kOwnGate;
    case Op::corran_areStorageMapChecksumsValid:
    case Op::corran_areStorageMapVersionsValid:
    case Op::corran_stagePowerAllocation:
    case Op::corran_getActualPowerAllocation:
    case Op::kdut_reserveResources:
        return kGate | kSkipOnSeededError;
    case Op::corran_getConnectedAccessory:
        return kGate | kRefusalAnswersOne;
    case Op::corran_readTemperatureSensor:
        return kGate | kSensorCheck;
    case Op::routing_calculateRoute:
    case Op::routing_reserveRoute:
    case Op::routing_getRouteTerminalPath:
        return kGate | kPlaceCapacity;
    default:
        return kGate;
    }
}

constexpr int32_t answerOf(Op op) {
    switch (op) {
    case Op::wexmoor_downloadSubroutines:
    case Op::wexmoor_executeSubroutine:
    case Op::triggersAndEvents_clearAllEventLatches:
        return static_cast<int32_t>(nVOAPALS100::tStatus::kNotImplemented);
    default:
        return (flagsOf(op) & kNotOffered) != 0 ? kNotOfferedCode : 0;
    }
}

// Every code not answered at the stub has its body.
constexpr Body bodyOf(Op op) {
    return (flagsOf(op) & (kNotOffered | kEchoStatus)) != 0 ? Body::kAtStub : Body::kBuilt;
}

inline constexpr CodeRow kCodeTable[] = {
#define KELVO_OP_ROW(op, in, out, level)                                                                     \
    {KELVO_IOCTL_##op, #op, in, out, level, flagsOf(Op::op), answerOf(Op::op), bodyOf(Op::op)},
    KELVO_IOCTL_TABLE(KELVO_OP_ROW)
#undef KELVO_OP_ROW
};
constexpr size_t kCodeCount = sizeof(kCodeTable) / sizeof(kCodeTable[0]);
static_assert(kCodeCount == KELVO_IOCTL_CODE_COUNT && kCodeCount == static_cast<size_t>(Op::kCount));

constexpr const CodeRow& rowOf(Op op) {
    return kCodeTable[static_cast<size_t>(op)];
}

// The codes answered at the stub are exactly those without a level, and
// only those; every row is in code order.
constexpr bool tableIsConsistent() {
    for (size_t i = 0; i < kCodeCount; ++i) {
        const CodeRow& row = kCodeTable[i];
        if ((row.level == KELVO_LEVEL_AT_STUB) != (row.body == Body::kAtStub)) {
            return false;
        }
        if (i > 0 && kCodeTable[i - 1].code >= row.code) {
            return false;
        }
    }
    return true;
}
static_assert(tableIsConsistent(), "code table: order or stub levels");

} // namespace kelvo_driver::ioctl
