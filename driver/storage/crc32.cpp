#include "storage/crc32.h"

namespace storagemap {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

struct Tables {
    uint32_t t[8][256];
};

constexpr Tables makeTables() {
    Tables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? (c >> 1) ^ kPolynomial : c >> 1;
        }
        tables.t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int s = 1; s < 8; ++s) {
            const uint32_t previous = tables.t[s - 1][i];
            tables.t[s][i] = (previous >> 8) ^ tables.t[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr Tables kTables = makeTables();
static_assert(kTables.t[0][1] == 0x77073096u);

inline uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

uint32_t crc32(uint32_t crc, const uint8_t* bytes, uint64_t length) {
    const auto& t = kTables.t;
    uint32_t c = ~crc;
    while (length >= 8) {
        const uint32_t low = load32(bytes) ^ c;
        const uint32_t high = load32(bytes + 4);
        c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
            t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        bytes += 8;
        length -= 8;
    }
    while (length-- != 0) {
        c = (c >> 8) ^ t[0][(c ^ *bytes++) & 0xFF];
    }
    return ~c;
}

} // namespace storagemap
