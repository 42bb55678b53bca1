// The driver of the module's SST25VF-type serial NOR flash behind the bridge's
// SPI engine: a sector is read byte by byte (one read transaction a byte, in
// one read sequence of the engine) and rewritten by lifting the protection,
// erasing, programming every byte and protecting it again.
//
// A sector write ends with the protection restored, also after a failure,
// and is verified: once protected again, the sector is read back, and a
// difference (a flash that ignored the erase or a program) is
// kFlashWriteVerifyFailed rather than success.
#pragma once

#include <stdint.h>

#include "bridge/spi_controller.h"
#include "bridge/write_protect_controller.h"
#include "platform/status.h"
#include "storage/flash_controller.h"

namespace nonvolatilememorytools {

// A sector read back after its write differs from what was written.
constexpr int64_t kFlashWriteVerifyFailed = KELVO_STATUS_FLASH_WRITE_VERIFY;
// The busy poll's time-out code the flash access set passes.
constexpr int64_t kFlashPollTimeout = KELVO_STATUS_FLASH_BUSY_TIMEOUT;

class SST25VFFlashController : public devicewindow::FlashController {
public:
    // SPI commands.
    static constexpr uint8_t kReadStatusRegister = 0x05;
    static constexpr uint8_t kWriteEnable = 0x06;
    static constexpr uint8_t kEnableWriteStatusRegister = 0x50;
    static constexpr uint8_t kWriteStatusRegister = 0x01;
    static constexpr uint8_t kSectorErase = 0x20;
    static constexpr uint8_t kByteProgram = 0x02;
    static constexpr uint8_t kRead = 0x03;
    // Status register.
    static constexpr uint8_t kBusy = 0x01;
    static constexpr uint8_t kWriteEnableLatch = 0x02;
    static constexpr uint8_t kProtected = 0x0C;
    static constexpr uint8_t kUnprotected = 0x00;
    // The busy poll: 1 us doubling up to 10 us, 30 ms at most.
    static constexpr uint64_t kPollInitialMicroseconds = 1;
    static constexpr uint64_t kPollMaximumMicroseconds = 10;
    static constexpr uint64_t kPollTimeoutMicroseconds = 30000;

    // The geometry checks of the base; the engine and the write-protect
    // controller are not owned.
    SST25VFFlashController(uint64_t sizeInBytes, uint64_t sectorSizeInBytes, brixeltools::SPIController& spi,
                           tymotools::WriteProtectController& writeProtect, int32_t pollTimeoutStatus,
                           nVOAPALS100::tStatus& status);
    ~SST25VFFlashController() override = default;

    // Once an error is held, the rest of the sector reads as 0.
    void readSector(uint64_t sectorAddress, uint8_t* destination, nVOAPALS100::tStatus& status) override;
    void writeSector(uint64_t sectorAddress, const uint8_t* source, nVOAPALS100::tStatus& status) override;

    // The status register (0 on a failed status).
    uint8_t readStatusRegister(nVOAPALS100::tStatus& status);
    void publicWaitUntilReady(nVOAPALS100::tStatus& status) { waitUntilReady(status); }
    void publicWriteEnable(nVOAPALS100::tStatus& status) { writeEnable(status); }
    void publicProtect(nVOAPALS100::tStatus& status) { protect(status); }
    void publicUnprotect(nVOAPALS100::tStatus& status) { unprotect(status); }

private:
    void waitUntilReady(nVOAPALS100::tStatus& status);
    // The busy bit alone (a read needs no cleared write-enable latch).
    void waitUntilNotBusy(nVOAPALS100::tStatus& status);
    void writeEnable(nVOAPALS100::tStatus& status);
    void unprotect(nVOAPALS100::tStatus& status);
    void protect(nVOAPALS100::tStatus& status);
    void eraseSector(uint64_t address, nVOAPALS100::tStatus& status);
    void programByte(uint8_t value, uint64_t address, nVOAPALS100::tStatus& status);
    uint8_t readByte(uint64_t address, nVOAPALS100::tStatus& status);
    void verifySector(uint64_t sectorAddress, const uint8_t* source, nVOAPALS100::tStatus& status);

    brixeltools::SPIController& spi_;
    tymotools::WriteProtectController& writeProtect_;
    int32_t pollTimeoutStatus_;
};

} // namespace nonvolatilememorytools
