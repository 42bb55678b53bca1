#include "controllers/temperature_sensor.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

TemperatureSensorControllerImpl::TemperatureSensorControllerImpl(NonIsolatedRegMapsWrapper& maps,
                                                                 kdut::HardwareStateCheckerInterface& checker,
                                                                 const corran_caps::ProductCaps& caps)
    : maps_(&maps), timeoutHandler_(checker, static_cast<int32_t>(kTemperatureReadingInvalid)),
      poller_(kInitialIntervalMicroseconds, kMaximumIntervalMicroseconds, 0, &timeoutHandler_),
      isSolstra_(corran_caps::isSolstraProduct(caps.subsystemID)) {}

namespace {

using tVrefRecord = kelvo_regmaps::tSolstraNisoBoardRegMap::tVrefTemperatureRegType;

// What the poller reads: the register, from the hardware.
struct VrefReader {
    tVrefRecord* record;
    uint32_t read(tStatus& status) { return record->readRegister(status); }
};

} // namespace

int16_t TemperatureSensorControllerImpl::readTemperature(tStatus& status) {
    if (status.isFatal() || !isSolstra_) {
        return 0;
    }
    kelvo_regmaps::tSolstraNisoTopRegMap* top = maps_->getSolstraRegMap();
    if (top == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return 0;
    }
    // A copy of the register's record takes the reads, so that requests on
    // several threads never share a soft copy; it is copied under the tree's
    // lock, and the poll's reads and waits run on the copy without it.
    tVrefRecord record{};
    {
        const arm::tRegMapHold hold(*top);
        record = top->Board.VrefTemperature;
    }
    VrefReader reader{&record};
    poller_.poll(reader, &VrefReader::read, 0,
                 kelvo_regmaps::layout::SolstraNisoBoardRegMap::VrefTemperature::kVrefTemperatureDataOob,
                 kDeadlineMicroseconds, true, tPoller::kEqual, status);
    if (status.isNotFatal()) {
        return static_cast<int16_t>(record.readVrefTemperatureData(status));
    }
    return static_cast<int16_t>(record.getVrefTemperatureData(status));
}

} // namespace kelvo_driver
