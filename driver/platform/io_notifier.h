// A kernel-to-user notification channel over a kernel socket.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "nVOKAL.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

// What user space hands in when it opens a notifier.
struct tIONotifierParams {
    uint64_t cookie;
    uint32_t destination; // the receiver of the socket sends
};

// One message on the socket, always 48 bytes, little-endian.
struct tIONotifierMessage {
    uint64_t cookie;
    uint32_t payloadSize; // 0 in the closing message
    uint8_t payload[36];  // the first payloadSize bytes carry the data; the rest are 0
};
static_assert(sizeof(tIONotifierMessage) == 48);
static_assert(offsetof(tIONotifierMessage, payloadSize) == 8);
static_assert(offsetof(tIONotifierMessage, payload) == 12);

// Closed from construction; open from open until close. Callers serialise
// (the owner's lock); a notifier must be closed before it is destroyed.
class tIONotifier : public tObject {
public:
    static constexpr uint32_t kMessageSize = sizeof(tIONotifierMessage);
    static constexpr uint32_t kMaxPayloadSize = 32;
    static constexpr uint32_t kTypeNotify = 1;
    static constexpr uint32_t kTypeClose = 2;

    tIONotifier();

    // Requires a closed notifier. Makes the socket buffer that the closing
    // message will use (none: -52000, the notifier stays closed), then keeps
    // cookie and destination. Nothing on a fatal status.
    virtual void open(const tIONotifierParams& params, nVOAPALS100::tStatus& status);
    // When open: sends the closing message {cookie, size 0} on the buffer kept
    // since open, then forgets cookie, buffer and destination. Closed: nothing.
    virtual void close();
    virtual ~tIONotifier();
    // Sends one message {cookie, size, payload}. A size above 32 is -52005 and
    // sends nothing. Nothing on a fatal status; otherwise the notifier must be
    // open. No socket buffer: -52000; a failed send: its platform code.
    // payload may be null only with size 0.
    virtual void notify(const void* payload, uint32_t size, nVOAPALS100::tStatus& status);

    bool isOpen() const { return buffer_ != nullptr; }

private:
    uint64_t cookie_;
    nVOKAL_tHandle buffer_;
    uint32_t destination_;
};

} // namespace kelvo_driver::nVOAPAL000
