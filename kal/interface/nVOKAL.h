/* Kernel-layer interface: every nVOKAL operation the driver may call.
 * The driver includes this header and nothing else of kal/. */
#ifndef NVOKAL_H
#define NVOKAL_H

#include "nVOKAL/base.h"
#include "nVOKAL/codes.h"
#include "nVOKAL/dma.h"
#include "nVOKAL/dpc.h"
#include "nVOKAL/interrupt.h"
#include "nVOKAL/memory.h"
#include "nVOKAL/pagelist.h"
#include "nVOKAL/pci.h"
#include "nVOKAL/print.h"
#include "nVOKAL/registration.h"
#include "nVOKAL/socket.h"
#include "nVOKAL/sync.h"
#include "nVOKAL/thread.h"
#include "nVOKAL/time.h"
#include "nVOKAL/usermem.h"

#endif
