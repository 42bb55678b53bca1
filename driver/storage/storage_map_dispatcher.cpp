// The storage-map dispatcher's templates, built once here.
#include "storage/storage_map_dispatcher.h"

template class voregitools::RegistrationWrapper<storagemap::StorageMapInterface>;
template class voregitools::DispatcherBase<voregitools::RegistrationWrapper<storagemap::StorageMapInterface>>;
template class voregitools::WrapperDispatcher<storagemap::StorageMapInterface>;
template class voregitools::Dispatcher<storagemap::StorageMapInterface>;
