// One DMA stream: a bridge DMA channel and the stream circuit that feeds or
// drains it. Start runs the channel at the head link of the stream's lists,
// waits for it to report its start, then opens the stream circuit; stop
// closes the circuit, then stops the channel and waits for its end. One
// recursive mutex serialises every operation, waits included (busy waits of
// at most 50 ms).
#pragma once

#include <stdint.h>

#include "bridge/brixel_dma_channel.h"
#include "bridge/sgl_controller.h"
#include "bridge/stream_controllers.h"
#include "framework/cleanup_operation.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regmaps/brixel_dma_channel.h"

namespace brixeltools {

constexpr int64_t kChannelStartTimedOut = KELVO_STATUS_CHANNEL_START_TIMED_OUT;

// What the DMA interrupt controller reaches of a stream.
class DMAStreamInterface {
public:
    virtual void writeStreamAdditiveTransferCount(uint32_t count, nVOAPALS100::tStatus& status) = 0;
    virtual void setTransferCountNotification(uint64_t count, nVOAPALS100::tStatus& status) = 0;
    virtual uint64_t getTransferCount(nVOAPALS100::tStatus& status) = 0;
    virtual void enableInterrupt() = 0;
    virtual void disableInterrupt() = 0;

protected:
    ~DMAStreamInterface() = default;
};

class BrixelDMAStreamController;

// Stops a stream still running when its session is cleaned up.
class DMACleanupOperation : public kdut::CleanupOperationInterface {
public:
    explicit DMACleanupOperation(BrixelDMAStreamController& controller) : controller_(controller) {}
    void cleanup(nVOAPALS100::tStatus& status) override;

private:
    BrixelDMAStreamController& controller_;
};

using DMAChannelRegMap = brixeltools::tBrixelDMAChannelWithOffset<0u>;

class BrixelDMAStreamController : public kelvo_driver::nVOAPAL000::tBrixelDMAChannel,
                                  public DMAStreamInterface {
public:
    static constexpr uint64_t kWaitMicroseconds = 50000;

    // A channel number wider than 32 bits: -52003. A channel block that the
    // bridge places outside the window (a base or block size reading all
    // ones): -52006. Either leaves the channel unplaced; it is then only
    // destroyed. The mutex: -52000 when it cannot be had.
    BrixelDMAStreamController(const kelvo_driver::nVOAPAL000::tBridgeWindow& window,
                              DMAChannelRegMap& channelMap, StreamCircuit& streamCircuit,
                              uint64_t channelNumber, nVOAPALS100::tStatus& status);
    // No interrupt may be enabled. A channel still transferring (its stop
    // timed out: the engine never ended) is reset rather than left running.
    ~BrixelDMAStreamController() override;

    // Running already: 0xBFFA806E. The channel's start not seen in 50 ms:
    // 0xBFFA8079, and the stop sequence runs.
    virtual void start(const FiniteAndContinuousSGL& sgl, bool flag, nVOAPALS100::tStatus& status);
    // The circuit, then the channel (when it transfers): its end not seen in
    // 50 ms is 0xBFFA807C and the in-progress flag stays.
    virtual void stop(nVOAPALS100::tStatus& status);
    void writeStreamAdditiveTransferCount(uint32_t count, nVOAPALS100::tStatus& status) override;
    void setTransferCountNotification(uint64_t count, nVOAPALS100::tStatus& status) override;
    uint64_t getTransferCount(nVOAPALS100::tStatus& status) override;
    void enableInterrupt() override;
    void disableInterrupt() override;
    DMACleanupOperation* getCleanupOperation() { return &cleanupOperation_; }

    // The stream's mutex, for the SGL controller (which takes its own after it).
    void lock() { nVOAPAL200_acquireMutex(&mutex_); }
    void unlock() { nVOAPAL200_releaseMutex(&mutex_); }
    StreamCircuit& streamCircuit() const { return *streamCircuit_; }

private:
    void stopSequence(nVOAPALS100::tStatus& status); // under the mutex
    void waitForStatus(uint32_t mask, int64_t code, nVOAPALS100::tStatus& status);

    [[maybe_unused]] kelvo_driver::nVOAPAL000::tBridgeWindow window_;
    DMAChannelRegMap* channelMap_;
    StreamCircuit* streamCircuit_;
    [[maybe_unused]] uint64_t channelNumber_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    DMACleanupOperation cleanupOperation_;
};

} // namespace brixeltools
