/* Kernel-layer interface: device interrupts.
 *
 * A driver reserves an interrupt number (the PCI record's interruptNumber:
 * its MSI vector once one was granted, else its line interrupt) with a
 * handler, a function and a context. When the interrupt arrives, the kernel
 * layer calls every handler reserved on that number at interrupt level; a
 * handler answers non-zero when its device raised the interrupt. Calls of
 * one interrupt number never overlap; a message-signalled interrupt that
 * arrives while its handlers run is delivered once more after they return
 * (several such arrivals count as one).
 */
#ifndef NVOKAL_INTERRUPT_H
#define NVOKAL_INTERRUPT_H

#include "nVOKAL/base.h"

/* Reservation flags. */
#define NVOKAL_INTERRUPT_SHARED 0x1u /* other handlers may be reserved on the same number */

typedef uint8_t (*nVOKAL_tInterruptHandler)(void* context);

NVOKAL_BEGIN_DECLS

/* Reserves interruptNumber for handler(context). name names the reserver
 * (the text is copied). Results: 0; nVOKAL_kStatusInvalidParameter for a null
 * handler or name; nVOKAL_kStatusBusy when the pair is reserved already, or
 * when the number has another handler and either reservation is not shared.
 * Thread level. The handler may run before this returns. */
nVOKAL_tStatus nVOKAL1400_reserveInterrupt(uint32_t interruptNumber, nVOKAL_tInterruptHandler handler,
                                           void* context, const char* name, uint32_t flags) NVOKAL_NOEXCEPT;
/* Releases a reservation (the same number, handler and context). When it
 * returns, the handler is not running and will not be called again for it.
 * Thread level; never from the handler itself. Releasing a pair that is not
 * reserved is a driver fault. */
void nVOKAL100_relinquishInterrupt(uint32_t interruptNumber, nVOKAL_tInterruptHandler handler,
                                   void* context) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
