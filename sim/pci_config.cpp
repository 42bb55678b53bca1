#include "sim/pci_config.h"

namespace sim {

PciConfigSpace::PciConfigSpace(const Identity& identity, std::uint64_t bar0Size)
    : Block("pci-config", kSize, kWidth8 | kWidth16 | kWidth32) {
    set(0x00, 2, identity.vendorID);
    set(0x02, 2, identity.deviceID);
    set(0x06, 2, 0x0010); // status: capability list
    set(0x08, 1, identity.revision);
    set(0x09, 1, 0x00);
    set(0x0A, 2, 0x1180); // class: data acquisition and signal processing, other
    set(0x2C, 2, identity.subsystemVendorID);
    set(0x2E, 2, identity.subsystemID);
    set(0x34, 1, kPowerManagementOffset);
    set(0x3D, 1, 0x01); // interrupt pin A

    // Power management.
    set(kPowerManagementOffset, 1, 0x01);
    set(kPowerManagementOffset + 1, 1, kMsiOffset);
    set(kPowerManagementOffset + 2, 2, 0x0003);
    // MSI, 64-bit addresses.
    set(kMsiOffset, 1, 0x05);
    set(kMsiOffset + 1, 1, kPcieOffset);
    set(kMsiOffset + 2, 2, 0x0080);
    // PCI Express, version 2 endpoint.
    set(kPcieOffset, 1, 0x10);
    set(kPcieOffset + 1, 1, 0x00);
    set(kPcieOffset + 2, 2, 0x0002);
    setLink(Link{});

    // What software may change: command, cache line, latency, interrupt line,
    // BAR 0 address bits, power state and the MSI registers.
    auto allow = [this](std::uint32_t offset, std::uint32_t width, std::uint32_t mask) {
        for (std::uint32_t i = 0; i < width; ++i) {
            writable_[offset + i] = static_cast<std::uint8_t>(mask >> (8 * i));
        }
    };
    allow(0x04, 2, 0x0547);
    allow(0x0C, 2, 0xFFFF);
    allow(0x10, 4, static_cast<std::uint32_t>(~(bar0Size - 1)) & 0xFFFFFFF0u);
    allow(0x3C, 1, 0xFF);
    allow(kPowerManagementOffset + 4, 2, 0x0003);
    allow(kMsiOffset + 2, 2, 0x0071);
    allow(kMsiOffset + 4, 4, 0xFFFFFFFC);
    allow(kMsiOffset + 8, 4, 0xFFFFFFFF);
    allow(kMsiOffset + 12, 2, 0xFFFF);
    allow(kPcieOffset + 8, 2, 0xFFFF);
    allow(kPcieOffset + 0x10, 2, 0x0FFF);
}

void PciConfigSpace::set(std::uint32_t offset, std::uint32_t width, std::uint32_t value) {
    for (std::uint32_t i = 0; i < width && offset + i < kSize; ++i) {
        bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t PciConfigSpace::onRead(std::uint64_t offset, std::uint32_t width) {
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < width; ++i) {
        value |= static_cast<std::uint32_t>(bytes_[offset + i]) << (8 * i);
    }
    return value;
}

void PciConfigSpace::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    // Read-only bits (the identity at offset 0 among them) keep their value.
    for (std::uint32_t i = 0; i < width; ++i) {
        const std::uint8_t mask = writable_[offset + i];
        const auto byte = static_cast<std::uint8_t>(value >> (8 * i));
        bytes_[offset + i] = static_cast<std::uint8_t>((bytes_[offset + i] & ~mask) | (byte & mask));
    }
}

void PciConfigSpace::failAllReads(bool on) {
    auto g = guard();
    failAllReads_ = on;
}

void PciConfigSpace::failReadsAt(std::uint32_t offset) {
    auto g = guard();
    failReadOffsets_.insert(offset);
}

void PciConfigSpace::failWrites(bool on) {
    auto g = guard();
    failWrites_ = on;
}

bool PciConfigSpace::readFails(std::uint32_t offset, std::uint32_t width) const {
    auto g = guard();
    if (failAllReads_) {
        return true;
    }
    for (std::uint32_t i = 0; i < width; ++i) {
        if (failReadOffsets_.count(offset + i) != 0) {
            return true;
        }
    }
    return false;
}

bool PciConfigSpace::writeFails() const {
    auto g = guard();
    return failWrites_;
}

std::uint8_t PciConfigSpace::lastCapability() const {
    std::uint8_t offset = bytes_[0x34];
    for (int steps = 0; steps < 48 && offset != 0; ++steps) {
        const std::uint8_t next = bytes_[offset + 1u];
        if (next == 0 || next == bytes_[0x34]) {
            return offset;
        }
        offset = next;
    }
    return offset;
}

void PciConfigSpace::removePcieCapability() {
    auto g = guard();
    bytes_[kMsiOffset + 1] = bytes_[kPcieOffset + 1];
    for (std::uint32_t i = 0; i < 0x3C; ++i) {
        bytes_[kPcieOffset + i] = 0;
        writable_[kPcieOffset + i] = 0;
    }
}

void PciConfigSpace::makeCapabilityListCircular() {
    auto g = guard();
    bytes_[lastCapability() + 1u] = bytes_[0x34];
}

void PciConfigSpace::setCapabilityListBit(bool on) {
    auto g = guard();
    bytes_[0x06] = static_cast<std::uint8_t>(on ? (bytes_[0x06] | 0x10) : (bytes_[0x06] & ~0x10));
}

void PciConfigSpace::setLink(const Link& link) {
    auto g = guard();
    if (bytes_[kPcieOffset] != 0x10) {
        return;
    }
    // Link capabilities (32 bits; ASPM support in bits 10-11, port number 1
    // in bits 24-31) and link status (slot clock in bit 12).
    set(kPcieOffset + 0x0C, 4,
        0x01000C00u | (link.maxSpeed & 0xFu) | (static_cast<std::uint32_t>(link.maxWidth & 0x3F) << 4));
    set(kPcieOffset + 0x12, 2,
        0x1000u | (link.speed & 0xFu) | (static_cast<std::uint32_t>(link.width & 0x3F) << 4));
}

void PciConfigSpace::poke(std::uint32_t offset, std::uint32_t width, std::uint32_t value) {
    auto g = guard();
    set(offset, width, value);
}

} // namespace sim
