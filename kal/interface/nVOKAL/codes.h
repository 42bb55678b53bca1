/* Kernel-layer interface: result codes.
 *
 * Every nVOKAL operation that can fail, and every callback the driver hands to
 * the kernel layer, answers with one of these 32-bit codes (nVOKAL_tStatus).
 * 0 is success; failures are negative. The driver turns them into its own
 * status codes with a fixed table (driver/platform/kal_status.h), and its own
 * codes back into these when a callback returns. The right column names the
 * driver code each one becomes on the way in.
 *
 * Codes not listed here are unknown to the driver and read as "unexpected
 * kernel-layer result" (-52008).
 */
#ifndef NVOKAL_CODES_H
#define NVOKAL_CODES_H

#include "nVOKAL/base.h"

enum {
    nVOKAL_kSuccess = 0,
    nVOKAL_kStatusFailure = -51000,           /* unspecified failure                        -> -52013 */
    nVOKAL_kStatusUnknown = -51001,           /* a callback's error the kernel layer has no  */
                                              /* name for (never returned by an operation)  */
    nVOKAL_kStatusInvalidParameter = -51009,  /* an argument is out of range or unknown     -> -52005 */
    nVOKAL_kStatusBadAddress = -51101,        /* memory not accessible: a user address the   */
                                              /* requester does not own, a range that wraps -> -52006 */
    nVOKAL_kStatusIncomplete = -51104,        /* the request stopped at a target before its end -> -52010 */
    nVOKAL_kStatusBusy = -51106,              /* the resource is in use                     -> -52031 */
    nVOKAL_kStatusValueTooLarge = -51150,     /* a value does not fit its destination       -> -52003 */
    nVOKAL_kStatusUnsupportedFormat = -51152, /* a record uses a format that is not supported -> -52018 */
    nVOKAL_kStatusUnexpected = -51202,        /* the operation failed in an unexpected way  -> -52008 */
    nVOKAL_kStatusNotImplemented = -51256,    /* the operation is not offered               -> -52002 */
    nVOKAL_kStatusInvalidState = -51300,      /* the object does not allow it in its state  -> -52020 */
    nVOKAL_kStatusOutOfMemory = -51352,       /* memory or a kernel object could not be had -> -52000 */
    nVOKAL_kStatusPageLockFailed = -51353,    /* user pages could not be locked             -> -52001 */
    nVOKAL_kStatusTimedOut = -51400,          /* a kernel wait ran out of time              -> -52007 */
    nVOKAL_kStatusAborted = -51401,           /* the request was aborted                    -> -52024 */
    nVOKAL_kStatusCancelled = -51405,         /* the request was cancelled                  -> -52023 */
    nVOKAL_kStatusBufferTooSmall = -51409,    /* a buffer is too small for the result       -> -52019 */
    nVOKAL_kStatusDriverTimedOut = -51550     /* a driver's own time-out, as its callbacks   */
                                              /* report it (-52007 on the way out); never    */
                                              /* returned by an operation (-52008 on the way in) */
};

#endif
