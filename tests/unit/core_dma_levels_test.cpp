// Setup levels 14 and 15 with the product's tasks over the test level table:
// the calibration map level 15 chooses and the offsets it loads, the offsets
// it refuses, the reload through the I/O control, and every allocation and
// DPC creation of both levels failing in turn.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "control.h"
#include "core/calibration_values.h"
#include "core/dma_objects.h"
#include "core_test_levels.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::FakeMapState;
using kelvo_test::standIns;
using nVOAPALS100::tStatus;
using Offsets = std::vector<std::pair<uint32_t, uint32_t>>;
using Stored = std::pair<uint64_t, uint64_t>; // {low, high} of a stored value

constexpr int64_t kUnusable = kelvoDriverCode(0xBFFA4300);
constexpr uint32_t kDefault = 0, kFactory = 1, kExternal = 2, kSelf = 3;

// The stored value whose offset (in half units, the value shifted right by 63) is n.
Stored stored(uint64_t n) {
    return {n << 63, n >> 1};
}
const Stored kNotSet = {~uint64_t{0}, 0x7FFFFFFFFFFFFFFFull};
const Stored kMinusOne = {~uint64_t{0}, ~uint64_t{0}};
const Stored kTooWide = {0, uint64_t{1} << 20}; // bits above 75 do not survive the round trip

class CoreDmaLevels : public kelvo_test::HostedTest {
protected:
    // The maps as a case gives them: every one valid with offsets of its index
    // times 0x10 plus the loop, unless changed.
    static void prepareMaps() {
        for (uint32_t map = 0; map < 4; ++map) {
            FakeMapState& state = standIns().calibration[map];
            state = FakeMapState{};
            for (uint32_t loop = 0; loop < 4; ++loop) {
                state.offsets[loop] = stored(0x10 * (map + 1) + loop);
            }
        }
    }
    static Offsets offsetsOf(uint32_t map) {
        Offsets expected;
        for (uint32_t loop = 0; loop < 4; ++loop) {
            expected.emplace_back(loop, 0x10 * (map + 1) + loop);
        }
        return expected;
    }

    kelvo_test::ScopedTestLevels levels_{kelvo_test::RealLevels::kUpTo2, true};
};

TEST_F(CoreDmaLevels, LevelFifteenLoadsTheFirstUsableMapOrRefusesItsOffsets) {
    struct Case {
        const char* what;
        std::function<void()> change;
        uint32_t level;
        int64_t code;
        Offsets offsets;
    };
    const Case cases[] = {
        {"every map valid: self wins", [] {}, 19, 0, offsetsOf(kSelf)},
        {"only the default map valid",
         [] {
             for (uint32_t map : {kFactory, kExternal, kSelf}) {
                 standIns().calibration[map].checksumValid = false;
             }
         },
         19, 0, offsetsOf(kDefault)},
        {"no valid map: nothing loaded, no error",
         [] {
             for (auto& map : standIns().calibration) {
                 map.checksumValid = false;
             }
         },
         19,
         0,
         {}},
        {"self outside the version window: external",
         [] { standIns().calibration[kSelf].oldestCompatible = 0x01000002; }, 19, 0, offsetsOf(kExternal)},
        {"self too new to overlap: external", [] { standIns().calibration[kSelf].version = 0x00FFFFFF; }, 19,
         0, offsetsOf(kExternal)},
        {"not set loads 0",
         [] { standIns().calibration[kSelf].offsets[2] = kNotSet; },
         19,
         0,
         {{0, 0x40}, {1, 0x41}, {2, 0}, {3, 0x43}}},
        {"an offset that fails the round trip",
         [] { standIns().calibration[kSelf].offsets[1] = kTooWide; },
         14,
         kUnusable,
         {{0, 0x40}}},
        {"a negative offset",
         [] { standIns().calibration[kSelf].offsets[0] = kMinusOne; },
         14,
         kUnusable,
         {}},
        {"the widest offset that survives the round trip",
         [] { standIns().calibration[kSelf].offsets[3] = stored(0x1FFF); },
         19,
         0,
         {{0, 0x40}, {1, 0x41}, {2, 0x42}, {3, 0x1FFF}}},
        {"one bit wider",
         [] { standIns().calibration[kSelf].offsets[3] = stored(0x2000); },
         14,
         kUnusable,
         {{0, 0x40}, {1, 0x41}, {2, 0x42}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        standIns().reset();
        prepareMaps();
        c.change();
        const int index = add("solstra");
        EXPECT_EQ(levelOf(index), c.level);
        EXPECT_EQ(setupCode(index), c.code);
        EXPECT_EQ(standIns().offsetsSet, c.offsets);
        remove(index);
    }
}

// The reload reads the self map again, without the search; its mask is checked first.
TEST_F(CoreDmaLevels, TheReloadTakesTheSelfMapAgainAfterTheChecks) {
    standIns().reset();
    prepareMaps();
    standIns().calibration[kSelf].checksumValid = false; // setup loads the external map
    const int index = add("duskmere-a");
    const int handle = open(index);
    EXPECT_EQ(standIns().offsetsSet, offsetsOf(kExternal));
    auto reload = [&](uint64_t mask) {
        return kelvo_test::answer<kelvo_status_record>(
                   handle, KELVO_IOCTL_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy,
                   kelvo_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy_in{mask, 0, 0})
            .status;
    };
    EXPECT_EQ(reload(1), static_cast<int32_t>(0xBFFA431Au)) << "not reserved";
    ASSERT_EQ(reserveAll(handle), 0);
    EXPECT_EQ(reload(0), static_cast<int32_t>(0xBFFA4303u)) << "empty";
    EXPECT_EQ(reload(3), static_cast<int32_t>(0xBFFA4303u)) << "a channel this module lacks";
    standIns().offsetsSet.clear();
    EXPECT_EQ(reload(1), 0);
    EXPECT_EQ(standIns().offsetsSet, offsetsOf(kSelf)) << "no search: the self map, checksum or not";
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

} // namespace
