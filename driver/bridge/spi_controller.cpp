#include "bridge/spi_controller.h"

#include "framework/mutex_holder.h"
#include "reglayouts/brixel_config_port_spi.h"
#include "platform/vosdbg.h"
#include "regs/sized_register_map.h"

namespace brixeltools {

using kdut::internal::MutexHolder;
using nVOAPALS100::tStatus;

namespace {

// The transaction description: the same layout in the read and write mode registers.
using tMode = layout::BrixelConfigPortSPIWithOffset::WriteModeRegister;
using tReadMode = layout::BrixelConfigPortSPIWithOffset::ReadModeRegister;
using tPrefix = layout::BrixelConfigPortSPIWithOffset::PrefixRegister;
constexpr uint32_t kWindowOffsetMask = 0xFFF;

template <typename Record>
void describe(Record& record, uint8_t opcodeBits, uint8_t addressBits, uint8_t dataBits) {
    arm::insertIntoSizedRecord(record, tMode::kOpcodeLength, opcodeBits);
    arm::insertIntoSizedRecord(record, tMode::kCleared, 0);
    arm::insertIntoSizedRecord(record, tMode::kDataLength, uint64_t{dataBits} << tMode::kDataLengthShift);
    arm::insertIntoSizedRecord(record, tMode::kAddressLength,
                               uint64_t{addressBits} << tMode::kAddressLengthShift);
}

// A whole transaction (its description, its prefix and its access to the
// window) holds the SPI map's tree lock, then the window map's.
class tTransactionHold {
public:
    tTransactionHold(const SPIController::tSPIMap& spi, const SPIController::tWindowMap& window)
        : spi_(spi), window_(window) {}

private:
    const arm::tRegMapHold spi_;
    const arm::tRegMapHold window_;
};

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
    VOSDBG_ASSERT(opcodeBits <= tMode::kOpcodeLength &&
                  addressBits <= tMode::kAddressLength >> tMode::kAddressLengthShift &&
                  dataBits <= tMode::kDataLength >> tMode::kDataLengthShift);
    windowMap_.WindowRegisterE0.writeRegister(address, status, true);
    arm::insertIntoSizedRecord(spiMap_.ReadModeRegister, tReadMode::kReadTransaction,
                               direction == kRead ? tReadMode::kReadTransaction : 0);
    if (direction == kWrite) {
        describe(spiMap_.WriteModeRegister, opcodeBits, addressBits, dataBits);
        spiMap_.WriteModeRegister.flush(status, false);
        arm::insertIntoSizedRecord(spiMap_.PrefixRegister, tPrefix::kWriteOpcode, opcode);
    } else {
        describe(spiMap_.ReadModeRegister, opcodeBits, addressBits, dataBits);
        spiMap_.ReadModeRegister.flush(status, false);
        arm::insertIntoSizedRecord(spiMap_.PrefixRegister, tPrefix::kReadOpcode,
                                   uint64_t{opcode} << tPrefix::kReadOpcodeShift);
    }
    spiMap_.PrefixRegister.flush(status, false);
}

uint32_t SPIController::read8(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                              tStatus& status) {
    if (status.isFatal()) {
        return 0xFFFFFFFF;
    }
    MutexHolder lock(mutex_);
    const tTransactionHold trees(spiMap_, windowMap_);
    transfer(opcode, opcodeBits, address, addressBits, 8, kRead, status);
    if (status.isFatal()) {
        return 0xFFFFFFFF;
    }
    return window_.read8(windowOffset(address));
}

uint64_t SPIController::readSequence(uint8_t opcode, uint8_t opcodeBits, uint32_t address,
                                     uint8_t addressBits, uint8_t* destination, uint64_t count,
                                     tStatus& status) {
    uint64_t done = 0;
    while (done < count && status.isNotFatal()) {
        const uint64_t run = count - done < kReadsPerHold ? count - done : kReadsPerHold;
        MutexHolder lock(mutex_);
        const tTransactionHold trees(spiMap_, windowMap_);
        // The first transaction describes the read; under the locks the
        // description stays in the registers for the others of the run.
        uint32_t at = address + static_cast<uint32_t>(done);
        transfer(opcode, opcodeBits, at, addressBits, 8, kRead, status);
        for (uint64_t i = 0; i < run && status.isNotFatal(); ++i, ++at) {
            if (i != 0) {
                windowMap_.WindowRegisterE0.writeRegister(at, status, true);
                if (status.isFatal()) {
                    break;
                }
            }
            destination[done] = window_.read8(windowOffset(at));
            ++done;
        }
    }
    return done;
}

void SPIController::write8(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                           uint8_t data, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    MutexHolder lock(mutex_);
    const tTransactionHold trees(spiMap_, windowMap_);
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
    const tTransactionHold trees(spiMap_, windowMap_);
    transfer(opcode, opcodeBits, address, addressBits, 0, kWrite, status);
    if (status.isNotFatal()) {
        window_.write8(windowOffset(address), 0);
    }
}

} // namespace brixeltools
