// Register verifiers: hardware-state checkers that read one register and
// compare it, masked, with an expected value. They guard the board and
// bridge signatures and the isolation link's access status, so that a
// missing FPGA, a bridge that no longer answers or a broken link turns a
// time-out into a precise error.
#pragma once

#include <stdint.h>

#include "framework/hardware_state_checker.h"

namespace kdut {

// How a verifier refreshes its register: reads it through the register's map
// into the record's soft copy and answers the soft copy. A register that its
// map cannot reach reports -52006 and keeps the cached value; a failed read
// leaves the cached value too. The default serves the register records of the
// register-map engine (refreshRecord found beside the record type, the value
// in softCopy); a register type that is read another way specialises this.
// The refresh and the answer are taken under the lock of the register's tree
// (its map's lockSlot(), reached through the record's owner), so that two
// checks, or a check and a by-name read, never share the soft copy half-way.
template <typename Register> struct RegisterVerifierAccess {
    static uint32_t refresh(Register& record, nVOAPALS100::tStatus& status) {
        auto* lock = record.owner->lockSlot().acquire();
        refreshRecord(record, status);
        const uint32_t value = record.softCopy;
        if (lock != nullptr) {
            lock->release();
        }
        return value;
    }
};

template <typename Register> class SimpleRegisterVerifier : public HardwareStateCheckerInterface {
public:
    SimpleRegisterVerifier(uint32_t mask, uint32_t expected, int32_t errorCode, Register& record)
        : mask_(mask), expected_(expected), errorCode_(errorCode), register_(&record) {}
    ~SimpleRegisterVerifier() override {}

    // Refreshes the register, then sets the error code when (value & mask)
    // differs from the expected value (a fatal status keeps its first error).
    void checkHardwareState(nVOAPALS100::tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        const uint32_t value = RegisterVerifierAccess<Register>::refresh(*register_, status);
        if ((value & mask_) != expected_) {
            KELVO_SET_STATUS(status, errorCode_);
        }
    }

    uint32_t getMask() const { return mask_; }
    uint32_t getExpected() const { return expected_; }
    int32_t getErrorCode() const { return errorCode_; }

private:
    uint32_t mask_;
    uint32_t expected_;
    int32_t errorCode_;
    Register* register_;
};

// A signature check: the whole register must equal the value.
template <typename Register, uint32_t kValue, int32_t kCode>
class SimpleSignatureVerifierTemplate : public SimpleRegisterVerifier<Register> {
public:
    explicit SimpleSignatureVerifierTemplate(Register& record)
        : SimpleRegisterVerifier<Register>(0xFFFFFFFF, kValue, kCode, record) {}
    ~SimpleSignatureVerifierTemplate() override {}
};

template <typename Register, uint32_t kMask, uint32_t kExpected, int32_t kCode>
class SimpleRegisterVerifierTemplate : public SimpleRegisterVerifier<Register> {
public:
    explicit SimpleRegisterVerifierTemplate(Register& record)
        : SimpleRegisterVerifier<Register>(kMask, kExpected, kCode, record) {}
    ~SimpleRegisterVerifierTemplate() override {}
};

} // namespace kdut
