// The configuration space of the module's PCI function: a type-0 header with
// the identity, status bit 4 and a capability chain (power management at
// 0x40, MSI at 0x50, PCI Express at 0x70 with its link fields).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>

#include "sim/block.h"

namespace sim {

struct Identity {
    std::uint16_t vendorID = 0;
    std::uint16_t deviceID = 0;
    std::uint16_t subsystemVendorID = 0;
    std::uint16_t subsystemID = 0;
    std::uint8_t revision = 0;
};

// PCI Express link fields: speed codes (bits 0-3) and widths (bits 4-9).
struct Link {
    std::uint8_t maxSpeed = 2;
    std::uint8_t maxWidth = 4;
    std::uint8_t speed = 2;
    std::uint8_t width = 4;
};

class PciConfigSpace : public Block {
public:
    static constexpr std::uint32_t kSize = 4096;
    static constexpr std::uint8_t kPowerManagementOffset = 0x40;
    static constexpr std::uint8_t kMsiOffset = 0x50;
    static constexpr std::uint8_t kPcieOffset = 0x70;

    PciConfigSpace(const Identity& identity, std::uint64_t bar0Size);

    // ---- fault knobs ----
    // Configuration reads fail: every read, or reads that touch one offset.
    void failAllReads(bool on);
    void failReadsAt(std::uint32_t offset);
    void failWrites(bool on);
    // Unlinks the PCI Express capability from the chain (the function looks like plain PCI).
    void removePcieCapability();
    // Points the last capability back at the first: the chain never ends.
    void makeCapabilityListCircular();
    // Sets or clears status bit 4 (capability list present).
    void setCapabilityListBit(bool on);
    void setLink(const Link& link);
    // Raw bytes, bypassing read-only rules (little-endian, width 1, 2 or 4).
    void poke(std::uint32_t offset, std::uint32_t width, std::uint32_t value);

    // Whether a configuration access should fail (checked by the module before routing).
    bool readFails(std::uint32_t offset, std::uint32_t width) const;
    bool writeFails() const;

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    void set(std::uint32_t offset, std::uint32_t width, std::uint32_t value);
    std::uint8_t lastCapability() const;

    std::array<std::uint8_t, kSize> bytes_{};
    std::array<std::uint8_t, kSize> writable_{}; // per byte: the bits a write may change
    bool failAllReads_ = false;
    bool failWrites_ = false;
    std::set<std::uint32_t> failReadOffsets_;
};

} // namespace sim
