// A passive block of latches: what was written is read back, byte by byte,
// except at offsets marked otherwise:
//   read-only   reads answer a set value; writes are device errors
//   write-only  writes latch; reads are device errors
//   split       writes latch; reads answer a set value (a written and a
//               read-only register sharing an offset)
// Marked offsets are read with the width they were marked with; another
// width is a device error. A block whose unmarked bytes are not readable
// (setUnmarkedReadable(false)) reports reads there as device errors.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/block.h"

namespace sim {

class LatchBlock : public Block {
public:
    enum class Mode { kReadOnly, kWriteOnly, kSplit };

    LatchBlock(std::string name, std::uint64_t size, std::uint32_t widths);

    // ---- layout and knobs (under the module's lock once placed) ----
    void markReadOnly(std::uint64_t offset, std::uint32_t width, std::uint64_t value);
    void markWriteOnly(std::uint64_t offset, std::uint32_t width);
    void markSplit(std::uint64_t offset, std::uint32_t width, std::uint64_t value);
    // The value a read-only or split offset answers.
    void setReadValue(std::uint64_t offset, std::uint64_t value);
    void setUnmarkedReadable(bool readable);
    // Latched bytes, little-endian.
    std::uint64_t latch(std::uint64_t offset, std::uint32_t width) const;
    void setLatch(std::uint64_t offset, std::uint32_t width, std::uint64_t value);

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;
    // Latched bytes without the lock (for derived blocks, already under it).
    std::uint64_t latchUnlocked(std::uint64_t offset, std::uint32_t width) const;
    void storeUnlocked(std::uint64_t offset, std::uint32_t width, std::uint64_t value);

private:
    struct Cell {
        Mode mode;
        std::uint32_t width;
        std::uint64_t value;
    };
    const Cell* cellAt(std::uint64_t offset) const;

    std::vector<std::uint8_t> bytes_;
    std::map<std::uint64_t, Cell> cells_;
    bool unmarkedReadable_ = true;
};

} // namespace sim
