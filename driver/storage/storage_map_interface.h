// The storage-map interface as the registration tools see it: a map answers
// its version texts, which are read when it is registered with its
// dispatcher. The storage subsystem adds the map operations.
#pragma once

#include "platform/memory.h"

namespace storagemap {

class StorageMapInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~StorageMapInterface() = default;
    // Constant version texts; an empty version text marks the map as unversioned.
    virtual const char* getVersion() const = 0;
    virtual const char* getOldestCompatibleVersion() const = 0;
};

} // namespace storagemap
