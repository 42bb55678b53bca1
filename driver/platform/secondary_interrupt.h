// Deferred procedure calls: the handler that owns one kernel DPC, and the
// redirector that routes the DPC to another object. A primary interrupt
// handler schedules it through its device (tDevice::scheduleSecondaryHandler);
// the kernel layer then runs handleInterrupt at DPC level.
#pragma once

#include "nVOKAL.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

class tSecondaryInterruptHandler : public tObject {
public:
    // Creates the kernel DPC; none: -52008.
    explicit tSecondaryInterruptHandler(nVOAPALS100::tStatus& status);
    // Destroys the DPC when one was created (waits for a running instance).
    virtual ~tSecondaryInterruptHandler();
    // Runs at DPC level.
    virtual void handleInterrupt() = 0;

    nVOKAL_tHandle getDPC() const { return dpc_; }
    // The kernel DPC's callback: context is the handler.
    static void _secondaryRedirect(void* context);

protected:
    // Destroys the DPC now, waiting for a running instance. A derived class
    // whose handleInterrupt uses its own members calls this first thing in its
    // destructor, so no run overlaps the destruction.
    void destroyDPC();

private:
    nVOKAL_tHandle dpc_;
};

// A DPC handler that routes its runs to another object: handleInterrupt
// calls the target's serviceInterrupts (at DPC level).
template <typename tTarget> class tSecondaryInterruptRedirector : public tSecondaryInterruptHandler {
public:
    tSecondaryInterruptRedirector(tTarget* target, nVOAPALS100::tStatus& status)
        : tSecondaryInterruptHandler(status), target_(target) {}
    // No run of the DPC outlives the redirector.
    ~tSecondaryInterruptRedirector() override { destroyDPC(); }

    void handleInterrupt() override { target_->serviceInterrupts(); }

    tTarget* target() const { return target_; }

private:
    tTarget* target_;
};

} // namespace kelvo_driver::nVOAPAL000
