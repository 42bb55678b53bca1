#include "framework/io_gate.h"

namespace kdut {

using kelvo_driver::nVOAPAL000::kWaitForever;
using nVOAPALS100::tStatus;

IOGate::IOGate(kelvo_driver::nVOAPAL000::tDeviceCore& device, kelvo_driver::nVOAPAL000::tSession* session)
    : device_(device), session_(session), entered_(false), sentryCount_(0), sentries_() {}

void IOGate::addSentry(IOGateSentryInterface* sentry, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (sentryCount_ == kMaxSentries) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    sentries_[sentryCount_++] = sentry;
}

void IOGate::enter(tStatus& status) {
    if (status.isFatal() || entered_) {
        return;
    }
    if (!device_.enterIOGate(session_, status, kWaitForever)) {
        return;
    }
    entered_ = true;
    for (uint32_t i = 0; i < sentryCount_; ++i) {
        sentries_[i]->onEnterIOGate(status);
    }
}

void IOGate::exit() {
    if (!entered_) {
        return;
    }
    entered_ = false;
    device_.exitIOGate(session_);
}

void InvalidatableSessionIOGateSentry::onEnterIOGate(tStatus& status) {
    if (status.isFatal() || session_ == nullptr) {
        return;
    }
    session_->checkValidity(status);
}

} // namespace kdut
