#include "bridge/stream_controllers.h"

namespace qeldma {

using nVOAPALS100::tStatus;

void StreamCreditController::start(tStatus& status) {
    if (status.isNotFatal()) {
        kdut::internal::MutexHolder hold(mutex_);
        control_->writeStartStreamStb(true, status, true);
    }
}

void StreamCreditController::stop(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    control_->writeStopStreamStb(true, status, true);
    poller_.poll(
        *status_, &kelvo_regmaps::tKelvoNisoStreamControlRegMap::tNisoTxCreditStatusRegT::readStreamStopped,
        1, 1, kStopTimeoutMicroseconds, true, orut::Poller<brixeltools::SpinTimeout>::kAllBitsSet, status);
}

} // namespace qeldma
