#include "sim/latch_block.h"

namespace sim {

LatchBlock::LatchBlock(std::string name, std::uint64_t size, std::uint32_t widths)
    : Block(std::move(name), size, widths), bytes_(size, 0) {}

void LatchBlock::markReadOnly(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    auto g = guard();
    cells_[offset] = {Mode::kReadOnly, width, value};
}

void LatchBlock::markWriteOnly(std::uint64_t offset, std::uint32_t width) {
    auto g = guard();
    cells_[offset] = {Mode::kWriteOnly, width, 0};
}

void LatchBlock::markSplit(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    auto g = guard();
    cells_[offset] = {Mode::kSplit, width, value};
}

void LatchBlock::setReadValue(std::uint64_t offset, std::uint64_t value) {
    auto g = guard();
    auto it = cells_.find(offset);
    if (it != cells_.end()) {
        it->second.value = value;
    }
}

void LatchBlock::setUnmarkedReadable(bool readable) {
    auto g = guard();
    unmarkedReadable_ = readable;
}

std::uint64_t LatchBlock::latch(std::uint64_t offset, std::uint32_t width) const {
    auto g = guard();
    return latchUnlocked(offset, width);
}

void LatchBlock::setLatch(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    auto g = guard();
    storeUnlocked(offset, width, value);
}

std::uint64_t LatchBlock::latchUnlocked(std::uint64_t offset, std::uint32_t width) const {
    std::uint64_t value = 0;
    for (std::uint32_t i = 0; i < width && offset + i < bytes_.size(); ++i) {
        value |= static_cast<std::uint64_t>(bytes_[offset + i]) << (8 * i);
    }
    return value;
}

void LatchBlock::storeUnlocked(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    for (std::uint32_t i = 0; i < width && offset + i < bytes_.size(); ++i) {
        bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

const LatchBlock::Cell* LatchBlock::cellAt(std::uint64_t offset) const {
    auto it = cells_.find(offset);
    return it == cells_.end() ? nullptr : &it->second;
}

std::uint64_t LatchBlock::onRead(std::uint64_t offset, std::uint32_t width) {
    const Cell* cell = cellAt(offset);
    if (cell == nullptr) {
        if (!unmarkedReadable_) {
            errors().report(name() + ": read at +" + hex(offset) + ", where no register is readable");
            return allOnes(width);
        }
        return latchUnlocked(offset, width);
    }
    if (cell->mode == Mode::kWriteOnly) {
        errors().report(name() + ": read of the write-only register at +" + hex(offset));
        return allOnes(width);
    }
    if (cell->width != width) {
        errors().report(name() + ": " + std::to_string(width * 8) + "-bit read of the " +
                        std::to_string(cell->width * 8) + "-bit register at +" + hex(offset));
        return allOnes(width);
    }
    return cell->value;
}

void LatchBlock::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    const Cell* cell = cellAt(offset);
    if (cell != nullptr && cell->mode == Mode::kReadOnly) {
        errors().report(name() + ": write of the read-only register at +" + hex(offset) + " (value " +
                        hex(value) + ")");
        return;
    }
    storeUnlocked(offset, width, value);
}

} // namespace sim
