#include "core/reg_maps_task.h"

#include "core/kelvo_helper.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

SetupTask* NonIsolatedRegMapsTask::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    VOSDBG_ASSERT_MSG(helper.isBuilt(1), "ASSERT(regiDispatcherPtr != nullptr)");
    auto& tymo = helper.getTaskAs<TYMOObjectsInterface>();
    return new (status, false) NonIsolatedRegMapsTask(tymo.getMappedWindow(), helper.getRegiDispatchers(),
                                                      helper.getCapsTask(), status);
}

} // namespace kelvo_driver
