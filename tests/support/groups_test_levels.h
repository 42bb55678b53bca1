// The register-map groups in the test-only level table (core_test_levels.h):
// over the module's BAR 0, the level-3 stand-in builds the bridge and
// timing-chip group, level 5 the non-isolated group and level 9 the isolated
// group, so that user mode reaches every map and both FPGA windows by name.
// Levels 5 and 9 log and fail like the other stand-ins.
#pragma once

#include <cstdint>

#include "core/kelvo_helper.h"
#include "core/setup_levels.h"
#include "platform/status.h"

namespace kelvo_driver {
class TYMORegMaps;
}

namespace kelvo_test::groups {

// The bridge and timing-chip group as a part of the level-3 stand-in.
class TYMORegMapsPart {
public:
    TYMORegMapsPart() = default;
    ~TYMORegMapsPart() { teardown(); }
    TYMORegMapsPart(const TYMORegMapsPart&) = delete;
    TYMORegMapsPart& operator=(const TYMORegMapsPart&) = delete;

    void setup(kelvo_driver::KelvoHelper& helper, const kelvo_driver::SetupInputs& inputs,
               nVOAPALS100::tStatus& status);
    void teardown();
    kelvo_driver::TYMORegMaps& group() const { return *group_; }
    std::uint64_t bar() const { return reinterpret_cast<std::uintptr_t>(bar_); }

private:
    kelvo_driver::nVOAPAL000::tPCIDevice* device_ = nullptr;
    void* bar_ = nullptr;
    kelvo_driver::TYMORegMaps* group_ = nullptr;
};

kelvo_driver::SetupTask* createNonIsolatedRegMapsTask(kelvo_driver::KelvoHelper& helper,
                                                      const kelvo_driver::SetupInputs& inputs,
                                                      nVOAPALS100::tStatus& status);
kelvo_driver::SetupTask* createIsolatedRegMapsTask(kelvo_driver::KelvoHelper& helper,
                                                   const kelvo_driver::SetupInputs& inputs,
                                                   nVOAPALS100::tStatus& status);

} // namespace kelvo_test::groups
