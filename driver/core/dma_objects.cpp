#include "core/dma_objects.h"

#include "core/kelvo_helper.h"
#include "core/setup_tasks.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

SetupTask* DMAObjects::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    auto& tymo = helper.getTaskAs<TYMOObjectsInterface>();
    auto& niso = helper.getTaskAs<NonIsolatedRegMapsTaskInterface>();
    DMAObjects* task = new (status, false) DMAObjects();
    if (task != nullptr) {
        VOSDBG_ASSERT_MSG(inputs.device != nullptr, "ASSERT(devicePtr != nullptr)");
        task->setup(*inputs.device, &tymo.getTYMORegMaps(), &niso.getNonIsolatedRegMaps(),
                    helper.getCapsTask().capsPtr, inputs.reservations, status);
    }
    return task;
}

void DMAObjects::setup(nVOAPAL000::tPCIDevice& device, TYMORegMaps* tymo, NonIsolatedRegMaps* niso,
                       const corran_caps::ProductCaps* caps, kdut::ResourceReservationManager* reservations,
                       tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT(tymo != nullptr && niso != nullptr);
    if (tymo == nullptr || niso == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    qeldma::configureDMA(tymo->brixelRegMap, device, status);
    if (status.isFatal()) {
        return;
    }
    controllers_.reset(new (status, false) BrixelDMAControllers(device, *tymo, *niso, caps, status));
    if (status.isNotFatal()) {
        dispatcher_.reset(new (status, false) qeldma::DMADispatcher(controllers_.get(), kNumberOfStreams,
                                                                    status, reservations));
    }
}

qeldma::DMADispatcher& DMAObjects::getDMADispatcher() {
    VOSDBG_ASSERT(dispatcher_ != nullptr);
    return *dispatcher_;
}

void DMAObjects::signalWait(uint32_t channel, int32_t code) {
    if (controllers_ != nullptr) {
        controllers_->getDMAInterruptController().signal(channel, code);
    }
}

} // namespace kelvo_driver
