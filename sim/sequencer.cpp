#include "sim/sequencer.h"

#include <cstring>
#include <functional>
#include <memory>
#include <unordered_map>

#include "nVOKAL.h"

namespace sim {

namespace {

std::uint64_t now() {
    return nVOKAL1_getMonotonicCounter();
}

std::uint64_t after(std::uint64_t delay) {
    const std::uint64_t t = now();
    return delay > UINT64_MAX - t ? UINT64_MAX : t + delay;
}

// Register offsets inside the blocks (those of the generated maps).
constexpr std::uint64_t kWriteAddress = 0x0;
constexpr std::uint64_t kReadAddress = 0x4;
constexpr std::uint64_t kCommandHigh = 0x8;
constexpr std::uint64_t kCommandLow = 0xC;
constexpr std::uint64_t kSequencerControl = 0x40;
constexpr std::uint64_t kSequencerStatus = 0x44;
constexpr std::uint64_t kSequencerMarker = 0x48;
constexpr std::uint64_t kCommandFifoFullness = 0x4C;
constexpr std::uint64_t kGeneralUse = 0x100;
constexpr std::uint64_t kMuCtrl = 0x0; // block at the flex-loop map's 0x100
constexpr std::uint64_t kMuStatus = 0x4;
constexpr std::uint64_t kMuPacketGenConfig = 0x60;
constexpr std::uint64_t kChargeBalancerStatus = 0x10;
constexpr std::uint64_t kChargeBalancerControl = 0x14;
constexpr std::uint64_t kAdfShift = 0x0;
constexpr std::uint64_t kAdfStatus = 0x4;

// A block whose registers are backing store unless the handlers take them.
class ModelBlock : public Block {
public:
    using Reader = std::function<bool(std::uint64_t, std::uint32_t&)>;
    using Writer = std::function<bool(std::uint64_t, std::uint32_t)>;
    ModelBlock(std::string name, std::uint64_t size, Reader reader, Writer writer)
        : Block(std::move(name), size, kWidth32), reader_(std::move(reader)), writer_(std::move(writer)) {}

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t) override {
        std::uint32_t value = 0;
        if (reader_(offset, value)) {
            return value;
        }
        auto it = store_.find(offset);
        return it == store_.end() ? 0u : it->second;
    }
    void onWrite(std::uint64_t offset, std::uint32_t, std::uint64_t value) override {
        if (!writer_(offset, static_cast<std::uint32_t>(value))) {
            store_[offset] = static_cast<std::uint32_t>(value);
        }
    }

private:
    Reader reader_;
    Writer writer_;
    std::unordered_map<std::uint64_t, std::uint32_t> store_;
};

} // namespace

// ---- Sequencer -----------------------------------------------------------------------

std::uint64_t Sequencer::ramWord(std::uint32_t address) const {
    return address < kLocalRamWords ? ram_[address] : 0;
}

void Sequencer::setRamWord(std::uint32_t address, std::uint64_t word) {
    if (address < kLocalRamWords) {
        ram_[address] = word;
    }
}

void Sequencer::pushLocked(std::uint64_t word) {
    if (fifo_.size() >= kFifoDepth) {
        // One fault per overflow, however long the stream that overran it.
        if (!overflowed_) {
            faults_.push_back("command FIFO full: word lost");
        }
        overflowed_ = true;
        return;
    }
    overflowed_ = false;
    fifo_.push_back(word);
}

void Sequencer::pushCommand(std::uint64_t word) {
    std::lock_guard g(fifoLock_);
    pushLocked(word);
}

void Sequencer::pushCommandBytes(const std::uint8_t* data, std::size_t size) {
    std::lock_guard g(fifoLock_);
    std::size_t i = 0;
    auto byte = [this](std::uint8_t b) {
        partial_ |= static_cast<std::uint64_t>(b) << (8 * partialBytes_);
        if (++partialBytes_ == 8) {
            pushLocked(partial_);
            partial_ = 0;
            partialBytes_ = 0;
        }
    };
    for (; i < size && partialBytes_ != 0; ++i) {
        byte(data[i]);
    }
    for (; i + 8 <= size; i += 8) {
        if (fifo_.size() >= kFifoDepth) {
            pushLocked(0); // the overflow fault; every further whole word is lost as well
            i += (size - i) / 8 * 8;
            break;
        }
        std::uint64_t word = 0;
        std::memcpy(&word, data + i, 8);
        pushLocked(word);
    }
    for (; i < size; ++i) {
        byte(data[i]);
    }
}

std::uint64_t Sequencer::fifoWord(std::uint32_t index) const {
    std::lock_guard g(fifoLock_);
    return index < fifo_.size() ? fifo_[index] : 0;
}

std::uint32_t Sequencer::fifoFullness() const {
    std::lock_guard g(fifoLock_);
    return static_cast<std::uint32_t>(fifo_.size());
}

bool Sequencer::running() const {
    return neverStops_ || now() < runningUntil_;
}

std::vector<std::uint32_t> Sequencer::markers() const {
    return markers_;
}

std::vector<std::string> Sequencer::faults() const {
    std::lock_guard g(fifoLock_);
    return faults_;
}

void Sequencer::setStepNanoseconds(std::uint64_t ns) {
    stepNanoseconds_ = ns;
}

void Sequencer::setNeverStops(bool on) {
    neverStops_ = on;
}

void Sequencer::setProgramsNeverEnd(bool on) {
    programsNeverEnd_ = on;
    if (!on && runningUntil_ == UINT64_MAX) {
        runningUntil_ = now(); // the endless program ends with the fault
    }
}

void Sequencer::storeAt(std::uint32_t address) {
    if (address >= kLocalRamWords) {
        fault("local-RAM write beyond the RAM at " + hex(address));
        return;
    }
    ram_[address] = (static_cast<std::uint64_t>(commandHigh_) << 32) | commandLow_;
}

void Sequencer::loadFrom(std::uint32_t address) {
    if (address >= kLocalRamWords) {
        fault("local-RAM read beyond the RAM at " + hex(address));
        return;
    }
    commandHigh_ = static_cast<std::uint32_t>(ram_[address] >> 32);
    commandLow_ = static_cast<std::uint32_t>(ram_[address]);
}

std::uint32_t Sequencer::status() const {
    return running() ? kRunningBit : 0u;
}

void Sequencer::start() {
    if (running()) {
        fault("start strobe while running");
        return;
    }
    ++starts_;
    execute();
    if (programsNeverEnd_) {
        runningUntil_ = UINT64_MAX;
    }
}

void Sequencer::execute() {
    std::vector<std::uint64_t> program;
    {
        std::lock_guard g(fifoLock_);
        program.swap(fifo_);
    }
    std::vector<std::uint32_t> stack; // return addresses in local RAM
    std::uint64_t steps = 0;
    std::size_t top = 0;  // next FIFO word while at top level
    std::uint32_t pc = 0; // next local-RAM word inside a subroutine
    bool inSubroutine = false;
    bool ended = false;
    while (!ended) {
        std::uint64_t word = 0;
        if (!inSubroutine) {
            if (top >= program.size()) {
                break; // the FIFO ran dry: the program ends
            }
            word = program[top++];
        } else {
            if (pc >= kLocalRamWords) {
                fault("local-RAM address beyond the RAM at " + hex(pc));
                break;
            }
            word = ram_[pc++];
        }
        if (++steps > kStepLimit) {
            fault("step limit passed");
            break;
        }
        const auto opcode = static_cast<std::uint32_t>(word >> 58);
        const auto g = static_cast<std::uint32_t>((word >> 32) & 0xF);
        const auto data = static_cast<std::uint32_t>(word);
        if (opcode == 7 && g == 2) {
            if (data >= kLocalRamWords) {
                fault("call beyond the RAM at " + hex(data));
                break;
            }
            if (inSubroutine) {
                stack.push_back(pc);
            }
            inSubroutine = true;
            pc = data;
        } else if (opcode == 7 && g == 5) {
            if (!inSubroutine) {
                ended = true;
            } else if (stack.empty()) {
                inSubroutine = false;
            } else {
                pc = stack.back();
                stack.pop_back();
            }
        } else if (opcode == 8) {
            marker_ = data;
            appendBounded(markers_, data);
        } else if (opcode == 1) {
            const auto regAddress = static_cast<std::uint32_t>((word >> 32) & 0xFFFF);
            if (regAddress >= kGeneralUse && regAddress < kGeneralUse + 0x100 && regAddress % 4 == 0) {
                generalUse_[(regAddress - kGeneralUse) / 4] = data;
            }
        }
    }
    runningUntil_ = after(steps * stepNanoseconds_);
}

// ---- MeasureUnit ---------------------------------------------------------------------

void MeasureUnit::setLatencies(std::uint64_t armNs, std::uint64_t stopNs, std::uint64_t abortNs) {
    armNs_ = armNs;
    stopNs_ = stopNs;
    abortNs_ = abortNs;
}

bool MeasureUnit::generating() const {
    const std::uint64_t t = now();
    return t >= generatingFrom_ && t < generatingUntil_;
}

bool MeasureUnit::aborted() const {
    return now() >= abortedFrom_;
}

void MeasureUnit::writePacketGenConfig(std::uint32_t value) {
    if ((value & kArmStrobe) != 0) {
        abortedFrom_ = UINT64_MAX;
        generatingFrom_ = neverGenerates_ ? UINT64_MAX : after(armNs_);
        generatingUntil_ = UINT64_MAX;
    }
    if ((value & kStopStrobe) != 0 && !neverStops_) {
        generatingUntil_ = after(stopNs_);
    }
}

void MeasureUnit::writeControl(std::uint32_t value) {
    if ((value & kAbortBit) != 0 && !neverAborts_) {
        abortedFrom_ = after(abortNs_);
    }
    if ((value & kTriggerBit) != 0) {
        ++triggerPulses_;
    }
}

std::uint32_t MeasureUnit::status() const {
    return (generating() ? kGeneratingBit : 0u) | (statusBit0_ ? 1u : 0u);
}

// ---- ChargeBalancer ------------------------------------------------------------------

bool ChargeBalancer::finished(std::uint32_t loop) const {
    return calculated_[loop] && outcome_[loop] != Outcome::kNever && now() >= startedAt_[loop] + latencyNs_;
}

void ChargeBalancer::writeControl(std::uint32_t value) {
    for (std::uint32_t loop = 0; loop < 4; ++loop) {
        if ((value & (1u << loop)) != 0) {
            ++strobes_[loop];
            calculated_[loop] = true;
            startedAt_[loop] = now();
        }
    }
}

std::uint32_t ChargeBalancer::status() const {
    std::uint32_t word = 0;
    for (std::uint32_t loop = 0; loop < 4; ++loop) {
        if (!finished(loop)) {
            continue;
        }
        if (outcome_[loop] == Outcome::kDone || outcome_[loop] == Outcome::kBoth) {
            word |= 1u << (8 + loop);
        }
        if (outcome_[loop] == Outcome::kFailed || outcome_[loop] == Outcome::kBoth) {
            word |= 1u << (16 + loop);
        }
    }
    return word;
}

std::uint32_t ChargeBalancer::offset(std::uint32_t loop) const {
    loop &= 3;
    if (finished(loop) && outcome_[loop] == Outcome::kDone) {
        return (written_[loop] & ~0x3FFFu) | result_[loop];
    }
    return written_[loop];
}

void ChargeBalancer::writeOffset(std::uint32_t loop, std::uint32_t value) {
    written_[loop & 3] = value;
    calculated_[loop & 3] = false;
}

// ---- Adf4002 -------------------------------------------------------------------------

bool Adf4002::locked() const {
    return !neverLocks_ && now() >= lockedFrom_;
}

void Adf4002::shift(std::uint32_t word) {
    appendBounded(words_, word & 0xFFFFFF);
    // Locked a while after a complete programming: the last four words
    // loaded one latch each (control bits 1:0), whatever came before them.
    std::uint32_t latches = 0;
    for (std::size_t i = words_.size() >= 4 ? words_.size() - 4 : words_.size(); i < words_.size(); ++i) {
        latches |= 1u << (words_[i] & 3);
    }
    lockedFrom_ = latches == 0xF ? after(lockDelayNs_) : UINT64_MAX;
}

// ---- SequencerSide -------------------------------------------------------------------

SequencerSide::SequencerSide(FpgaSpace& nonIsolated, FpgaSpace& isolated, bool solstra) {
    placement_ = solstra ? SequencerPlacement{&isolated, 0x100, 0x18000, 0x18400, 0x21B0, 0x2200, 0x80}
                         : SequencerPlacement{&nonIsolated, 0x8100, 0x0, 0x400, 0xC1B0, 0x2000, 0x80};
    FpgaSpace& space = *placement_.sequencerSpace;
    Sequencer& seq = sequencer_;
    localRam_ = &space.add<ModelBlock>(
        placement_.localRam, "sequencer-local-ram", 0x80,
        [&seq](std::uint64_t offset, std::uint32_t& value) {
            if (offset == kCommandHigh) {
                value = seq.commandHigh();
                return true;
            }
            if (offset == kCommandLow) {
                value = seq.commandLow();
                return true;
            }
            return false;
        },
        [&seq](std::uint64_t offset, std::uint32_t value) {
            switch (offset) {
            case kWriteAddress:
                seq.storeAt(value);
                return true;
            case kReadAddress:
                seq.loadFrom(value);
                return true;
            case kCommandHigh:
                seq.writeCommandHigh(value);
                return true;
            case kCommandLow:
                seq.writeCommandLow(value);
                return true;
            default:
                return false;
            }
        });
    channelSequencer_ = &space.add<ModelBlock>(
        placement_.channelSequencer, "sequencer-channel", 0x200,
        [&seq](std::uint64_t offset, std::uint32_t& value) {
            switch (offset) {
            case kSequencerStatus:
                value = seq.status();
                return true;
            case kSequencerMarker:
                value = seq.marker();
                return true;
            case kCommandFifoFullness:
                value = seq.fifoFullness();
                return true;
            default:
                if (offset >= kGeneralUse) {
                    value = seq.generalUse(static_cast<std::uint32_t>((offset - kGeneralUse) / 4));
                    return true;
                }
                return false;
            }
        },
        [&seq](std::uint64_t offset, std::uint32_t value) {
            if (offset == kSequencerControl) {
                if ((value & 1u) != 0) {
                    seq.start();
                }
                return true;
            }
            if (offset >= kGeneralUse) {
                seq.writeGeneralUse(static_cast<std::uint32_t>((offset - kGeneralUse) / 4), value);
                return true;
            }
            return false;
        });
    MeasureUnit& unit = measureUnit_;
    measureUnitBlock_ = &space.add<ModelBlock>(
        placement_.seqFlexLoop + 0x100, "measure-unit", 0x70,
        [&unit](std::uint64_t offset, std::uint32_t& value) {
            if (offset == kMuStatus) {
                value = unit.status();
                return true;
            }
            return false;
        },
        [this, &unit](std::uint64_t offset, std::uint32_t value) {
            if (offset == kMuCtrl) {
                unit.writeControl(value);
                return true;
            }
            if (offset == kMuPacketGenConfig) {
                unit.writePacketGenConfig(value);
                if ((value & MeasureUnit::kArmStrobe) != 0 && !unit.neverGenerates()) {
                    sendPacket();
                }
            }
            return false;
        });
    nonIsolated.add<ModelBlock>(
        placement_.abortedFlag, "measure-stream-aborted", 0x4,
        [&unit](std::uint64_t, std::uint32_t& value) {
            value = unit.aborted() ? 1u : 0u;
            return true;
        },
        [](std::uint64_t, std::uint32_t) { return true; });
    ChargeBalancer& balancer = chargeBalancer_;
    chargeBalancerBlock_ = &isolated.add<ModelBlock>(
        placement_.chargeBalancer, "charge-balancer", 0x18,
        [&balancer](std::uint64_t offset, std::uint32_t& value) {
            if (offset < 0x10) {
                value = balancer.offset(static_cast<std::uint32_t>(offset / 4));
                return true;
            }
            if (offset == kChargeBalancerStatus) {
                value = balancer.status();
                return true;
            }
            return false;
        },
        [&balancer](std::uint64_t offset, std::uint32_t value) {
            if (offset < 0x10) {
                balancer.writeOffset(static_cast<std::uint32_t>(offset / 4), value);
                return true;
            }
            if (offset == kChargeBalancerControl) {
                balancer.writeControl(value);
                return true;
            }
            return false;
        });
    Adf4002& pll = adf4002_;
    adf4002Block_ = &isolated.add<ModelBlock>(
        placement_.adf4002, "adf4002", 0x10,
        [&pll](std::uint64_t offset, std::uint32_t& value) {
            if (offset == kAdfStatus) {
                value = pll.status();
                return true;
            }
            return false;
        },
        [&pll](std::uint64_t offset, std::uint32_t value) {
            if (offset == kAdfShift) {
                pll.shift(value);
            }
            return offset == kAdfStatus;
        });
}

void SequencerSide::sendPacket() {
    std::uint32_t words[kPacketBytes / 4];
    words[0] = sequencer_.marker();
    words[1] = packets_++;
    for (std::uint32_t i = 0; i < 64; ++i) {
        words[2 + i] = sequencer_.generalUse(i);
    }
    if (packetSink_) {
        std::uint8_t packet[kPacketBytes];
        std::memcpy(packet, words, kPacketBytes); // the host and the module are little-endian
        packetSink_(packet, kPacketBytes);
    }
}

} // namespace sim
