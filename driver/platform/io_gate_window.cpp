// The I/O gate's window between an entrant's count and its second look at
// the gate: nothing happens there. Alone in its file, so that a test program
// can take its place.
#include "platform/device_core.h"

extern "C" void nVOAPAL200_ioGateCounted(kelvo_driver::nVOAPAL000::tDeviceCore*) {}
