// The dispatcher of storage maps by name, with the map operations that user
// mode reaches by name (the operations are in storage/storage_map_dispatcher.cpp).
// It outlives every map registered in it.
//
// Each operation takes the caller's event descriptor and the map's name as a
// user address and a length (name, "_Ver" and a version text), looks the map
// up and holds the map's registration mutex for the whole operation, so that
// a flush never meets a half-applied set and the driver's own readers (which
// take the same mutex) never see one either. The one exception: the zeros a
// refused raw read hands back are written after the mutex is released.
#pragma once

#include <stdint.h>

#include "framework/dispatcher.h"
#include "storage/storage_map_interface.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace storagemap {

// A count or size answered when the name lookup fails.
constexpr uint64_t kLookupFailed = 0xFFFFFFFF;

class StorageMapDispatcher : public voregitools::Dispatcher<StorageMapInterface> {
public:
    StorageMapDispatcher() = default;
    ~StorageMapDispatcher() override {}

    void flush(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
               uint64_t nameLength, bool force, nVOAPALS100::tStatus& status);
    void refresh(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                 uint64_t nameLength, nVOAPALS100::tStatus& status);
    // kLookupFailed when the lookup fails; 0 for an unknown field.
    uint64_t getElementCount(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                             uint64_t nameLength, uint32_t fieldId, nVOAPALS100::tStatus& status);
    uint64_t getElementSize(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                            uint64_t nameLength, uint32_t fieldId, nVOAPALS100::tStatus& status);
    // count elements of elementSize bytes between the map and the user
    // buffer. Everything is checked before anything is allocated: element
    // size 0 or a byte count beyond 64 bits -240015, then the lookup, then
    // the map's own checks (unknown field, count 0 as -240031, range,
    // element size, and for setRaw the checksum field). Past the lookup,
    // getRaw writes count x element size bytes to the user buffer whatever
    // the map's read left there, zeros where it read nothing (a read the map
    // refuses or fails too), unless its kernel buffer cannot be had; the
    // map's code comes first, the copy's after it. A refused read's zeros
    // (up to 4 GiB, a page per copy) are written once the map's mutex is
    // released, so they hold up no other reader of the map.
    void setRaw(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                uint64_t nameLength, uint32_t fieldId, uint64_t index, uint64_t count, uint64_t userBuffer,
                uint64_t elementSize, nVOAPALS100::tStatus& status);
    void getRaw(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                uint64_t nameLength, uint32_t fieldId, uint64_t index, uint64_t count, uint64_t userBuffer,
                uint64_t elementSize, nVOAPALS100::tStatus& status);
    // False when the lookup fails.
    bool isChecksumValid(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                         uint64_t nameLength, nVOAPALS100::tStatus& status);

private:
    void raw(bool write, const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
             uint64_t nameLength, uint32_t fieldId, uint64_t index, uint64_t count, uint64_t userBuffer,
             uint64_t elementSize, nVOAPALS100::tStatus& status);
};

} // namespace storagemap
