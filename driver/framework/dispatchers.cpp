// The dispatchers of register maps, device windows and storage maps, built once here.
#include "framework/arm_dispatcher.h"
#include "framework/device_window.h"
#include "framework/dispatcher.h"
#include "framework/storage_map_interface.h"

template class voregitools::RegistrationWrapper<devicewindow::DeviceWindow>;
template class voregitools::DispatcherBase<voregitools::RegistrationWrapper<devicewindow::DeviceWindow>>;
template class voregitools::WrapperDispatcher<devicewindow::DeviceWindow>;
template class voregitools::Dispatcher<devicewindow::DeviceWindow>;

template class voregitools::RegistrationWrapper<storagemap::StorageMapInterface>;
template class voregitools::DispatcherBase<voregitools::RegistrationWrapper<storagemap::StorageMapInterface>>;
template class voregitools::WrapperDispatcher<storagemap::StorageMapInterface>;
template class voregitools::Dispatcher<storagemap::StorageMapInterface>;

template class voregitools::RegistrationWrapper<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>;
template class voregitools::DispatcherBase<
    voregitools::RegistrationWrapper<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>>;
template class voregitools::WrapperDispatcher<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>;
template class voregitools::Dispatcher<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>;
