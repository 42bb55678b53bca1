#include "bridge/write_protect_controller.h"

#include "regs/sized_register_map.h"

namespace tymotools {

using nVOAPALS100::tStatus;

WriteProtectController::WriteProtectController(tymo_regmaps::tDO& map, uint32_t mask, tStatus& status)
    : map_(map), mask_(mask) {
    if (status.isFatal()) {
        return;
    }
    const arm::tRegMapHold tree(map_);
    arm::insertIntoSizedRecord(map_.DIO_Direction_Register, mask_, mask_);
    map_.DIO_Direction_Register.flush(status, false);
}

void WriteProtectController::enableWriteProtect(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const arm::tRegMapHold tree(map_);
    arm::insertIntoSizedRecord(map_.Static_Digital_Output_Register, mask_, 0);
    map_.Static_Digital_Output_Register.flush(status, false);
}

void WriteProtectController::disableWriteProtect(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const arm::tRegMapHold tree(map_);
    arm::insertIntoSizedRecord(map_.Static_Digital_Output_Register, mask_, mask_);
    map_.Static_Digital_Output_Register.flush(status, false);
}

} // namespace tymotools
