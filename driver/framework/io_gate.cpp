#include "framework/io_gate.h"

namespace kdut {

using kelvo_driver::nVOAPAL000::kWaitForever;
using nVOAPALS100::tStatus;

IOGate::IOGate(kelvo_driver::nVOAPAL000::tDeviceCore& device, kelvo_driver::nVOAPAL000::tSession* session)
    : device_(device), session_(session), entered_(false) {}

void IOGate::addSentry(IOGateSentryInterface* sentry, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    sentries_.pushBack(sentry, status);
}

void IOGate::enter(tStatus& status) {
    if (status.isFatal() || entered_) {
        return;
    }
    if (!device_.enterIOGate(session_, status, kWaitForever)) {
        return;
    }
    entered_ = true;
    for (IOGateSentryInterface* sentry : sentries_) {
        sentry->onEnterIOGate(status);
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
