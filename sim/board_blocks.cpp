#include "sim/board_blocks.h"

#include "nVOKAL.h"

namespace sim {

namespace {

std::uint64_t now() {
    return nVOKAL1_getMonotonicCounter();
}

} // namespace

// ---- IsoCommBlock --------------------------------------------------------------------

IsoCommBlock::IsoCommBlock() : Block("iso-comm", kSize, kWidth32) {}

void IsoCommBlock::setLatencies(std::uint64_t linkNs, std::uint64_t dcBusNs) {
    auto g = guard();
    linkLatency_ = linkNs;
    dcBusLatency_ = dcBusNs;
}

void IsoCommBlock::setLinkNeverAnswers(bool on) {
    auto g = guard();
    linkNever_ = on;
}

void IsoCommBlock::setDcBusNeverStarts(bool on) {
    auto g = guard();
    dcBusNever_ = on;
}

std::uint32_t IsoCommBlock::linkState() const {
    auto g = guard();
    return statusNow() & kCommandMask;
}

bool IsoCommBlock::dcBusStarted() const {
    auto g = guard();
    return (statusNow() & kDcBusBit) != 0;
}

std::vector<std::uint32_t> IsoCommBlock::commands() const {
    auto g = guard();
    return commands_;
}

std::uint32_t IsoCommBlock::statusNow() const {
    const std::uint64_t t = now();
    std::uint32_t word = previousState_;
    if (!linkNever_ && t - commandAt_ >= linkLatency_) {
        word = commandedState_;
    }
    if (dcBusStrobed_ && !dcBusNever_ && t - strobeAt_ >= dcBusLatency_) {
        word |= kDcBusBit;
    }
    return word;
}

std::uint64_t IsoCommBlock::onRead(std::uint64_t offset, std::uint32_t) {
    if (offset == kStatus) {
        return statusNow();
    }
    errors().report("iso-comm: read of the write-only register at +" + hex(offset));
    return 0xFFFFFFFFu;
}

void IsoCommBlock::onWrite(std::uint64_t offset, std::uint32_t, std::uint64_t value) {
    if (offset != kConfig) {
        errors().report("iso-comm: write of the read-only register at +" + hex(offset));
        return;
    }
    const auto word = static_cast<std::uint32_t>(value);
    if ((word & kCommandMask) != 0) {
        previousState_ = statusNow() & kCommandMask;
        commandedState_ = word & kCommandMask;
        commandAt_ = now();
        appendBounded(commands_, commandedState_);
    }
    if ((word & kDcBusBit) != 0 && !dcBusStrobed_) {
        dcBusStrobed_ = true;
        strobeAt_ = now();
    }
}

// ---- TransformerBlock -----------------------------------------------------------------

TransformerBlock::TransformerBlock() : Block("transformer", kSize, kWidth32) {}

std::uint32_t TransformerBlock::registerA() const {
    auto g = guard();
    return a_;
}

std::uint32_t TransformerBlock::registerB() const {
    auto g = guard();
    return b_;
}

std::uint64_t TransformerBlock::onRead(std::uint64_t offset, std::uint32_t) {
    return offset == 0 ? a_ : b_;
}

void TransformerBlock::onWrite(std::uint64_t offset, std::uint32_t, std::uint64_t value) {
    (offset == 0 ? a_ : b_) = static_cast<std::uint32_t>(value);
}

// ---- VrefTemperatureBlock ---------------------------------------------------------------

VrefTemperatureBlock::VrefTemperatureBlock()
    : Block("vref-temperature", 4, kWidth32), validFrom_(now() + kDefaultInvalidNs) {}

void VrefTemperatureBlock::setReading(std::uint16_t value) {
    auto g = guard();
    reading_ = static_cast<std::uint16_t>(value & 0x7FFF);
    readsUntilNext_ = 0;
}

void VrefTemperatureBlock::setInvalidFor(std::uint64_t ns) {
    auto g = guard();
    validFrom_ = now() + ns;
}

void VrefTemperatureBlock::setNeverValid(bool on) {
    auto g = guard();
    neverValid_ = on;
}

void VrefTemperatureBlock::setReadingAfter(std::uint32_t reads, std::uint16_t value) {
    auto g = guard();
    nextReading_ = static_cast<std::uint16_t>(value & 0x7FFF);
    readsUntilNext_ = reads;
    if (reads == 0) {
        reading_ = nextReading_;
    }
}

std::uint64_t VrefTemperatureBlock::onRead(std::uint64_t, std::uint32_t) {
    const bool valid = !neverValid_ && now() >= validFrom_;
    const std::uint64_t value = reading_ | (valid ? 0u : kInvalidBit);
    if (readsUntilNext_ > 0 && --readsUntilNext_ == 0) {
        reading_ = nextReading_;
    }
    return value;
}

void VrefTemperatureBlock::onWrite(std::uint64_t, std::uint32_t, std::uint64_t) {
    errors().report("vref temperature: write of a read-only register");
}

} // namespace sim
