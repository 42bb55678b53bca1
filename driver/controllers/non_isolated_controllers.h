// The controllers of the non-isolated side, built once the non-isolated
// register maps exist (setup level 6) and kept until teardown: power
// allocation, the power controller with the transformer drive, chassis
// cooling, the isolation link's commands and the temperature sensor.
#pragma once

#include <stdint.h>

#include "controllers/power_allocation.h"
#include "controllers/power_controller.h"
#include "controllers/temperature_sensor.h"
#include "framework/hardware_state_checker.h"
#include "framework/poller.h"
#include "framework/product_caps.h"
#include "platform/status.h"
#include "platform/time.h"
#include "reglayouts/kelvo_iso_comm_reg_map.h"
#include "regmaps/kelvo_iso_comm_reg_map.h"
#include "regmaps/non_isolated_reg_maps_wrapper.h"

namespace kelvo_driver {

// The isolation link did not reach the commanded state in time.
constexpr int64_t kIsolationLinkTimeout = KELVO_STATUS_ISOLATION_LINK_TIMEOUT;
// The isolated side's DC bus did not report its start-up in time.
constexpr int64_t kDcBusStartupTimeout = KELVO_STATUS_DC_BUS_STARTUP_TIMEOUT;

// The isolation link's configuration and status registers on the
// non-isolated board. LinkCommand of the configuration register commands the
// link (1, then 2), DcBusStartup strobes the isolated DC bus's start-up; the
// strobe bits leave the soft copy after each write. The status register
// reports the link state (IsoCommStatus) and the DC bus's start-up
// (NisoDcBusStartupComplete). Only setup uses it (level 8, the isolated
// FPGA's bring-up), under the device mutex while the gate keeps every request
// out: no other path reaches the registers meanwhile, so its writes and poll
// reads take no tree lock.
class IsolationLinkRecord {
public:
    using tPoller =
        orut::Poller<nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise>>;

    static constexpr uint64_t kInitialIntervalMicroseconds = 100;
    static constexpr uint64_t kMaximumIntervalMicroseconds = 100000;
    static constexpr uint64_t kTimeoutMicroseconds = 1000000;
    using tStatusLayout = kelvo_regmaps::layout::KelvoIsoCommRegMap::IsoCommStatus;

    // map: the board's link map; null leaves both registers null (every
    // operation then reports -52006).
    explicit IsolationLinkRecord(kelvo_regmaps::tKelvoIsoCommRegMap* map);

    // Puts command into LinkCommand and writes the register when that changed
    // the soft copy or it is dirty; then polls until the link state equals
    // command, giving up after 1 s with 0xBFFA4678. Nothing on an error.
    void command(uint8_t command, nVOAPALS100::tStatus& status);
    // Strobes the DC bus's start-up and polls until the status reports it,
    // giving up after 1 s with 0xBFFA4683. Nothing on an error.
    void startDcBus(nVOAPALS100::tStatus& status);

    kelvo_regmaps::tKelvoIsoCommRegMap::tIsoCommConfigReg* config;
    kelvo_regmaps::tKelvoIsoCommRegMap::tIsoCommStatusReg* linkStatus;
    int64_t dcBusStartupTimeoutCode = kDcBusStartupTimeout;
    int64_t linkStateTimeoutCode = kIsolationLinkTimeout;

private:
    // Both registers are there; else -52006.
    bool present(nVOAPALS100::tStatus& status);
    uint32_t readStatus(nVOAPALS100::tStatus& status) { return linkStatus->readRegister(status); }
};

class NonIsolatedControllers : public nVOAPAL000::tObject {
public:
    // The key whose limit is the device's: the largest at most this.
    static constexpr uint32_t kLimitKey = 48;

    // The value of the largest key at most 48 of the product's first limit
    // object; 0 without one.
    static uint32_t deviceLimitOf(const corran_caps::ProductCaps& caps);

    // No register access. checker: the device's hardware-state checks (not
    // owned); coolingState: the device's record (not owned). A controller
    // that cannot get its memory leaves -52000 and the others are still built.
    NonIsolatedControllers(NonIsolatedRegMapsWrapper& maps, kdut::HardwareStateCheckerInterface& checker,
                           CoolingModeState* coolingState, const corran_caps::ProductCaps& caps,
                           nVOAPALS100::tStatus& status);
    virtual ~NonIsolatedControllers() = default;
    NonIsolatedControllers(const NonIsolatedControllers&) = delete;
    NonIsolatedControllers& operator=(const NonIsolatedControllers&) = delete;

    const bool isSolstra;
    kdut::HardwareStateCheckerInterface* const checker;
    corran_shared::PowerAllocationControllerImpl powerAllocationController;
    PowerController powerController;
    PXICoolingControllerImpl coolingController;
    IsolationLinkRecord isolationLink;
    TemperatureSensorControllerImpl temperatureSensorController;
};

} // namespace kelvo_driver
