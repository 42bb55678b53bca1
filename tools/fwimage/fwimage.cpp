// Generates the six embedded firmware images at build time and checks them.
//
// Each image is made in memory, compressed into one raw LZ4 block, and the
// block is decompressed again: it must give back exactly the image's size and
// bytes, or the build fails. Written to the output folder:
//   <name>.lz4            the block followed by two zero bytes (not part of it)
//   firmware_images.S     the four constants of every image, the blocks
//                         pulled in with .incbin
//
// The FPGA images start with a 16-byte header (magic, generation, target,
// seed, little-endian 32-bit words) and end with the CRC-32 of everything
// before their last 4 bytes. Their body mixes pseudo-random 16-byte chunks
// with zero chunks, so that they compress to about the ratio of a real
// bitstream and decompress at the cost of one.
//
// The subroutine packages hold sequencer command words that the simulated
// sequencer runs (see makeSubroutineImage).
//
// Usage: fwimage <output folder>
#include <lz4.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kMagic = 0x46564C4B; // "KLVF" in memory order
constexpr std::uint32_t kSolstra = 1;
constexpr std::uint32_t kDuskmere = 2;

struct FpgaImage {
    const char* name;
    std::uint32_t target;
    std::uint32_t generation;
    std::uint32_t size;
    std::uint32_t seed;
    double randomShare; // share of random 16-byte chunks: sets the compression ratio
};

const FpgaImage kFpgaImages[] = {
    {"SolstraNisoFpgaTop", 0, kSolstra, 2192012, 0x5A11E001, 0.253},
    {"DuskmereNisoFpgaTop", 0, kDuskmere, 3825788, 0xD05CE002, 0.232},
    {"SolstraIsoFpgaTop", 1, kSolstra, 3825788, 0x5A11E003, 0.248},
    {"DuskmereIsoFpgaTop", 1, kDuskmere, 2192012, 0xD05CE004, 0.212},
};

struct Subroutine {
    std::uint32_t id;
    std::uint32_t address;
};

const Subroutine kSolstraSubroutines[] = {
    {0xDC5BD536, 0},   {0xB8AE1123, 1},   {0x956E9395, 2},   {0x3F968CBF, 22},  {0x59D5B10C, 28},
    {0x8E1F5DA5, 46},  {0x486DE645, 47},  {0xF03BDE11, 48},  {0x05422035, 172}, {0x92C375F2, 173},
    {0xAC20E149, 190}, {0x26EC19A0, 207}, {0x07BE16DD, 227}, {0x6F82CFD2, 231}, {0xFA893F09, 263},
    {0x47782FBE, 275}, {0x21EFC0D8, 291}, {0xEE85CF84, 320},
};

const Subroutine kDuskmereSubroutines[] = {
    {0xDC5BD536, 0},    {0xB8AE1123, 1},    {0x956E9395, 2},    {0x3F968CBF, 340},  {0x59D5B10C, 346},
    {0x8E1F5DA5, 554},  {0x486DE645, 555},  {0xD0AEF834, 556},  {0x76EFAEA6, 671},  {0xF03BDE11, 687},
    {0x05422035, 2141}, {0x6AA9CCC6, 2142}, {0x92C375F2, 2570}, {0x2AE04187, 2692}, {0xD49F9E98, 2704},
    {0xAC20E149, 2709}, {0x26EC19A0, 2824}, {0x07BE16DD, 3034}, {0x6F82CFD2, 3038}, {0xFA893F09, 3562},
    {0x757137E7, 3769}, {0xBD78F1D7, 3883}, {0xDC189D95, 3895}, {0xAAA35421, 3907}, {0xEE85CF84, 4134},
};

void put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    static std::uint32_t table[256];
    if (table[1] == 0) {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            table[n] = c;
        }
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> makeFpgaImage(const FpgaImage& image) {
    std::vector<std::uint8_t> bytes(image.size, 0);
    put32(bytes, 0, kMagic);
    put32(bytes, 4, image.generation);
    put32(bytes, 8, image.target);
    put32(bytes, 12, image.seed);
    std::uint64_t state = 0x9E3779B97F4A7C15ull ^ image.seed;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    const auto threshold = static_cast<std::uint64_t>(image.randomShare * 65536.0);
    for (std::size_t at = 16; at + 16 <= image.size - 4; at += 16) {
        if ((next() & 0xFFFF) < threshold) {
            for (int i = 0; i < 16; i += 8) {
                std::uint64_t word = next();
                std::memcpy(&bytes[at + i], &word, 8);
            }
        }
    }
    put32(bytes, image.size - 4, crc32(bytes.data(), image.size - 4));
    return bytes;
}

// Sequencer words of the subroutine packages.
constexpr std::uint64_t kReturn = 0x1C0FFF0500000000ull;    // opcode 7, C 15, G 5
constexpr std::uint64_t kSetMarker = 0x2000000000000000ull; // opcode 8, identifier in data
constexpr std::uint64_t kRegWrite = 0x0400000000000000ull;  // opcode 1, regAddress 47..32, data
constexpr std::uint32_t kGeneralUse = 0x100;                // general-use register 0
constexpr std::uint32_t kBoardRevision = 6;                 // the general-use register the driver keeps

void put64(std::vector<std::uint8_t>& bytes, std::size_t word, std::uint64_t value) {
    put32(bytes, word * 8, static_cast<std::uint32_t>(value));
    put32(bytes, word * 8 + 4, static_cast<std::uint32_t>(value >> 32));
}

// Subroutine k occupies the words from its address up to the next one's (the
// last up to the end). A one-word subroutine is a single return; a longer one
// sets a marker with its identifier, writes the general-use registers in turn
// (never register 6, which holds the board revision) and ends with a return.
template <std::size_t N>
std::vector<std::uint8_t> makeSubroutineImage(std::uint32_t commands, const Subroutine (&table)[N]) {
    std::vector<std::uint8_t> bytes(std::size_t{commands} * 8, 0);
    for (std::size_t k = 0; k < N; ++k) {
        const std::uint32_t first = table[k].address;
        const std::uint32_t end = k + 1 < N ? table[k + 1].address : commands;
        if (end - first == 1) {
            put64(bytes, first, kReturn);
            continue;
        }
        put64(bytes, first, kSetMarker | table[k].id);
        for (std::uint32_t word = first + 1; word + 1 < end; ++word) {
            const std::uint32_t turn = (word - first - 1) % 63;
            const std::uint32_t index = turn < kBoardRevision ? turn : turn + 1;
            const std::uint64_t address = kGeneralUse + 4 * index;
            put64(bytes, word, kRegWrite | (address << 32) | (table[k].id ^ word));
        }
        put64(bytes, end - 1, kReturn);
    }
    return bytes;
}

bool emit(const std::string& folder, const std::string& name, const std::vector<std::uint8_t>& image,
          std::string& assembly) {
    const int capacity = LZ4_compressBound(static_cast<int>(image.size()));
    std::vector<char> block(static_cast<std::size_t>(capacity) + 2);
    const int compressed = LZ4_compress_default(reinterpret_cast<const char*>(image.data()), block.data(),
                                                static_cast<int>(image.size()), capacity);
    if (compressed <= 0) {
        std::fprintf(stderr, "fwimage: %s: compression failed\n", name.c_str());
        return false;
    }
    // The block must decompress to exactly the original size and bytes.
    std::vector<char> back(image.size());
    const int restored =
        LZ4_decompress_safe(block.data(), back.data(), compressed, static_cast<int>(image.size()));
    if (restored != static_cast<int>(image.size()) ||
        std::memcmp(back.data(), image.data(), image.size()) != 0) {
        std::fprintf(stderr, "fwimage: %s: the block does not decompress to the image (%d of %zu bytes)\n",
                     name.c_str(), restored, image.size());
        return false;
    }
    block[compressed] = 0;
    block[compressed + 1] = 0;
    const std::string file = folder + "/" + name + ".lz4";
    std::ofstream out(file, std::ios::binary);
    out.write(block.data(), compressed + 2);
    if (!out) {
        std::fprintf(stderr, "fwimage: cannot write %s\n", file.c_str());
        return false;
    }
    const std::string symbol = "embeddy_" + name + "_bin";
    assembly += "\n    .balign 16\n    .globl " + symbol + "\n" + symbol + ":\n    .incbin \"" + file +
                "\"\n    .type " + symbol + ", @object\n    .size " + symbol + ", " +
                std::to_string(compressed + 2) + "\n";
    for (const auto& [suffix, value] :
         {std::pair<std::string, std::size_t>{"_size", compressed},
          std::pair<std::string, std::size_t>{"_original_size", image.size()}}) {
        assembly += "    .balign 8\n    .globl " + symbol + suffix + "\n" + symbol + suffix +
                    ":\n    .quad " + std::to_string(value) + "\n    .type " + symbol + suffix +
                    ", @object\n    .size " + symbol + suffix + ", 8\n";
    }
    assembly += "    .globl " + symbol + "_compression\n" + symbol +
                "_compression:\n    .ascii \"LZ4\\0\"\n" + "    .type " + symbol +
                "_compression, @object\n    .size " + symbol + "_compression, 4\n";
    std::printf("fwimage: %-22s %8zu -> %8d bytes (%.3f)\n", name.c_str(), image.size(), compressed,
                static_cast<double>(compressed) / static_cast<double>(image.size()));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fwimage <output folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    std::string assembly = "// Generated by tools/fwimage: the embedded firmware images.\n"
                           "    .section .rodata.kelvo_firmware_images, \"a\", @progbits\n";
    bool ok = true;
    for (const FpgaImage& image : kFpgaImages) {
        ok = ok && emit(folder, image.name, makeFpgaImage(image), assembly);
    }
    ok = ok && emit(folder, "SolstraSubroutineData", makeSubroutineImage(321, kSolstraSubroutines), assembly);
    ok = ok &&
         emit(folder, "DuskmereSubroutineData", makeSubroutineImage(4135, kDuskmereSubroutines), assembly);
    if (!ok) {
        return 1;
    }
    assembly += "\n    .section .note.GNU-stack, \"\", @progbits\n";
    std::ofstream out(folder + "/firmware_images.S");
    out << assembly;
    return out ? 0 : 1;
}
