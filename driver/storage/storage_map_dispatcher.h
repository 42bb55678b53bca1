// The dispatcher of storage maps by name. Its by-name operations on the maps
// come with the storage subsystem; it outlives every map registered in it.
#pragma once

#include "framework/dispatcher.h"
#include "storage/storage_map_interface.h"

namespace storagemap {

class StorageMapDispatcher : public voregitools::Dispatcher<StorageMapInterface> {
public:
    StorageMapDispatcher() = default;
    ~StorageMapDispatcher() override {}
};

} // namespace storagemap
