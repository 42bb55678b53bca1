// Blocks of the non-isolated FPGA's board map that the driver's bring-up of
// the board talks to (offsets inside the board map, which sits at 0x0 of the
// non-isolated FPGA on Solstra and at 0x8000 on Duskmere):
//   +0x40  "iso-comm": the isolation link's configuration (+0x0, write-only:
//          bits 0-1 link command, bit 8 DC-bus start-up strobe) and status
//          (+0x4, read-only: bits 0-1 link state, bit 8 DC-bus start-up
//          complete)
//   +0x100 (Solstra) or +0x200 (Duskmere) "transformer": drive register A
//          (bits 15:0 setting, bit 31 enable) and B (bits 15:0 setting)
//   +0x300 (Solstra only) "vref-temperature": bits 12:0 the reading, bit 15
//          set while it is not valid yet
// Latencies are counted on the stand-in clock from the write that starts
// them; each has a knob that keeps it from ever ending.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/block.h"

namespace sim {

class IsoCommBlock : public Block {
public:
    static constexpr std::uint64_t kSize = 0x10;
    static constexpr std::uint64_t kConfig = 0x0;
    static constexpr std::uint64_t kStatus = 0x4;
    static constexpr std::uint32_t kCommandMask = 0x3;
    static constexpr std::uint32_t kDcBusBit = 1u << 8;
    static constexpr std::uint64_t kDefaultLinkLatencyNs = 300000;   // 300 us
    static constexpr std::uint64_t kDefaultDcBusLatencyNs = 1000000; // 1 ms

    IsoCommBlock();

    // ---- knobs ----
    void setLatencies(std::uint64_t linkNs, std::uint64_t dcBusNs);
    // The link state never follows a command / the DC bus never reports its start-up.
    void setLinkNeverAnswers(bool on);
    void setDcBusNeverStarts(bool on);

    // ---- state ----
    // The link state as the status reports it now.
    std::uint32_t linkState() const;
    bool dcBusStarted() const;
    // The link commands written, in order, the latest 64 Ki at most (a write
    // with bits 0-1 clear is none).
    std::vector<std::uint32_t> commands() const;

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    std::uint32_t statusNow() const; // under the lock

    std::uint64_t linkLatency_ = kDefaultLinkLatencyNs;
    std::uint64_t dcBusLatency_ = kDefaultDcBusLatencyNs;
    bool linkNever_ = false;
    bool dcBusNever_ = false;
    std::uint32_t previousState_ = 0;
    std::uint32_t commandedState_ = 0;
    std::uint64_t commandAt_ = 0;
    bool dcBusStrobed_ = false;
    std::uint64_t strobeAt_ = 0;
    std::vector<std::uint32_t> commands_;
};

class TransformerBlock : public Block {
public:
    static constexpr std::uint64_t kSize = 0x8;
    static constexpr std::uint32_t kEnable = 1u << 31;

    TransformerBlock();

    std::uint32_t registerA() const;
    std::uint32_t registerB() const;
    bool enabled() const { return (registerA() & kEnable) != 0; }

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    std::uint32_t a_ = 0;
    std::uint32_t b_ = 0;
};

class VrefTemperatureBlock : public Block {
public:
    static constexpr std::uint32_t kInvalidBit = 1u << 15;
    static constexpr std::uint16_t kDefaultReading = 0x0B2C;
    static constexpr std::uint64_t kDefaultInvalidNs = 2000000; // 2 ms after power-up

    VrefTemperatureBlock();

    // ---- knobs ----
    // Bits 14:0 of the register (bits 13 and 14 are not part of the reading);
    // drops a change that setReadingAfter still holds.
    void setReading(std::uint16_t value);
    // The reading is invalid from now on for ns (0: valid at once).
    void setInvalidFor(std::uint64_t ns);
    // The reading never becomes valid.
    void setNeverValid(bool on);
    // Once the next reads reads of the register are answered, the reading
    // becomes value (a temperature that moves between two reads).
    void setReadingAfter(std::uint32_t reads, std::uint16_t value);

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    std::uint16_t reading_ = kDefaultReading;
    std::uint16_t nextReading_ = 0;
    std::uint32_t readsUntilNext_ = 0;
    std::uint64_t validFrom_ = 0;
    bool neverValid_ = false;
};

} // namespace sim
