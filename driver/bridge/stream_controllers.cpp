#include "bridge/stream_controllers.h"

namespace qeldma {

using nVOAPALS100::tStatus;

void StreamCreditController::start(tStatus& status) {
    if (status.isNotFatal()) {
        kdut::internal::MutexHolder hold(mutex_);
        const arm::tRegMapHold tree(control_->owner);
        control_->writeStartStreamStb(true, status, true);
    }
}

void StreamCreditController::stop(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    {
        const arm::tRegMapHold tree(control_->owner);
        control_->writeStopStreamStb(true, status, true);
    }
    // Each read under the tree's lock, the waits without it.
    struct Stopped {
        kelvo_regmaps::tKelvoNisoStreamControlRegMap::tNisoTxCreditStatusRegT* reg;
        bool read(tStatus& s) {
            const arm::tRegMapHold tree(reg->owner);
            return reg->readStreamStopped(s);
        }
    } stopped{status_};
    poller_.poll(stopped, &Stopped::read, 1, 1, kStopTimeoutMicroseconds, true,
                 orut::Poller<brixeltools::SpinTimeout>::kAllBitsSet, status);
}

} // namespace qeldma
