// The bridge's SPI engine: each SPI transaction is described in the SPI
// configuration-port registers (opcode, opcode length, address length, data
// length, direction), its address goes into the configuration-port window's
// address register, and one byte access inside the window runs it. The mode
// and prefix registers are latched: only changed values are written again.
//
// Every operation holds the engine's recursive mutex, then the SPI map's and
// the window map's tree locks, from the set-up to the end of its window
// access, and does nothing on a failed status (read8 then answers all ones).
// A sequence of reads at consecutive addresses holds them across each run of
// up to kReadsPerHold transactions (register accesses only, no wait among
// them) and describes the transaction once per run.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regmaps/brixel_config_port_spi.h"
#include "regmaps/brixel_config_port_window.h"

namespace brixeltools {

class SPIController : public kelvo_driver::nVOAPAL000::tObject {
public:
    using tSPIMap = tBrixelConfigPortSPIWithOffset<0u>;
    using tWindowMap = tBrixelConfigPortWindowWithOffset<0u>;

    // None of the three is owned. -52000 when the mutex cannot be had.
    SPIController(tSPIMap& spiMap, tWindowMap& windowMap,
                  const kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor& window,
                  nVOAPALS100::tStatus& status);
    virtual ~SPIController() = default;
    SPIController(const SPIController&) = delete;
    SPIController& operator=(const SPIController&) = delete;

    // The most read transactions a sequence runs under one hold of the locks.
    static constexpr uint32_t kReadsPerHold = 256;

    // A read transaction of 8 data bits; the byte read.
    virtual uint32_t read8(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                           nVOAPALS100::tStatus& status);
    // count read transactions of 8 data bits at address, address + 1, ...,
    // the bytes into destination, as count read8 would; answers how many
    // bytes it read (those after a failure are left as they were). Not one
    // of the engine's virtual operations: the serial flash's sector read.
    uint64_t readSequence(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                          uint8_t* destination, uint64_t count, nVOAPALS100::tStatus& status);
    // A write transaction of one data byte.
    virtual void write8(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits,
                        uint8_t data, nVOAPALS100::tStatus& status);
    // The opcode alone.
    virtual void sendCommand(uint8_t opcode, uint8_t opcodeBits, nVOAPALS100::tStatus& status);
    // The opcode and one data byte, no address.
    virtual void write8WithoutAddress(uint8_t opcode, uint8_t opcodeBits, uint8_t data,
                                      nVOAPALS100::tStatus& status);
    // The opcode and an address, no data.
    virtual void sendCommandWithAddress(uint8_t opcode, uint8_t opcodeBits, uint32_t address,
                                        uint8_t addressBits, nVOAPALS100::tStatus& status);

private:
    enum tDirection { kWrite = 0, kRead = 1 };
    void transfer(uint8_t opcode, uint8_t opcodeBits, uint32_t address, uint8_t addressBits, uint8_t dataBits,
                  tDirection direction, nVOAPALS100::tStatus& status);
    uint64_t windowOffset(uint32_t address) const;

    tSPIMap& spiMap_;
    tWindowMap& windowMap_;
    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor window_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
};

} // namespace brixeltools
