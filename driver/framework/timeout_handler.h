// What a poller does at its deadline when it has a handler: the handler
// decides the status.
#pragma once

#include <stdint.h>

#include "framework/hardware_state_checker.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace orut {

class TimeoutHandlerInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~TimeoutHandlerInterface() = default;
    virtual void handleTimeout(nVOAPALS100::tStatus& status) = 0;
};

} // namespace orut

namespace kdut {

// Reports a hardware fault in preference to the plain timeout: at the
// deadline it runs the checker, and only when the hardware is fine does it
// set its timeout code.
class CheckHardwareStateTimeoutHandler : public orut::TimeoutHandlerInterface {
public:
    CheckHardwareStateTimeoutHandler(HardwareStateCheckerInterface& checker, int32_t timeoutCode)
        : checker_(checker), timeoutCode_(timeoutCode) {}
    ~CheckHardwareStateTimeoutHandler() override {}

    void handleTimeout(nVOAPALS100::tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        checker_.checkHardwareState(status);
        if (status.isNotFatal()) {
            KELVO_SET_STATUS(status, timeoutCode_);
        }
    }

    int32_t getTimeoutCode() const { return timeoutCode_; }

private:
    HardwareStateCheckerInterface& checker_;
    int32_t timeoutCode_;
};

} // namespace kdut
