// Sessions that a device teardown invalidates: each keeps a snapshot of the
// device's reset counter, which every reset, stop and power-down increments,
// and is valid while the two agree.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace kdut {

class InvalidatableSessionInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~InvalidatableSessionInterface() = default;
    virtual bool isValid() = 0;
    // Sets the session's invalid code when the status holds no error and the
    // session is no longer valid.
    virtual void checkValidity(nVOAPALS100::tStatus& status) = 0;
    // Makes the session valid again (no operation of the driver does).
    virtual void revalidate() = 0;
};

class ResetInvalidatableSession : public InvalidatableSessionInterface {
public:
    // Takes the snapshot now. resetCounter is the device's, read atomically.
    ResetInvalidatableSession(const uint32_t* resetCounter, int32_t invalidCode);
    ~ResetInvalidatableSession() override = default;
    ResetInvalidatableSession(const ResetInvalidatableSession&) = delete;
    ResetInvalidatableSession& operator=(const ResetInvalidatableSession&) = delete;

    bool isValid() override;
    void checkValidity(nVOAPALS100::tStatus& status) override;
    void revalidate() override;

    int32_t getInvalidCode() const { return invalidCode_; }

private:
    uint32_t readCounter() const;

    const uint32_t* resetCounter_;
    int32_t invalidCode_;
    uint32_t snapshot_;
};

} // namespace kdut
