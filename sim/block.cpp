#include "sim/block.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {

namespace {
constexpr std::size_t kTraceLimit = 1u << 16;
} // namespace

std::string hex(std::uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
    return buffer;
}

void ErrorLog::report(std::string text) {
    std::lock_guard g(lock_);
    entries_.push_back(std::move(text));
}
std::size_t ErrorLog::count() const {
    std::lock_guard g(lock_);
    return entries_.size();
}
std::vector<std::string> ErrorLog::entries() const {
    std::lock_guard g(lock_);
    return entries_;
}
void ErrorLog::clear() {
    std::lock_guard g(lock_);
    entries_.clear();
}

Block::Block(std::string name, std::uint64_t size, std::uint32_t widths)
    : name_(std::move(name)), size_(size), widths_(widths) {}

std::unique_lock<ModuleMutex> Block::guard() const {
    if (mutex_ == nullptr) {
        return {};
    }
    return std::unique_lock(*mutex_);
}

template <typename F> void Block::forEachAccess(F&& visit) const {
    for (std::size_t i = traceHead_; i < trace_.size(); ++i) {
        visit(trace_[i]);
    }
    for (std::size_t i = 0; i < traceHead_; ++i) {
        visit(trace_[i]);
    }
}

std::vector<Access> Block::trace() const {
    auto g = guard();
    std::vector<Access> accesses;
    accesses.reserve(trace_.size());
    forEachAccess([&](const Access& a) { accesses.push_back(a); });
    return accesses;
}

void Block::clearTrace() {
    auto g = guard();
    trace_.clear();
    traceHead_ = 0;
}

std::size_t Block::writeCount(std::uint64_t offset) const {
    auto g = guard();
    std::size_t count = 0;
    forEachAccess([&](const Access& a) { count += a.write && a.offset == offset ? 1 : 0; });
    return count;
}

std::size_t Block::readCount(std::uint64_t offset) const {
    auto g = guard();
    std::size_t count = 0;
    forEachAccess([&](const Access& a) { count += !a.write && a.offset == offset ? 1 : 0; });
    return count;
}

std::vector<std::uint64_t> Block::writtenValues(std::uint64_t offset) const {
    auto g = guard();
    std::vector<std::uint64_t> values;
    forEachAccess([&](const Access& a) {
        if (a.write && a.offset == offset) {
            values.push_back(a.value);
        }
    });
    return values;
}

void Block::record(const Access& access) {
    if (trace_.size() < kTraceLimit) {
        trace_.push_back(access);
        return;
    }
    trace_[traceHead_] = access;
    traceHead_ = (traceHead_ + 1) % kTraceLimit;
}

void Block::setTap(std::uint64_t offset, std::function<void()> tap) {
    auto g = guard();
    tap_ = std::move(tap);
    tapOffset_ = offset;
}

std::uint64_t Block::read(std::uint64_t offset, std::uint32_t width) {
    if (tap_ && offset == tapOffset_) {
        tap_();
    }
    const std::uint64_t value = onRead(offset, width) & allOnes(width);
    record({false, offset, width, value});
    return value;
}

void Block::write(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    if (tap_ && offset == tapOffset_) {
        tap_();
    }
    value &= allOnes(width);
    record({true, offset, width, value});
    onWrite(offset, width, value);
}

RegisterSpace::RegisterSpace(std::string name, std::uint64_t size, ModuleMutex& mutex, ErrorLog& errors)
    : name_(std::move(name)), size_(size), mutex_(mutex), errors_(errors) {}

void BlockPlacement::insert(std::uint64_t base, std::unique_ptr<Block> block, std::uint64_t spaceSize,
                            const std::string& spaceName, std::uint64_t alignment) {
    const std::uint64_t size = block->size();
    if (size == 0 || base > spaceSize || spaceSize - base < size || base % alignment != 0) {
        throw std::logic_error("block " + block->name() + " does not fit into " + spaceName);
    }
    for (const Placed& p : blocks_) {
        if (p.block->name() == block->name()) {
            throw std::logic_error("block name taken: " + block->name());
        }
        if (base < p.base + p.block->size() && p.base < base + size) {
            throw std::logic_error("block " + block->name() + " overlaps " + p.block->name());
        }
    }
    last_ = nullptr;
    blocks_.push_back({base, std::move(block)});
    std::sort(blocks_.begin(), blocks_.end(),
              [](const Placed& a, const Placed& b) { return a.base < b.base; });
}

void BlockPlacement::remove(std::string_view name) {
    last_ = nullptr;
    std::erase_if(blocks_, [&](const Placed& p) { return p.block->name() == name; });
}

const BlockPlacement::Placed* BlockPlacement::find(std::string_view name) const {
    auto it = std::find_if(blocks_.begin(), blocks_.end(),
                           [&](const Placed& p) { return p.block->name() == name; });
    return it == blocks_.end() ? nullptr : &*it;
}

const BlockPlacement::Placed* BlockPlacement::holding(std::uint64_t offset) const {
    if (last_ != nullptr && offset - last_->base < last_->block->size()) {
        return last_;
    }
    // The last block whose base is at or below offset (a plain binary search:
    // every access of a module comes here, the FPGA download's too).
    const Placed* const first = blocks_.data();
    std::size_t low = 0;
    std::size_t high = blocks_.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (first[mid].base <= offset) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low == 0) {
        return nullptr;
    }
    const Placed& p = first[low - 1];
    if (offset - p.base >= p.block->size()) {
        return nullptr;
    }
    last_ = &p;
    return &p;
}

void RegisterSpace::insert(std::uint64_t base, std::unique_ptr<Block> block) {
    std::lock_guard g(mutex_);
    block->mutex_ = &mutex_;
    block->errors_ = &errors_;
    blocks_.insert(base, std::move(block), size_, name_, 1);
}

void RegisterSpace::remove(std::string_view name) {
    std::lock_guard g(mutex_);
    blocks_.remove(name);
}

Block* RegisterSpace::find(std::string_view name) const {
    std::lock_guard g(mutex_);
    const BlockPlacement::Placed* p = blocks_.find(name);
    return p == nullptr ? nullptr : p->block.get();
}

std::uint64_t RegisterSpace::baseOf(std::string_view name) const {
    std::lock_guard g(mutex_);
    if (const BlockPlacement::Placed* p = blocks_.find(name)) {
        return p->base;
    }
    throw std::out_of_range("no block " + std::string(name) + " in " + name_);
}

std::pair<Block*, std::uint64_t> RegisterSpace::blockAt(std::uint64_t offset) const {
    std::lock_guard g(mutex_);
    const BlockPlacement::Placed* p = blocks_.holding(offset);
    return p == nullptr ? std::pair<Block*, std::uint64_t>{} : std::pair{p->block.get(), offset - p->base};
}

// The device error of an access that no block takes. Kept out of route(),
// which every access of a module passes: its strings would cost each of them
// a large stack frame.
[[gnu::cold, gnu::noinline]] void RegisterSpace::reportMisrouted(const BlockPlacement::Placed* p,
                                                                 std::uint64_t offset, std::uint32_t width,
                                                                 bool write, std::uint64_t value) {
    const char* what = write ? "write" : "read";
    if (p == nullptr) {
        errors_.report(name_ + ": " + std::to_string(width * 8) + "-bit " + what + " at " + hex(offset) +
                       " outside every block" + (write ? " (value " + hex(value) + ")" : ""));
        return;
    }
    errors_.report(name_ + ": " + std::to_string(width * 8) + "-bit " + what + " at " + hex(offset) + " (" +
                   p->block->name() + "+" + hex(offset - p->base) +
                   ") of a width or alignment the block does not take");
}

const BlockPlacement::Placed* RegisterSpace::route(std::uint64_t offset, std::uint32_t width, bool write,
                                                   std::uint64_t value) {
    const BlockPlacement::Placed* p = blocks_.holding(offset);
    if (p == nullptr || p->block->size() - (offset - p->base) < width) {
        reportMisrouted(nullptr, offset, width, write, value);
        return nullptr;
    }
    // A width that a block takes is 1, 2, 4 or 8: alignment is a mask test.
    if (!p->block->takesWidth(width) || ((offset - p->base) & (width - 1)) != 0) {
        reportMisrouted(p, offset, width, write, value);
        return nullptr;
    }
    return p;
}

std::uint64_t RegisterSpace::read(std::uint64_t offset, std::uint32_t width) {
    std::lock_guard g(mutex_);
    const BlockPlacement::Placed* p = route(offset, width, false, 0);
    return p == nullptr ? allOnes(width) : p->block->read(offset - p->base, width);
}

void RegisterSpace::write(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    std::lock_guard g(mutex_);
    if (const BlockPlacement::Placed* p = route(offset, width, true, value)) {
        p->block->write(offset - p->base, width, value);
    }
}

} // namespace sim
