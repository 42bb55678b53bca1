#include "framework/invalidatable_session.h"

namespace orut {

void InvalidatableSession::check(nVOAPALS100::tStatus& status) const {
    if (status.isFatal() || isValid()) {
        return;
    }
    // The 32-bit code is a status code of its own (0xBFFAxxxx codes are negative).
    nVOAPAL200_setStatus(&status, kelvoDriverCode(invalidCode_), KELVO_COMPONENT,
                         "session/InvalidatableSession", 24);
}

} // namespace orut
