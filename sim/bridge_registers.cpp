#include "sim/bridge_registers.h"

#include <stdexcept>
#include <string>

namespace sim {

BridgeRegisters::BridgeRegisters(RegisterSpace& bar0, ModuleMutex& mutex, DmaEngine* const (&engines)[2],
                                 std::uint32_t generation)
    : bar0_(bar0), mutex_(mutex) {
    engines_[0] = engines[0];
    engines_[1] = engines[1];
    std::lock_guard g(mutex_);
    id_ = &bar0_.add<LatchBlock>(kIdOffset, "bridge-id", 0x20, kWidth32);
    for (std::uint64_t offset = 0; offset < 0x20; offset += 4) {
        id_->markReadOnly(offset, 4, 0);
    }
    id_->setReadValue(0x00, kSignature);
    id_->setReadValue(0x0C, coreDescription_);
    id_->setReadValue(0x1C, dmaBase_);
    coreControl_ = &bar0_.add<LatchBlock>(kCoreControlOffset, "bridge-core-control", 4, kWidth32);
    hbrcr_ = &bar0_.add<LatchBlock>(kHbrcrOffset, "bridge-hbrcr", 4, kWidth32);
    configPorts_ = &bar0_.add<LatchBlock>(kConfigPortsOffset, "config-ports", 8, kWidth32);
    fpgaLoading_ = &bar0_.add<FpgaLoader>(kFpgaLoadingOffset, generation, *configPorts_);
    spi_ = &bar0_.add<LatchBlock>(kSpiOffset, "config-port-spi", 0x10, kWidth32);
    placeChannels();
}

void BridgeRegisters::placeChannels() {
    for (std::uint32_t n = 0; n < kChannelCount; ++n) {
        bar0_.remove("dma-channel-" + std::to_string(n));
        channels_[n] = nullptr;
    }
    for (std::uint32_t n = 0; n < kChannelCount; ++n) {
        // A block that would not lie inside the BAR is absent (reads hit nothing).
        if (channelBase(n) + channelSize() > bar0_.size()) {
            continue;
        }
        channels_[n] = &bar0_.add<DmaChannelBlock>(channelBase(n), "dma-channel-" + std::to_string(n),
                                                   channelSize(), *engines_[n]);
    }
}

void BridgeRegisters::setCoreDescription(std::uint32_t value) {
    std::lock_guard g(mutex_);
    coreDescription_ = value;
    id_->setReadValue(0x0C, value);
    placeChannels();
}

void BridgeRegisters::setDmaBase(std::uint32_t value) {
    std::lock_guard g(mutex_);
    dmaBase_ = value;
    id_->setReadValue(0x1C, value);
    placeChannels();
}

void BridgeRegisters::setSignature(std::uint32_t value) {
    id_->setReadValue(0x00, value);
}

void BridgeRegisters::setFpgaLoadStatus(std::uint32_t value) {
    fpgaLoading_->setStatusBits(value);
}

std::uint32_t BridgeRegisters::coreDescription() const {
    std::lock_guard g(mutex_);
    return coreDescription_;
}

std::uint32_t BridgeRegisters::dmaBase() const {
    std::lock_guard g(mutex_);
    return dmaBase_;
}

std::uint64_t BridgeRegisters::channelSize() const {
    std::lock_guard g(mutex_);
    return std::uint64_t{1} << ((coreDescription_ >> 16) & 0xF);
}

std::uint64_t BridgeRegisters::channelBase(std::uint32_t channel) const {
    std::lock_guard g(mutex_);
    return static_cast<std::uint64_t>(dmaBase_) + channel * channelSize();
}

LatchBlock& BridgeRegisters::channel(std::uint32_t n) const {
    std::lock_guard g(mutex_);
    if (n >= kChannelCount || channels_[n] == nullptr) {
        throw std::out_of_range("no DMA channel " + std::to_string(n));
    }
    return *channels_[n];
}

} // namespace sim
