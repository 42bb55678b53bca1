// The DMA operations: the eight stream operations go to the device's DMA
// dispatcher (level 14) with the session's cleanup list, so that what a
// session leaves running or added is undone when it closes; while another
// session holds the reservation of the DMA channel's physical channel they
// are refused (0xBFFA4319) before the dispatcher is called. The wait and its
// cancel check the DMA channel against the session's reservation first (DMA
// channels 0 and 1 belong to physical channel 0; a DMA channel of 2 or more
// is 0xBFFA4303, checked before the shift). Also the reload of the
// calibration values (level 19), whose mask is checked the same way.
#pragma once

#include <stdint.h>

#include "bridge/dma_dispatcher.h"
#include "core/ioctl/channel_checks.h"
#include "core/ioctl/code_table.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

namespace dma {

// The dispatcher and the session's cleanup list, or null (-52003: the level
// guarantees both, so their absence is a broken invariant, not followed).
template <class Access, class Device>
qeldma::DMADispatcher* dispatcherOf(Device& device, const nVOAPAL000::tEventDescriptor& event,
                                    kdut::CleanupOperationComposite** list, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    auto* session = static_cast<typename Access::SessionType*>(nVOAPAL000::sessionOf(event));
    qeldma::DMADispatcher* dispatcher = Access::dmaDispatcher(device);
    *list = session != nullptr ? Access::dmaCleanupList(*session) : nullptr;
    if (dispatcher == nullptr || *list == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        return nullptr;
    }
    return dispatcher;
}

// The channel mask checks: no invalid bits, not empty (0xBFFA4303), then
// reserved by the session (0xBFFA431A).
template <class Access>
bool checkMask(const nVOAPAL000::tEventDescriptor& event, uint64_t mask, nVOAPALS100::tStatus& status) {
    return channels::maskIsValid(mask, false, status) &&
           channels::sessionReserved<Access>(event, mask, status);
}

// The mask of a DMA channel's physical channel; 0 (refused) for a DMA channel of 2 or more.
inline uint64_t maskOfDMAChannel(uint32_t channel) {
    return channel < 2 ? uint64_t{1} << (channel >> 1) : 0;
}

// No other session holds the reservation of the DMA channel's physical
// channel (0xBFFA4319 when one does). A DMA channel of no physical channel
// passes: the dispatcher refuses it. The check is made when the request
// starts; a request admitted before a reservation was taken completes.
template <class Access, class Device>
bool notReservedElsewhere(Device& device, const nVOAPAL000::tEventDescriptor& event, uint32_t channel,
                          nVOAPALS100::tStatus& status) {
    auto* session = static_cast<typename Access::SessionType*>(nVOAPAL000::sessionOf(event));
    const uint64_t mask = maskOfDMAChannel(channel);
    if (status.isNotFatal() && session != nullptr && mask != 0) {
        Access::checkNotReservedElsewhere(device, *session, mask, status);
    }
    return status.isNotFatal();
}

} // namespace dma

#define KELVO_DMA_LIST_BODY(op, call)                                                                        \
    template <> struct Operation<Op::op> {                                                                   \
        template <class Access, class Device, class In, class Out>                                           \
        static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,       \
                        nVOAPALS100::tStatus& status) {                                                      \
            kdut::CleanupOperationComposite* list = nullptr;                                                 \
            qeldma::DMADispatcher* dispatcher = dma::dispatcherOf<Access>(device, event, &list, status);     \
            if (dispatcher != nullptr &&                                                                     \
                dma::notReservedElsewhere<Access>(device, event, in.channel, status)) {                      \
                call;                                                                                        \
            }                                                                                                \
        }                                                                                                    \
    };

KELVO_DMA_LIST_BODY(brixelTools_startDMA, dispatcher->startDMA(in.channel, in.startFlag != 0, *list, status))
KELVO_DMA_LIST_BODY(brixelTools_stopDMA, dispatcher->stopDMA(in.channel, *list, status))
KELVO_DMA_LIST_BODY(brixelTools_addTransferToDevice,
                    dispatcher->addTransfer(event, in.channel, in.transferKind, in.bufferAddress,
                                            in.bufferSize, 0, in.transferWord, *list, status))
KELVO_DMA_LIST_BODY(brixelTools_addTransferFromDevice,
                    dispatcher->addTransfer(event, in.channel, in.transferKind, in.bufferAddress,
                                            in.bufferSize, 1, 1, *list, status))
KELVO_DMA_LIST_BODY(brixelTools_writeStreamAdditiveTransferCount,
                    dispatcher->writeStreamAdditiveTransferCount(in.channel, in.count, status))
KELVO_DMA_LIST_BODY(brixelTools_clearTransfers, dispatcher->clearTransfers(in.channel, *list, status))
KELVO_DMA_LIST_BODY(brixelTools_clearApplicationFIFO,
                    dispatcher->clearApplicationFIFO(in.channel, *list, status);
                    dispatcher->startStreamCredit(in.channel, *list, status))
#undef KELVO_DMA_LIST_BODY

template <> struct Operation<Op::brixelTools_getTransferCount> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.transferCount = 0;
        kdut::CleanupOperationComposite* list = nullptr;
        qeldma::DMADispatcher* dispatcher = dma::dispatcherOf<Access>(device, event, &list, status);
        if (dispatcher != nullptr && dma::notReservedElsewhere<Access>(device, event, in.channel, status)) {
            out.transferCount = dispatcher->getTransferCount(in.channel, status);
        }
    }
};

template <> struct Operation<Op::brixelTools_waitUntilBytesTransferred> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.timedOut = 0;
        if (dma::checkMask<Access>(event, dma::maskOfDMAChannel(in.channel), status)) {
            uint32_t timedOut = 0;
            Access::waitUntilBytesTransferred(device, in.channel, in.startCount, in.byteCount, in.timeout,
                                              &timedOut, status);
            out.timedOut = timedOut;
        }
    }
};

template <> struct Operation<Op::brixelTools_cancelWaitUntilBytesTransferred> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (dma::checkMask<Access>(event, dma::maskOfDMAChannel(in.channel), status)) {
            Access::cancelWaitUntilBytesTransferred(device, in.channel);
        }
    }
};

template <> struct Operation<Op::corran_loadCalibrationToFirmwareFromStorageMapSoftcopy> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (dma::checkMask<Access>(event, in.channelMask, status)) {
            Access::loadCalibrationToFirmware(device, in.channelMask, status);
        }
    }
};

} // namespace kelvo_driver::ioctl
