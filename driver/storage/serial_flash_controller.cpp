#include "storage/serial_flash_controller.h"

#include "framework/poller.h"
#include "platform/time.h"

namespace nonvolatilememorytools {

using nVOAPALS100::tStatus;

namespace {

constexpr uint8_t kOpcodeBits = 8;
constexpr uint8_t kAddressBits = 24;

using tBusyPoller =
    orut::Poller<kelvo_driver::nVOAPAL000::tTimeout<kelvo_driver::nVOAPAL000::tTimeWasterSpin,
                                                    kelvo_driver::nVOAPAL000::tTimebasePrecise>>;

} // namespace

SST25VFFlashController::SST25VFFlashController(uint64_t sizeInBytes, uint64_t sectorSizeInBytes,
                                               brixeltools::SPIController& spi,
                                               tymotools::WriteProtectController& writeProtect,
                                               int32_t pollTimeoutStatus, tStatus& status)
    : FlashController(sizeInBytes, sectorSizeInBytes, status), spi_(spi), writeProtect_(writeProtect),
      pollTimeoutStatus_(pollTimeoutStatus) {}

uint8_t SST25VFFlashController::readStatusRegister(tStatus& status) {
    const uint32_t value = spi_.read8(kReadStatusRegister, kOpcodeBits, 0, 0, status);
    return status.isFatal() ? 0 : static_cast<uint8_t>(value);
}

void SST25VFFlashController::waitUntilReady(tStatus& status) {
    const tBusyPoller poller(kPollInitialMicroseconds, kPollMaximumMicroseconds, pollTimeoutStatus_);
    poller.poll(*this, &SST25VFFlashController::readStatusRegister, 0, kBusy | kWriteEnableLatch,
                kPollTimeoutMicroseconds, true, tBusyPoller::kEqual, status);
}

void SST25VFFlashController::waitUntilNotBusy(tStatus& status) {
    const tBusyPoller poller(kPollInitialMicroseconds, kPollMaximumMicroseconds, pollTimeoutStatus_);
    poller.poll(*this, &SST25VFFlashController::readStatusRegister, 0, kBusy, kPollTimeoutMicroseconds, true,
                tBusyPoller::kEqual, status);
}

void SST25VFFlashController::writeEnable(tStatus& status) {
    spi_.sendCommand(kWriteEnable, kOpcodeBits, status);
    const tBusyPoller poller(kPollInitialMicroseconds, kPollMaximumMicroseconds, pollTimeoutStatus_);
    poller.poll(*this, &SST25VFFlashController::readStatusRegister, 0, kWriteEnableLatch,
                kPollTimeoutMicroseconds, true, tBusyPoller::kAnyBitSet, status);
}

void SST25VFFlashController::unprotect(tStatus& status) {
    writeProtect_.disableWriteProtect(status);
    spi_.sendCommand(kEnableWriteStatusRegister, kOpcodeBits, status);
    spi_.write8WithoutAddress(kWriteStatusRegister, kOpcodeBits, kUnprotected, status);
}

void SST25VFFlashController::protect(tStatus& status) {
    spi_.sendCommand(kEnableWriteStatusRegister, kOpcodeBits, status);
    spi_.write8WithoutAddress(kWriteStatusRegister, kOpcodeBits, kProtected, status);
    writeProtect_.enableWriteProtect(status);
}

void SST25VFFlashController::eraseSector(uint64_t address, tStatus& status) {
    validateSectorAddress(address, status);
    waitUntilReady(status);
    writeEnable(status);
    spi_.sendCommandWithAddress(kSectorErase, kOpcodeBits, static_cast<uint32_t>(address), kAddressBits,
                                status);
    waitUntilReady(status);
}

void SST25VFFlashController::programByte(uint8_t value, uint64_t address, tStatus& status) {
    writeEnable(status);
    spi_.write8(kByteProgram, kOpcodeBits, static_cast<uint32_t>(address), kAddressBits, value, status);
    waitUntilReady(status);
}

uint8_t SST25VFFlashController::readByte(uint64_t address, tStatus& status) {
    const uint32_t value =
        spi_.read8(kRead, kOpcodeBits, static_cast<uint32_t>(address), kAddressBits, status);
    return status.isFatal() ? 0 : static_cast<uint8_t>(value);
}

void SST25VFFlashController::readSector(uint64_t sectorAddress, uint8_t* destination, tStatus& status) {
    validateSectorAddress(sectorAddress, status);
    if (status.isFatal()) {
        return;
    }
    // A busy flash ignores reads (every byte would read all ones): a sector
    // read then would be cached, and written back, as the flash's content.
    waitUntilNotBusy(status);
    const uint64_t size = getSectorSizeInBytes();
    const uint64_t read = spi_.readSequence(kRead, kOpcodeBits, static_cast<uint32_t>(sectorAddress),
                                            kAddressBits, destination, size, status);
    for (uint64_t i = read; i < size; ++i) {
        destination[i] = 0;
    }
}

void SST25VFFlashController::verifySector(uint64_t sectorAddress, const uint8_t* source, tStatus& status) {
    const uint64_t size = getSectorSizeInBytes();
    for (uint64_t i = 0; i < size && status.isNotFatal(); ++i) {
        if (readByte(sectorAddress + i, status) != source[i] && status.isNotFatal()) {
            KELVO_SET_STATUS(status, kFlashWriteVerifyFailed);
        }
    }
}

void SST25VFFlashController::writeSector(uint64_t sectorAddress, const uint8_t* source, tStatus& status) {
    validateSectorAddress(sectorAddress, status);
    if (status.isFatal()) {
        return;
    }
    unprotect(status);
    eraseSector(sectorAddress, status);
    const uint64_t size = getSectorSizeInBytes();
    for (uint64_t i = 0; i < size && status.isNotFatal(); ++i) {
        programByte(source[i], sectorAddress + i, status);
    }
    // Protected again whatever happened above.
    tStatus protection;
    protect(protection);
    status.merge(protection);
    if (status.isNotFatal()) {
        // The flash answers no read until the protecting status write is done.
        waitUntilReady(status);
        verifySector(sectorAddress, source, status);
    }
}

} // namespace nonvolatilememorytools
