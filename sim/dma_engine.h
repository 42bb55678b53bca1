// The bridge's scatter-gather DMA engine, one per channel, and the blocks of
// the non-isolated FPGA that feed or drain it.
//
// Channel 0 moves device-to-host (measurement data from a producer into host
// memory), channel 1 host-to-device (command data from host memory into a
// sink). The engine walks the link chain the driver built, reaching host
// memory only through the stand-in's bus-address registry (kal::dma), which
// refuses and records addresses that are not mapped; it never serves them.
//
// Channel register block (bridge BAR, per channel):
//   0x48 u64 LinkAddress, 0x50 LinkSize, 0x54 ChannelControl (bit 25 notify-at
//   interrupt enable), 0x58 ChannelOperation (strobes: 0x1 start, 0x2 stop,
//   0x02000000 arm notify-at), 0x60 ChannelStatus (bit 14 started; bit 15
//   ended; bit 27 ended on an error), 0x90 u64 NotifyAtCount, 0xA0 u64
//   TotalTransferCount. Other registers latch.
// Stream circuit (4 KiB window in the non-isolated FPGA, kernel circuit n at
// 0x14000 + n * 0x2000): 0x800 control/status (command values 0x4, 0x1, 0x2,
// 0x100 enable, 0x200 / 0x800 stop; bit 8 data-transfer enable, bit 10 reset
// complete), 0x810 additive transfer count (write: adds to the host-to-device
// allowance; read: the transfer count).
// Stream control (0x80 of the board window): 0x0 measure FIFO reset, 0x4
// command FIFO reset. Credits (Solstra, 0x2300): 0x0 status (bit 17 stopped),
// 0x4 control (bit 16 start, bit 17 stop).
//
// Behaviour: the start strobe sets the started bit at once, clears the end
// bits and the transfer count; the stop strobe ends the channel at once (a
// running engine finishes the chunk it is moving first). Data moves in
// chunks of at most kChunk bytes, one chunk per step; a chunk that ends a
// transfer entry goes on over the following entries that fit whole (one burst,
// one gathering access through kal::dma), stopping at the entry that reaches
// an armed notify-at count, so counts and notifications fall where an
// entry-by-entry walk would put them; a host-to-device
// channel moves only bytes the additive count allowed, while data-transfer is
// enabled and (Solstra channel 1) the credits are started; bytes allowed are
// delivered synchronously on the write that allows them. Self-configuration
// entries are decoded and recorded. The notify-at comparison is checked when
// armed, when ChannelControl is written and at every advance; when it holds
// (armed, enabled, count reached) the engine disarms and hands its channel
// number to the notify handler (the module queues it in the bridge's
// interrupt queue), under the engine's lock.
//
// The engine runs on its own thread (started by the first start strobe) unless
// step mode is on; in step mode a test advances it with step().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/latch_block.h"
#include "standin/control.h"

namespace sim {

class DmaEngine {
public:
    static constexpr std::uint64_t kChunk = 64 * 1024;
    static constexpr std::uint32_t kMaxLinkSize = 64 * 1024;
    static constexpr std::uint32_t kStarted = 1u << 14;
    static constexpr std::uint32_t kEnded = 1u << 15;
    static constexpr std::uint32_t kEndedOnError = 1u << 27;
    static constexpr std::uint32_t kNotifyAtEnable = 0x02000000u;
    static constexpr std::uint32_t kDataTransferEnable = 1u << 8;
    static constexpr std::uint32_t kResetComplete = 1u << 10;

    struct SelfConfig {
        std::uint32_t offset;
        std::uint32_t data;
        std::uint32_t sizeCode;
    };
    // Device-to-host data: fills up to `size` bytes at `into`, returns how many.
    using Producer = std::function<std::size_t(std::uint8_t* into, std::size_t size)>;
    // Host-to-device data as it arrives.
    using Sink = std::function<void(const std::uint8_t* data, std::size_t size)>;

    DmaEngine(std::uint32_t channel, bool needsCredits, std::function<void*()> pciHandle);
    ~DmaEngine();
    DmaEngine(const DmaEngine&) = delete;
    DmaEngine& operator=(const DmaEngine&) = delete;

    bool deviceToHost() const { return channel_ == 0; }
    // The channel block serves the engine's registers from now on (before: a plain latch).
    void attach() { attached_.store(true); }
    bool attached() const { return attached_.load(); }

    // ---- register side (the blocks call these) ----
    void start(std::uint64_t linkAddress, std::uint32_t linkSize);
    void stop();
    void arm(std::uint64_t notifyAt);
    void setNotifyAt(std::uint64_t notifyAt);
    void setControl(std::uint32_t control);
    std::uint32_t status() const;
    std::uint64_t transferCount() const;
    void streamCommand(std::uint32_t value);
    std::uint32_t streamStatus() const;
    void addAllowance(std::uint32_t bytes);
    void creditCommand(std::uint32_t value);
    std::uint32_t creditStatus() const;
    void resetFifo();

    // ---- mode ----
    // Step mode joins the thread; off, the thread starts with the next start strobe.
    void setStepMode(bool on);
    // Step mode: advances up to `units` steps (link fetch, entry or chunk);
    // returns the steps made (fewer when the engine is idle or waits for data).
    std::size_t step(std::size_t units = 1);
    std::size_t runUntilBlocked(std::size_t maxUnits = SIZE_MAX);

    // ---- producer and sink ----
    // Bytes the device produces next (device-to-host), after what is queued.
    void inject(const void* data, std::size_t size);
    // Replaces the injected queue by a producer (null: back to the queue).
    void setProducer(Producer producer);
    // Host-to-device: null collects the bytes (sunk()), else they go to the sink.
    void setSink(Sink sink);
    // Host-to-device: the device side the bytes also reach, whatever the sink
    // (the module connects channel 1 to the sequencer's command FIFO).
    void setDeviceSide(Sink deviceSide);
    // The collected bytes, the latest ones: past kSunkLimit the oldest go,
    // down to the latest kSunkKept (a long run keeps bounded memory).
    static constexpr std::size_t kSunkKept = 16u << 20;
    static constexpr std::size_t kSunkLimit = 2 * kSunkKept;
    std::vector<std::uint8_t> sunk() const;
    void clearSunk();
    std::uint64_t sunkBytes() const;
    std::size_t queuedBytes() const;

    // Where notify-at events go (the module connects the bridge's interrupt
    // queue). Called under the engine's lock: it must not call back into the engine.
    void setNotifyHandler(std::function<void(std::uint32_t channel)> handler);

    // ---- knobs ----
    void setNeverStarts(bool on);
    void setNeverEnds(bool on);
    void setStreamNeverEnables(bool on);
    void setStreamNeverResets(bool on);
    void setCreditsNeverStop(bool on);

    // ---- observations ----
    bool running() const;
    std::uint64_t notifyEvents() const;
    // The self-configuration entries walked and the stream commands written,
    // oldest first, the latest 64 Ki of each at most.
    std::vector<SelfConfig> selfConfigs() const;
    std::vector<std::uint32_t> streamCommands() const;
    std::uint64_t fifoResets() const;
    std::uint64_t linkFetches() const;
    std::uint64_t allowance() const;
    bool creditsStarted() const;
    // Malformed chains and refused accesses seen by the engine.
    std::vector<std::string> faults() const;
    void clearFaults();

private:
    bool advance(); // under the lock; false when nothing can move
    void pump();    // under the lock: host-to-device, synchronously as far as allowed
    void checkNotify();
    void end(std::uint32_t bits);
    void fault(const std::string& what);
    void threadMain();
    void ensureThread(); // under the lock

    const std::uint32_t channel_;
    const bool needsCredits_;
    std::function<void*()> pciHandle_;
    std::function<void(std::uint32_t)> notify_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
    std::atomic<bool> attached_{false};
    bool stepMode_ = false;
    bool quit_ = false;

    // channel
    bool running_ = false;
    std::uint32_t status_ = 0;
    std::uint32_t control_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t notifyAt_ = 0;
    bool armed_ = false;
    std::uint64_t notifyEvents_ = 0;
    // walk position
    std::uint64_t linkAddress_ = 0;
    std::uint32_t linkSize_ = 0;
    bool linkLoaded_ = false;
    std::vector<std::uint8_t> link_;
    std::uint32_t entry_ = 0;     // offset in the link
    std::uint64_t entryDone_ = 0; // bytes of the current transfer entry moved
    // The staging buffer, page-aligned: string copies into and out of a
    // misaligned one run a quarter slower on large streams.
    struct alignas(4096) Chunk {
        std::uint8_t bytes[kChunk];
    };
    std::unique_ptr<Chunk> buffer_;
    std::vector<kal::dma::Run> runs_; // the burst being moved
    // stream circuit, credits, FIFO
    bool transferEnabled_ = false;
    bool resetComplete_ = false;
    std::uint64_t allowance_ = 0;
    bool creditsStarted_ = false;
    bool creditsStopped_ = true;
    std::uint64_t fifoResets_ = 0;
    // data
    std::vector<std::uint8_t> queue_;
    std::size_t queueRead_ = 0;
    Producer producer_;
    Sink sink_;
    Sink deviceSide_;
    std::vector<std::uint8_t> sunk_;
    std::uint64_t sunkBytes_ = 0;
    // knobs and records
    bool neverStarts_ = false;
    bool neverEnds_ = false;
    bool neverEnables_ = false;
    bool neverResets_ = false;
    bool creditsNeverStop_ = false;
    std::vector<SelfConfig> selfConfigs_;
    std::vector<std::uint32_t> streamCommands_;
    std::uint64_t linkFetches_ = 0;
    std::vector<std::string> faults_;
};

// A DMA channel's register block in the bridge BAR.
class DmaChannelBlock : public LatchBlock {
public:
    DmaChannelBlock(std::string name, std::uint64_t size, DmaEngine& engine);

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    DmaEngine& engine_;
};

// A stream circuit's 4 KiB window.
class StreamCircuitBlock : public LatchBlock {
public:
    static constexpr std::uint64_t kSize = 0x1000;
    static constexpr std::uint64_t kControlStatus = 0x800;
    static constexpr std::uint64_t kAdditiveCount = 0x810;
    StreamCircuitBlock(std::string name, DmaEngine& engine);

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    DmaEngine& engine_;
};

// The FIFO reset strobes of both stream circuits (measure at 0x0, command at 0x4).
class StreamControlBlock : public LatchBlock {
public:
    static constexpr std::uint64_t kSize = 0x80;
    StreamControlBlock(DmaEngine& measure, DmaEngine& command);

protected:
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    DmaEngine& measure_;
    DmaEngine& command_;
};

// The transmit credit control and status of the command stream (Solstra).
class CreditBlock : public LatchBlock {
public:
    static constexpr std::uint64_t kSize = 0x20;
    explicit CreditBlock(DmaEngine& engine);

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    DmaEngine& engine_;
};

} // namespace sim
