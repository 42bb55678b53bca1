#include "controllers/non_isolated_controllers.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

// ---- the isolation link ---------------------------------------------------------

IsolationLinkRecord::IsolationLinkRecord(kelvo_regmaps::tKelvoIsoCommRegMap* map)
    : config(map != nullptr ? &map->IsoCommConfig : nullptr),
      linkStatus(map != nullptr ? &map->IsoCommStatus : nullptr) {}

void IsolationLinkRecord::write(uint32_t mask, uint32_t bits, tStatus& status) {
    if (config == nullptr || linkStatus == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return;
    }
    arm::insertIntoRecord(*config, mask, bits);
    if (config->dirty != 0) {
        config->flush(status, false);
    }
}

void IsolationLinkRecord::command(uint8_t command, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    write(kCommandMask, command & kCommandMask, status);
    const tPoller poller(kInitialIntervalMicroseconds, kMaximumIntervalMicroseconds,
                         static_cast<int32_t>(linkStateTimeoutCode));
    poller.poll(*this, &IsolationLinkRecord::readStatus, command & kCommandMask, kCommandMask,
                kTimeoutMicroseconds, true, tPoller::kEqual, status);
}

void IsolationLinkRecord::startDcBus(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    write(kDcBusStartupBit, kDcBusStartupBit, status);
    const tPoller poller(kInitialIntervalMicroseconds, kMaximumIntervalMicroseconds,
                         static_cast<int32_t>(dcBusStartupTimeoutCode));
    poller.poll(*this, &IsolationLinkRecord::readStatus, kDcBusStartupBit, kDcBusStartupBit,
                kTimeoutMicroseconds, true, tPoller::kAllBitsSet, status);
}

// ---- the controller set ----------------------------------------------------------

uint32_t NonIsolatedControllers::deviceLimitOf(const corran_caps::ProductCaps& caps) {
    return caps.powerAllocationLimitA.floorValue(kLimitKey);
}

NonIsolatedControllers::NonIsolatedControllers(NonIsolatedRegMapsWrapper& maps,
                                               kdut::HardwareStateCheckerInterface& checker,
                                               CoolingModeState* coolingState,
                                               const corran_caps::ProductCaps& caps, tStatus& status)
    : isSolstra(corran_caps::isSolstraProduct(caps.subsystemID)), checker(&checker),
      powerAllocationController(deviceLimitOf(caps), caps.channelCount, status),
      powerController(&powerAllocationController, &caps.powerAllocationLimitA,
                      maps.getTransformerControlRegMap(), PowerController::kSettingA,
                      PowerController::kSettingB),
      coolingController(caps.coolingWord, coolingState, &powerController, status),
      isolationLink(maps.getIsoCommRegMap()), temperatureSensorController(maps, checker, caps) {}

} // namespace kelvo_driver
