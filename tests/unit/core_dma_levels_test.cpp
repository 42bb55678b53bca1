// Setup level 15 on the product's levels over changed flash images: the
// calibration map it chooses and the offsets it loads into the charge
// balancer, the offsets it refuses, and the reload through the I/O control.
#include <cstdint>
#include <functional>
#include <vector>

#include "core_test_levels.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using kelvo_test::FlashImage;
using Offsets = std::vector<uint32_t>; // loops 0 to 3 as the charge balancer holds them

constexpr int64_t kUnusable = kelvoDriverCode(0xBFFA4300);
constexpr uint32_t kMaps[] = {kelvo_test::kDefaultCalibrationMap, kelvo_test::kFactoryCalibrationMap,
                              kelvo_test::kExternalCalibrationMap, kelvo_test::kSelfCalibrationMap};
constexpr uint32_t kDefault = 0, kExternal = 2, kSelf = 3;

// A stored value {low, high} whose offset (in half units, the value shifted right by 63) is n.
struct Stored {
    uint64_t low, high;
};
Stored stored(uint64_t n) {
    return {n << 63, n >> 1};
}
const Stored kNotSet = {~uint64_t{0}, 0x7FFFFFFFFFFFFFFFull};
const Stored kMinusOne = {~uint64_t{0}, ~uint64_t{0}};
const Stored kTooWide = {0, uint64_t{1} << 20}; // bits above 75 do not survive the round trip

// Every map valid with offsets of its index times 0x10 plus the loop.
FlashImage calibrated() {
    FlashImage flash;
    for (uint32_t map = 0; map < 4; ++map) {
        for (uint32_t loop = 0; loop < 4; ++loop) {
            const Stored value = stored(0x10 * (map + 1) + loop);
            flash.set(kMaps[map], kelvo_test::kChargeBalanceOffsetsField + 16 * loop, &value, 16);
        }
    }
    return flash;
}
FlashImage& offset(FlashImage& flash, uint32_t loop, Stored value) {
    return flash.set(kMaps[kSelf], kelvo_test::kChargeBalanceOffsetsField + 16 * loop, &value, 16);
}
Offsets offsetsOf(uint32_t map) {
    Offsets expected;
    for (uint32_t loop = 0; loop < 4; ++loop) {
        expected.push_back(0x10 * (map + 1) + loop);
    }
    return expected;
}

class CoreDmaLevels : public kelvo_test::HostedTest {
protected:
    static Offsets loaded(int index) {
        Offsets offsets;
        for (uint32_t loop = 0; loop < 4; ++loop) {
            offsets.push_back(module(index).sequencerSide()->chargeBalancer().offset(loop));
        }
        return offsets;
    }
};

TEST_F(CoreDmaLevels, LevelFifteenLoadsTheFirstUsableMapOrRefusesItsOffsets) {
    struct Case {
        const char* what;
        std::function<void(FlashImage&)> change;
        uint32_t level;
        int64_t code;
        Offsets offsets;
    };
    const Case cases[] = {
        {"every map valid: self wins", [](FlashImage&) {}, 19, 0, offsetsOf(kSelf)},
        {"only the default map valid",
         [](FlashImage& f) {
             for (uint32_t map = 1; map < 4; ++map) {
                 f.breakChecksum(kMaps[map]);
             }
         },
         19, 0, offsetsOf(kDefault)},
        {"no valid map: nothing loaded, no error",
         [](FlashImage& f) {
             for (uint32_t map : kMaps) {
                 f.breakChecksum(map);
             }
         },
         19,
         0,
         {0, 0, 0, 0}},
        {"self outside the version window: external",
         [](FlashImage& f) { f.set32(kMaps[kSelf], kelvo_test::kOldestCompatibleField, 0x01000002); }, 19, 0,
         offsetsOf(kExternal)},
        {"self too old to overlap: external",
         [](FlashImage& f) { f.set32(kMaps[kSelf], kelvo_test::kMapVersionField, 0x00FFFFFF); }, 19, 0,
         offsetsOf(kExternal)},
        {"not set loads 0", [](FlashImage& f) { offset(f, 2, kNotSet); }, 19, 0, {0x40, 0x41, 0, 0x43}},
        {"an offset that fails the round trip",
         [](FlashImage& f) { offset(f, 1, kTooWide); },
         14,
         kUnusable,
         {0x40, 0, 0, 0}},
        {"a negative offset", [](FlashImage& f) { offset(f, 0, kMinusOne); }, 14, kUnusable, {0, 0, 0, 0}},
        {"the widest offset that survives the round trip",
         [](FlashImage& f) { offset(f, 3, stored(0x1FFF)); },
         19,
         0,
         {0x40, 0x41, 0x42, 0x1FFF}},
        {"one bit wider",
         [](FlashImage& f) { offset(f, 3, stored(0x2000)); },
         14,
         kUnusable,
         {0x40, 0x41, 0x42, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FlashImage flash = calibrated();
        c.change(flash);
        const int index = add("solstra", [&](sim::Module& m) { m.flash().load(flash.bytes()); });
        EXPECT_EQ(levelOf(index), c.level);
        EXPECT_EQ(setupCode(index), c.code);
        EXPECT_EQ(loaded(index), c.offsets);
        remove(index);
    }
}

// The reload reads the self map again, without the search; its mask is checked first.
TEST_F(CoreDmaLevels, TheReloadTakesTheSelfMapAgainAfterTheChecks) {
    FlashImage flash = calibrated();
    flash.breakChecksum(kMaps[kSelf]); // setup loads the external map
    const int index = add("duskmere-a", [&](sim::Module& m) { m.flash().load(flash.bytes()); });
    const int handle = open(index);
    EXPECT_EQ(loaded(index), offsetsOf(kExternal));
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
    EXPECT_EQ(loaded(index), offsetsOf(kExternal));
    EXPECT_EQ(reload(1), 0);
    EXPECT_EQ(loaded(index), offsetsOf(kSelf)) << "no search: the self map, checksum or not";
    EXPECT_EQ(kelvo_close(handle), 0);
    remove(index);
}

} // namespace
