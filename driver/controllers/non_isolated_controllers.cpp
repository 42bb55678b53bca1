#include "controllers/non_isolated_controllers.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

// ---- the isolation link ---------------------------------------------------------

IsolationLinkRecord::IsolationLinkRecord(kelvo_regmaps::tKelvoIsoCommRegMap* map)
    : config(map != nullptr ? &map->IsoCommConfig : nullptr),
      linkStatus(map != nullptr ? &map->IsoCommStatus : nullptr) {}

bool IsolationLinkRecord::present(tStatus& status) {
    if (config == nullptr || linkStatus == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return false;
    }
    return true;
}

void IsolationLinkRecord::command(uint8_t command, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint8_t linkCommand =
        command & (tStatusLayout::kIsoCommStatus >> tStatusLayout::kIsoCommStatusShift);
    if (present(status)) {
        config->writeLinkCommand(linkCommand, status, false);
    }
    const tPoller poller(kInitialIntervalMicroseconds, kMaximumIntervalMicroseconds,
                         static_cast<int32_t>(linkStateTimeoutCode));
    poller.poll(*this, &IsolationLinkRecord::readStatus, linkCommand, tStatusLayout::kIsoCommStatus,
                kTimeoutMicroseconds, true, tPoller::kEqual, status);
}

void IsolationLinkRecord::startDcBus(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (present(status)) {
        config->writeDcBusStartup(true, status, false);
    }
    const tPoller poller(kInitialIntervalMicroseconds, kMaximumIntervalMicroseconds,
                         static_cast<int32_t>(dcBusStartupTimeoutCode));
    poller.poll(*this, &IsolationLinkRecord::readStatus, tStatusLayout::kNisoDcBusStartupComplete,
                tStatusLayout::kNisoDcBusStartupComplete, kTimeoutMicroseconds, true, tPoller::kAllBitsSet,
                status);
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
