#include "sim/bridge.h"

namespace sim {

class BridgeCore::BaseSizeBlock : public Block {
public:
    explicit BaseSizeBlock(BridgeCore& core) : Block("cpw-base-size", 4, kWidth32), core_(core) {}

protected:
    std::uint64_t onRead(std::uint64_t, std::uint32_t) override { return core_.cpwbsr(); }
    void onWrite(std::uint64_t, std::uint32_t, std::uint64_t value) override {
        core_.enabled_ = (value & 0x80) != 0;
    }

private:
    BridgeCore& core_;
};

class BridgeCore::PageBlock : public Block {
public:
    explicit PageBlock(BridgeCore& core) : Block("cpw-page", 4, kWidth32), core_(core) {}

protected:
    std::uint64_t onRead(std::uint64_t, std::uint32_t) override { return core_.page_; }
    void onWrite(std::uint64_t, std::uint32_t, std::uint64_t value) override {
        core_.page_ = static_cast<std::uint32_t>(value);
    }

private:
    BridgeCore& core_;
};

class BridgeCore::WindowBlock : public Block {
public:
    explicit WindowBlock(BridgeCore& core)
        : Block("cpw-window", 1u << kWindowLog2, kWidth8 | kWidth16 | kWidth32), core_(core) {}

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override {
        if (!core_.enabled_) {
            return spi(true, offset, width, 0);
        }
        const std::uint32_t address = translate(offset);
        std::uint64_t value = 0;
        for (std::uint32_t i = 0; i < width; ++i) {
            value |= static_cast<std::uint64_t>(core_.byteAt(address + i)) << (8 * i);
        }
        return value;
    }
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override {
        if (!core_.enabled_) {
            spi(false, offset, width, value);
            return;
        }
        const std::uint32_t address = translate(offset);
        for (std::uint32_t i = 0; i < width; ++i) {
            const std::uint32_t a = address + i;
            const std::uint32_t aligned = a & ~3u;
            const std::uint32_t shift = 8 * (a & 3u);
            std::uint32_t word = core_.word(aligned);
            word =
                (word & ~(0xFFu << shift)) | (static_cast<std::uint32_t>((value >> (8 * i)) & 0xFF) << shift);
            core_.overrides_[aligned] = word;
        }
    }

private:
    // One byte access while the window is not enabled is one SPI transaction
    // at the address in the page register.
    std::uint64_t spi(bool read, std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
        if (width != 1 || !core_.spi_) {
            errors().report("cpw-window: " + std::to_string(width * 8) + "-bit " + (read ? "read" : "write") +
                            " while the configuration-port window is disabled");
            return allOnes(width);
        }
        if (offset != (core_.page_ & ((1u << kWindowLog2) - 1))) {
            errors().report("cpw-window: SPI access at +" + hex(offset) + " for address " + hex(core_.page_));
        }
        return core_.spi_(read, core_.page_, static_cast<std::uint8_t>(value));
    }
    std::uint32_t translate(std::uint64_t offset) const {
        return (core_.page_ & ~((1u << kWindowLog2) - 1)) | static_cast<std::uint32_t>(offset);
    }
    BridgeCore& core_;
};

class BridgeCore::GeographicBlock : public Block {
public:
    GeographicBlock(BridgeCore& core, std::uint32_t width)
        : Block("pxi-geographic", width,
                width == 1   ? kWidth8
                : width == 2 ? kWidth16
                             : kWidth32),
          core_(core) {}

protected:
    std::uint64_t onRead(std::uint64_t, std::uint32_t) override { return core_.geographicValue(); }
    void onWrite(std::uint64_t, std::uint32_t, std::uint64_t) override {}

private:
    BridgeCore& core_;
};

BridgeCore::BridgeCore(RegisterSpace& bar0, ModuleMutex& mutex, std::uint32_t slot)
    : bar0_(bar0), mutex_(mutex), slot_(slot), capabilities_(defaultCapabilities()), interrupts_(bar0) {
    bar0_.add<BaseSizeBlock>(kCPWBSROffset, *this);
    bar0_.add<PageBlock>(kPageRegisterOffset, *this);
    bar0_.add<WindowBlock>(kWindowOffset, *this);
}

std::vector<VendorCapability> BridgeCore::defaultCapabilities() {
    std::vector<VendorCapability> list;
    // 0x10000 -> relative +0x40 -> 0x10040.
    VendorCapability first{kDefaultListHead, 0x4D50, 0x0040 | 2, std::vector<std::uint32_t>(15, 0x11111111)};
    // Mode 1 at 0x10040: the upper half of the word before the header (0x1003C) gives 0x0001.
    first.body.back() = 0x00010000;
    list.push_back(first);
    list.push_back({kDefaultListHead + 0x40, 0x5344, 0x0080 | 1, {0x22222222, 0x33333333}});
    list.push_back({kDefaultListHead + 0x80, kGeographicAddressID, 0x0000, {}});
    return list;
}

void BridgeCore::setCapabilities(std::vector<VendorCapability> capabilities, std::uint32_t head) {
    std::lock_guard g(mutex_);
    capabilities_ = std::move(capabilities);
    head_ = head;
}

void BridgeCore::setGeographicRegister(const GeographicRegister& reg) {
    std::lock_guard g(mutex_);
    bar0_.remove("pxi-geographic");
    geographic_ = reg;
    if (reg.space == 1) {
        bar0_.add<GeographicBlock>(reg.address, *this, reg.widthBytes());
    }
}

void BridgeCore::connectSpi(SpiHandler handler) {
    std::lock_guard g(mutex_);
    spi_ = std::move(handler);
}

void BridgeCore::setReportedWindowLog2(std::uint32_t log2) {
    std::lock_guard g(mutex_);
    reportedWindowLog2_ = log2;
}

void BridgeCore::setSlot(std::uint32_t slot) {
    std::lock_guard g(mutex_);
    slot_ = slot;
}

void BridgeCore::setWord(std::uint32_t address, std::uint32_t value) {
    std::lock_guard g(mutex_);
    overrides_[address & ~3u] = value;
}

std::uint32_t BridgeCore::slot() const {
    std::lock_guard g(mutex_);
    return slot_;
}

std::uint32_t BridgeCore::cpwbsr() const {
    std::lock_guard g(mutex_);
    return static_cast<std::uint32_t>(kWindowOffset) | (enabled_ ? 0x80u : 0u) | (reportedWindowLog2_ & 31);
}

std::uint32_t BridgeCore::pageRegister() const {
    std::lock_guard g(mutex_);
    return page_;
}

std::uint32_t BridgeCore::word(std::uint32_t address) const {
    std::lock_guard g(mutex_);
    auto it = overrides_.find(address & ~3u);
    return it != overrides_.end() ? it->second : computedWord(address & ~3u);
}

std::uint32_t BridgeCore::computedWord(std::uint32_t address) const {
    switch (address) {
    case kDirectoryPointer:
        return kDirectory;
    case kDirectory:
        return 1; // the head is register 0x14
    case kListHead0:
        return 0;
    case kListHead1:
        return head_;
    default:
        break;
    }
    for (const VendorCapability& c : capabilities_) {
        if (address == c.offset) {
            return (static_cast<std::uint32_t>(c.id) << 16) | c.next;
        }
    }
    for (const VendorCapability& c : capabilities_) {
        if (address <= c.offset) {
            continue;
        }
        const std::uint32_t index = (address - c.offset) / 4; // 1 = first body word
        if (c.id == kGeographicAddressID && c.body.empty()) {
            if (index == 1) {
                return geographic_.address;
            }
            if (index == 2) {
                return geographic_.descriptor();
            }
        } else if (index >= 1 && index <= c.body.size()) {
            return c.body[index - 1];
        }
    }
    return 0;
}

std::uint8_t BridgeCore::byteAt(std::uint32_t address) const {
    if (geographic_.space == 4 && address >= geographic_.address &&
        address - geographic_.address < geographic_.widthBytes()) {
        return static_cast<std::uint8_t>(geographicValue() >> (8 * (address - geographic_.address)));
    }
    return static_cast<std::uint8_t>(word(address) >> (8 * (address & 3u)));
}

std::uint32_t BridgeCore::geographicValue() const {
    const std::uint64_t field = 0x1FULL << geographic_.bitPosition;
    const std::uint64_t value =
        ((static_cast<std::uint64_t>(slot_ & 0x1F) << geographic_.bitPosition) & field) |
        (kGeographicFiller & ~field);
    return static_cast<std::uint32_t>(value & allOnes(geographic_.widthBytes()));
}

} // namespace sim
