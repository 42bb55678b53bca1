// Firmware images: the factory's choice and refusals; the download through the simulated bridge.
#include <cstring>
#include <numeric>

#include "bridge/firmware_download.h"
#include "groups_support.h"
#include "kelvo/product_ids.h"

namespace {

using corran_caps::ProductCaps;
using kelvo_driver::FirmwareFactory;
using kelvo_driver::tFirmwarePtr;
using nVOAPALS100::tStatus;

constexpr uint32_t kSolstra = KELVO_SUBSYSTEM_ID_SOLSTRA;
constexpr uint32_t kUnknown = 0x1234;
constexpr int64_t kBadTarget = KELVO_STATUS_FIRMWARE_BAD_TARGET;
constexpr uint64_t kRouteDefinition = 0x680 - sim::SwitchedBusInterface::kBase;

class Firmware : public kelvo_test::LeakCheckedTest {};

TEST_F(Firmware, ChoosesAndRefusesImages) {
    std::vector<uint8_t> custom(kelvo_driver::kFpgaImageSizeLarge);
    std::iota(custom.begin(), custom.end(), uint8_t{3});
    kal::usermem::Scope scope;
    const uint64_t address = scope.add(custom.data(), custom.size());
    struct Case {
        const char* name;
        uint64_t address, size;
        uint32_t target, board;
        int64_t code;
    };
    // The non-isolated Solstra image's sizes and the embedded choice are driven through a reset as well.
    const Case cases[] = {
        {"custom of the right size", address, 3825788, 1, kSolstra, 0},
        {"custom one byte short", address, 3825787, 0, KELVO_SUBSYSTEM_ID_DUSKMERE_A,
         KELVO_STATUS_FIRMWARE_WRONG_SIZE},
        {"custom target 2", address, 2568, 2, kSolstra, kBadTarget},
        {"bad target before unknown board", 0, 0, 5, kUnknown, kBadTarget},
        {"custom on an unknown board", address, 2192012, 1, kUnknown, KELVO_STATUS_UNSUPPORTED_PRODUCT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProductCaps caps{}; // its limit maps are allocated
        caps.subsystemID = c.board;
        kal::memory::resetCounters();
        tStatus status;
        tFirmwarePtr image =
            FirmwareFactory().createFirmware(0x77, c.address, c.size, c.target, caps, status);
        EXPECT_EQ(status.code, c.code);
        if (c.code != 0) {
            EXPECT_FALSE(image);
            EXPECT_EQ(kal::memory::allocationCalls(), 0u) << "a refused image allocates nothing";
            continue;
        }
        ASSERT_TRUE(image);
        EXPECT_EQ(image->getTarget(), c.target);
        ASSERT_EQ(image->size(), c.size);
        EXPECT_EQ(std::memcmp(image->data(), custom.data(), c.size), 0);
    }
}

using FirmwareDownload = kelvo_test::groups::TymoTest;

// Target 0 has 274001 words, target 1 478223; the non-isolated FPGA gets the port's route after it.
TEST_F(FirmwareDownload, ReadsTheStatusAfterEvery30thWrite) {
    const struct {
        uint32_t target;
        uint64_t lastReadAfter;
        std::vector<uint64_t> routes; // written to the route definition
    } cases[] = {{0, 273990, {2u << 8 | 1u << 20}}, {1, 478200, {}}};
    ASSERT_EQ(buildTymo(), 0);
    sim::FpgaLoader& loader = board->module->bridgeRegisters().fpgaLoading();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        board->module->switchedBim().clearTrace();
        loader.clearTrace();
        loader.setConfigured(0, false);
        loader.setConfigured(1, false);
        kal::clock::ScopedStepped stepped(100'000); // every clock read 100 us later
        tStatus status;
        kelvo_driver::downloadFPGAFirmware(0x77, 0, 0, c.target, *capsPtr, *tymo, status);
        ASSERT_EQ(status.getCode(), 0);
        EXPECT_EQ(board->module->switchedBim().writtenValues(kRouteDefinition), c.routes);
        // The trace keeps the latest accesses: count back from the end.
        const std::vector<sim::Access> trace = loader.trace();
        const uint64_t total = loader.received() / 8 + 4;
        uint64_t writesAfter = 0;
        std::vector<uint64_t> readsAt; // data writes so far at each status read inside the stream
        for (auto it = trace.rbegin(); it != trace.rend(); ++it) {
            if (it->write && it->offset == sim::FpgaLoader::kData) {
                ++writesAfter;
            } else if (!it->write && it->offset == sim::FpgaLoader::kStatus && writesAfter != 0) {
                readsAt.push_back(total - writesAfter);
            }
        }
        ASSERT_GE(readsAt.size(), 100u);
        EXPECT_EQ(readsAt.front(), c.lastReadAfter);
        for (uint64_t at : readsAt) {
            EXPECT_EQ(at % 30, 0u) << at;
        }
    }
}

} // namespace
