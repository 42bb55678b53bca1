// The storage-map interface: a named, versioned region of a device window
// made of typed fields. The registration tools read its version texts when
// it is registered; user mode reaches it by name through its dispatcher and
// the raw operations below. The storage subsystem implements it.
//
// Every operation does nothing when the status already holds an error and
// then answers 0 or false.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace storagemap {

class StorageMapInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~StorageMapInterface() = default;
    // Constant version texts; an empty version text marks the map as unversioned.
    virtual const char* getVersion() const = 0;
    virtual const char* getOldestCompatibleVersion() const = 0;

    // Brings the checksum up to date (maps that have one), then writes the
    // whole map region to the device through the window.
    virtual void flush(bool force, nVOAPALS100::tStatus& status) = 0;
    // Reloads the whole map region from the device.
    virtual void refresh(nVOAPALS100::tStatus& status) = 0;
    // The field's element count and size; 0 for an unknown field (-240035).
    virtual uint64_t getElementCount(uint32_t fieldId, nVOAPALS100::tStatus& status) = 0;
    virtual uint64_t getElementSize(uint32_t fieldId, nVOAPALS100::tStatus& status) = 0;
    // count elements from element index, packed at elementSize bytes each in values.
    virtual void setRaw(uint32_t fieldId, uint64_t index, uint64_t count, const void* values,
                        uint64_t elementSize, nVOAPALS100::tStatus& status) = 0;
    virtual void getRaw(uint32_t fieldId, uint64_t index, uint64_t count, void* values, uint64_t elementSize,
                        nVOAPALS100::tStatus& status) = 0;
    // The checks of setRaw (write) or getRaw, in their order, for a caller
    // that has no buffer yet: a count of 0 stands for a null buffer.
    virtual void validateRaw(uint32_t fieldId, uint64_t index, uint64_t count, uint64_t elementSize,
                             bool write, nVOAPALS100::tStatus& status) = 0;
    // True when the stored checksum matches the CRC-32 of the rest of the map.
    virtual bool isChecksumValid(nVOAPALS100::tStatus& status) = 0;
};

} // namespace storagemap
