#include "platform/kal_status.h"

extern "C" nVOKAL_tStatus nVOAPAL200_statusToKALStatus(int64_t code) {
    switch (code) {
    case 0:
        return nVOKAL_kSuccess;
    case -52000:
        return nVOKAL_kStatusOutOfMemory;
    case -52001:
        return nVOKAL_kStatusPageLockFailed;
    case -52002:
        return nVOKAL_kStatusNotImplemented;
    case -52003:
        return nVOKAL_kStatusValueTooLarge;
    case -52005:
        return nVOKAL_kStatusInvalidParameter;
    case -52006:
        return nVOKAL_kStatusBadAddress;
    case -52007:
        return nVOKAL_kStatusDriverTimedOut;
    case -52008:
        return nVOKAL_kStatusUnexpected;
    case -52010:
        return nVOKAL_kStatusIncomplete;
    case -52013:
        return nVOKAL_kStatusFailure;
    case -52018:
        return nVOKAL_kStatusUnsupportedFormat;
    case -52019:
        return nVOKAL_kStatusBufferTooSmall;
    case -52020:
        return nVOKAL_kStatusInvalidState;
    case -52023:
        return nVOKAL_kStatusCancelled;
    case -52024:
        return nVOKAL_kStatusAborted;
    case -52031:
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
        return -52013;
    case nVOKAL_kStatusInvalidParameter:
        return -52005;
    case nVOKAL_kStatusBadAddress:
        return -52006;
    case nVOKAL_kStatusIncomplete:
        return -52010;
    case nVOKAL_kStatusBusy:
        return -52031;
    case nVOKAL_kStatusValueTooLarge:
        return -52003;
    case nVOKAL_kStatusUnsupportedFormat:
        return -52018;
    case nVOKAL_kStatusUnexpected:
        return -52008;
    case nVOKAL_kStatusNotImplemented:
        return -52002;
    case nVOKAL_kStatusInvalidState:
        return -52020;
    case nVOKAL_kStatusOutOfMemory:
        return -52000;
    case nVOKAL_kStatusPageLockFailed:
        return -52001;
    case nVOKAL_kStatusTimedOut:
        return -52007;
    case nVOKAL_kStatusAborted:
        return -52024;
    case nVOKAL_kStatusCancelled:
        return -52023;
    case nVOKAL_kStatusBufferTooSmall:
        return -52019;
    default:
        return -52008;
    }
}

extern "C" void nVOAPAL200_setStatusFromKALStatus(nVOKAL_tStatus kalStatus, nVOAPALS100_tStatus* status,
                                                  const char* fileName, uint64_t line) {
    if (kalStatus != nVOKAL_kSuccess) {
        nVOAPAL200_setStatus(status, nVOAPAL200_statusFromKALStatus(kalStatus), KELVO_COMPONENT, fileName,
                             line);
    }
}
