// The module's serial NOR flash: 1 MiB in 4 KiB sectors, reached one SPI
// transaction at a time through the bridge's configuration-port window while
// that window is not showing the bridge's configuration space (bridge.h).
//
// Commands (opcode, then what the transaction carries):
//   0x05 read status      8 data bits in: bit 0 busy, 1 write-enable latch,
//                         2-5 block protection, 7 block-protection lock (BPL)
//   0x06 write enable     sets the latch
//   0x50 enable write status
//   0x01 write status     8 data bits out; needs 0x50 or the latch just
//                         before; refused while BPL is set and the
//                         write-protect pin is asserted
//   0x20 sector erase     24-bit address; 4 KiB to 0xFF
//   0x02 byte program     24-bit address, 8 data bits out; clears bits only
//   0x03 read             24-bit address, 8 data bits in
// Erase, program and write status need the latch, clear it, and keep the
// flash busy for a configurable time on the stand-in clock; commands other
// than read status are ignored while busy. Any non-zero block protection
// protects the whole array: erase and program are then ignored (the latch
// is still cleared). A transaction whose opcode, address or data length does
// not fit its command is a device error.
//
// The content belongs to the module: it lives as long as the module does.
#pragma once

#include <cstdint>
#include <string>
#include <mutex>
#include <vector>

#include "sim/block.h"

namespace sim {

class SerialFlash {
public:
    static constexpr std::uint32_t kSize = 0x100000;
    static constexpr std::uint32_t kSectorSize = 0x1000;
    static constexpr std::uint8_t kBusy = 0x01;
    static constexpr std::uint8_t kWriteEnableLatch = 0x02;
    static constexpr std::uint8_t kBlockProtection = 0x3C;
    static constexpr std::uint8_t kBlockProtectionLock = 0x80;

    // Default busy times in stand-in nanoseconds: far below the driver's
    // 30 ms poll limit.
    static constexpr std::uint64_t kDefaultEraseNs = 25000;
    static constexpr std::uint64_t kDefaultProgramNs = 1000;
    static constexpr std::uint64_t kDefaultStatusWriteNs = 1000;

    enum Command : std::uint8_t {
        kReadStatus = 0x05,
        kWriteEnable = 0x06,
        kEnableWriteStatus = 0x50,
        kWriteStatus = 0x01,
        kSectorErase = 0x20,
        kByteProgram = 0x02,
        kRead = 0x03,
    };

    // One SPI transaction as the bridge describes it.
    struct Transaction {
        bool read = false;            // a window read (data comes in)
        std::uint32_t opcode = 0;     // the prefix byte of the direction
        std::uint32_t opcodeBits = 0; // from the mode register of the direction
        std::uint32_t addressBits = 0;
        std::uint32_t dataBits = 0;
        std::uint32_t address = 0; // the window's address register
        std::uint8_t data = 0;     // written byte
    };

    // Counts of the commands carried out (ignored ones included).
    struct Counters {
        std::uint64_t readStatus = 0;
        std::uint64_t writeEnable = 0;
        std::uint64_t enableWriteStatus = 0;
        std::uint64_t writeStatus = 0;
        std::uint64_t erase = 0;
        std::uint64_t program = 0;
        std::uint64_t read = 0;
    };

    // One transaction as the flash saw it (status reads included).
    struct Record {
        std::uint8_t opcode;
        std::uint32_t address;
        std::uint8_t data; // written or read
        bool writeProtectAsserted;
    };

    // Erased (all 0xFF), status 0x1C (protected) as after power-up.
    SerialFlash(ModuleMutex& mutex, ErrorLog& errors);

    // The bus side: the byte a read transaction returns (0xFF for writes).
    // writeProtectAsserted is the level of the write-protect pin.
    std::uint8_t transact(const Transaction& t, bool writeProtectAsserted);

    // ---- knobs ----
    void setBusyTimes(std::uint64_t eraseNs, std::uint64_t programNs, std::uint64_t statusWriteNs);
    // Busy never clears; false also ends the busy time running now.
    void setStuckBusy(bool stuck);
    // Erase and program take their time but change nothing.
    void setWritesIgnored(bool ignored);
    // Reads of address answer the byte with mask flipped (mask 0: off).
    void setReadBitFlip(std::uint32_t address, std::uint8_t mask);
    void setStatus(std::uint8_t status);

    // ---- state ----
    std::vector<std::uint8_t> contents() const;
    // Replaces the content; shorter images leave the rest erased, longer ones are cut.
    void load(const std::vector<std::uint8_t>& image);
    std::uint8_t status() const; // as a read-status command would answer it now
    Counters counters() const;
    void clearCounters();
    // The latest 1 Mi transactions, oldest first.
    std::vector<Record> trace() const;
    void clearTrace();

private:
    static constexpr std::size_t kTraceLimit = 1u << 20;
    std::uint8_t execute(const Transaction& t, bool writeProtectAsserted); // under the lock
    bool busy() const;                                                     // under the lock
    void startBusy(std::uint64_t time);                                    // under the lock
    bool shapeFits(const Transaction& t, bool read, std::uint32_t addressBits, std::uint32_t dataBits);

    ModuleMutex& mutex_;
    ErrorLog& errors_;
    std::vector<std::uint8_t> bytes_;
    std::uint8_t status_ = 0x1C;
    bool writeStatusEnabled_ = false;
    std::uint64_t busyUntil_ = 0;
    std::uint64_t eraseNs_ = kDefaultEraseNs;
    std::uint64_t programNs_ = kDefaultProgramNs;
    std::uint64_t statusWriteNs_ = kDefaultStatusWriteNs;
    bool stuckBusy_ = false;
    bool writesIgnored_ = false;
    std::uint32_t flipAddress_ = 0;
    std::uint8_t flipMask_ = 0;
    Counters counters_;
    std::vector<Record> trace_;
};

} // namespace sim
