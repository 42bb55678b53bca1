// The simulated FPGAs and the bridge's FPGA-loading engine. The engine checks
// each stream as it arrives: the FPGA that the active port selects becomes
// configured only for an image of this board's generation and that target
// whose last 4 bytes are the CRC-32 of everything before them, however the
// bytes were split into 64-bit and 8-bit writes; an FPGA answers only once
// configured.
#include <cstdint>
#include <string>
#include <vector>

#include "kelvo/product_ids.h"
#include "regs_sim_support.h"
#include "sim.h"
#include "test_support.h"

namespace {

constexpr uint64_t kLoader = 0x440;
constexpr uint64_t kConfigPorts = 0x510;

// CRC-32 (IEEE), one bit at a time: the reference the engine is held to.
uint32_t referenceCrc(const std::vector<uint8_t>& bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return ~crc;
}

void putLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// An image of size bytes for a generation and target, its CRC in place.
std::vector<uint8_t> image(size_t size, uint32_t generation, uint32_t target) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    putLe32(bytes, 0, sim::FpgaLoader::kMagic);
    putLe32(bytes, 4, generation);
    putLe32(bytes, 8, target);
    putLe32(bytes, size - 4, referenceCrc(bytes, size - 4));
    return bytes;
}

class SimFpgaLoadCheck : public kelvo_test::LeakCheckedTest {};

enum class Split { wordsThenBytes, bytesOnly, wordsOnly };

TEST_F(SimFpgaLoadCheck, OnlyAnIntactImageOfItsOwnConfiguresTheFpga) {
    struct Case {
        const char* what;
        size_t size;
        uint32_t target;      // the port: 2 + target
        uint32_t imageTarget; // written in the header
        Split split;
        long flip; // index of a byte flipped after the CRC was set, -1 none
        bool configured;
    };
    const Case cases[] = {
        {"words, then the tail by bytes", 1003, 0, 0, Split::wordsThenBytes, -1, true},
        {"bytes only", 261, 1, 1, Split::bytesOnly, -1, true},
        {"words only, the last carrying CRC bytes", 1000, 0, 0, Split::wordsOnly, -1, true},
        {"words only, past the count", 1004, 0, 0, Split::wordsOnly, -1, true},
        {"a header byte", 1003, 0, 0, Split::wordsThenBytes, 1, false},
        {"a byte inside a word", 1003, 0, 0, Split::wordsThenBytes, 501, false},
        {"the last byte before the CRC", 1003, 0, 0, Split::wordsThenBytes, 998, false},
        {"the last byte before the CRC, words only", 1000, 0, 0, Split::wordsOnly, 995, false},
        {"a CRC byte", 1003, 0, 0, Split::wordsThenBytes, 1001, false},
        {"another target's image", 1003, 0, 1, Split::wordsThenBytes, -1, false},
        {"shorter than 20 bytes", 16, 0, 0, Split::bytesOnly, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kelvo_test::SimBoard b("solstra");
        sim::FpgaLoader& loader = b.module->bridgeRegisters().fpgaLoading();
        std::vector<uint8_t> bytes = image(c.size, sim::FpgaLoader::kSolstra, c.imageTarget);
        if (c.flip >= 0) {
            bytes[static_cast<size_t>(c.flip)] ^= 0x10;
        }
        b.barRegion.write32(kConfigPorts, (2 + c.target) << 8);
        b.barRegion.write32(kLoader + sim::FpgaLoader::kByteCount, static_cast<uint32_t>(c.size));
        b.barRegion.write32(kLoader + sim::FpgaLoader::kControl, 1);
        size_t at = 0;
        if (c.split != Split::bytesOnly) {
            for (; at + 8 <= c.size || (c.split == Split::wordsOnly && at < c.size); at += 8) {
                uint64_t word = 0;
                for (size_t i = 0; i < 8 && at + i < c.size; ++i) {
                    word |= uint64_t{bytes[at + i]} << (8 * i);
                }
                b.barRegion.write64(kLoader + sim::FpgaLoader::kData, word);
            }
        }
        for (; at < c.size; ++at) {
            b.barRegion.write8(kLoader + sim::FpgaLoader::kData, bytes[at]);
        }
        EXPECT_EQ(loader.received(), c.size);
        EXPECT_EQ(loader.loads(), 1u);
        EXPECT_EQ(loader.configured(c.target), c.configured);
        // Unconfigured, its space (the board signature too) reads all ones and
        // drops writes; the other FPGA keeps answering.
        sim::FpgaSpace& fpga = c.target == 0 ? b.niso() : b.iso();
        fpga.write32(0x1000, 0x1234);
        EXPECT_EQ(fpga.peek(0x1000), c.configured ? 0x1234u : 0u);
        EXPECT_EQ(fpga.read32(0x20), c.configured ? KELVO_SOLSTRA_BOARD_SIGNATURE : 0xFFFFFFFFu);
        EXPECT_EQ((c.target == 0 ? b.iso() : b.niso()).read32(0x20), KELVO_SOLSTRA_BOARD_SIGNATURE);
        EXPECT_EQ(b.module->deviceErrorCount(), 0u);
    }
}

} // namespace
