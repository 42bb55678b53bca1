// A test-only level table: the product's tasks of levels 1 and 2 (or 1 to 3,
// or 1 to 5), then stand-in tasks behind the levels above, so that tests can run the device to
// level 19 before the real tasks exist and make any level fail.
//
// The stand-ins log their setup, teardown and destruction in order. Level 3
// offers fake storage maps (whose versions, checksums and serial number a
// test sets) and the real storage-map checkers over them; level 16 offers a
// fake routing-resources manager. Install the table with ScopedTestLevels.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/kelvo_helper.h"
#include "core/setup_levels.h"
#include "core/storage_map_checkers.h"
#include "framework/hardware_state_checker_composite.h"
#include "framework/routing_session.h"
#include "host.h"

namespace kelvo_test {

using nVOAPALS100::tStatus;

// One fake storage map.
struct FakeMapState {
    std::uint32_t version = 0x01000000;
    std::uint32_t oldestCompatible = 0x01000000;
    bool checksumValid = true;
    std::int64_t readError = 0; // set as the map's own error when not 0
    // Calibration maps: the stored charge-balance offsets {low, high} of loops 0 to 3.
    std::pair<std::uint64_t, std::uint64_t> offsets[4] = {};
};

// What the stand-ins do and what they saw. One instance for the process.
struct StandInState {
    std::mutex lock;
    std::vector<std::string> log;
    std::uint32_t failLevel = 0; // the level whose setup step fails (0: none)
    std::int64_t failCode = nVOAPALS100::tStatus::kTimedOut;
    FakeMapState header;
    FakeMapState manufacturing{0x01000001, 0x01000000, true, 0};
    FakeMapState calibration[kelvo_driver::kNumberOfCalibrationMaps];
    std::uint32_t serialNumber = 0x1234ABCD;
    std::uint8_t boardRevision = 0x0B;
    // The fake routing manager.
    int registeredSessions = 0;
    int resourcesSet = 0;
    int resourcesCleared = 0;
    // The fake controllers of levels 6 to 15.
    std::vector<std::uint32_t> subroutineIds;
    std::vector<std::uint32_t> subroutineAddresses;
    std::int64_t armError = 0;
    std::int64_t startError = 0;
    bool engineRunning = false;
    int measureUnitCleanups = 0;
    int sequenceEngineCleanups = 0;
    std::vector<std::pair<std::uint32_t, std::int32_t>> dmaSignals;
    std::vector<std::pair<std::uint64_t, bool>> calibrationLoads;
    // setOffset calls of the fake charge-balance controller: {loop, offset}.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> offsetsSet;

    void reset() {
        std::lock_guard g(lock);
        log.clear();
        failLevel = 0;
        failCode = nVOAPALS100::tStatus::kTimedOut;
        header = FakeMapState{};
        manufacturing = FakeMapState{0x01000001, 0x01000000, true, 0};
        for (auto& c : calibration) {
            c = FakeMapState{};
        }
        serialNumber = 0x1234ABCD;
        boardRevision = 0x0B;
        registeredSessions = 0;
        resourcesSet = 0;
        resourcesCleared = 0;
        subroutineIds.clear();
        subroutineAddresses.clear();
        armError = 0;
        startError = 0;
        engineRunning = false;
        measureUnitCleanups = 0;
        sequenceEngineCleanups = 0;
        dmaSignals.clear();
        calibrationLoads.clear();
        offsetsSet.clear();
    }
    void clearLog() {
        std::lock_guard g(lock);
        log.clear();
    }
    void record(const std::string& event) {
        std::lock_guard g(lock);
        log.push_back(event);
    }
    std::vector<std::string> events() {
        std::lock_guard g(lock);
        return log;
    }
};

StandInState& standIns();

// The test table (levels 1 and 2 the product's, 3 to 18 stand-ins).
const kelvo_driver::SetupLevelTable& testSetupLevelTable();

// The test table with the product's real level 3 (flash, storage maps and
// their checkers) under the stand-ins of levels 4 to 18.
const kelvo_driver::SetupLevelTable& testSetupLevelTableOverRealLevel3();

// The test table with the product's real sequencer levels (10 to 13 and 17)
// over the register-map groups of levels 5 and 9 and the stand-ins of the
// other levels.
const kelvo_driver::SetupLevelTable& testSetupLevelTableOverRealSequencer();

// The product's levels 1 to 9 under the stand-ins of the levels above, so
// that the real lower levels run to level 19.
const kelvo_driver::SetupLevelTable& testSetupLevelTableOverProductLevels();

// Which levels of the installed test table are the product's own (kSequencer:
// levels 1, 2, 10 to 13 and 17).
enum class RealLevels { kUpTo2, kUpTo3, kSequencer };

// The test table with the product's levels 14 (DMA objects) and 15
// (calibration values) in place of their stand-ins.
const kelvo_driver::SetupLevelTable& testSetupLevelTableWithRealDMA();

// Installs the test table for a scope and resets the stand-ins' state.
class ScopedTestLevels {
public:
    explicit ScopedTestLevels(bool realLevel3 = false)
        : ScopedTestLevels(realLevel3 ? RealLevels::kUpTo3 : RealLevels::kUpTo2) {}
    // Modules plugged in the scope hold the images of the FPGAs whose
    // downloads (levels 4 and 8) are stand-ins. realDMA: levels 14 and 15
    // are the product's too.
    // Any table whose levels 4 and 8 are the product's downloads: modules are
    // plugged as at power-up.
    explicit ScopedTestLevels(const kelvo_driver::SetupLevelTable& table) {
        standIns().reset();
        kelvo_host::setFpgasLoadedAtPlugging(false, false);
        kelvo_driver::setSetupLevelTableForTests(&table);
    }
    explicit ScopedTestLevels(RealLevels real, bool realDMA = false) {
        standIns().reset();
        kelvo_host::setFpgasLoadedAtPlugging(true, true);
        kelvo_driver::setSetupLevelTableForTests(
            realDMA                          ? &testSetupLevelTableWithRealDMA()
            : real == RealLevels::kSequencer ? &testSetupLevelTableOverRealSequencer()
            : real == RealLevels::kUpTo3     ? &testSetupLevelTableOverRealLevel3()
                                             : &testSetupLevelTable());
    }
    ~ScopedTestLevels() {
        kelvo_driver::setSetupLevelTableForTests(nullptr);
        kelvo_host::setFpgasLoadedAtPlugging(false, false);
    }
    ScopedTestLevels(const ScopedTestLevels&) = delete;
    ScopedTestLevels& operator=(const ScopedTestLevels&) = delete;
};

// The product's own levels 1 to top alone, for a scope (the levels above it
// answer -52002): for tests of add device, resets and the host that need no
// FPGA loaded and plug many modules or sweep every allocation.
class ScopedProductLevels {
public:
    explicit ScopedProductLevels(std::uint32_t top) : table_(kelvo_driver::getProductSetupLevelTable()) {
        for (std::uint32_t level = top + 1; level <= kelvo_driver::kNumberOfSetupTasks; ++level) {
            table_.tasks[level - 1] = nullptr;
        }
        kelvo_driver::setSetupLevelTableForTests(&table_);
    }
    ~ScopedProductLevels() { kelvo_driver::setSetupLevelTableForTests(nullptr); }
    ScopedProductLevels(const ScopedProductLevels&) = delete;
    ScopedProductLevels& operator=(const ScopedProductLevels&) = delete;

private:
    kelvo_driver::SetupLevelTable table_;
};

} // namespace kelvo_test
