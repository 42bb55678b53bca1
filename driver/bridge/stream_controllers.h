// The blocks of the non-isolated FPGA between a bridge DMA channel and the
// instrument: the channel's stream circuit (opened after the channel has
// started, closed before it stops), the transmit credits of the
// host-to-device stream (Solstra), and the FIFO behind the stream circuit.
//
// Every operation takes the status last and does nothing when it already
// holds an error; a register outside its map's window is -52006. Each
// register sequence holds its map's tree lock (inside the controller's own
// mutex); each poll read takes it for that read, and no wait holds it.
#pragma once

#include <stdint.h>

#include "framework/cleanup_operation.h"
#include "framework/mutex_holder.h"
#include "framework/poller.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "regmaps/kelvo_niso_stream_control_reg_map.h"
#include "regmaps/kelvo_stream_control_reg_map.h"
#include "regmaps/stream_circuit_reg_map.h"

namespace brixeltools {

constexpr int64_t kStreamCircuitStarted = KELVO_STATUS_STREAM_CIRCUIT_STARTED;
constexpr int64_t kStreamStopTimedOut = KELVO_STATUS_STREAM_STOP_TIMED_OUT;

using SpinTimeout = kelvo_driver::nVOAPAL000::tTimeout<kelvo_driver::nVOAPAL000::tTimeWasterSpin,
                                                       kelvo_driver::nVOAPAL000::tTimebasePrecise>;

// The stream circuit of one channel. Driven only by its stream controller,
// under that controller's mutex.
template <typename RegMap> class StreamCircuitController : public kelvo_driver::nVOAPAL000::tObject {
public:
    static constexpr uint32_t kCommandReset = 0x4;
    static constexpr uint32_t kCommandFlagSet = 0x1;
    static constexpr uint32_t kCommandFlagClear = 0x2;
    static constexpr uint32_t kCommandEnable = 0x100;
    static constexpr uint32_t kCommandStopAlternate = 0x200;
    static constexpr uint32_t kCommandStop = 0x800;
    static constexpr uint32_t kDataTransferEnable = 0x100;
    static constexpr uint32_t kResetComplete = 0x400;
    static constexpr uint64_t kEnableTimeoutMicroseconds = 100;
    static constexpr uint64_t kResetTimeoutMicroseconds = 500;

    // stopSelector: true selects the stop command 0x200, false 0x800.
    explicit StreamCircuitController(RegMap* map, bool stopSelector = false)
        : map_(map), stopSelector_(stopSelector) {}
    virtual ~StreamCircuitController() {}

    // 0x4, 0x1 (flag) or 0x2, 0x100, then waits for data-transfer enable.
    // Already started: 0xBFFA806D. A timeout: 0xBFFA807C.
    virtual void start(bool flag, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        if (started_) {
            KELVO_SET_STATUS(status, kStreamCircuitStarted);
            return;
        }
        {
            const arm::tRegMapHold hold(map_);
            map_->StreamControlStatus.writeRegister(kCommandReset, status);
            map_->StreamControlStatus.writeRegister(flag ? kCommandFlagSet : kCommandFlagClear, status);
            map_->StreamControlStatus.writeRegister(kCommandEnable, status);
        }
        waitFor(kDataTransferEnable, kEnableTimeoutMicroseconds, status);
        if (status.isNotFatal()) {
            started_ = true;
        }
    }
    // Nothing to do when data transfer is not enabled (the circuit counts as
    // stopped then); else the stop command and the wait for the reset.
    virtual void stop(nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        {
            const arm::tRegMapHold hold(map_);
            const uint32_t value = map_->StreamControlStatus.readRegister(status);
            if (status.isFatal()) {
                return;
            }
            if ((value & kDataTransferEnable) == 0) {
                started_ = false;
                return;
            }
            map_->StreamControlStatus.writeRegister(stopSelector_ ? kCommandStopAlternate : kCommandStop,
                                                    status);
        }
        waitFor(kResetComplete, kResetTimeoutMicroseconds, status);
        if (status.isNotFatal()) {
            started_ = false;
        }
    }
    virtual void writeStreamAdditiveTransferCount(uint32_t count, nVOAPALS100::tStatus& status) {
        if (status.isNotFatal()) {
            const arm::tRegMapHold hold(map_);
            map_->StreamAdditiveTransferCount.writeRegister(count, status);
        }
    }
    bool isStarted() const { return started_; }

private:
    // Each read under the tree's lock.
    uint32_t readControlStatus(nVOAPALS100::tStatus& status) {
        const arm::tRegMapHold hold(map_);
        return map_->StreamControlStatus.readRegister(status);
    }
    void waitFor(uint32_t bit, uint64_t timeout, nVOAPALS100::tStatus& status) {
        const orut::Poller<SpinTimeout> poller(10, 100, kStreamStopTimedOut);
        poller.poll(*this, &StreamCircuitController::readControlStatus, 0, bit, timeout, true,
                    orut::Poller<SpinTimeout>::kAnyBitSet, status);
    }
    RegMap* map_;
    bool started_ = false;
    bool stopSelector_;
};

using StreamCircuit = StreamCircuitController<kelvo_regmaps::tStreamCircuitRegMap>;

// The credits of the host-to-device stream, as the dispatcher and the DMA
// buffer hold them; also a session cleanup operation (which stops them).
class StreamCreditControllerInterface : public kdut::CleanupOperationInterface {
public:
    virtual void start(nVOAPALS100::tStatus& status) = 0;
    virtual void stop(nVOAPALS100::tStatus& status) = 0;
    kdut::CleanupOperationInterface* getCleanupOperation() { return this; }
};

} // namespace brixeltools

namespace qeldma {

using brixeltools::StreamCreditControllerInterface;

class StreamCreditController : public StreamCreditControllerInterface {
public:
    // -52000 when its mutex cannot be had.
    StreamCreditController(kelvo_regmaps::tKelvoNisoStreamControlRegMap& map, nVOAPALS100::tStatus& status,
                           uint64_t initialInterval = 1, uint64_t maximumInterval = 128,
                           int32_t timeoutCode = KELVO_STATUS_TIMED_OUT)
        : control_(&map.NisoTxCreditControl), status_(&map.NisoTxCreditStatus),
          poller_(initialInterval, maximumInterval, timeoutCode) {
        nVOAPAL200_createMutex(&mutex_, &status);
    }

    // The start strobe; no wait. Start and stop hold the controller's mutex:
    // two requests of a channel (two threads of a handle, or two handles
    // without the reservation) never write its control register at once.
    void start(nVOAPALS100::tStatus& status) override;
    // The stop strobe, then up to 100 us for the stopped bit (-52007).
    void stop(nVOAPALS100::tStatus& status) override;
    void cleanup(nVOAPALS100::tStatus& status) override { stop(status); }

    static constexpr uint64_t kStopTimeoutMicroseconds = 100;

private:
    kelvo_regmaps::tKelvoNisoStreamControlRegMap::tNisoTxCreditControlRegT* control_;
    kelvo_regmaps::tKelvoNisoStreamControlRegMap::tNisoTxCreditStatusRegT* status_;
    orut::Poller<brixeltools::SpinTimeout> poller_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
};

} // namespace qeldma

namespace kelvo_driver {

// The FIFO behind a stream circuit; also a session cleanup operation (which resets it).
class StreamCircuitFifoControllerInterface : public kdut::CleanupOperationInterface {
public:
    virtual void reset(nVOAPALS100::tStatus& status) = 0;
    kdut::CleanupOperationInterface* getCleanupOperation() { return this; }
};

// Resets the FIFO: the strobe, 10 ms, the strobe again, under its own mutex.
template <typename ResetReg> class StreamCircuitFifoController : public StreamCircuitFifoControllerInterface {
public:
    static constexpr uint64_t kSettleMicroseconds = 10000;

    // -52000 when the mutex cannot be had.
    StreamCircuitFifoController(ResetReg& reg, nVOAPALS100::tStatus& status) : reg_(&reg) {
        nVOAPAL200_createMutex(&mutex_, &status);
    }

    void reset(nVOAPALS100::tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        kdut::internal::MutexHolder hold(mutex_);
        strobe(status);
        nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise> settle(
            kSettleMicroseconds, nVOAPAL200_kMicroseconds);
        settle.waitForTimeout();
        strobe(status);
    }
    void cleanup(nVOAPALS100::tStatus& status) override { reset(status); }

private:
    // Under the tree's lock; the settling wait between two strobes holds only the mutex.
    void strobe(nVOAPALS100::tStatus& status) {
        const arm::tRegMapHold tree(reg_->owner);
        reg_->writeResetScFifoStb(1, status, true);
    }

    ResetReg* reg_;
    nVOAPAL000::tMutex mutex_;
};

using MeasureFifoController =
    StreamCircuitFifoController<kelvo_regmaps::tKelvoStreamControlRegMap::tMeasureStreamCircuitFifoResetReg>;
using CommandFifoController =
    StreamCircuitFifoController<kelvo_regmaps::tKelvoStreamControlRegMap::tCommandStreamCircuitFifoResetReg>;

} // namespace kelvo_driver
