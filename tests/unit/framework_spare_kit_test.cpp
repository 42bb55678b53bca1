// The framework's spare kit, which nothing in the driver builds (but the checker collection).
#include "fatal_hook_capture.h"
#include "framework/invalidatable_session.h"
#include "framework/regi_config.h"
#include "regmaps/test_reg_map.h"
#include "regs_fake_accessor.h"
#include "routing/regmap_route_programmer.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
using voregitools::RegiConfig;
constexpr uint32_t kKeep = 0xFFFFFFFF; // the keep-previous marker

tStatus holding(int64_t code) {
    tStatus status;
    if (code != 0) {
        KELVO_SET_STATUS(status, code);
    }
    return status;
}

TEST(SpareKit, RegiConfigSwitches) {
    const RegiConfig previous(1, 0, 1);
    struct Case {
        RegiConfig config;
        uint32_t bits; // read source, write destination, write caching from bit 0
    } const cases[] = {{RegiConfig(), 0},
                       {RegiConfig(0, 1, 1), 6},
                       {RegiConfig(2u), 2},
                       {RegiConfig(previous, kKeep, 1, kKeep), 7}, // the marked switches kept
                       {RegiConfig(previous, 0, kKeep, 0), 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.config.toBits(), c.bits);
        EXPECT_EQ(c.config, RegiConfig(c.bits & 1, (c.bits >> 1) & 1, c.bits >> 2)) << c.bits;
        for (uint32_t k = 0; k < 3; ++k) {
            EXPECT_NE(c.config, RegiConfig(c.bits ^ (1u << k))) << c.bits << " switch " << k;
        }
    }
}

struct FixedSession : orut::InvalidatableSession {
    explicit FixedSession(bool valid)
        : orut::InvalidatableSession(static_cast<uint32_t>(KELVO_STATUS_SESSION_INVALIDATED)), valid_(valid) {
    }
    bool isValid() const override { return valid_; }
    bool valid_;
};

TEST(SpareKit, InvalidatableSessionReportsItsCodeOnceInvalid) {
    const int64_t cases[][3] = {
        {1, 0, 0}, {0, 0, KELVO_STATUS_SESSION_INVALIDATED}, {0, -3, -3}}; // valid, before, after
    for (const auto& c : cases) {
        tStatus status = holding(c[1]);
        FixedSession(c[0] != 0).check(status);
        EXPECT_EQ(status.getCode(), c[2]) << c[0] << " " << c[1];
    }
}

using SpareKitProgrammer = kelvo_test::LeakCheckedTest;

TEST_F(SpareKitProgrammer, WritesEachSettingThroughTheSubTopographysMap) {
    struct Case {
        const char* name;
        uint8_t flag;
        uint32_t subtopography;
        int64_t before;
        std::vector<kelvo_test::BusAccess> writes;
        int halts;
        bool noMap = false;
    } const cases[] = {
        {"an unchanged value is not written again", 0, 0, 0, {{'W', 0x008, 5}}, 0},
        {"the flag forces every write", 1, 0, 0, {{'W', 0x008, 5}, {'W', 0x008, 5}}, 0},
        {"a status holding an error does nothing", 1, 1, -3, {}, 0},
        {"a sub-topography past the list", 1, 1, 0, {}, 2},
        {"a null map", 1, 0, 0, {}, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelvo_test::FakeAccessor bus;
        tStatus status;
        kelvo_test_regmaps::tTestRegMap map(&bus, status, 0, 0, 0x400);
        orut::RegMapRouteProgrammer programmer(c.noMap ? nullptr : &map, c.flag, status);
        ASSERT_TRUE(status.isSuccess());
        status = holding(c.before);
        kelvo_test::FatalHookCapture hook;
        programmer.begin(status);
        for (int i = 0; i < 2; ++i) {
            programmer.program(c.subtopography, 0x8053CC08, 5, status); // the whole TableConfig register
        }
        programmer.end(status);
        EXPECT_EQ(bus.log, c.writes);
        EXPECT_EQ(hook.count(), c.halts);
        EXPECT_EQ(status.getCode(), c.before);
    }
}

} // namespace
