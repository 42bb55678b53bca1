#include "storage/crc32.h"

namespace storagemap {

namespace {

// The CRC runs in the reflected domain: bit 31 of a word is x^0.
constexpr uint32_t kPolynomial = 0xEDB88320u;

// a x b modulo the polynomial.
constexpr uint32_t multiplyModP(uint32_t a, uint32_t b) {
    uint32_t m = 1u << 31;
    uint32_t product = 0;
    for (;;) {
        if ((a & m) != 0) {
            product ^= b;
            if ((a & (m - 1)) == 0) {
                break;
            }
        }
        m >>= 1;
        b = (b & 1) != 0 ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// x^(n x 8) modulo the polynomial: n zero bytes appended to a CRC.
constexpr uint32_t xPowerBytesModP(uint64_t n) {
    uint32_t square = 1u << 30; // x^1
    for (int k = 0; k < 3; ++k) {
        square = multiplyModP(square, square); // x^8 after three squarings
    }
    uint32_t result = 1u << 31; // x^0
    while (n != 0) {
        if ((n & 1) != 0) {
            result = multiplyModP(square, result);
        }
        square = multiplyModP(square, square);
        n >>= 1;
    }
    return result;
}

// Five interleaved streams ("braids") of eight-byte words: each stream's CRC
// runs on its own, so the five table chains overlap in the processor, and the
// braid tables carry each word's contribution past the other four words of
// its block.
constexpr uint32_t kBraids = 5;
constexpr uint32_t kWordBytes = 8;

struct Tables {
    uint32_t bytewise[256];
    uint32_t braid[kWordBytes][256];
};

constexpr Tables makeTables() {
    Tables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? (c >> 1) ^ kPolynomial : c >> 1;
        }
        tables.bytewise[i] = c;
    }
    for (uint32_t k = 0; k < kWordBytes; ++k) {
        const uint32_t shift = xPowerBytesModP(kBraids * kWordBytes + 3 - k);
        for (uint32_t i = 0; i < 256; ++i) {
            tables.braid[k][i] = multiplyModP(shift, i << 24);
        }
    }
    return tables;
}

constexpr Tables kTables = makeTables();
static_assert(kTables.bytewise[1] == 0x77073096u);

inline uint64_t load64(const uint8_t* p) {
    uint64_t word;
    __builtin_memcpy(&word, p, sizeof(word)); // little-endian host
    return word;
}

// The CRC register after the eight bytes of a word.
inline uint32_t crcWord(uint64_t data) {
    for (uint32_t k = 0; k < kWordBytes; ++k) {
        data = (data >> 8) ^ kTables.bytewise[data & 0xFF];
    }
    return static_cast<uint32_t>(data);
}

} // namespace

uint32_t crc32(uint32_t crc, const uint8_t* bytes, uint64_t length) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the braids read little-endian words");
    uint32_t c = ~crc;
    constexpr uint64_t kBlock = uint64_t{kBraids} * kWordBytes;
    uint64_t blocks = length / kBlock;
    if (blocks != 0) {
        length -= blocks * kBlock;
        const auto& t = kTables.braid;
        uint32_t crc0 = c, crc1 = 0, crc2 = 0, crc3 = 0, crc4 = 0;
        while (--blocks != 0) {
            const uint64_t word0 = crc0 ^ load64(bytes);
            const uint64_t word1 = crc1 ^ load64(bytes + 8);
            const uint64_t word2 = crc2 ^ load64(bytes + 16);
            const uint64_t word3 = crc3 ^ load64(bytes + 24);
            const uint64_t word4 = crc4 ^ load64(bytes + 32);
            bytes += kBlock;
            crc0 = t[0][word0 & 0xFF];
            crc1 = t[0][word1 & 0xFF];
            crc2 = t[0][word2 & 0xFF];
            crc3 = t[0][word3 & 0xFF];
            crc4 = t[0][word4 & 0xFF];
            for (uint32_t k = 1; k < kWordBytes; ++k) {
                crc0 ^= t[k][(word0 >> (8 * k)) & 0xFF];
                crc1 ^= t[k][(word1 >> (8 * k)) & 0xFF];
                crc2 ^= t[k][(word2 >> (8 * k)) & 0xFF];
                crc3 ^= t[k][(word3 >> (8 * k)) & 0xFF];
                crc4 ^= t[k][(word4 >> (8 * k)) & 0xFF];
            }
        }
        // The last block joins the five streams into one.
        uint32_t joined = crcWord(crc0 ^ load64(bytes));
        joined = crcWord(crc1 ^ load64(bytes + 8) ^ joined);
        joined = crcWord(crc2 ^ load64(bytes + 16) ^ joined);
        joined = crcWord(crc3 ^ load64(bytes + 24) ^ joined);
        joined = crcWord(crc4 ^ load64(bytes + 32) ^ joined);
        bytes += kBlock;
        c = joined;
    }
    while (length-- != 0) {
        c = (c >> 8) ^ kTables.bytewise[(c ^ *bytes++) & 0xFF];
    }
    return ~c;
}

} // namespace storagemap
