// A route programmer that writes each setting of an edge through a register
// map: the sub-topography number picks the map, the setting names a field of
// it and its value. Nothing in the driver builds one (the board's routes need
// no register settings, kelvo_topography.h).
#pragma once

#include <stdint.h>

#include "platform/status.h"
#include "platform/vohtl/vector.h"
#include "regs/dynamic_access.h"
#include "routing/routing_resources.h"

namespace orut {

class RegMapRouteProgrammer : public voark::RouteProgrammerInterface {
public:
    using RegMap = arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>;

    // The list of maps starts with map (not owned), for sub-topography 0;
    // -52000 when the list cannot be had. flag is the force flag of every
    // write: 1 writes the register even when its value is unchanged.
    RegMapRouteProgrammer(RegMap* map, uint8_t flag, nVOAPALS100::tStatus& status);
    ~RegMapRouteProgrammer() override = default;

    void begin(nVOAPALS100::tStatus&) override {}
    // When the status holds no error: the field of the sub-topography's map is
    // written with value; a number without a map is an invariant failure.
    void program(uint32_t subtopographyID, uint32_t fieldId, uint32_t value,
                 nVOAPALS100::tStatus& status) override;
    void end(nVOAPALS100::tStatus&) override {}

private:
    vohtl::Vector<RegMap*> maps_;
    uint8_t flag_;
};

} // namespace orut
