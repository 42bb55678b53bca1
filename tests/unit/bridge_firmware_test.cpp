// Firmware images: the factory's choice between the embedded and a custom
// image, and its refusals.
#include <cstdint>
#include <cstring>
#include <vector>

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
constexpr uint32_t kUnknown = 0x1234;
constexpr int64_t kBadTarget = static_cast<int32_t>(0xBFFA4302);
constexpr int64_t kUnknownBoard = static_cast<int32_t>(0xBFFA4304);
constexpr int64_t kWrongSize = static_cast<int32_t>(0xBFFA806B);

ProductCaps capsOf(uint32_t subsystemID) {
    ProductCaps caps{};
    caps.subsystemID = subsystemID;
    return caps;
}

class Firmware : public kelvo_test::LeakCheckedTest {};

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
            EXPECT_EQ(std::memcmp(bytes, "KLVF", 4), 0);
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
