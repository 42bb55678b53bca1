#include "sim/serial_flash.h"

#include <algorithm>

#include "nVOKAL.h"

namespace sim {

namespace {

std::uint64_t now() {
    return nVOKAL1_getMonotonicCounter();
}

} // namespace

SerialFlash::SerialFlash(ModuleMutex& mutex, ErrorLog& errors)
    : mutex_(mutex), errors_(errors), bytes_(kSize, 0xFF) {}

bool SerialFlash::busy() const {
    return stuckBusy_ || now() < busyUntil_;
}

void SerialFlash::startBusy(std::uint64_t time) {
    busyUntil_ = now() + time;
}

bool SerialFlash::shapeFits(const Transaction& t, bool read, std::uint32_t addressBits,
                            std::uint32_t dataBits) {
    if (t.read == read && t.opcodeBits == 8 && t.addressBits == addressBits && t.dataBits == dataBits) {
        return true;
    }
    errors_.report("serial flash: command " + hex(t.opcode) + (t.read ? " read" : " write") + " with " +
                   std::to_string(t.opcodeBits) + " opcode, " + std::to_string(t.addressBits) +
                   " address and " + std::to_string(t.dataBits) + " data bits");
    return false;
}

std::uint8_t SerialFlash::transact(const Transaction& t, bool writeProtectAsserted) {
    std::lock_guard g(mutex_);
    const std::uint8_t answer = execute(t, writeProtectAsserted);
    appendBounded(
        trace_,
        {static_cast<std::uint8_t>(t.opcode), t.address, t.read ? answer : t.data, writeProtectAsserted},
        kTraceLimit);
    return answer;
}

std::uint8_t SerialFlash::execute(const Transaction& t, bool writeProtectAsserted) {
    const std::uint32_t address = t.address & (kSize - 1);
    const bool protectedArray = (status_ & kBlockProtection) != 0;
    switch (t.opcode) {
    case kReadStatus:
        if (!shapeFits(t, true, 0, 8)) {
            return 0xFF;
        }
        ++counters_.readStatus;
        return status();
    case kWriteEnable:
        if (shapeFits(t, false, 0, 0)) {
            ++counters_.writeEnable;
            if (!busy()) {
                status_ |= kWriteEnableLatch;
            }
        }
        return 0xFF;
    case kEnableWriteStatus:
        if (shapeFits(t, false, 0, 0)) {
            ++counters_.enableWriteStatus;
            if (!busy()) {
                writeStatusEnabled_ = true;
            }
        }
        return 0xFF;
    case kWriteStatus:
        if (shapeFits(t, false, 0, 8)) {
            ++counters_.writeStatus;
            if (busy()) {
                return 0xFF;
            }
            const bool enabled = writeStatusEnabled_ || (status_ & kWriteEnableLatch) != 0;
            const bool locked = (status_ & kBlockProtectionLock) != 0 && writeProtectAsserted;
            if (enabled && !locked) {
                status_ = static_cast<std::uint8_t>(t.data & (kBlockProtection | kBlockProtectionLock));
                startBusy(statusWriteNs_);
            }
            status_ &= static_cast<std::uint8_t>(~kWriteEnableLatch);
            writeStatusEnabled_ = false;
        }
        return 0xFF;
    case kSectorErase:
        if (shapeFits(t, false, 24, 0)) {
            ++counters_.erase;
            if (busy() || (status_ & kWriteEnableLatch) == 0) {
                return 0xFF;
            }
            status_ &= static_cast<std::uint8_t>(~kWriteEnableLatch);
            if (!protectedArray) {
                if (!writesIgnored_) {
                    const std::uint32_t start = address & ~(kSectorSize - 1);
                    std::fill_n(bytes_.begin() + start, kSectorSize, std::uint8_t{0xFF});
                }
                startBusy(eraseNs_);
            }
        }
        return 0xFF;
    case kByteProgram:
        if (shapeFits(t, false, 24, 8)) {
            ++counters_.program;
            if (busy() || (status_ & kWriteEnableLatch) == 0) {
                return 0xFF;
            }
            status_ &= static_cast<std::uint8_t>(~kWriteEnableLatch);
            if (!protectedArray) {
                if (!writesIgnored_) {
                    bytes_[address] &= t.data; // NOR: programming only clears bits
                }
                startBusy(programNs_);
            }
        }
        return 0xFF;
    case kRead:
        if (!shapeFits(t, true, 24, 8)) {
            return 0xFF;
        }
        ++counters_.read;
        if (busy()) {
            return 0xFF;
        }
        return static_cast<std::uint8_t>(bytes_[address] ^ (address == flipAddress_ ? flipMask_ : 0));
    default:
        errors_.report("serial flash: unknown command " + hex(t.opcode));
        return 0xFF;
    }
}

void SerialFlash::setBusyTimes(std::uint64_t eraseNs, std::uint64_t programNs, std::uint64_t statusWriteNs) {
    std::lock_guard g(mutex_);
    eraseNs_ = eraseNs;
    programNs_ = programNs;
    statusWriteNs_ = statusWriteNs;
}

void SerialFlash::setStuckBusy(bool stuck) {
    std::lock_guard g(mutex_);
    stuckBusy_ = stuck;
    if (!stuck) {
        busyUntil_ = 0;
    }
}

void SerialFlash::setWritesIgnored(bool ignored) {
    std::lock_guard g(mutex_);
    writesIgnored_ = ignored;
}

void SerialFlash::setReadBitFlip(std::uint32_t address, std::uint8_t mask) {
    std::lock_guard g(mutex_);
    flipAddress_ = address & (kSize - 1);
    flipMask_ = mask;
}

void SerialFlash::setStatus(std::uint8_t status) {
    std::lock_guard g(mutex_);
    status_ =
        static_cast<std::uint8_t>(status & (kWriteEnableLatch | kBlockProtection | kBlockProtectionLock));
}

std::vector<std::uint8_t> SerialFlash::contents() const {
    std::lock_guard g(mutex_);
    return bytes_;
}

void SerialFlash::load(const std::vector<std::uint8_t>& image) {
    std::lock_guard g(mutex_);
    std::fill(bytes_.begin(), bytes_.end(), std::uint8_t{0xFF});
    std::copy_n(image.begin(), std::min<std::size_t>(image.size(), kSize), bytes_.begin());
}

std::uint8_t SerialFlash::status() const {
    std::lock_guard g(mutex_);
    return static_cast<std::uint8_t>(status_ | (busy() ? kBusy : 0));
}

SerialFlash::Counters SerialFlash::counters() const {
    std::lock_guard g(mutex_);
    return counters_;
}

std::vector<SerialFlash::Record> SerialFlash::trace() const {
    std::lock_guard g(mutex_);
    return trace_;
}

void SerialFlash::clearTrace() {
    std::lock_guard g(mutex_);
    trace_.clear();
}

void SerialFlash::clearCounters() {
    std::lock_guard g(mutex_);
    counters_ = Counters{};
}

} // namespace sim
