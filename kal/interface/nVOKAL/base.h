/* Kernel-layer interface: common types.
 *
 * The driver reaches the kernel only through the nVOKAL operations declared
 * under this folder. In a kernel build they come from the kernel layer; in
 * this project they come from the user-space stand-in (kal/standin).
 * Everything here is plain C so that both sides agree on the ABI.
 */
#ifndef NVOKAL_BASE_H
#define NVOKAL_BASE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define NVOKAL_EXTERN_C extern "C"
#define NVOKAL_BEGIN_DECLS extern "C" {
#define NVOKAL_END_DECLS }
#define NVOKAL_NOEXCEPT noexcept
#else
#define NVOKAL_EXTERN_C
#define NVOKAL_BEGIN_DECLS
#define NVOKAL_END_DECLS
#define NVOKAL_NOEXCEPT
#endif

/* Kernel-layer status codes (results of nVOKAL operations and of the
 * callbacks the driver hands to the kernel layer). 0 is success. */
typedef int32_t nVOKAL_tStatus;

/* An opaque handle of a kernel object (mutex, spin lock, thread, DPC, ...). */
typedef void* nVOKAL_tHandle;

#endif
