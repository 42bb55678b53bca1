// The bridge's FPGA-loading engine (BAR 0 0x440, "fpga-loading"):
//   0x00 control (write-only): bit 0 starts a load of the byte count
//   0x08 status (read-only): bit 2 ready for data (from the start until the
//        count is reached), bit 5 done (the count reached); the status knob's
//        bits are OR'd in
//   0x18 byte count (latch)
//   0x20 data port (write-only): 64-bit writes carry 8 bytes, 8-bit writes one;
//        ignored outside a load
// The stream goes to the FPGA that the active configuration port selects
// (0x510 bits 8-10): 2 the non-isolated FPGA (target 0), 3 the isolated one
// (target 1). At the count, the FPGA becomes configured only when the bytes
// are an image of this board's generation and that target: the header
// (magic "KLVF", generation, target) and the CRC-32 of everything before the
// last 4 bytes in those bytes. Loading runs at memory speed: the engine
// checks the stream as it arrives (the header, a running CRC-32, the last 4
// bytes) and keeps none of the rest.
//
// The data port's 64-bit writes, hundreds of thousands per download, come in
// without the module's lock (Module::memoryWrite hands them to queueData):
// they wait in a queue that one thread at a time fills, and whoever takes the
// module's lock next delivers them before anything else (the download's
// status read after every 30th write does), each traced and taken as if it
// had just arrived. Anything done under the lock, the accessors below too,
// sees the loader as if every write had been taken at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "sim/latch_block.h"

namespace sim {

class FpgaLoader : public LatchBlock, public ModuleMutex::Settler {
public:
    static constexpr std::uint64_t kControl = 0x00;
    static constexpr std::uint64_t kStatus = 0x08;
    static constexpr std::uint64_t kByteCount = 0x18;
    static constexpr std::uint64_t kData = 0x20;
    static constexpr std::uint32_t kReady = 1u << 2;
    static constexpr std::uint32_t kDone = 1u << 5;
    static constexpr std::uint32_t kMagic = 0x46564C4B;
    static constexpr std::uint32_t kSolstra = 1;
    static constexpr std::uint32_t kDuskmere = 2;
    // The longest load that can configure an FPGA (a longer one is taken but
    // configures nothing).
    static constexpr std::uint64_t kKeptBytes = 16u << 20;
    static constexpr std::uint64_t kHeaderBytes = 12; // magic, generation, target

    // generation: kSolstra or kDuskmere; configPorts: the block at 0x510.
    FpgaLoader(std::uint32_t generation, const LatchBlock& configPorts);

    // ---- knobs ----
    void setStatusBits(std::uint32_t bits);
    void setReadyNever(bool never);
    void setDoneNever(bool never);
    // On: the CRC of every load is taken as wrong (no FPGA becomes configured).
    void setWrongCrc(bool wrong);
    // The FPGA of target 0 or 1 as if a load of its own image had completed
    // (true) or as at power-up (false).
    void setConfigured(std::uint32_t target, bool configured);
    // Called (under the module's lock) whenever an FPGA becomes configured.
    void setOnConfigured(std::function<void(std::uint32_t target)> onConfigured);

    // ---- state ----
    // Whether the FPGA of target 0 or 1 holds an image of its own.
    bool configured(std::uint32_t target) const;
    // Bytes received by the load in progress or the last one.
    std::uint64_t received() const;
    // Completed loads so far.
    std::uint32_t loads() const;

    // ---- the bus side ----
    // Queues a 64-bit write of the data port without the module's lock;
    // false when the calling thread must deliver it under the lock instead
    // (another thread is filling the queue, or it is full).
    bool queueData(std::uint64_t value);
    void settle(const void* self) override;

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    void finish(); // under the lock
    // The next bytes of the stream (bytes <= 8 of value, in memory order),
    // all of them inside the count. Under the lock.
    void take(std::uint64_t value, std::uint64_t bytes);

    std::uint32_t generation_;
    const LatchBlock& configPorts_;
    std::uint32_t statusBits_ = 0;
    bool readyNever_ = false;
    bool doneNever_ = false;
    bool wrongCrc_ = false;
    bool loading_ = false;
    bool done_ = false;
    std::uint64_t count_ = 0;
    std::uint32_t port_ = 0;
    std::uint64_t received_ = 0;
    std::uint8_t header_[kHeaderBytes] = {};
    std::uint32_t crc_ = 0;     // running CRC-32 register over the bytes before the last 4
    std::uint8_t tail_[4] = {}; // the last 4 bytes of the count
    void setConfiguredUnlocked(std::uint32_t target, bool configured);

    bool configured_[2] = {false, false};
    std::function<void(std::uint32_t)> onConfigured_;
    std::uint32_t loads_ = 0;

    // The queue: written values at [queueTail_, queueHead_) modulo its size. Only the
    // thread whose tag is producer_ appends; it claims the queue when it is
    // free and frees it when it takes the module's lock itself.
    static constexpr std::size_t kQueued = 1024;
    std::atomic<std::uint64_t> queue_[kQueued];
    std::atomic<std::uint64_t> queueHead_{0};
    std::atomic<std::uint64_t> queueTail_{0};
    std::atomic<const void*> producer_{nullptr};
};

} // namespace sim
