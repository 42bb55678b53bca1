// The register-map dispatcher's templates, built once here.
#include "regs/arm_dispatcher.h"

template class voregitools::RegistrationWrapper<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>;
template class voregitools::DispatcherBase<
    voregitools::RegistrationWrapper<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>>;
template class voregitools::WrapperDispatcher<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>;
template class voregitools::Dispatcher<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>>;
