// The memory-accessor interface through which a memory window moves bytes
// between its soft copy and a register space. The FPGA window adapters
// (regs/front_end_accessors.h) implement it.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace devicewindow {

class MemoryAccessorInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~MemoryAccessorInterface() = default;
    // Hooks around a run of hardware reads or writes.
    virtual void beginRead(nVOAPALS100::tStatus& status) = 0;
    virtual void beginWrite(nVOAPALS100::tStatus& status) = 0;
    virtual void endRead(nVOAPALS100::tStatus& status) = 0;
    virtual void endWrite(nVOAPALS100::tStatus& status) = 0;
    // Moves sizeInBytes bytes at offsetInBytes of the space into destination.
    // Nothing when the status holds an error; destination is only written on success.
    virtual void read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
                      nVOAPALS100::tStatus& status) = 0;
    // Moves sizeInBytes bytes from source to offsetInBytes of the space.
    virtual void write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
                       nVOAPALS100::tStatus& status) = 0;
    // Bytes of the space.
    virtual uint64_t getSizeInBytes() const = 0;
};

} // namespace devicewindow
