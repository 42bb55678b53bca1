// The sequence engine: the register face of the sequencer's channel
// sequencer (start strobe, running flag, command FIFO fullness), and its
// controller, which never starts a running engine, never announces more
// commands than the FIFO holds, waits for the FIFO to hold them before the
// start strobe, and waits for the engine to stop.
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "framework/hardware_state_checker.h"
#include "framework/timeout_handler.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regmaps/kelvo_sequencer_ch_seq_reg_map.h"

namespace kelvo_driver {

constexpr int64_t kSequenceEngineRunning = KELVO_STATUS_SEQUENCE_ENGINE_RUNNING;
constexpr int64_t kSequenceEngineTimedOut = KELVO_STATUS_SEQUENCE_ENGINE_TIMED_OUT;
constexpr int64_t kTooManyCommands = KELVO_STATUS_TOO_MANY_COMMANDS;

// Each of its register accesses takes the map's tree lock for that access alone.
class SequenceEngine : public nVOAPAL000::tObject {
public:
    explicit SequenceEngine(kelvo_regmaps::tKelvoSequencerChSeqRegMap& map) : map_(map) {}
    virtual ~SequenceEngine() = default;

    // The start strobe (bit 0 of SequencerControl).
    virtual void start(nVOAPALS100::tStatus& status);
    // Bit 19 of SequencerStatus, read from the hardware.
    virtual bool isRunning(nVOAPALS100::tStatus& status);
    virtual uint32_t getCommandFifoFullness(nVOAPALS100::tStatus& status);

private:
    kelvo_regmaps::tKelvoSequencerChSeqRegMap& map_;
};

class SequenceEngineController : public SequenceEngineControllerInterface {
public:
    static constexpr uint64_t kInitialInterval = 1;
    static constexpr uint64_t kMaximumInterval = 128;
    static constexpr uint64_t kFifoTimeout = 10000;
    static constexpr uint64_t kStopTimeout = 1010000;

    SequenceEngineController(SequenceEngine& engine, kdut::HardwareStateCheckerInterface& checker,
                             uint32_t commandFifoDepth, nVOAPALS100::tStatus& status);
    ~SequenceEngineController() override = default;

    // Waits until the engine has stopped, under the lock.
    virtual void waitForStop(nVOAPALS100::tStatus& status);
    void start(uint32_t commandCount, nVOAPALS100::tStatus& status) override;
    // Writes nothing: waits for the running program to end.
    void reset(nVOAPALS100::tStatus& status) override;
    bool isRunning(nVOAPALS100::tStatus& status) override;
    // The session's cleanup: the wait for the stop.
    void cleanup(nVOAPALS100::tStatus& status) override { waitForStop(status); }

private:
    void waitUntilStopped(nVOAPALS100::tStatus& status);

    SequenceEngine& engine_;
    kdut::CheckHardwareStateTimeoutHandler handler_;
    nVOAPAL000::tMutex lock_;
    uint32_t commandFifoDepth_;
};

} // namespace kelvo_driver
