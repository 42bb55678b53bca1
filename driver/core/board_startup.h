// Setup level 18: the board start-up. A two-word program (call the start-up
// subroutine, then return) streams over DMA channel 1 into the sequencer's
// command FIFO; the engine runs it to its end and is reset. The engine's reset
// and the stream's stop run even after an earlier step failed, each with a
// status of its own merged into the setup's (the first error stays). The caller's
// error list (custom words 9 and 10) is read, a chunk at a time, and dropped;
// word 11 clears a failed start-up to success.
#pragma once

#include <stdint.h>

#include "bridge/dma_buffer.h"
#include "core/setup_levels.h"
#include "platform/owned.h"
#include "platform/status.h"

namespace kelvo_driver {

class BrixelDMAControllers;
class TYMORegMaps;

// The engine still running 5 s after the start.
constexpr int32_t kStartupTimedOut = KELVO_STATUS_STARTUP_TIMED_OUT;
// The longest error list (its byte size stays below 2^32).
constexpr uint64_t kMaximumErrorsToDisable = 0x1FFFFFFFu;
// The error list is read through a buffer of at most this many bytes.
constexpr uint64_t kErrorListChunkBytes = 4096;
constexpr uint32_t kStartupChannel = 1;
constexpr uint64_t kStartupTimeoutMicroseconds = 5000000;
// The program's words before the subroutine address is filled in.
constexpr uint64_t kExecuteSubroutineWord = 0x1D0DFF0200000000ull;
constexpr uint64_t kReturnWord = 0x1C00FF0500000000ull;

class BoardStartup : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kBoardStartup;
    static constexpr uint32_t kLevel = 18;

    BoardStartup() : SetupTask(kKind) {}

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    // dma: the level-14 controller set (null: -52003 once the list is read).
    void setup(IsolatedObjectsInterface& isolated, TYMORegMaps& tymo, BrixelDMAControllers* dma,
               const nVOAPAL000::tDMAConfiguration& configuration,
               wexmoortools::SubroutineRegistrarInterface* registrar,
               const nVOAPAL000::tEventDescriptor& event, uint64_t errorsAddress, uint64_t errorCount,
               bool ignoreErrors, nVOAPALS100::tStatus& status);
    bool ran() const { return ran_ != 0; }
    // Whether the buffer is still held (its stream did not stop).
    bool holdsBuffer() const { return static_cast<bool>(buffer_); }

private:
    void run(IsolatedObjectsInterface& isolated, TYMORegMaps& tymo, BrixelDMAControllers& dma,
             const nVOAPAL000::tDMAConfiguration& configuration,
             wexmoortools::SubroutineRegistrarInterface* registrar, nVOAPALS100::tStatus& status);

    // The teardown's step for the buffer: one whose stream would not stop is
    // released after the channel is reset.
    void releaseBuffer();

    uint8_t ran_ = 0;
    nVOAPAL000::tOwned<DMABuffer<uint64_t>> buffer_;
};

} // namespace kelvo_driver
