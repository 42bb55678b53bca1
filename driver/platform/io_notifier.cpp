#include "platform/io_notifier.h"

#include "platform/kal_status.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

tIONotifier::tIONotifier() : cookie_(0), buffer_(nullptr), destination_(0) {}

tIONotifier::~tIONotifier() {
    VOSDBG_ASSERT_MSG(!isOpen(), "an I/O notifier must be closed before it is destroyed");
}

void tIONotifier::open(const tIONotifierParams& params, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT(!isOpen());
    nVOKAL_tHandle buffer = nVOKAL250_createKernelSocketBuffer(kMessageSize);
    if (buffer == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
        return;
    }
    buffer_ = buffer;
    cookie_ = params.cookie;
    destination_ = params.destination;
}

void tIONotifier::close() {
    if (!isOpen()) {
        return;
    }
    tIONotifierMessage message;
    nVOKAL240_memSet(&message, 0, sizeof(message));
    message.cookie = cookie_;
    message.payloadSize = 0;
    if (nVOKAL250_kernelSocketSend(buffer_, destination_, kTypeClose, &message, kMessageSize) !=
        nVOKAL_kSuccess) {
        // The buffer is still ours when the send failed.
        nVOKAL250_releaseKernelSocketBuffer(buffer_);
    }
    cookie_ = 0;
    buffer_ = nullptr;
    destination_ = 0;
}

void tIONotifier::notify(const void* payload, uint32_t size, nVOAPALS100::tStatus& status) {
    if (size > kMaxPayloadSize) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return;
    }
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT(isOpen());
    VOSDBG_ASSERT(payload != nullptr || size == 0);
    nVOKAL_tHandle buffer = nVOKAL250_createKernelSocketBuffer(kMessageSize);
    if (buffer == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
        return;
    }
    tIONotifierMessage message;
    nVOKAL240_memSet(&message, 0, sizeof(message));
    message.cookie = cookie_;
    message.payloadSize = size;
    if (size != 0) {
        nVOKAL180_memCpy(message.payload, payload, size);
    }
    const nVOKAL_tStatus result =
        nVOKAL250_kernelSocketSend(buffer, destination_, kTypeNotify, &message, kMessageSize);
    KELVO_SET_STATUS_FROM_KAL(status, result);
    if (result != nVOKAL_kSuccess) {
        // A failed send leaves the buffer with us.
        nVOKAL250_releaseKernelSocketBuffer(buffer);
    }
}

} // namespace kelvo_driver::nVOAPAL000
