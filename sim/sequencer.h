// The sequencer side of the simulated module: the sequencer with its local
// RAM and command FIFO, its measure unit, the charge balancer of the control
// loop and the ADF4002 PLL behind its serial interface.
//
// Where they sit: the sequencer (local-RAM window, channel sequencer, measure
// unit) in the isolated FPGA on Solstra boards and in the non-isolated FPGA on
// Duskmere boards; the charge balancer's primary map and the ADF4002 interface
// in the isolated FPGA of both (Duskmere boards also keep a secondary offset
// register in the non-isolated FPGA: plain backing store); the measure unit's
// aborted flag in channel 0's measure-stream map of the non-isolated FPGA.
//
// The execution model of the command words is ours:
//   call    opcode 7, G 2: runs the subroutine at the local-RAM address in data
//   return  opcode 7, G 5: back to the caller; at top level the program ends
//   marker  opcode 8: the data becomes the marker register and joins the marker trace
//   write   opcode 1: the data goes to the channel-sequencer register at regAddress
//           (a byte offset: the general-use registers 0x100 to 0x1FC)
//   every other word is a no-op.
// A start strobe runs the words in the command FIFO at once (passively: the
// effects are in place when the strobe returns), and the engine then reads
// running for a time of one step per executed word (the step time knob), or
// forever with the never-stops knob. A local-RAM address beyond the RAM, a
// program that passes the step limit and a full FIFO are faults.
//
// The measurement packets are ours as well: every arm strobe of the measure
// unit's packet generator (unless it never generates) sends one packet into
// the measurement stream, DMA channel 0's device side: u32 marker register,
// u32 packet number (0, 1, ... since the module was plugged), then the 64
// general-use registers of the channel sequencer, little-endian (264 bytes).
//
// Every latency follows the stand-in clock (nanoseconds of the monotonic counter).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/block.h"
#include "sim/fpga.h"

namespace sim {

class Module;

class Sequencer {
public:
    static constexpr std::uint32_t kLocalRamWords = 16384;
    static constexpr std::uint32_t kFifoDepth = 1024;
    static constexpr std::uint32_t kStepLimit = 100000;
    static constexpr std::uint32_t kRunningBit = 1u << 19;

    // Local RAM as the tests see it (no access trace).
    std::uint64_t ramWord(std::uint32_t address) const;
    void setRamWord(std::uint32_t address, std::uint64_t word);

    // The command FIFO, fed by DMA channel 1 (or a test). Beyond the depth: a fault, the word is lost.
    void pushCommand(std::uint64_t word);
    // Bytes as DMA channel 1 delivers them: every eight (little-endian) make a word.
    // Safe from the engine's thread: the FIFO has a lock of its own.
    void pushCommandBytes(const std::uint8_t* data, std::size_t size);
    std::uint32_t fifoFullness() const;
    // The FIFO's word at index (0 when it holds fewer), for the tests.
    std::uint64_t fifoWord(std::uint32_t index) const;

    bool running() const;
    std::uint32_t starts() const { return starts_; }
    // Markers set by the programs so far, oldest first, the latest 64 Ki at most.
    std::vector<std::uint32_t> markers() const;
    std::vector<std::string> faults() const;
    std::uint32_t generalUse(std::uint32_t index) const { return generalUse_[index & 63]; }

    // Knobs: the time one executed word keeps the engine running, an engine
    // that never stops (running from now on), and programs that never end
    // (every start from now on keeps the engine running until the knob is
    // cleared, which ends the program running).
    void setStepNanoseconds(std::uint64_t ns);
    void setNeverStops(bool on);
    void setProgramsNeverEnd(bool on);

    // Register faces (called by the blocks under the module's lock).
    void writeCommandHigh(std::uint32_t v) { commandHigh_ = v; }
    void writeCommandLow(std::uint32_t v) { commandLow_ = v; }
    std::uint32_t commandHigh() const { return commandHigh_; }
    std::uint32_t commandLow() const { return commandLow_; }
    void storeAt(std::uint32_t address);
    void loadFrom(std::uint32_t address);
    void start();
    std::uint32_t status() const;
    std::uint32_t marker() const { return marker_; }
    void writeGeneralUse(std::uint32_t index, std::uint32_t value) { generalUse_[index & 63] = value; }

private:
    void execute();
    void fault(const std::string& text) {
        std::lock_guard g(fifoLock_);
        faults_.push_back(text);
    }
    void pushLocked(std::uint64_t word);

    std::vector<std::uint64_t> ram_ = std::vector<std::uint64_t>(kLocalRamWords, 0);
    // Guards the FIFO, the partial word and the faults: the DMA engine feeds
    // the FIFO from its own thread, the blocks drain it under the module's lock.
    mutable std::mutex fifoLock_;
    std::vector<std::uint64_t> fifo_;
    std::uint64_t partial_ = 0;
    std::uint32_t partialBytes_ = 0;
    bool overflowed_ = false;
    std::uint32_t commandHigh_ = 0;
    std::uint32_t commandLow_ = 0;
    std::uint32_t marker_ = 0;
    std::uint32_t generalUse_[64] = {};
    std::vector<std::uint32_t> markers_;
    std::vector<std::string> faults_;
    std::uint64_t runningUntil_ = 0;
    std::uint64_t stepNanoseconds_ = 1000;
    bool neverStops_ = false;
    bool programsNeverEnd_ = false;
    std::uint32_t starts_ = 0;
};

// The measure unit of the flex loop (main unit) and its aborted flag.
class MeasureUnit {
public:
    static constexpr std::uint32_t kArmStrobe = 1u << 30;
    static constexpr std::uint32_t kStopStrobe = 1u << 31;
    static constexpr std::uint32_t kGeneratingBit = 1u << 1;
    static constexpr std::uint32_t kAbortBit = 1u << 1;
    static constexpr std::uint32_t kTriggerBit = 1u << 0;

    bool generating() const;
    bool aborted() const;
    std::uint32_t triggerPulses() const { return triggerPulses_; }
    // Knobs: latencies (arm and stop below 500 ms, abort below 1 ms), and
    // a unit that never answers an arm, a stop or an abort.
    void setLatencies(std::uint64_t armNs, std::uint64_t stopNs, std::uint64_t abortNs);
    void setNeverGenerates(bool on) { neverGenerates_ = on; }
    bool neverGenerates() const { return neverGenerates_; }
    void setNeverStops(bool on) { neverStops_ = on; }
    void setNeverAborts(bool on) { neverAborts_ = on; }
    // Bit 0 of the status register (event 0x135 is latched while it is clear).
    void setStatusBit0(bool on) { statusBit0_ = on; }

    // Register faces.
    void writePacketGenConfig(std::uint32_t value);
    void writeControl(std::uint32_t value);
    std::uint32_t status() const;

private:
    std::uint64_t generatingFrom_ = UINT64_MAX;  // when generating begins
    std::uint64_t generatingUntil_ = UINT64_MAX; // when it ends
    std::uint64_t abortedFrom_ = UINT64_MAX;
    std::uint64_t armNs_ = 100000;
    std::uint64_t stopNs_ = 100000;
    std::uint64_t abortNs_ = 50000;
    bool neverGenerates_ = false;
    bool neverStops_ = false;
    bool neverAborts_ = false;
    bool statusBit0_ = false;
    std::uint32_t triggerPulses_ = 0;
};

// The charge balancer of the control loop's four loops.
class ChargeBalancer {
public:
    enum class Outcome { kDone, kFailed, kBoth, kNever };

    void setOutcome(std::uint32_t loop, Outcome outcome) { outcome_[loop & 3] = outcome; }
    void setResult(std::uint32_t loop, std::uint32_t offset) { result_[loop & 3] = offset & 0x3FFF; }
    void setLatency(std::uint64_t ns) { latencyNs_ = ns; }
    std::uint32_t offset(std::uint32_t loop) const;
    std::uint32_t strobes(std::uint32_t loop) const { return strobes_[loop & 3]; }

    // Register faces.
    void writeControl(std::uint32_t value);
    std::uint32_t status() const;
    void writeOffset(std::uint32_t loop, std::uint32_t value);

private:
    bool finished(std::uint32_t loop) const;

    Outcome outcome_[4] = {Outcome::kDone, Outcome::kDone, Outcome::kDone, Outcome::kDone};
    std::uint32_t result_[4] = {0x1000, 0x1001, 0x1002, 0x1003};
    std::uint32_t written_[4] = {};
    std::uint64_t startedAt_[4] = {};
    bool calculated_[4] = {};
    std::uint64_t latencyNs_ = 100000;
    std::uint32_t strobes_[4] = {};
};

// The ADF4002 behind its shift register: locked a while after a word that
// completes a programming (the last four words loaded its four latches).
class Adf4002 {
public:
    static constexpr std::uint32_t kLockedBit = 1u << 9;

    // The words written, oldest first, the latest 64 Ki at most.
    std::vector<std::uint32_t> words() const { return words_; }
    bool locked() const;
    // Knobs: the lock delay after the fourth word (nanoseconds, default 1 ms) and a PLL that never locks.
    void setLockDelay(std::uint64_t ns) { lockDelayNs_ = ns; }
    void setNeverLocks(bool on) { neverLocks_ = on; }

    void shift(std::uint32_t word);
    std::uint32_t status() const { return locked() ? kLockedBit : 0u; }

private:
    std::vector<std::uint32_t> words_;
    std::uint64_t lockedFrom_ = UINT64_MAX;
    std::uint64_t lockDelayNs_ = 1000000;
    bool neverLocks_ = false;
};

// Where the blocks sit, per board generation.
struct SequencerPlacement {
    FpgaSpace* sequencerSpace;      // local RAM, channel sequencer, measure unit
    std::uint64_t localRam;         // the local-RAM window
    std::uint64_t channelSequencer; // the channel sequencer
    std::uint64_t seqFlexLoop;      // the sequencer's flex-loop map
    std::uint64_t abortedFlag;      // in the non-isolated FPGA
    std::uint64_t chargeBalancer;   // in the isolated FPGA
    std::uint64_t adf4002;          // in the isolated FPGA
};

// The sequencer side of one module: the models and the blocks over them.
class SequencerSide {
public:
    SequencerSide(FpgaSpace& nonIsolated, FpgaSpace& isolated, bool solstra);
    SequencerSide(const SequencerSide&) = delete;
    SequencerSide& operator=(const SequencerSide&) = delete;

    Sequencer& sequencer() { return sequencer_; }
    MeasureUnit& measureUnit() { return measureUnit_; }
    ChargeBalancer& chargeBalancer() { return chargeBalancer_; }
    Adf4002& adf4002() { return adf4002_; }
    const SequencerPlacement& placement() const { return placement_; }
    // Where the measurement packets go (the module connects DMA channel 0's
    // measure FIFO); called under the module's lock. Null: they are dropped.
    static constexpr std::size_t kPacketBytes = 8 + 64 * 4;
    using PacketSink = std::function<void(const std::uint8_t* packet, std::size_t size)>;
    void setPacketSink(PacketSink sink) { packetSink_ = std::move(sink); }
    std::uint32_t packetsSent() const { return packets_; }
    // The blocks (their traces).
    Block& localRamBlock() { return *localRam_; }
    Block& channelSequencerBlock() { return *channelSequencer_; }
    Block& measureUnitBlock() { return *measureUnitBlock_; }
    Block& chargeBalancerBlock() { return *chargeBalancerBlock_; }
    Block& adf4002Block() { return *adf4002Block_; }

private:
    void sendPacket();

    Sequencer sequencer_;
    MeasureUnit measureUnit_;
    PacketSink packetSink_;
    std::uint32_t packets_ = 0;
    ChargeBalancer chargeBalancer_;
    Adf4002 adf4002_;
    SequencerPlacement placement_;
    Block* localRam_ = nullptr;
    Block* channelSequencer_ = nullptr;
    Block* measureUnitBlock_ = nullptr;
    Block* chargeBalancerBlock_ = nullptr;
    Block* adf4002Block_ = nullptr;
};

} // namespace sim
