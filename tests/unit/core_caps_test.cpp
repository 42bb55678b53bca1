// The product capabilities table, firmware compatibility and board revisions.

#include "core/add_device.h"
#include "core/setup_tasks.h"
#include "core/utilities.h"
#include "framework/product_caps.h"
#include "kelvo/product_ids.h"
#include "platform/cxxruntime.h"
#include "pci_test_support.h"
#include "test_support.h"

namespace {

using corran_caps::CapsManager;
using corran_caps::PowerAllocationLimitInMicroWatts;
using corran_caps::ProductCaps;
using nVOAPALS100::tStatus;

constexpr uint32_t kSolstra = KELVO_SUBSYSTEM_ID_SOLSTRA, kDuskmereA = KELVO_SUBSYSTEM_ID_DUSKMERE_A;
constexpr uint32_t kDuskmereB = KELVO_SUBSYSTEM_ID_DUSKMERE_B, kQ102 = KELVO_SUBSYSTEM_ID_Q102;

class ProductCapsTable : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        nVOAPAL200_initializeCPPRunTime(kelvo_driver::kDriver.initializers,
                                        kelvo_driver::kDriver.initializerCount);
    }
    void TearDown() override {
        nVOAPAL200_finalizeCPPRunTime();
        LeakCheckedTest::TearDown();
    }
    static const CapsManager& caps() { return CapsManager::getInstance(); }
};

// The limit the non-isolated controllers take from a row (the largest key not above 48) is checked end
// to end, by the budget a board's handle may stage.
TEST_F(ProductCapsTable, EveryRowHasItsOwnIDAndOnlyAcceptedProductsPassTheCapabilityStep) {
    const ProductCaps* table = caps().getTable();
    std::set<uint32_t> ids;
    for (uint32_t i = 0; i < corran_caps::kProductCount; ++i) {
        ids.insert(table[i].subsystemID);
        EXPECT_TRUE(table[i].powerAllocationLimitA.getStatus().isSuccess());
    }
    EXPECT_EQ(ids.size(), corran_caps::kProductCount) << "one distinct ID per row";
    // A limit that cannot get memory holds its own status and stays empty.
    for (uint64_t nth : {1, 3}) { // 3: the map and its control block are made; the entry is refused
        kal::memory::failNth(nth);
        PowerAllocationLimitInMicroWatts limit(5);
        EXPECT_EQ(std::tuple(limit.getStatus().getCode(), limit.size(), limit.floorValue(0)),
                  std::tuple(tStatus::kOutOfMemory, 0u, 0u));
    }
    // The capabilities step of setup refuses an ID of the table that is not a product this driver serves.
    sim::Bus bus;
    nVOAPAL200_tDeviceInfo info = kelvo_test::deviceInfoOf(*bus.plug("solstra"));
    info.subsystemID = kQ102;
    tStatus status;
    const kelvo_driver::nVOAPAL000::tPCIDevice device(info, status);
    kelvo_driver::Caps caps;
    caps.setup(device, status);
    EXPECT_EQ(std::tuple(status.getCode(), caps.capsPtr),
              std::tuple(KELVO_STATUS_UNSUPPORTED_PRODUCT, nullptr));
}

int64_t firmwareCheck(uint32_t id, bool solstra, bool duskmere, bool unsafe, int64_t before = 0) {
    tStatus status;
    KELVO_SET_STATUS(status, before);
    kelvo_driver::validateFirmwareCompatibility(id, solstra, duskmere, unsafe, status);
    return status.getCode();
}

int64_t revisionCheck(uint32_t id, uint8_t revision) {
    tStatus status;
    kelvo_driver::validateBoardRevision(id, revision, status);
    return status.getCode();
}

TEST(ProductUtilities, FirmwareCompatibilityAndBoardRevisionsFollowTheBoardGeneration) {
    constexpr int64_t kNo = KELVO_STATUS_FIRMWARE_INCOMPATIBLE, kTimedOut = tStatus::kTimedOut;
    EXPECT_EQ(
        (std::vector<int64_t>{
            firmwareCheck(kSolstra, false, false, false), firmwareCheck(kSolstra, false, false, true),
            firmwareCheck(kSolstra, false, true, false), firmwareCheck(kSolstra, true, false, false),
            firmwareCheck(kDuskmereA, true, false, false), firmwareCheck(kDuskmereB, false, true, false),
            firmwareCheck(kDuskmereB, false, false, true), firmwareCheck(kQ102, true, true, true),
            firmwareCheck(kSolstra, false, false, false, kTimedOut)}),
        (std::vector<int64_t>{kNo, 0, kNo, 0, kNo, 0, 0, KELVO_STATUS_UNSUPPORTED_PRODUCT, kTimedOut}));
    tStatus neither, duskmere;
    kelvo_driver::validateFirmwareCompatibility(false, false, neither);
    kelvo_driver::validateFirmwareCompatibility(false, true, duskmere);
    EXPECT_EQ(std::tuple(neither.getCode(), duskmere.getCode()), std::tuple(kNo, int64_t{0}));
    // Each generation's range of board revisions.
    constexpr int64_t kOld = KELVO_STATUS_BOARD_REVISION_TOO_OLD, kNew = KELVO_STATUS_BOARD_REVISION_TOO_NEW;
    EXPECT_EQ((std::vector<int64_t>{revisionCheck(kSolstra, 0), revisionCheck(kSolstra, 1),
                                    revisionCheck(kSolstra, 2), revisionCheck(kSolstra, 3),
                                    revisionCheck(kDuskmereA, 0), revisionCheck(kDuskmereA, 1),
                                    revisionCheck(kDuskmereB, 2)}),
              (std::vector<int64_t>{kOld, 0, 0, kNew, kOld, 0, kNew}));
}

} // namespace
