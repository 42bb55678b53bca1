// The flash's write-protect line: a digital output of the timing chip. Low
// asserts the flash's write-protect input. Each toggle (the soft copy and
// its flush) holds the map's tree lock.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "regmaps/tymo_do.h"

namespace tymotools {

class WriteProtectController : public kelvo_driver::nVOAPAL000::tObject {
public:
    // Keeps the map (not owned) and the line's bits; makes them outputs. A
    // register outside the map's window: -52006.
    WriteProtectController(tymo_regmaps::tDO& map, uint32_t mask, nVOAPALS100::tStatus& status);
    virtual ~WriteProtectController() = default;
    WriteProtectController(const WriteProtectController&) = delete;
    WriteProtectController& operator=(const WriteProtectController&) = delete;

    // Drives the line low: the flash is write-protected.
    virtual void enableWriteProtect(nVOAPALS100::tStatus& status);
    // Drives the line high.
    virtual void disableWriteProtect(nVOAPALS100::tStatus& status);

private:
    tymo_regmaps::tDO& map_;
    uint32_t mask_;
};

} // namespace tymotools
