// Programs routes by writing fields of register maps: one map per
// sub-topography number, and one flag handed to every write.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/vector.h"
#include "platform/vosdbg.h"

namespace orut {

// RegMap is the by-id face of a register map: set(u32 field, u64 value,
// tStatus&, u32 extra). The programmer's flag travels in the extra word.
template <typename RegMap> class RegMapRouteProgrammer : public kelvo_driver::nVOAPAL000::tObject {
public:
    // The list starts with map as sub-topography 0 (-52000 when it cannot be allocated).
    RegMapRouteProgrammer(RegMap& map, uint8_t flag, nVOAPALS100::tStatus& status) : flag_(flag) {
        maps_.pushBack(&map, status);
    }
    virtual ~RegMapRouteProgrammer() = default;

    // Writes value to field of the sub-topography's map. The number must name
    // a map of the list (an invariant).
    virtual void program(uint32_t subTopography, uint32_t field, uint32_t value, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        const size_t count = maps_.size();
        const bool countFits = count <= UINT32_MAX;
        VOSDBG_ASSERT(countFits);
        const bool listed = subTopography < count;
        VOSDBG_ASSERT(listed);
        RegMap* map = countFits && listed ? maps_[subTopography] : nullptr;
        VOSDBG_ASSERT(map != nullptr);
        if (map == nullptr) {
            return;
        }
        map->set(field, value, status, flag_);
    }

    size_t getMapCount() const { return maps_.size(); }

private:
    vohtl::Vector<RegMap*> maps_;
    uint8_t flag_;
};

} // namespace orut
