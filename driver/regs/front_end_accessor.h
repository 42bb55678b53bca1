// The one bus interface beneath every kelvo register map: a 32-bit write and
// a 32-bit read at a byte offset of the accessor's address space.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace voquantasharedsource {

// Every implementation touches no hardware when the status already holds an
// error on entry; read32 then returns 0xFFFFFFFF. Implementations: mapped PCI
// memory, the windowed access over the isolation link, the device-window adapters.
class FrontEndAccessorInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~FrontEndAccessorInterface() = default;
    // Writes one 32-bit register at byte offset `offset`.
    virtual void write32(uint32_t offset, uint32_t value, nVOAPALS100::tStatus& status) = 0;
    // Reads one 32-bit register at byte offset `offset`.
    virtual uint32_t read32(uint32_t offset, nVOAPALS100::tStatus& status) = 0;
};

} // namespace voquantasharedsource
