#include "platform/kal_status.h"

extern "C" nVOKAL_tStatus nVOAPAL200_statusToKALStatus(int64_t code) {
    switch (code) {
    case 0:
        return nVOKAL_kSuccess;
    case KELVO_STATUS_OUT_OF_MEMORY:
        return nVOKAL_kStatusOutOfMemory;
    case KELVO_STATUS_PAGE_LOCK_FAILED:
        return nVOKAL_kStatusPageLockFailed;
    case KELVO_STATUS_NOT_IMPLEMENTED:
        return nVOKAL_kStatusNotImplemented;
    case KELVO_STATUS_UNSUPPORTED_VALUE:
        return nVOKAL_kStatusValueTooLarge;
    case KELVO_STATUS_INVALID_PARAMETER:
        return nVOKAL_kStatusInvalidParameter;
    case KELVO_STATUS_NOT_ACCESSIBLE:
        return nVOKAL_kStatusBadAddress;
    case KELVO_STATUS_TIMED_OUT:
        return nVOKAL_kStatusDriverTimedOut;
    case KELVO_STATUS_UNEXPECTED_KERNEL_RESULT:
        return nVOKAL_kStatusUnexpected;
    case KELVO_STATUS_SETUP_TARGET_REACHED:
        return nVOKAL_kStatusIncomplete;
    case KELVO_STATUS_KERNEL_FAILURE:
        return nVOKAL_kStatusFailure;
    case KELVO_STATUS_UNSUPPORTED_FORMAT:
        return nVOKAL_kStatusUnsupportedFormat;
    case KELVO_STATUS_BUFFER_TOO_SMALL:
        return nVOKAL_kStatusBufferTooSmall;
    case KELVO_STATUS_INVALID_STATE:
        return nVOKAL_kStatusInvalidState;
    case KELVO_STATUS_CANCELLED:
        return nVOKAL_kStatusCancelled;
    case KELVO_STATUS_ABORTED:
        return nVOKAL_kStatusAborted;
    case KELVO_STATUS_BUSY:
        return nVOKAL_kStatusBusy;
    default:
        return nVOKAL_kStatusUnknown;
    }
}

extern "C" int64_t nVOAPAL200_statusFromKALStatus(nVOKAL_tStatus kalStatus) {
    switch (kalStatus) {
    case nVOKAL_kSuccess:
        return 0;
    case nVOKAL_kStatusFailure:
        return KELVO_STATUS_KERNEL_FAILURE;
    case nVOKAL_kStatusInvalidParameter:
        return KELVO_STATUS_INVALID_PARAMETER;
    case nVOKAL_kStatusBadAddress:
        return KELVO_STATUS_NOT_ACCESSIBLE;
    case nVOKAL_kStatusIncomplete:
        return KELVO_STATUS_SETUP_TARGET_REACHED;
    case nVOKAL_kStatusBusy:
        return KELVO_STATUS_BUSY;
    case nVOKAL_kStatusValueTooLarge:
        return KELVO_STATUS_UNSUPPORTED_VALUE;
    case nVOKAL_kStatusUnsupportedFormat:
        return KELVO_STATUS_UNSUPPORTED_FORMAT;
    case nVOKAL_kStatusUnexpected:
        return KELVO_STATUS_UNEXPECTED_KERNEL_RESULT;
    case nVOKAL_kStatusNotImplemented:
        return KELVO_STATUS_NOT_IMPLEMENTED;
    case nVOKAL_kStatusInvalidState:
        return KELVO_STATUS_INVALID_STATE;
    case nVOKAL_kStatusOutOfMemory:
        return KELVO_STATUS_OUT_OF_MEMORY;
    case nVOKAL_kStatusPageLockFailed:
        return KELVO_STATUS_PAGE_LOCK_FAILED;
    case nVOKAL_kStatusTimedOut:
        return KELVO_STATUS_TIMED_OUT;
    case nVOKAL_kStatusAborted:
        return KELVO_STATUS_ABORTED;
    case nVOKAL_kStatusCancelled:
        return KELVO_STATUS_CANCELLED;
    case nVOKAL_kStatusBufferTooSmall:
        return KELVO_STATUS_BUFFER_TOO_SMALL;
    default:
        return KELVO_STATUS_UNEXPECTED_KERNEL_RESULT;
    }
}

extern "C" void nVOAPAL200_setStatusFromKALStatus(nVOKAL_tStatus kalStatus, nVOAPALS100_tStatus* status,
                                                  const char* fileName, uint64_t line) {
    if (kalStatus != nVOKAL_kSuccess) {
        nVOAPAL200_setStatus(status, nVOAPAL200_statusFromKALStatus(kalStatus), KELVO_COMPONENT, fileName,
                             line);
    }
}
