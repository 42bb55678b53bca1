// An abstract session that can be declared invalid: its check reports the
// code given at construction once the validity test fails.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace orut {

class InvalidatableSession : public kelvo_driver::nVOAPAL000::tObject {
public:
    explicit InvalidatableSession(uint32_t invalidCode) : invalidCode_(invalidCode) {}
    virtual ~InvalidatableSession() = default;

    // True while the session is valid.
    virtual bool isValid() const = 0;
    // When the status holds no error and the session is not valid, sets the code.
    void check(nVOAPALS100::tStatus& status) const;

    uint32_t getInvalidCode() const { return invalidCode_; }

private:
    uint32_t invalidCode_;
};

} // namespace orut
