// The sequencer's local RAM: 16384 command words, written and read one word
// at a time through four registers of the sequencer map (command high and
// low halves, write address, read address). The address registers act as
// strobes: writing an address stores the two halves into that word, or loads
// that word into them. Only setup writes it (level 17's download), under the
// device mutex while the gate keeps every request out: no other path reaches
// the registers meanwhile, so its accesses take no tree lock.
#pragma once

#include <stdint.h>

#include "controllers/sequencer_commands.h"
#include "framework/mutex_holder.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/vohtl/vector.h"
#include "regs/register_map.h"

namespace wexmoortools {

// Where a writer of commands stores them (the downloader's view).
class CommandWriterInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~CommandWriterInterface() = default;
    // Stores commands[i] at word startAddress + i; -52005 when the range
    // runs past the end of the RAM.
    virtual void write(const vohtl::Vector<Command>& commands, uint32_t startAddress,
                       nVOAPALS100::tStatus& status) = 0;
};

template <typename SequencerMap> class LocalRAMController : public CommandWriterInterface {
public:
    static constexpr uint64_t kDefaultSize = 16384;

    // The map is not owned. The lock is made only while the status is not fatal (-52000).
    LocalRAMController(SequencerMap& map, nVOAPALS100::tStatus& status, uint64_t size = kDefaultSize)
        : commandHigh_(map.SeqLocalCommandHigh), commandLow_(map.SeqLocalCommandLow),
          writeAddress_(map.SeqLocalRamWriteAddress), readAddress_(map.SeqLocalRamReadAddress), size_(size) {
        nVOAPAL200_createMutex(&lock_, &status);
    }
    ~LocalRAMController() override = default;
    LocalRAMController(const LocalRAMController&) = delete;
    LocalRAMController& operator=(const LocalRAMController&) = delete;

    void write(const vohtl::Vector<Command>& commands, uint32_t startAddress,
               nVOAPALS100::tStatus& status) override {
        write(commands.data(), commands.size(), startAddress, status);
    }

    void write(const Command* commands, uint64_t count, uint32_t startAddress, nVOAPALS100::tStatus& status) {
        if (status.isFatal() || !inRange(startAddress, count, status)) {
            return;
        }
        kdut::internal::MutexHolder hold(lock_);
        for (uint64_t i = 0; i < count && status.isNotFatal(); ++i) {
            store(commandHigh_, static_cast<uint32_t>(commands[i] >> 32), status);
            store(commandLow_, static_cast<uint32_t>(commands[i]), status);
            store(writeAddress_, static_cast<uint32_t>(startAddress + i), status);
        }
    }

    // Fills every entry of commands from word startAddress on.
    void read(vohtl::Vector<Command>& commands, uint32_t startAddress, nVOAPALS100::tStatus& status) {
        if (status.isFatal() || !inRange(startAddress, commands.size(), status)) {
            return;
        }
        kdut::internal::MutexHolder hold(lock_);
        for (uint64_t i = 0; i < commands.size(); ++i) {
            store(readAddress_, static_cast<uint32_t>(startAddress + i), status);
            if (status.isNotFatal()) {
                arm::refreshRecord(commandHigh_, status);
            }
            if (status.isNotFatal()) {
                arm::refreshRecord(commandLow_, status);
            }
            commands[i] = (static_cast<uint64_t>(commandHigh_.softCopy) << 32) | commandLow_.softCopy;
        }
    }

    uint64_t getSize() const { return size_; }

private:
    bool inRange(uint64_t startAddress, uint64_t count, nVOAPALS100::tStatus& status) const {
        if (count > size_ || startAddress > size_ - count) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
            return false;
        }
        return true;
    }
    // Takes the value and writes the register at once, whether or not it changed.
    template <typename Record>
    static void store(Record& record, uint32_t value, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        arm::insertIntoRecord(record, 0xFFFFFFFFu, value);
        record.flush(status, true);
    }

    typename SequencerMap::tSeqLocalCommandHighReg& commandHigh_;
    typename SequencerMap::tSeqLocalCommandLowReg& commandLow_;
    typename SequencerMap::tSeqLocalRamWriteAddressReg& writeAddress_;
    typename SequencerMap::tSeqLocalRamReadAddressReg& readAddress_;
    uint64_t size_;
    kelvo_driver::nVOAPAL000::tMutex lock_;
};

} // namespace wexmoortools
