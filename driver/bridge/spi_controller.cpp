#include "bridge/spi_controller.h"

#include "framework/mutex_holder.h"
#include "platform/vosdbg.h"
#include "regs/sized_register_map.h"

namespace brixeltools {

using kdut::internal::MutexHolder;
using nVOAPALS100::tStatus;

namespace {

// The transaction description of the read and write mode registers.
constexpr uint32_t kOpcodeBitsMask = 0x1Fu;
constexpr uint32_t kClearedBitsMask = 0x3Fu << 8;
constexpr uint32_t kAddressBitsShift = 16;
constexpr uint32_t kAddressBitsMask = 0x3Fu << kAddressBitsShift;
constexpr uint32_t kDataBitsShift = 24;
constexpr uint32_t kDataBitsMask = 0x7Fu << kDataBitsShift;
constexpr uint32_t kReadTransaction = 0x80000000u;
constexpr uint32_t kWriteOpcodeMask = 0xFFu;
constexpr uint32_t kReadOpcodeShift = 16;
constexpr uint32_t kReadOpcodeMask = 0xFFu << kReadOpcodeShift;
constexpr uint32_t kWindowOffsetMask = 0xFFF;

template <typename Record>
void describe(Record& record, uint8_t opcodeBits, uint8_t addressBits, uint8_t dataBits) {
    arm::insertIntoSizedRecord(record, kOpcodeBitsMask, opcodeBits);
    arm::insertIntoSizedRecord(record, kClearedBitsMask, 0);
    arm::insertIntoSizedRecord(record, kDataBitsMask, uint64_t{dataBits} << kDataBitsShift);
    arm::insertIntoSizedRecord(record, kAddressBitsMask, uint64_t{addressBits} << kAddressBitsShift);
}

} // namespace

SPIController::SPIController(tSPIMap& spiMap, tWindowMap& windowMap,
                             const kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor& window, tStatus& status)
    : spiMap_(spiMap), windowMap_(windowMap), window_(window) {
    nVOAPAL200_createMutex(&mutex_, &status);
}

uint64_t SPIController::windowOffset(uint32_t address) const {
    const uint64_t offset = address & kWindowOffsetMask;
    VOSDBG_ASSERT(window_.contains(offset, 1));
    return offset;
}

void SPIController::transfer(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                             uint8_t dataBits, tDirection direction, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT(opcodeBits <= kOpcodeBitsMask && addressBits <= 0x3F && dataBits <= 0x7F);
    windowMap_.WindowRegisterE0.writeRegister(address, status, true);
    arm::insertIntoSizedRecord(spiMap_.ReadModeRegister, kReadTransaction,
                               direction == kRead ? kReadTransaction : 0);
    if (direction == kWrite) {
        describe(spiMap_.WriteModeRegister, opcodeBits, addressBits, dataBits);
        spiMap_.WriteModeRegister.flush(status, false);
        arm::insertIntoSizedRecord(spiMap_.PrefixRegister, kWriteOpcodeMask, opcode);
    } else {
        describe(spiMap_.ReadModeRegister, opcodeBits, addressBits, dataBits);
        spiMap_.ReadModeRegister.flush(status, false);
        arm::insertIntoSizedRecord(spiMap_.PrefixRegister, kReadOpcodeMask,
                                   uint64_t{opcode} << kReadOpcodeShift);
    }
    spiMap_.PrefixRegister.flush(status, false);
}

uint32_t SPIController::read8(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                              tStatus& status) {
    if (status.isFatal()) {
        return 0xFFFFFFFF;
    }
    MutexHolder lock(mutex_);
    transfer(opcode, opcodeBits, address, addressBits, 8, kRead, status);
    if (status.isFatal()) {
        return 0xFFFFFFFF;
    }
    return window_.read8(windowOffset(address));
}

void SPIController::write8(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                           uint8_t data, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    MutexHolder lock(mutex_);
    transfer(opcode, opcodeBits, address, addressBits, 8, kWrite, status);
    if (status.isNotFatal()) {
        window_.write8(windowOffset(address), data);
    }
}

void SPIController::sendCommand(uint8_t opcode, uint8_t opcodeBits, tStatus& status) {
    sendCommandWithAddress(opcode, opcodeBits, 0, 0, status);
}

void SPIController::write8WithoutAddress(uint8_t opcode, uint8_t opcodeBits, uint8_t data, tStatus& status) {
    write8(opcode, opcodeBits, 0, 0, data, status);
}

void SPIController::sendCommandWithAddress(uint8_t opcode, uint8_t opcodeBits, uint32_t address,
                                           uint8_t addressBits, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    MutexHolder lock(mutex_);
    transfer(opcode, opcodeBits, address, addressBits, 0, kWrite, status);
    if (status.isNotFatal()) {
        window_.write8(windowOffset(address), 0);
    }
}

} // namespace brixeltools
