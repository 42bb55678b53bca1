#include "regmaps/windowed_front_end_accessor.h"

namespace kelvo_driver {

template class TempWindowedFrontEndAccessor<kelvo_regmaps::tKelvoRegAccessRegMap,
                                            kelvo_regmaps::nKelvoRegAccessRegMap::RegAccessTypeEnum,
                                            kelvo_regmaps::nKelvoRegAccessRegMap::kRegAccessRead,
                                            kelvo_regmaps::nKelvoRegAccessRegMap::kRegAccessWrite>;

WindowedFrontEndAccessor::WindowedFrontEndAccessor(kelvo_regmaps::tKelvoRegAccessRegMap& map,
                                                   kdut::HardwareStateCheckerComposite* checks,
                                                   uint32_t* marks, nVOAPALS100::tStatus& status)
    : tKelvoWindowedFrontEndAccessorBase(map, checks, marks, status) {}

// Out of line: the virtual table lives here. tMutex's destructor destroys the kernel mutex.
WindowedFrontEndAccessor::~WindowedFrontEndAccessor() = default;

} // namespace kelvo_driver
