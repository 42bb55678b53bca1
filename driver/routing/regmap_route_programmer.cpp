#include "routing/regmap_route_programmer.h"

#include "platform/vosdbg.h"

namespace orut {

RegMapRouteProgrammer::RegMapRouteProgrammer(RegMap* map, uint8_t flag, nVOAPALS100::tStatus& status)
    : flag_(flag) {
    maps_.pushBack(map, status);
}

void RegMapRouteProgrammer::program(uint32_t subtopographyID, uint32_t fieldId, uint32_t value,
                                    nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (subtopographyID >= maps_.size() || maps_[subtopographyID] == nullptr) {
        VOSDBG_ASSERT_MSG(false, "no register map for the sub-topography");
        return;
    }
    maps_[subtopographyID]->write(fieldId, value, flag_ != 0, status, 0);
}

} // namespace orut
