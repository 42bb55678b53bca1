#include "fpga_loader.h"

#include <cstring>

namespace sim {

namespace {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    static const auto table = [] {
        std::vector<std::uint32_t> t(256);
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
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

bool FpgaLoader::configured(std::uint32_t target) const {
    auto g = guard();
    return target < 2 && configured_[target];
}

bool FpgaLoader::answering(std::uint32_t target) const {
    auto g = guard();
    return target < 2 && (configured_[target] || !loadStarted_[target]);
}

std::uint64_t FpgaLoader::received() const {
    auto g = guard();
    return stream_.size();
}

std::uint32_t FpgaLoader::loads() const {
    auto g = guard();
    return loads_;
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
            stream_.clear();
            stream_.reserve(count_);
            if (port_ == 2 || port_ == 3) {
                configured_[port_ - 2] = false;
                loadStarted_[port_ - 2] = true;
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
        for (std::uint32_t i = 0; i < width && stream_.size() < count_; ++i) {
            stream_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
        if (stream_.size() >= count_) {
            finish();
        }
        return;
    }
    LatchBlock::onWrite(offset, width, value);
}

void FpgaLoader::finish() {
    loading_ = false;
    done_ = true;
    ++loads_;
    if (port_ != 2 && port_ != 3) {
        return;
    }
    const std::uint32_t target = port_ - 2;
    const std::size_t size = stream_.size();
    configured_[target] = size >= 20 && le32(&stream_[0]) == kMagic && le32(&stream_[4]) == generation_ &&
                          le32(&stream_[8]) == target && !wrongCrc_ &&
                          le32(&stream_[size - 4]) == crc32(stream_.data(), size - 4);
}

} // namespace sim
