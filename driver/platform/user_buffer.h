// A user-space buffer that arrives with a read, write or I/O-control request.
#pragma once

#include <stdint.h>

#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

// A view {user address, size}. Copies go through the kernel layer, which
// refuses memory the requester does not own. Callers keep every copy inside
// the view (offset + size <= getSize(), without overflow): an invariant.
class tUserBuffer : public tObject {
public:
    tUserBuffer(const tEventDescriptor& context, uint64_t userAddress, uint64_t size);
    ~tUserBuffer() {}

    // Copies size bytes from the user buffer at offset to destination.
    // Nothing on a fatal status. A size above 0xFFFFFFFF (more than one kernel
    // copy moves) is -52003 and copies nothing; a range whose user address
    // would wrap past the top of the address space is -52006; a kernel-layer
    // failure becomes its platform code.
    void read(uint64_t offset, void* destination, uint64_t size, nVOAPALS100::tStatus& status) const;
    // Copies size bytes from source to the user buffer at offset; as read.
    void write(uint64_t offset, const void* source, uint64_t size, nVOAPALS100::tStatus& status) const;

    uint64_t getSize() const { return size_; }
    uint64_t getAddress() const { return address_; }

private:
    // Checks a copy of [offset, offset + size): the invariants, then size and
    // address; false (status set when needed) when the copy must not go ahead.
    bool checkCopy(uint64_t offset, uint64_t size, nVOAPALS100::tStatus& status) const;

    uint64_t address_;
    uint64_t size_;
};

} // namespace kelvo_driver::nVOAPAL000
