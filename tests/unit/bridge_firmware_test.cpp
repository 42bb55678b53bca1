// Firmware images: the embedded blocks decompress to images of the right
// board, target and size with a good trailer; the factory's choice between
// the embedded and a custom image, and its refusals.
#include <cstdint>
#include <cstring>
#include <vector>

#include "bridge/embedded_images.h"
#include "bridge/firmware.h"
#include "kelvo/product_ids.h"
#include "control.h"
#include "test_support.h"

namespace {

using corran_caps::ProductCaps;
using kelvo_driver::FirmwareFactory;
using kelvo_driver::tFirmwarePtr;
using nVOAPALS100::tStatus;

constexpr uint32_t kSolstra = KELVO_SUBSYSTEM_ID_SOLSTRA;
constexpr uint32_t kDuskmereA = KELVO_SUBSYSTEM_ID_DUSKMERE_A;
constexpr uint32_t kDuskmereB = KELVO_SUBSYSTEM_ID_DUSKMERE_B;
constexpr uint32_t kUnknown = 0x1234;
constexpr int64_t kBadTarget = static_cast<int32_t>(0xBFFA4302);
constexpr int64_t kUnknownBoard = static_cast<int32_t>(0xBFFA4304);
constexpr int64_t kWrongSize = static_cast<int32_t>(0xBFFA806B);

uint32_t le32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
}

uint32_t crc32(const uint8_t* data, size_t size) {
    static const std::vector<uint32_t> table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t n = 0; n < 256; ++n) {
            t[n] = n;
            for (int k = 0; k < 8; ++k) {
                t[n] = (t[n] & 1) ? 0xEDB88320u ^ (t[n] >> 1) : t[n] >> 1;
            }
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

ProductCaps capsOf(uint32_t subsystemID) {
    ProductCaps caps{};
    caps.subsystemID = subsystemID;
    return caps;
}

class Firmware : public kelvo_test::LeakCheckedTest {};

TEST_F(Firmware, EmbeddedImagesAreTheBoardsFpgaImages) {
    struct Case {
        uint32_t board;
        uint32_t target;
        uint32_t generation; // in the image header: 1 Solstra, 2 Duskmere
        uint64_t size;
        uint64_t listedCompressed; // the size a real bitstream compresses to
    };
    const Case cases[] = {
        {kSolstra, 0, 1, 2192012, 698472},   {kDuskmereA, 0, 2, 3825788, 1128715},
        {kSolstra, 1, 1, 3825788, 1200251},  {kDuskmereB, 1, 2, 2192012, 594974},
        {kDuskmereA, 1, 2, 2192012, 594974},
    };
    const uint64_t compressed[2][2] = {
        {embeddy_SolstraNisoFpgaTop_bin_size, embeddy_DuskmereNisoFpgaTop_bin_size},
        {embeddy_SolstraIsoFpgaTop_bin_size, embeddy_DuskmereIsoFpgaTop_bin_size}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "board " << std::hex << c.board << " target " << c.target);
        tStatus status;
        tFirmwarePtr image = FirmwareFactory().createFirmware(0, 0, 0, c.target, capsOf(c.board), status);
        ASSERT_TRUE(status.isSuccess());
        ASSERT_TRUE(image);
        ASSERT_EQ(image->size(), c.size);
        EXPECT_EQ(image->getTarget(), c.target);
        const uint8_t* bytes = image->data();
        EXPECT_EQ(le32(bytes), 0x46564C4Bu);
        EXPECT_EQ(le32(bytes + 4), c.generation);
        EXPECT_EQ(le32(bytes + 8), c.target);
        EXPECT_EQ(le32(bytes + c.size - 4), crc32(bytes, c.size - 4));
        const double ratio = double(compressed[c.target][c.generation - 1]) / double(c.listedCompressed);
        EXPECT_GT(ratio, 0.9);
        EXPECT_LT(ratio, 1.1);
    }
    // The compression tag and the two zero bytes after each block.
    EXPECT_EQ(std::memcmp(embeddy_DuskmereIsoFpgaTop_bin_compression, "LZ4", 4), 0);
    EXPECT_EQ(embeddy_SolstraNisoFpgaTop_bin[embeddy_SolstraNisoFpgaTop_bin_size], 0);
    EXPECT_EQ(embeddy_SolstraNisoFpgaTop_bin[embeddy_SolstraNisoFpgaTop_bin_size + 1], 0);
}

TEST_F(Firmware, ChoosesAndRefusesImages) {
    std::vector<uint8_t> custom(kelvo_driver::kFpgaImageSizeLarge + 1);
    for (size_t i = 0; i < custom.size(); ++i) {
        custom[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    kal::usermem::Scope scope;
    const uint64_t address = scope.add(custom.data(), custom.size());
    enum Kind { kEmbedded, kCustom, kRefused };
    struct Case {
        const char* name;
        uint64_t address;
        uint64_t size;
        uint32_t target;
        uint32_t board;
        int64_t code;
        Kind kind;
    };
    const Case cases[] = {
        {"address without size", address, 0, 0, kSolstra, 0, kEmbedded},
        {"size without address", 0, 2192012, 1, kDuskmereA, 0, kEmbedded},
        {"custom of the right size", address, 3825788, 1, kSolstra, 0, kCustom},
        {"custom one byte short", address, 3825787, 0, kDuskmereA, kWrongSize, kRefused},
        {"custom one byte long", address, 2192013, 0, kSolstra, kWrongSize, kRefused},
        {"custom above 32 bits", address, (1ull << 32) + 2192012, 0, kSolstra, kWrongSize, kRefused},
        {"embedded target 2", 0, 0, 2, kSolstra, kBadTarget, kRefused},
        {"custom target 2", address, 2568, 2, kSolstra, kBadTarget, kRefused},
        {"bad target before unknown board", 0, 0, 5, kUnknown, kBadTarget, kRefused},
        {"custom bad target before unknown board", address, 2192012, 3, kUnknown, kBadTarget, kRefused},
        {"unknown board", 0, 0, 0, kUnknown, kUnknownBoard, kRefused},
        {"custom on an unknown board", address, 2192012, 1, kUnknown, kUnknownBoard, kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProductCaps caps = capsOf(c.board); // its limit maps are allocated
        kal::memory::resetCounters();
        tStatus status;
        tFirmwarePtr image =
            FirmwareFactory().createFirmware(0x77, c.address, c.size, c.target, caps, status);
        EXPECT_EQ(status.code, c.code);
        if (c.kind == kRefused) {
            EXPECT_FALSE(image);
            EXPECT_EQ(kal::memory::allocationCalls(), 0u) << "a refused image allocates nothing";
            continue;
        }
        ASSERT_TRUE(image);
        EXPECT_EQ(image->getTarget(), c.target);
        const uint8_t* bytes = image->data();
        if (c.kind == kCustom) {
            ASSERT_EQ(image->size(), c.size);
            EXPECT_EQ(std::memcmp(bytes, custom.data(), c.size), 0);
        } else {
            EXPECT_EQ(le32(bytes), 0x46564C4Bu);
        }
    }
}

TEST_F(Firmware, AllocationFailureAtEachStepEndsClean) {
    std::vector<uint8_t> custom(kelvo_driver::kFpgaImageSizeSmall, 0x5A);
    kal::usermem::Scope scope;
    const uint64_t address = scope.add(custom.data(), custom.size());
    struct Case {
        const char* name;
        uint64_t address;
        uint64_t size;
    };
    const Case cases[] = {{"embedded", 0, 0}, {"custom", address, custom.size()}};
    const ProductCaps caps = capsOf(kSolstra);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Object, buffer, control block: each fails in turn.
        for (uint64_t n = 1; n <= 3; ++n) {
            SCOPED_TRACE(n);
            kal::memory::failNth(n);
            tStatus status;
            tFirmwarePtr image = FirmwareFactory().createFirmware(0x77, c.address, c.size, 0, caps, status);
            EXPECT_EQ(status.code, -52000);
            EXPECT_FALSE(image);
            kal::memory::clearFaults();
        }
    }
}

TEST_F(Firmware, NothingHappensOnAFailedStatus) {
    const ProductCaps caps = capsOf(kSolstra);
    tStatus status;
    status.code = -1;
    kal::memory::resetCounters();
    EXPECT_FALSE(FirmwareFactory().createFirmware(0, 0, 0, 0, caps, status));
    EXPECT_EQ(FirmwareFactory().createEmbeddedFirmware(0, caps, status), nullptr);
    EXPECT_FALSE(FirmwareFactory().createSubroutineFirmware(caps, status));
    EXPECT_EQ(status.code, -1);
    EXPECT_EQ(kal::memory::allocationCalls(), 0u);
}

} // namespace
