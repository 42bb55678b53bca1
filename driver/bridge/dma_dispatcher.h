// The DMA dispatcher: the one entry through which the I/O controls reach the
// DMA streams of a device. It turns a stream index into that stream's
// controllers, calls them in a fixed order and keeps the calling session's
// cleanup list in step: what a session starts is registered with it, what it
// stops is removed again, so closing a session stops its streams and resets
// their FIFOs. It takes no lock (the controllers serialise themselves).
//
// Every operation takes the status last, does nothing on a fatal status and
// first checks the stream index (-52005 at or above the stream count).
#pragma once

#include <stdint.h>

#include "bridge/dma_controllers.h"
#include "framework/cleanup_operation.h"
#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace qeldma {

class DMADispatcher : public kelvo_driver::nVOAPAL000::tObject {
public:
    DMADispatcher(kelvo_driver::BrixelDMAControllers* provider, uint32_t streamCount)
        : provider_(provider), streamCount_(streamCount) {}

    // Registers the FIFO reset, commits the lists, starts the stream (then
    // registers its stop) and the credits (then registers their stop). No
    // transfers: -52005 after the FIFO registration.
    void startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                  nVOAPALS100::tStatus& status);
    // Credits (and their removal), the stream's stop (and removal), the FIFO
    // reset (and removal); a removal that finds nothing is -52006, and every
    // hardware step still runs.
    void stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // size 0: -52019; kind above 1: -52005. The first transfer into an empty
    // list registers the SGL controller's cleanup.
    void addTransfer(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint32_t stream, uint32_t kind,
                     uint64_t address, uint64_t size, uint32_t direction, uint32_t value,
                     kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    void writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count, nVOAPALS100::tStatus& status);
    // 0 on an error.
    uint64_t getTransferCount(uint32_t stream, nVOAPALS100::tStatus& status);
    void clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // Stops the credits (removing their cleanup), then resets the FIFO.
    void clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                              nVOAPALS100::tStatus& status);
    // Starts the credits when the stream has them and registers their stop.
    void startStreamCredit(uint32_t stream, kdut::CleanupOperationComposite& list,
                           nVOAPALS100::tStatus& status);

    bool checkStreamIndex(uint32_t stream, nVOAPALS100::tStatus& status) const;

private:
    kelvo_driver::BrixelDMAControllers* provider_;
    uint32_t streamCount_;
};

} // namespace qeldma
