#include "framework/reset_invalidatable_session.h"

namespace kdut {

ResetInvalidatableSession::ResetInvalidatableSession(const uint32_t* resetCounter, int32_t invalidCode)
    : resetCounter_(resetCounter), invalidCode_(invalidCode), snapshot_(0) {
    snapshot_ = readCounter();
}

uint32_t ResetInvalidatableSession::readCounter() const {
    return __atomic_load_n(resetCounter_, __ATOMIC_SEQ_CST);
}

bool ResetInvalidatableSession::isValid() {
    return readCounter() == snapshot_;
}

void ResetInvalidatableSession::checkValidity(nVOAPALS100::tStatus& status) {
    if (status.isFatal() || isValid()) {
        return;
    }
    KELVO_SET_STATUS(status, invalidCode_);
}

void ResetInvalidatableSession::revalidate() {
    snapshot_ = readCounter();
}

} // namespace kdut
