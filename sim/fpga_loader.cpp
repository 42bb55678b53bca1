#include "sim/fpga_loader.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// CRC-32 (IEEE, reflected) tables for eight bytes a step (slicing by 8): a
// download feeds the running check eight bytes per write.
struct CrcTables {
    std::uint32_t t[8][256];
    constexpr CrcTables() : t{} {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[0][n] = c;
        }
        for (std::uint32_t n = 0; n < 256; ++n) {
            for (int k = 1; k < 8; ++k) {
                t[k][n] = t[0][t[k - 1][n] & 0xFF] ^ (t[k - 1][n] >> 8);
            }
        }
    }
};
constexpr CrcTables kCrc;

// The CRC register after one byte, and after eight bytes given as a
// little-endian word.
std::uint32_t crcByte(std::uint32_t crc, std::uint8_t byte) {
    return kCrc.t[0][(crc ^ byte) & 0xFF] ^ (crc >> 8);
}
std::uint32_t crcWord(std::uint32_t crc, std::uint64_t word) {
    const auto& t = kCrc.t;
    const std::uint32_t low = crc ^ static_cast<std::uint32_t>(word);
    const auto high = static_cast<std::uint32_t>(word >> 32);
    return t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
           t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
}

std::uint32_t le32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

} // namespace

FpgaLoader::FpgaLoader(std::uint32_t generation, const LatchBlock& configPorts)
    : LatchBlock("fpga-loading", 0x28, kWidth8 | kWidth32 | kWidth64), generation_(generation),
      configPorts_(configPorts) {
    markWriteOnly(kControl, 4);
    markWriteOnly(kData, 8);
}

void FpgaLoader::setStatusBits(std::uint32_t bits) {
    auto g = guard();
    statusBits_ = bits;
}

void FpgaLoader::setReadyNever(bool never) {
    auto g = guard();
    readyNever_ = never;
}

void FpgaLoader::setDoneNever(bool never) {
    auto g = guard();
    doneNever_ = never;
}

void FpgaLoader::setWrongCrc(bool wrong) {
    auto g = guard();
    wrongCrc_ = wrong;
}

void FpgaLoader::setConfigured(std::uint32_t target, bool configured) {
    auto g = guard();
    setConfiguredUnlocked(target, configured);
}

void FpgaLoader::setOnConfigured(std::function<void(std::uint32_t)> onConfigured) {
    auto g = guard();
    onConfigured_ = std::move(onConfigured);
}

void FpgaLoader::setConfiguredUnlocked(std::uint32_t target, bool configured) {
    if (target >= 2) {
        return;
    }
    configured_[target] = configured;
    if (configured && onConfigured_) {
        onConfigured_(target);
    }
}

bool FpgaLoader::configured(std::uint32_t target) const {
    auto g = guard();
    return target < 2 && configured_[target];
}

std::uint64_t FpgaLoader::received() const {
    auto g = guard();
    return received_;
}

std::uint32_t FpgaLoader::loads() const {
    auto g = guard();
    return loads_;
}

bool FpgaLoader::queueData(std::uint64_t value) {
    const void* const self = ModuleMutex::threadTag();
    const void* producer = producer_.load(std::memory_order_acquire);
    if (producer != self && (producer != nullptr ||
                             !producer_.compare_exchange_strong(producer, self, std::memory_order_acquire))) {
        return false;
    }
    const std::uint64_t head = queueHead_.load(std::memory_order_relaxed);
    if (head - queueTail_.load(std::memory_order_acquire) == kQueued) {
        return false;
    }
    queue_[head % kQueued].store(value, std::memory_order_relaxed);
    queueHead_.store(head + 1, std::memory_order_release);
    return true;
}

void FpgaLoader::settle(const void* self) {
    const std::uint64_t head = queueHead_.load(std::memory_order_acquire);
    std::uint64_t tail = queueTail_.load(std::memory_order_relaxed);
    if (tail != head) {
        for (; tail != head; ++tail) {
            deliverWrite(kData, 8, queue_[tail % kQueued].load(std::memory_order_relaxed));
        }
        // Nothing queued, nothing to store: every access of the module settles.
        queueTail_.store(tail, std::memory_order_release);
    }
    // The producer is here, not appending: the queue is free for any thread.
    if (producer_.load(std::memory_order_relaxed) == self) {
        producer_.store(nullptr, std::memory_order_release);
    }
}

std::uint64_t FpgaLoader::onRead(std::uint64_t offset, std::uint32_t width) {
    if (offset == kStatus && width == 4) {
        std::uint32_t value = statusBits_;
        if (loading_ && !readyNever_) {
            value |= kReady;
        }
        if (done_ && !doneNever_) {
            value |= kDone;
        }
        return value;
    }
    return LatchBlock::onRead(offset, width);
}

void FpgaLoader::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    if (offset == kControl && width == 4) {
        if ((value & 1) != 0) {
            // A start: the count and the port as they stand now.
            loading_ = true;
            done_ = false;
            count_ = latchUnlocked(kByteCount, 4);
            port_ = static_cast<std::uint32_t>(configPorts_.latch(0, 4) >> 8) & 7;
            received_ = 0;
            crc_ = 0xFFFFFFFFu;
            std::memset(header_, 0, sizeof header_);
            std::memset(tail_, 0, sizeof tail_);
            if (port_ == 2 || port_ == 3) {
                configured_[port_ - 2] = false;
            }
            if (count_ == 0) {
                finish();
            }
        }
        return;
    }
    if (offset == kData) {
        if (!loading_ || readyNever_) {
            return; // the engine takes no data outside a load (the trace still shows it)
        }
        // The bytes in memory order (little-endian), up to the count.
        take(value, std::min<std::uint64_t>(width, count_ - received_));
        if (received_ >= count_) {
            finish();
        }
        return;
    }
    LatchBlock::onWrite(offset, width, value);
}

void FpgaLoader::take(std::uint64_t value, std::uint64_t bytes) {
    const std::uint64_t crcEnd = count_ >= 4 ? count_ - 4 : 0; // the last 4 bytes carry the CRC
    if (bytes == 8 && received_ >= kHeaderBytes && received_ <= crcEnd && crcEnd - received_ >= 8) {
        crc_ = crcWord(crc_, value); // the download's 64-bit writes
    } else {
        for (std::uint64_t i = 0; i < bytes; ++i) {
            const auto byte = static_cast<std::uint8_t>(value >> (8 * i));
            const std::uint64_t at = received_ + i;
            if (at < kHeaderBytes) {
                header_[at] = byte;
            }
            if (at < crcEnd) {
                crc_ = crcByte(crc_, byte);
            } else {
                tail_[at - crcEnd] = byte;
            }
        }
    }
    received_ += bytes;
}

void FpgaLoader::finish() {
    loading_ = false;
    done_ = true;
    ++loads_;
    if (port_ != 2 && port_ != 3) {
        return;
    }
    const std::uint32_t target = port_ - 2;
    if (received_ > kKeptBytes) {
        return; // more than an FPGA takes
    }
    setConfiguredUnlocked(target, received_ >= 20 && le32(&header_[0]) == kMagic &&
                                      le32(&header_[4]) == generation_ && le32(&header_[8]) == target &&
                                      !wrongCrc_ && le32(tail_) == ~crc_);
}

} // namespace sim
