// The level table a test installs, the product's levels 1 to top alone, and flash images with fields
// changed (checksums resealed).
#pragma once

#include <cstring>
#include <vector>

#include "core/setup_levels.h"
#include "sim/flash_images.h"
#include "storage/crc32.h"

namespace kelvo_test {

// The table devices set up from: the product's unless a test installs another (null: the product's).
void setSetupLevelTable(const kelvo_driver::SetupLevelTable* table);

// The product's own levels 1 to top alone (the levels above answer -52002).
inline kelvo_driver::SetupLevelTable productLevelsUpTo(std::uint32_t top) {
    kelvo_driver::SetupLevelTable table = kelvo_driver::getProductSetupLevelTable();
    for (std::uint32_t level = top + 1; level <= kelvo_driver::kNumberOfSetupTasks; ++level) {
        table.tasks[level - 1] = nullptr;
    }
    return table;
}

// Those levels for a scope.
class ScopedProductLevels {
public:
    explicit ScopedProductLevels(std::uint32_t top) : table_(productLevelsUpTo(top)) {
        kelvo_test::setSetupLevelTable(&table_);
    }
    ~ScopedProductLevels() { kelvo_test::setSetupLevelTable(nullptr); }
    ScopedProductLevels(const ScopedProductLevels&) = delete;
    ScopedProductLevels& operator=(const ScopedProductLevels&) = delete;

private:
    kelvo_driver::SetupLevelTable table_;
};

// The storage maps of the default image: 4096 bytes each, the CRC-32 of bytes 4 to 4095 first.
enum FlashMap : std::uint32_t {
    kManufacturingMap = 0x8000,
    kHeaderMap = 0x9000,
    kDefaultCalibrationMap = 0xA000,
    kFactoryCalibrationMap = 0xB000,
    kExternalCalibrationMap = 0xC000,
    kSelfCalibrationMap = 0xD000,
};
constexpr std::uint32_t kMapVersionField = 4, kOldestCompatibleField = 8, kChargeBalanceOffsetsField = 1080;

class FlashImage {
public:
    explicit FlashImage(const char* name = "default") : bytes_(*sim::flashImage(name)) {}
    // Writes the bytes into the map at offset and seals the map again.
    FlashImage& set(std::uint32_t map, std::uint32_t offset, const void* data, std::size_t size) {
        std::memcpy(bytes_.data() + map + offset, data, size);
        const std::uint32_t crc = storagemap::crc32(0, bytes_.data() + map + 4, 4092);
        std::memcpy(bytes_.data() + map, &crc, 4);
        return *this;
    }
    FlashImage& set32(std::uint32_t map, std::uint32_t offset, std::uint32_t value) {
        return set(map, offset, &value, 4);
    }
    FlashImage& versions(std::uint32_t map, std::uint32_t version, std::uint32_t oldest) {
        return set32(map, kMapVersionField, version).set32(map, kOldestCompatibleField, oldest);
    }
    // A byte of the map flipped after its checksum.
    FlashImage& breakChecksum(std::uint32_t map) {
        bytes_[map + 100] ^= 1;
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

} // namespace kelvo_test
