#include "platform/secondary_interrupt.h"

#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

tSecondaryInterruptHandler::tSecondaryInterruptHandler(nVOAPALS100::tStatus& status) : dpc_(nullptr) {
    dpc_ = nVOKAL100_createDPC(&tSecondaryInterruptHandler::_secondaryRedirect);
    if (dpc_ == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kUnexpectedKernelResult);
    }
}

tSecondaryInterruptHandler::~tSecondaryInterruptHandler() {
    destroyDPC();
}

void tSecondaryInterruptHandler::destroyDPC() {
    if (dpc_ != nullptr) {
        nVOKAL100_destroyDPC(dpc_);
        dpc_ = nullptr;
    }
}

void tSecondaryInterruptHandler::_secondaryRedirect(void* context) {
    VOSDBG_ASSERT(context != nullptr);
    static_cast<tSecondaryInterruptHandler*>(context)->handleInterrupt();
}

} // namespace kelvo_driver::nVOAPAL000
