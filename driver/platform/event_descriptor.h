// The per-open context of a request.
#pragma once

#include <stdint.h>

namespace kelvo_driver::nVOAPAL000 {

// One 64-bit word: the session pointer for close, read, write, I/O control and
// memory map (for unmap, the session kept in the user memory map); 0 for
// requests that belong to no open handle (open itself, add device, remove
// device, the PCI device's initialisation). Every device operation takes it
// by reference first.
using tEventDescriptor = uint64_t;

} // namespace kelvo_driver::nVOAPAL000
