// The poller: waits for a register bit (or any value a getter returns) to
// change. It reads the value, tests it under a mask, and between reads waits
// an interval that starts small and doubles up to a ceiling, until the
// condition holds or a deadline passes. At the deadline a timeout handler
// decides the status, or the timeout code is set.
//
// The timeout type (tTimeout over a waster and a timebase) decides how the
// waits are spent: spinning or sleeping, on the precise or the efficient
// timebase. Intervals and timeouts are in microseconds. The poller holds no
// lock: the waiting site holds whatever protects the polled object.
#pragma once

#include <stdint.h>

#include "framework/timeout_handler.h"
#include "platform/status.h"
#include "platform/time.h"

namespace orut {

namespace internal {

template <typename Timeout> struct TimeoutTimebase;
template <typename TimeWaster, typename Timebase>
struct TimeoutTimebase<kelvo_driver::nVOAPAL000::tTimeout<TimeWaster, Timebase>> {
    using type = Timebase;
};

// Invariant: a deadline of timeoutMicroseconds is not below the timebase's resolution.
void checkTimeoutResolution(uint64_t timeoutMicroseconds, uint32_t timebaseUnit, uint64_t timebaseResolution);

// The masked value against the condition (0 any bit of the mask set, 1 all
// of them, 2 none, 3 equal to expected); another condition sets -52005 and
// answers false.
bool conditionHolds(uint64_t maskedValue, uint64_t mask, uint64_t expected, uint32_t condition,
                    nVOAPALS100::tStatus& status);

// The interval after a wait: twice the interval, at most the maximum.
inline uint64_t nextInterval(uint64_t interval, uint64_t maximum) {
    return interval > maximum / 2 ? maximum : interval * 2;
}

} // namespace internal

// Lets a getter without a status stand where the poller expects one that takes a status.
template <typename Object, typename Getter> class PollerStatusAdapter {
public:
    PollerStatusAdapter(Object& object, Getter getter) : object_(&object), getter_(getter) {}
    auto poll(nVOAPALS100::tStatus&) { return (object_->*getter_)(); }

private:
    Object* object_;
    Getter getter_;
};

template <typename TimeoutType, typename ValueType = uint32_t> class Poller {
public:
    enum PollCondition : uint32_t {
        kAnyBitSet = 0,  // any bit of the mask set
        kAllBitsSet = 1, // all bits of the mask set
        kNoBitSet = 2,   // no bit of the mask set
        kEqual = 3,      // the masked value equals the expected value
    };

    // maximumInterval 0: no waiting between reads at all. handler may be null.
    Poller(uint64_t initialInterval, uint64_t maximumInterval, int32_t timeoutCode,
           TimeoutHandlerInterface* handler = nullptr)
        : initialInterval_(initialInterval), maximumInterval_(maximumInterval), timeoutCode_(timeoutCode),
          handler_(handler) {}

    // Reads (object.*getter)(status) until (value & mask) meets the condition.
    // The getter returns a value or a bool (read as 0 or 1). The first read
    // happens at once. With useTimeout, the deadline is timeout microseconds
    // from now; whether it has passed is sampled before each read, so one
    // read made after the deadline still counts. At the deadline the handler
    // decides, or the timeout code is set; a getter that fails the status ends
    // the wait with its own error. Neither replaces an error already there.
    // Without useTimeout no timeout is ever reported.
    template <typename Object, typename Getter>
    void poll(Object& object, Getter getter, ValueType expected, ValueType mask, uint64_t timeout,
              bool useTimeout, PollCondition condition, nVOAPALS100::tStatus& status) const {
        if (status.isFatal()) {
            return;
        }
        TimeoutType deadline;
        if (useTimeout) {
            using Timebase = typename internal::TimeoutTimebase<TimeoutType>::type;
            internal::checkTimeoutResolution(timeout, Timebase::getUnit(), Timebase::getResolution());
            deadline.setTimeout(timeout, nVOAPAL200_kMicroseconds);
        }
        uint64_t interval = initialInterval_;
        for (;;) {
            const bool expired = useTimeout && deadline.hasExpired();
            const ValueType value = static_cast<ValueType>((object.*getter)(status));
            if (internal::conditionHolds(static_cast<uint64_t>(value & mask), mask, expected, condition,
                                         status)) {
                return;
            }
            if (expired || status.isFatal()) {
                break;
            }
            if (maximumInterval_ != 0) {
                TimeoutType wait(interval, nVOAPAL200_kMicroseconds);
                wait.waitForTimeout();
                interval = internal::nextInterval(interval, maximumInterval_);
            }
        }
        if (handler_ != nullptr) {
            handler_->handleTimeout(status);
        } else {
            KELVO_SET_STATUS(status, timeoutCode_);
        }
    }

    // Waits without a deadline until (value & mask) equals value; the getter
    // takes no status. A value that never arrives blocks the caller.
    template <typename Object, typename Getter>
    void waitForValueNoStatus(Object& object, Getter getter, ValueType value, ValueType mask,
                              nVOAPALS100::tStatus& status) const {
        PollerStatusAdapter<Object, Getter> adapter(object, getter);
        poll(adapter, &PollerStatusAdapter<Object, Getter>::poll, value, mask, 0, false, kEqual, status);
    }

    uint64_t getInitialInterval() const { return initialInterval_; }
    uint64_t getMaximumInterval() const { return maximumInterval_; }
    int32_t getTimeoutCode() const { return timeoutCode_; }
    TimeoutHandlerInterface* getTimeoutHandler() const { return handler_; }

private:
    uint64_t initialInterval_;
    uint64_t maximumInterval_;
    int32_t timeoutCode_;
    TimeoutHandlerInterface* handler_;
};

} // namespace orut
