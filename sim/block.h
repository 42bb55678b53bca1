// Passive register blocks of the simulated module and the register spaces
// (BARs, configuration space) that route accesses to them.
//
// A block owns a range of a register space and computes what a read returns
// from the writes so far (and, where a block needs it, the stand-in clock).
// Every access that reaches a block lands in the block's trace. Accesses of a
// width the block does not take, misaligned ones and ones outside every block
// are device errors: they are logged in the module's error log (reads answer
// all ones, writes are dropped), and tests assert that it stays empty.
//
// New blocks join a register space with RegisterSpace::add without touching
// the blocks already there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// A value as "0x" and upper-case hexadecimal digits, for device-error texts.
std::string hex(std::uint64_t value);

// Appends to a trace that keeps the latest entries only: a full trace drops
// its older half first, so a module that serves requests for days keeps its
// memory bounded, and a test still sees every entry it caused.
template <typename T>
void appendBounded(std::vector<T>& trace, T entry, std::size_t limit = std::size_t{1} << 16) {
    if (trace.size() >= limit) {
        trace.erase(trace.begin(), trace.begin() + static_cast<std::ptrdiff_t>(limit / 2));
    }
    trace.push_back(std::move(entry));
}

// The module's lock: recursive (a block's knob may call another's); taking it
// again costs no atomic read-modify-write. Lockable: std::lock_guard and
// std::unique_lock take it.
//
// A settler (the FPGA-loading engine) may keep work that arrived without the
// lock: whoever takes the lock first (not again) has it settled before
// anything else happens under the lock, so everything done under the lock
// sees the module as if that work had been done at once.
class ModuleMutex {
public:
    class Settler {
    public:
        // Under the lock; self is the thread tag of the thread taking it.
        virtual void settle(const void* self) = 0;

    protected:
        ~Settler() = default;
    };

    ModuleMutex() = default;
    ModuleMutex(const ModuleMutex&) = delete;
    ModuleMutex& operator=(const ModuleMutex&) = delete;

    // Set once the settler exists, cleared before it goes (null: none).
    void setSettler(Settler* settler) {
        std::lock_guard g(*this);
        settler_ = settler;
    }

    void lock() {
        const void* const self = threadTag();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        if (!mutex_.try_lock()) {
            const Waiting waiting(*this, self);
            mutex_.lock();
        }
        taken(self);
    }
    bool try_lock() {
        const void* const self = threadTag();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return true;
        }
        if (!mutex_.try_lock()) {
            return false;
        }
        taken(self);
        return true;
    }
    // Only by the thread that holds it.
    void unlock() {
        if (--depth_ == 0) {
            owner_.store(nullptr, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

    // A thread's identity: the address of a thread-local byte. Only the
    // holder stores its own tag as the owner, so a thread reads its tag back
    // exactly while it holds the lock.
    static const void* threadTag() {
        static thread_local char tag;
        return &tag;
    }

    // Whether the thread of that tag waits for the lock now (one of the
    // first kWaiterSlots threads to wait at once): a test that holds a
    // request at a tap sees another request reach the module.
    bool isWaiting(const void* tag) const {
        for (const auto& slot : waiters_) {
            if (slot.load() == tag) {
                return true;
            }
        }
        return false;
    }

private:
    static constexpr std::size_t kWaiterSlots = 8;
    // A waiter's slot for as long as it waits (none when all are taken).
    class Waiting {
    public:
        Waiting(ModuleMutex& mutex, const void* self) {
            for (auto& slot : mutex.waiters_) {
                const void* none = nullptr;
                if (slot.compare_exchange_strong(none, self)) {
                    slot_ = &slot;
                    return;
                }
            }
        }
        ~Waiting() {
            if (slot_ != nullptr) {
                slot_->store(nullptr);
            }
        }
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;

    private:
        std::atomic<const void*>* slot_ = nullptr;
    };

    void taken(const void* self) {
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
        if (settler_ != nullptr) {
            settler_->settle(self);
        }
    }

    std::mutex mutex_;
    std::atomic<const void*> owner_{nullptr};
    std::atomic<const void*> waiters_[kWaiterSlots] = {};
    unsigned depth_ = 0; // the holder's
    Settler* settler_ = nullptr;
};

// Widths a block takes, as a mask of byte counts.
constexpr std::uint32_t kWidth8 = 1u << 1;
constexpr std::uint32_t kWidth16 = 1u << 2;
constexpr std::uint32_t kWidth32 = 1u << 4;
constexpr std::uint32_t kWidth64 = 1u << 8;

struct Access {
    bool write = false;
    std::uint64_t offset = 0; // inside the block
    std::uint32_t width = 0;  // bytes
    std::uint64_t value = 0;  // written, or returned by the read
};

// The device errors of one module.
class ErrorLog {
public:
    void report(std::string text);
    std::size_t count() const;
    std::vector<std::string> entries() const;
    void clear();

private:
    mutable std::mutex lock_;
    std::vector<std::string> entries_;
};

class Block {
public:
    Block(std::string name, std::uint64_t size, std::uint32_t widths);
    virtual ~Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    const std::string& name() const { return name_; }
    std::uint64_t size() const { return size_; }
    bool takesWidth(std::uint32_t width) const { return width < 32 && (widths_ & (1u << width)) != 0; }

    // The accesses that reached this block, oldest first (the latest 65536).
    std::vector<Access> trace() const;
    void clearTrace();
    // Shorthands over the trace.
    std::size_t writeCount(std::uint64_t offset) const;
    std::size_t readCount(std::uint64_t offset) const;
    std::vector<std::uint64_t> writtenValues(std::uint64_t offset) const;
    // A tap on one offset: called under the module's lock before the block
    // sees an access there, read or write. It may block, and holds the
    // accessing thread there meanwhile (a test's way to pause a request at
    // that access). An empty function removes it.
    void setTap(std::uint64_t offset, std::function<void()> tap);

protected:
    // The behaviour: called under the module's lock with an offset inside the
    // block, aligned to a width the block takes.
    virtual std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) = 0;
    virtual void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) = 0;
    // The module's lock, for the knobs of derived blocks.
    std::unique_lock<ModuleMutex> guard() const;
    ErrorLog& errors() const { return *errors_; }
    // A write as if the bus had just delivered it (traced, then onWrite), for
    // a block that took it without the lock. Under the lock.
    void deliverWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
        write(offset, width, value);
    }

private:
    friend class RegisterSpace;
    friend class FpgaSpace;
    std::uint64_t read(std::uint64_t offset, std::uint32_t width);
    void write(std::uint64_t offset, std::uint32_t width, std::uint64_t value);
    void record(const Access& access);
    // Visits the trace oldest first.
    template <typename F> void forEachAccess(F&& visit) const;

    std::string name_;
    std::uint64_t size_;
    std::uint32_t widths_;
    ModuleMutex* mutex_ = nullptr;
    ErrorLog* errors_ = nullptr;
    // The trace as a ring: it grows to its limit, then the oldest entry
    // (at traceHead_) is overwritten. A plain store per access: the FPGA
    // download alone records a write per 8 bytes of firmware.
    std::vector<Access> trace_;
    std::size_t traceHead_ = 0;
    std::function<void()> tap_;
    std::uint64_t tapOffset_ = 0;
};

// Non-overlapping blocks placed at bases inside a space, sorted by base: the
// placement that RegisterSpace and FpgaSpace share. The caller holds the
// module's lock.
class BlockPlacement {
public:
    struct Placed {
        std::uint64_t base;
        std::unique_ptr<Block> block;
    };

    // Throws std::logic_error when the block leaves [0, spaceSize), its base is
    // not a multiple of alignment, it overlaps another or its name is taken.
    void insert(std::uint64_t base, std::unique_ptr<Block> block, std::uint64_t spaceSize,
                const std::string& spaceName, std::uint64_t alignment);
    void remove(std::string_view name);
    // The block of that name, or null.
    const Placed* find(std::string_view name) const;
    // The block whose range holds offset, or null.
    const Placed* holding(std::uint64_t offset) const;

private:
    std::vector<Placed> blocks_; // sorted by base
    // The block that the last lookup found: runs of accesses (a download, a
    // poll) go to one block. Forgotten whenever blocks_ changes.
    mutable const Placed* last_ = nullptr;
};

// One address space of a module (a BAR or the configuration space): a set of
// non-overlapping blocks.
class RegisterSpace {
public:
    RegisterSpace(std::string name, std::uint64_t size, ModuleMutex& mutex, ErrorLog& errors);

    const std::string& name() const { return name_; }
    std::uint64_t size() const { return size_; }

    // Places a block at base; throws std::logic_error when it overlaps another
    // block, leaves the space or its name is taken.
    template <typename T, typename... Args> T& add(std::uint64_t base, Args&&... args) {
        auto block = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *block;
        insert(base, std::move(block));
        return ref;
    }
    void insert(std::uint64_t base, std::unique_ptr<Block> block);
    // Removes a block by name (nothing when absent).
    void remove(std::string_view name);
    // The block of that name, or null.
    Block* find(std::string_view name) const;
    template <typename T> T* find(std::string_view name) const { return dynamic_cast<T*>(find(name)); }
    // Base of a block within the space (throws std::out_of_range when absent).
    std::uint64_t baseOf(std::string_view name) const;
    // The block whose range holds offset, and the offset inside it (null: none).
    std::pair<Block*, std::uint64_t> blockAt(std::uint64_t offset) const;

    // Access by the bus: routed to the block that holds [offset, offset + width).
    std::uint64_t read(std::uint64_t offset, std::uint32_t width);
    void write(std::uint64_t offset, std::uint32_t width, std::uint64_t value);

private:
    const BlockPlacement::Placed* route(std::uint64_t offset, std::uint32_t width, bool write,
                                        std::uint64_t value);
    void reportMisrouted(const BlockPlacement::Placed* p, std::uint64_t offset, std::uint32_t width,
                         bool write, std::uint64_t value);

    std::string name_;
    std::uint64_t size_;
    ModuleMutex& mutex_;
    ErrorLog& errors_;
    BlockPlacement blocks_;
};

// All ones of a width (1, 2, 4 or 8 bytes).
constexpr std::uint64_t allOnes(std::uint32_t width) {
    return width >= 8 ? ~0ULL : (1ULL << (8 * width)) - 1;
}

} // namespace sim
