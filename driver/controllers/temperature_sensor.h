// The board temperature sensor: the Vref temperature register of the Solstra
// non-isolated board. The reading is taken once the register no longer flags
// it as out of bounds; the Duskmere generation has no sensor to read and
// answers 0.
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "framework/hardware_state_checker.h"
#include "framework/poller.h"
#include "framework/product_caps.h"
#include "framework/timeout_handler.h"
#include "platform/status.h"
#include "platform/time.h"
#include "reglayouts/solstra_niso_board_reg_map.h"
#include "regmaps/non_isolated_reg_maps_wrapper.h"

namespace kelvo_driver {

// The reading was still out of bounds at the deadline.
constexpr int64_t kTemperatureReadingInvalid = KELVO_STATUS_TEMPERATURE_READING_INVALID;

class TemperatureSensorControllerImpl final : public TemperatureSensorController {
public:
    using tPoller =
        orut::Poller<nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise>>;

    static constexpr uint64_t kInitialIntervalMicroseconds = 100;
    static constexpr uint64_t kMaximumIntervalMicroseconds = 100000;
    static constexpr uint64_t kDeadlineMicroseconds = 68610;

    // Stores its arguments; no register access.
    TemperatureSensorControllerImpl(NonIsolatedRegMapsWrapper& maps,
                                    kdut::HardwareStateCheckerInterface& checker,
                                    const corran_caps::ProductCaps& caps);
    ~TemperatureSensorControllerImpl() override = default;

    // May be called from several threads at once. Solstra: polls the
    // register (sleeping, 100 us doubling up to 100 ms)
    // until bit 15 is clear, for at most 68610 us; then reads it once more and
    // answers bits 12:0. At the deadline the hardware-state check decides,
    // else 0xBFFA4329, and the answer is bits 12:0 of the last read. Duskmere
    // or an error already in the status: 0, nothing read.
    int16_t readTemperature(nVOAPALS100::tStatus& status) override;

private:
    NonIsolatedRegMapsWrapper* maps_;
    kdut::CheckHardwareStateTimeoutHandler timeoutHandler_;
    tPoller poller_;
    bool isSolstra_;
};

} // namespace kelvo_driver
