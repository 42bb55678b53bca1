// The setup sequence on the product's own levels, removal, opens and the levels' effects on the board.

#include "core/calibration_values.h"
#include "core_test_levels.h"
#include "core_test_support.h"
#include "module_faults.h"
#include "regmaps/isolated_reg_maps.h"

namespace {

using namespace kelvo_driver;
using namespace kelvo_test;
using nVOAPALS100::tStatus;

constexpr uint64_t kScratchOffset = 0x18; // the required block's scratch register

using SetupSequence = HostedTest;

// The first fault of the catalogue at each level that setup meets.
TEST_F(SetupSequence, AFaultStopsSetupBelowTheLevelThatMeetsIt) {
    std::vector<const ModuleFault*> cases;
    for (const ModuleFault& fault : moduleFaults()) {
        if (fault.level != 0 && *fault.onlyOn == '\0' && fault.live &&
            std::none_of(cases.begin(), cases.end(), [&](auto* c) { return c->level == fault.level; })) {
            cases.push_back(&fault);
        }
    }
    for (const auto& board : boards()) {
        for (const ModuleFault* c : cases) {
            SCOPED_TRACE(board + ": " + c->name);
            const int index = add(board, [&](sim::Module& m) { c->set(m, true); });
            EXPECT_EQ(std::tuple(levelOf(index), setupCode(index), textProperty(index, "serialNumber")),
                      std::tuple(c->level - 1, int64_t{c->setupCode}, c->level > 3 ? "1F2A3B4" : "0"));
            for (uint32_t level = 1; level <= 18; ++level) {
                EXPECT_EQ(deviceOf(index)->getKelvoHelper()->isBuilt(level), level < c->level) << level;
            }
            deviceOf(index)->cancelPendingWaits(); // no DMA wait to end below level 14
            const int handle = open(index);
            kelvo_notifier_payload payload{1, kelvo_destination(handle), 0x80000000};
            EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload),
                      nVOAPAL200_statusToKALStatus(c->setupCode));
            remove(index);
            EXPECT_EQ(kelvo_close(handle), 0);
        }
    }
}

// Level 2 noting the checkers left at its teardown.
size_t gCheckersAtLevel2Teardown = 0;
struct CountingCaps : Caps {
    explicit CountingCaps(kdut::HardwareStateCheckerComposite& checkers) {
        undo().push(
            [](void* list, void*) {
                gCheckersAtLevel2Teardown = static_cast<kdut::HardwareStateCheckerComposite*>(list)->size();
            },
            &checkers);
    }
};
SetupTask* createCountingCaps(KelvoHelper&, const SetupInputs& inputs, tStatus& status) {
    auto* task = new (status, false) CountingCaps(*inputs.checkers);
    if (task != nullptr) {
        task->setup(*inputs.device, status);
    }
    return task;
}

TEST_F(SetupSequence, RemovalTakesEveryLevelsHardwareStateCheckersBackAndACastKnowsTheKind) {
    SetupLevelTable table = getProductSetupLevelTable();
    table.tasks[1] = createCountingCaps;
    setSetupLevelTable(&table);
    const int index = add("duskmere-a");
    setSetupLevelTable(nullptr);
    gCheckersAtLevel2Teardown = SIZE_MAX;
    remove(index);
    EXPECT_EQ(gCheckersAtLevel2Teardown, 0u);
    // A cast to the counting step's kind answers only for a task of that kind.
    SetupTask plain;
    Caps caps;
    EXPECT_EQ(setupTaskCast<Caps>(&caps), &caps);
    EXPECT_EQ(setupTaskCast<Caps>(&plain), nullptr);
    EXPECT_EQ(setupTaskCast<Caps>(nullptr), nullptr);
}

// The hardware-state check reports a bad checksum before a bad version.
TEST_F(SetupSequence, TheStorageMapChecksOnChangedFlashImages) {
    constexpr int64_t kSum = KELVO_STATUS_STORAGE_MAP_CHECKSUM, kVer = KELVO_STATUS_STORAGE_MAP_VERSION;
    constexpr uint32_t kMfg = kManufacturingMap, kSelfMap = kSelfCalibrationMap, kHead = kHeaderMap,
                       kExt = kExternalCalibrationMap;
    const struct {
        const char* what;
        FlashImage flash;
        int64_t serialCode, hardwareState; // the serial number is 0x01F2A3B4 when its code is 0
        bool checksumsValid, versionsValid;
    } cases[] = {
        {"default", FlashImage(), 0, 0, true, true},
        {"shared build 1", FlashImage().versions(kMfg, 0x01000002, 0x01000001), 0, 0, true, true},
        {"oldest above newest", FlashImage().versions(kMfg, 0x01000003, 0x01000002), kVer, kVer, true, false},
        {"oldest above own", FlashImage().versions(kMfg, 0x01000000, 0x01000001), kVer, kVer, true, false},
        {"too old", FlashImage().versions(kMfg, 0x00FFFFFF, 0), kVer, kVer, true, false},
        {"manufacturing checksum", FlashImage().breakChecksum(kMfg), kSum, kSum, false, true},
        {"a checksum before a version",
         FlashImage().versions(kHead, 0x01000001, 0x01000001).breakChecksum(kExt), 0, kSum, false, false},
        {"erased", FlashImage("erased"), kSum, kSum, false, false},
        {"three calibration maps erased", FlashImage("default-calibration-only"), 0, kSum, false, false},
        {"calibration oldest above own", FlashImage("oldest-above-version"), 0, kVer, true, false},
        {"self map above newest", FlashImage().versions(kSelfMap, 0x01000002, 0x01000000), 0, 0, true, true},
    };
    ScopedProductLevels levels(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int index = add("solstra", [&](sim::Module& m) { m.flash().load(c.flash.bytes()); });
        ASSERT_EQ(levelOf(index), 3u);
        KelvoHelper* helper = deviceOf(index)->getKelvoHelper();
        tStatus serial, state, valid; // the validity tests alone only answer false
        helper->checkHardwareState(0, state);
        EXPECT_EQ((std::tuple{helper->getSerialNumber(serial), serial.getCode(), state.getCode(),
                              helper->areStorageMapChecksumsValid(valid),
                              helper->areStorageMapVersionsValid(valid), valid.getCode()}),
                  (std::tuple{c.serialCode == 0 ? 0x01F2A3B4u : 0u, c.serialCode, c.hardwareState,
                              c.checksumsValid, c.versionsValid, int64_t{0}}));
        remove(index);
    }
}

TEST_F(SetupSequence, TheRoutingNotifierOpensOnceAndCloses) {
    const int index = add("duskmere-a");
    const int handle = open(index);
    const unsigned destination = kelvo_destination(handle);
    const auto create = [&](uint32_t kind) {
        kelvo_notifier_payload payload{0xC0FFEE, destination, kind};
        return kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload);
    };
    const auto destroy = [&] {
        return kelvo_ioctl(handle, KELVO_IOCTL_DESTROY_NOTIFIER,
                           reinterpret_cast<void*>(uintptr_t{0x80000000}));
    };
    const int refused = nVOAPAL200_statusToKALStatus(tStatus::kInvalidState);
    const auto isOpen = [&] { return sessionOf(handle)->getRoutingSession()->getIONotifier().isOpen(); };
    // Another kind opens nothing; a second open of an open notifier is refused.
    EXPECT_EQ((std::tuple{create(7), isOpen(), create(0x80000000), isOpen(), create(0x80000000), destroy()}),
              (std::tuple{0, false, 0, true, refused, 0}));
    kelvo_message message;
    ASSERT_EQ(kelvo_read_message(destination, &message), 1);
    EXPECT_EQ(std::tuple(message.type, message.cookie), std::tuple(KELVO_MESSAGE_CLOSE, 0xC0FFEEu));
    // Once its cleanup has run, the session has no routing session left.
    tStatus status;
    sessionOf(handle)->cleanup(status);
    EXPECT_EQ((std::tuple{sessionOf(handle)->getRoutingSession().get(), create(0x80000000), destroy()}),
              (std::tuple{nullptr, refused, 0}));
    EXPECT_EQ(kelvo_close(handle), 0);
    // Below the routing level a handle has none.
    EXPECT_EQ(resetTo(index, 15), tStatus::kSetupTargetReached);
    EXPECT_EQ(sessionOf(open(index))->getRoutingSession().get(), nullptr);
}

// The last allocation is the growth of the helper's cleanup composite.
TEST_F(SetupSequence, AnAllocationFailureInOpenLeavesNothing) {
    const int index = add("duskmere-b");
    // A fresh helper whose cleanup composite has room for one session, taken by first.
    auto prepare = [&] {
        EXPECT_EQ(resetTo(index, 19), 0);
        return open(index);
    };
    int first = prepare();
    kal::memory::resetCounters();
    const int clean = open(index);
    const uint64_t calls = kal::memory::allocationCalls();
    ASSERT_EQ(kelvo_close(clean), 0);
    ASSERT_EQ(kelvo_close(first), 0);
    for (uint64_t n = 1; n <= calls; ++n) {
        first = prepare();
        const kal::live::Counts live = kal::live::now();
        kal::memory::failNth(n);
        const int handle = kelvo_open("smu_kelvo", index);
        kal::memory::clearFaults();
        EXPECT_EQ(handle, nVOAPAL200_statusToKALStatus(tStatus::kOutOfMemory)) << n;
        EXPECT_EQ(kal::live::now(), live) << n;
        EXPECT_EQ(kelvo_close(first), 0);
    }
}

TEST_F(SetupSequence, ArmAndStartRegisterTheirCleanupOnlyWhenTheySucceed) {
    const int index = add("solstra");
    KelvoHelper& helper = *deviceOf(index)->getKelvoHelper();
    const int handle = open(index);
    fenwicksharedsource::KernelSession& session = *sessionOf(handle);
    kdut::CleanupOperationComposite& composite = session.getCleanupOperationComposite();
    const size_t initial = composite.size();
    module(index).sequencerSide()->measureUnit().setNeverGenerates(true);
    tStatus armFailed, startFailed;
    helper.armMeasureUnit(session, armFailed);
    helper.startSequenceEngine(session, 1, 10, startFailed); // the FIFO does not hold the count
    EXPECT_EQ(
        std::tuple(armFailed.getCode(), startFailed.getCode(), composite.size()),
        std::tuple(KELVO_STATUS_MEASURE_UNIT_TIMED_OUT, KELVO_STATUS_SEQUENCE_ENGINE_TIMED_OUT, initial));
    module(index).sequencerSide()->measureUnit().setNeverGenerates(false);
    tStatus status;
    helper.armMeasureUnit(session, status);
    helper.startSequenceEngine(session, 1, 0, status);
    const size_t both = composite.size();
    helper.resetMeasureUnit(session, status);
    EXPECT_EQ(std::tuple(both, composite.size(), status.getCode()), std::tuple(initial + 2, initial + 1, 0));
}

// Levels 6 to 9: what the board saw and the isolated side through its window.
using CoreBringup = HostedTest;
// Level 7 on stepped time: how long it took.
uint64_t gLevel7Nanoseconds = 0;
SetupTask* timedPowerMonitors(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    kal::clock::setStepped(true);
    const uint64_t start = nVOKAL1_getMonotonicCounter();
    SetupTask* task = getProductSetupLevelTable().tasks[6](helper, inputs, status);
    gLevel7Nanoseconds = nVOKAL1_getMonotonicCounter() - start;
    kal::clock::setStepped(false);
    return task;
}

TEST_F(CoreBringup, EveryBoardClimbsTheRealLevelsAndReachesTheIsolatedSide) {
    SetupLevelTable table = getProductSetupLevelTable();
    table.tasks[6] = timedPowerMonitors;
    const std::string channel = "DuskmereIsoTopRegMap_ChannelWin_DuskmereIsoChRegMap";
    const std::vector<std::string> solstra = {"SolstraIsoTopRegMap"},
                                   duskmere = {"DuskmereIsoTopRegMap", channel,
                                               channel + "_Pca6416ADirectAccessWin_KelvoPca6416ARegs"};
    for (const std::string& board : boards()) {
        SCOPED_TRACE(board);
        setSetupLevelTable(&table);
        const int index = add(board);
        setSetupLevelTable(nullptr);
        sim::Module& m = module(index);
        // Level 7 on a fresh map: A without the enable, B, then A with it, and a second to settle.
        // Level 8: link command 1, the isolated load, command 2, the DC bus.
        EXPECT_EQ(std::tuple(levelOf(index), setupCode(index), m.transformer().writtenValues(0),
                             m.transformer().writtenValues(4), m.isoComm().commands(),
                             m.isoComm().writtenValues(0),
                             m.isoComm().dcBusStarted() && m.bridgeRegisters().fpgaLoading().configured(1)),
                  std::tuple(19u, 0, std::vector<uint64_t>{0x18F, 0x8000018F}, std::vector<uint64_t>{0xC7},
                             std::vector<uint32_t>{1, 2}, std::vector<uint64_t>{0x1, 0x2, 0x100}, true));
        EXPECT_GE(gLevel7Nanoseconds, 1000000000u);
        // A read through "IsoFpgaWindow": the tool's signature check (tests/tool). A forced flush of the
        // isolated tree (on Duskmere also its channel and I/O expander): all in reach.
        const int handle = open(index);
        for (const std::string& map : board == "solstra" ? solstra : duskmere) {
            const std::string name = map + "_Ver1.0.0d379";
            const auto flush = named(kelvo_arm_flushRegMap_in{0, 0, 1, {}, 0}, name);
            EXPECT_EQ(statusOf(handle, KELVO_IOCTL_arm_flushRegMap, flush), 0) << map;
        }
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(m.deviceErrorCount(), 0u) << ::testing::PrintToString(m.deviceErrors());
        remove(index);
    }
}

// The loading engine turns never ready as level 8 begins.
sim::Module* gModule = nullptr;
SetupTask* isolatedDownloadNeverReady(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    gModule->bridgeRegisters().fpgaLoading().setReadyNever(true);
    return getProductSetupLevelTable().tasks[7](helper, inputs, status);
}

TEST_F(CoreBringup, AnIsolatedLoadThatTimesOutIsClearedAndLeavesTheIsolatedFpgaSilent) {
    SetupLevelTable table = getProductSetupLevelTable();
    table.tasks[7] = isolatedDownloadNeverReady;
    setSetupLevelTable(&table);
    const int index = add("solstra", [](sim::Module& m) { gModule = &m; });
    setSetupLevelTable(nullptr);
    sim::Module& m = module(index);
    // No failure of level 8; level 11 finds the isolated FPGA silent (reads give all ones).
    EXPECT_EQ(std::tuple(levelOf(index), m.isoComm().commands(), m.isoComm().dcBusStarted(),
                         m.bridgeRegisters().fpgaLoading().configured(1)),
              std::tuple(10u, std::vector<uint32_t>{1, 2}, true, false));
    m.isoFpga().poke(kScratchOffset, 0x5EA1AB1E);
    auto& task = deviceOf(index)->getKelvoHelper()->getTaskAs<IsolatedRegMapsTaskInterface>();
    tStatus status;
    EXPECT_EQ(task.getIsolatedRegMaps().getWindowedAccessor()->read32(kScratchOffset, status), 0xFFFFFFFFu);
}

// Level 15: the calibration map it chooses, the offsets it loads or refuses, the reload.
using Offsets = std::vector<uint32_t>; // loops 0 to 3 as the charge balancer holds them

constexpr int64_t kUnusable = KELVO_STATUS_VALUE_OUT_OF_RANGE;
constexpr uint32_t kMaps[] = {kDefaultCalibrationMap, kFactoryCalibrationMap, kExternalCalibrationMap,
                              kSelfCalibrationMap};
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

FlashImage& offset(FlashImage& flash, uint32_t map, uint32_t loop, Stored value) {
    return flash.set(kMaps[map], kChargeBalanceOffsetsField + 16 * loop, &value, 16);
}
// Every map valid with offsets of its index times 0x10 plus the loop.
FlashImage calibrated() {
    FlashImage flash;
    for (uint32_t k = 0; k < 16; ++k) { // map k / 4, loop k % 4
        offset(flash, k / 4, k % 4, stored(0x10 * (k / 4 + 1) + k % 4));
    }
    return flash;
}
Offsets offsetsOf(uint32_t map) {
    const uint32_t base = 0x10 * (map + 1);
    return {base, base + 1, base + 2, base + 3};
}

using CoreDmaLevels = HostedTest;
Offsets loaded(int index) {
    sim::ChargeBalancer& balancer = CoreDmaLevels::module(index).sequencerSide()->chargeBalancer();
    return {balancer.offset(0), balancer.offset(1), balancer.offset(2), balancer.offset(3)};
}

TEST_F(CoreDmaLevels, LevelFifteenLoadsTheFirstUsableMapOrRefusesItsOffsets) {
    constexpr uint32_t kNone = 4, kOldest = kOldestCompatibleField, kVersion = kMapVersionField;
    struct Case {
        const char* what;
        uint32_t brokenMaps;        // their checksums broken, from the first map up to kSelf
        uint32_t field, fieldValue; // a version field of the self map (0: none)
        uint32_t loop;              // the self map's offset of the loop set to value (kNone: none)
        Stored value;
        uint32_t level;
        int64_t code;
        Offsets offsets;
    };
    const Case cases[] = {
        {"every map valid: self wins", 0, 0, 0, kNone, {}, 19, 0, offsetsOf(kSelf)},
        {"only the default map valid", 0b1110, 0, 0, kNone, {}, 19, 0, offsetsOf(kDefault)},
        {"no valid map: nothing loaded, no error", 0b1111, 0, 0, kNone, {}, 19, 0, {0, 0, 0, 0}},
        {"self outside the window: external", 0, kOldest, 0x01000002, kNone, {}, 19, 0, offsetsOf(kExternal)},
        {"self too old: external", 0, kVersion, 0x00FFFFFF, kNone, {}, 19, 0, offsetsOf(kExternal)},
        {"not set loads 0", 0, 0, 0, 2, kNotSet, 19, 0, {0x40, 0x41, 0, 0x43}},
        {"an offset that fails the round trip", 0, 0, 0, 1, kTooWide, 14, kUnusable, {0x40, 0, 0, 0}},
        {"a negative offset", 0, 0, 0, 0, kMinusOne, 14, kUnusable, {0, 0, 0, 0}},
        {"the widest that survives", 0, 0, 0, 3, stored(0x1FFF), 19, 0, {0x40, 0x41, 0x42, 0x1FFF}},
        {"one bit wider", 0, 0, 0, 3, stored(0x2000), 14, kUnusable, {0x40, 0x41, 0x42, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FlashImage flash = calibrated();
        for (uint32_t map = 0; map < 4; ++map) {
            if ((c.brokenMaps & (1u << map)) != 0) {
                flash.breakChecksum(kMaps[map]);
            }
        }
        if (c.field != 0) {
            flash.set32(kMaps[kSelf], c.field, c.fieldValue);
        }
        if (c.loop != kNone) {
            offset(flash, kSelf, c.loop, c.value);
        }
        const int index = add("solstra", [&](sim::Module& m) { m.flash().load(flash.bytes()); });
        EXPECT_EQ(std::tuple(levelOf(index), setupCode(index), loaded(index)),
                  std::tuple(c.level, c.code, c.offsets));
        remove(index);
    }
}

// The reload reads the self map again, without the search; its mask is checked first.
TEST_F(CoreDmaLevels, TheReloadTakesTheSelfMapAgainAfterTheChecks) {
    FlashImage flash = calibrated();
    flash.breakChecksum(kMaps[kSelf]); // setup loads the external map
    const int index = add("duskmere-a", [&](sim::Module& m) { m.flash().load(flash.bytes()); });
    const int handle = open(index);
    auto reload = [&](uint64_t mask) {
        return statusOf(handle, KELVO_IOCTL_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy,
                        kelvo_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy_in{mask, 0, 0});
    };
    // Not reserved, then reserved: an empty mask, a channel this module lacks, then channel 0; no search:
    // the self map, checksum or not.
    constexpr int32_t kInvalid = KELVO_STATUS_INVALID_CHANNEL;
    EXPECT_EQ((std::tuple{loaded(index), reload(1), reserveAll(handle), reload(0), reload(3), loaded(index),
                          reload(1), loaded(index)}),
              (std::tuple{offsetsOf(kExternal), KELVO_STATUS_CHANNEL_NOT_RESERVED, 0, kInvalid, kInvalid,
                          offsetsOf(kExternal), 0, offsetsOf(kSelf)}));
    // The one loader: a bit past it is refused below the request's own check too.
    tStatus direct;
    LoadCalibrationValues().loadChannels(2, false, direct);
    EXPECT_EQ(direct.getCode(), KELVO_STATUS_INVALID_PARAMETER);
}

} // namespace
