// The bridge's interrupt controller: interrupt sources push their ID into
// the interrupt queue, and the bridge raises its interrupt (the MSI, through
// the stand-in) once per queued word while its output is on. Raising never
// turns the output off: the driver masks it itself (line interrupts) and turns
// it on again once it has drained the queue; turning it on while words wait
// raises at once, so no word waits unseen. Under MSI the driver turns it on
// once and never again.
//
// BAR 0 registers (32-bit):
//   0x5C "interrupt-control"  16 settings, one per bit pair (2k+1, 2k): writing
//                             the odd bit sets setting k, the even bit clears
//                             it, neither keeps it, both is a device error.
//                             Reads show each setting in its odd bit. Setting
//                             15 (bits 31/30) turns the interrupt output on.
//   0x60 "interrupt-status"   bit 31 set while the queue holds words, else 0
//                             (read only)
//   0x68 "interrupt-queue"    a read pops one word: the source ID (bits 0-13),
//                             bit 28 (valid) set in every word, bit 30 set
//                             when more words follow; all ones when empty
//                             (read only)
//
// The block has a lock of its own (not the module's), so that a DMA engine
// may fire from under its own lock; raising only hands the interrupt to the
// stand-in, whose interrupt thread runs the driver's handler.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "sim/block.h"

namespace sim {

class BridgeInterrupts {
public:
    static constexpr std::uint64_t kControlOffset = 0x5C;
    static constexpr std::uint64_t kStatusOffset = 0x60;
    static constexpr std::uint64_t kQueueOffset = 0x68;
    static constexpr std::uint32_t kArmSetting = 15;
    static constexpr std::uint32_t kSourceMask = 0x3FFF;
    static constexpr std::uint32_t kMoreWords = 1u << 30;
    static constexpr std::uint32_t kValid = 1u << 28;
    static constexpr std::uint32_t kPending = 1u << 31;

    explicit BridgeInterrupts(RegisterSpace& bar0);

    // How the bridge raises its interrupt (the module connects it to the
    // stand-in, before anything fires). Called with this block's lock held
    // or not; it must only hand the interrupt on, never run the driver's
    // handler.
    void connect(std::function<void()> raise);

    // ---- knobs ----
    // An interrupt source fires: its ID joins the queue.
    void fire(std::uint32_t sourceId);

    // ---- state ----
    std::uint32_t control() const; // as a read of 0x5C shows it
    bool armed() const;
    std::size_t queued() const;
    std::uint64_t raised() const; // interrupts raised so far
    std::uint64_t fired() const;  // words queued so far

private:
    class ControlBlock;
    class StatusBlock;
    class QueueBlock;

    // Under the lock.
    void writeControl(std::uint32_t value);
    std::uint32_t pop();
    void raise();

    mutable std::recursive_mutex mutex_;
    std::function<void()> raise_;
    std::uint32_t settings_ = 0; // bit k: setting k
    std::deque<std::uint32_t> queue_;
    std::uint64_t raised_ = 0;
    std::uint64_t fired_ = 0;
};

} // namespace sim
