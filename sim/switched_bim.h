// The bridge's switched bus interface (BAR 0 0x600 to 0x703, "switched-bim")
// and the blocks behind its port:
//   0x600 status (read-only knob)     0x604 setup (latch)
//   0x644 read flow control (latch)   0x680 route definition (write-only)
//   0x688 port command: a write with bit 0 (port write) or bit 1 (port read)
//         starts a transaction on the port in bits 20-23 with the setting in
//         bits 8-10 at the port register in bits 24-31. Every write clears
//         the completion bit (bit 2); a transaction completes at once and
//         sets it (unless completion is switched off). Reads answer the last
//         command with bits 0-1 clear and the completion bit.
//   0x68C port data: the value a port write sends; a port read fills it
//   0x694, 0x700 read-only knobs; 0x698, 0x6A4 latches
// Behind port 0 with setting 2 sit the IO port 2 and the isolation port, one
// register file (offset 0x00 is shared by both maps):
//   0x00 IO port 2 control/status: bit 0 reset; bit 7 reads 1 while reset is 0
//        (never, with the never-ready knob)
//   0x04 isolation control/status (0x0F000203 at power-up)
//   0x08 serializer control, 0x0C setup, 0x10 (latches)
//   0x14 isolation read-only word (knob)
//   0x18 isolation transmit phase control (bits 0-1 read 0)
//   0x80-0x8C IO port 2 debug words (read-only knobs)
// Any other port, setting or port register is a device error.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "sim/block.h"
#include "sim/latch_block.h"

namespace sim {

struct PortAccess {
    bool write = false;
    std::uint32_t port = 0;
    std::uint32_t setting = 0;
    std::uint32_t address = 0;
    std::uint32_t value = 0; // sent, or answered
};

class SwitchedBusInterface : public LatchBlock {
public:
    static constexpr std::uint64_t kBase = 0x600;
    static constexpr std::uint64_t kSize = 0x104;
    static constexpr std::uint64_t kCommand = 0x88; // inside the block (BAR 0x688)
    static constexpr std::uint64_t kData = 0x8C;    // BAR 0x68C
    static constexpr std::uint32_t kPort = 0;
    static constexpr std::uint32_t kSetting = 2;
    static constexpr std::uint32_t kIsolationControlReset = 0x0F000203;

    SwitchedBusInterface();

    // ---- knobs ----
    // Off: commands never complete (the completion bit stays 0).
    void setCompletion(bool completes);
    // On: the IO port's ready bit stays 0 (also out of reset).
    void setIOPortNeverReady(bool never);
    // Sets a port register (port 0, setting 2) as if the device had changed it.
    void setPortRegister(std::uint32_t address, std::uint32_t value);

    // ---- state ----
    std::uint32_t portRegister(std::uint32_t address) const;
    // The port transactions so far, oldest first, the latest 1 Mi at most.
    std::vector<PortAccess> portTrace() const;
    void clearPortTrace();

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    bool portRegisterExists(std::uint32_t address) const;
    bool portRegisterReadOnly(std::uint32_t address) const;
    std::uint32_t readPort(std::uint32_t address); // under the lock
    void runCommand(std::uint32_t command);        // under the lock

    bool completes_ = true;
    bool complete_ = false;
    bool ioPortReady_ = true;
    std::uint32_t command_ = 0;
    std::uint32_t data_ = 0;
    std::map<std::uint32_t, std::uint32_t> portRegisters_;
    // A port-ready poll runs to tens of thousands of reads.
    static constexpr std::size_t kPortTraceLimit = std::size_t{1} << 20;
    std::vector<PortAccess> portTrace_;
};

} // namespace sim
