/* Kernel-layer interface: kernel socket buffers and sends (messages from the
 * driver to a user process). */
#ifndef NVOKAL_SOCKET_H
#define NVOKAL_SOCKET_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* Makes a buffer for one message of up to size bytes; null when none can be
 * had. The buffer belongs to the caller until a send succeeds. */
nVOKAL_tHandle nVOKAL250_createKernelSocketBuffer(uint32_t size) NVOKAL_NOEXCEPT;
/* Gives back a buffer that was not sent (null is ignored). */
void nVOKAL250_releaseKernelSocketBuffer(nVOKAL_tHandle buffer) NVOKAL_NOEXCEPT;
/* Sends size bytes at message, with the message type, to the receiver
 * destination, using buffer. On success the kernel layer owns the buffer
 * (the caller must not touch or release it again); on failure it stays the
 * caller's. A message larger than the buffer is nVOKAL_kStatusInvalidParameter. */
nVOKAL_tStatus nVOKAL250_kernelSocketSend(nVOKAL_tHandle buffer, uint32_t destination, uint32_t type,
                                          const void* message, uint32_t size) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
