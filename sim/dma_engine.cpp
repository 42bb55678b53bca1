#include "sim/dma_engine.h"

#include <algorithm>
#include <cstring>

#include "standin/control.h"

namespace sim {

namespace {

constexpr std::uint32_t kLastLink = 0x80000000u;
constexpr std::uint64_t kLinkAddress = 0x48;
constexpr std::uint64_t kLinkSize = 0x50;
constexpr std::uint64_t kChannelControl = 0x54;
constexpr std::uint64_t kChannelOperation = 0x58;
constexpr std::uint64_t kChannelStatus = 0x60;
constexpr std::uint64_t kNotifyAtCount = 0x90;
constexpr std::uint64_t kTotalTransferCount = 0xA0;

std::uint32_t word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, &bytes[at], 4);
    return value;
}

std::uint64_t dword(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, &bytes[at], 8);
    return value;
}

} // namespace

DmaEngine::DmaEngine(std::uint32_t channel, bool needsCredits, std::function<void*()> pciHandle)
    : channel_(channel), needsCredits_(needsCredits), pciHandle_(std::move(pciHandle)),
      buffer_(std::make_unique<Chunk>()) {}

DmaEngine::~DmaEngine() {
    setStepMode(true);
}

// ---- register side ---------------------------------------------------------------

void DmaEngine::start(std::uint64_t linkAddress, std::uint32_t linkSize) {
    std::lock_guard g(lock_);
    if (neverStarts_) {
        status_ = 0; // the previous run's bits go with the command
        return;
    }
    status_ = kStarted;
    count_ = 0;
    running_ = true;
    linkAddress_ = linkAddress;
    linkSize_ = linkSize;
    linkLoaded_ = false;
    entryDone_ = 0;
    ensureThread();
    pump();
    wake_.notify_all();
}

void DmaEngine::stop() {
    std::lock_guard g(lock_);
    if (neverEnds_) {
        return;
    }
    running_ = false;
    status_ |= kEnded;
}

// A channel that never ends stops moving data but never reports it, also
// when its last link is done.
void DmaEngine::end(std::uint32_t bits) {
    running_ = false;
    if (!neverEnds_) {
        status_ |= bits;
    }
}

void DmaEngine::arm(std::uint64_t notifyAt) {
    std::lock_guard g(lock_);
    notifyAt_ = notifyAt;
    armed_ = true;
    checkNotify();
}

void DmaEngine::setNotifyAt(std::uint64_t notifyAt) {
    std::lock_guard g(lock_);
    notifyAt_ = notifyAt;
}

void DmaEngine::setControl(std::uint32_t control) {
    std::lock_guard g(lock_);
    control_ = control;
    checkNotify();
}

void DmaEngine::checkNotify() {
    if (armed_ && (control_ & kNotifyAtEnable) != 0 && count_ >= notifyAt_) {
        armed_ = false;
        ++notifyEvents_;
        if (notify_) {
            notify_(channel_);
        }
    }
}

void DmaEngine::setNotifyHandler(std::function<void(std::uint32_t)> handler) {
    std::lock_guard g(lock_);
    notify_ = std::move(handler);
}

std::uint32_t DmaEngine::status() const {
    std::lock_guard g(lock_);
    return status_;
}

std::uint64_t DmaEngine::transferCount() const {
    std::lock_guard g(lock_);
    return count_;
}

void DmaEngine::streamCommand(std::uint32_t value) {
    std::lock_guard g(lock_);
    appendBounded(streamCommands_, value);
    if ((value & 0x4) != 0) {
        resetComplete_ = false;
    }
    if ((value & 0x100) != 0 && !neverEnables_) {
        transferEnabled_ = true;
        pump();
        wake_.notify_all();
    }
    if ((value & 0xA00) != 0) {
        transferEnabled_ = false;
        resetComplete_ = !neverResets_;
    }
}

std::uint32_t DmaEngine::streamStatus() const {
    std::lock_guard g(lock_);
    return (transferEnabled_ ? kDataTransferEnable : 0) | (resetComplete_ ? kResetComplete : 0);
}

void DmaEngine::addAllowance(std::uint32_t bytes) {
    std::lock_guard g(lock_);
    allowance_ += bytes;
    pump();
}

void DmaEngine::creditCommand(std::uint32_t value) {
    std::lock_guard g(lock_);
    if ((value & (1u << 16)) != 0) {
        creditsStarted_ = true;
        creditsStopped_ = false;
        pump();
        wake_.notify_all();
    }
    if ((value & (1u << 17)) != 0) {
        creditsStarted_ = false;
        creditsStopped_ = !creditsNeverStop_;
    }
}

std::uint32_t DmaEngine::creditStatus() const {
    std::lock_guard g(lock_);
    return creditsStopped_ ? (1u << 17) : 0;
}

void DmaEngine::resetFifo() {
    std::lock_guard g(lock_);
    ++fifoResets_;
    queue_.clear();
    queueRead_ = 0;
}

// ---- walking -----------------------------------------------------------------------

void DmaEngine::fault(const std::string& what) {
    faults_.push_back("channel " + std::to_string(channel_) + ": " + what);
    end(kEnded | kEndedOnError);
}

bool DmaEngine::advance() {
    if (!running_) {
        return false;
    }
    void* const pci = pciHandle_();
    if (!linkLoaded_) {
        if (linkSize_ < 16 || linkSize_ > kMaxLinkSize || linkSize_ % 8 != 0) {
            fault("link of " + std::to_string(linkSize_) + " bytes at " + hex(linkAddress_));
            return true;
        }
        link_.resize(linkSize_);
        if (!kal::dma::read(pci, linkAddress_, link_.data(), linkSize_)) {
            fault("link at " + hex(linkAddress_) + " not readable");
            return true;
        }
        ++linkFetches_;
        linkLoaded_ = true;
        entry_ = 16;
        entryDone_ = 0;
        return true;
    }
    if (entry_ + 8 > linkSize_) {
        const std::uint32_t nextSize = word(link_, 0);
        if ((word(link_, 4) & kLastLink) != 0 || nextSize == 0) {
            end(kEnded);
        } else {
            linkAddress_ = dword(link_, 8);
            linkSize_ = nextSize;
            linkLoaded_ = false;
        }
        return true;
    }
    const std::uint32_t control = word(link_, entry_ + 4);
    if (control != 0) {
        appendBounded(selfConfigs_, {control & 0x07FFFFFFu, word(link_, entry_), (control >> 27) & 3});
        entry_ += 8;
        return true;
    }
    if (entry_ + 16 > linkSize_) {
        fault("transfer entry cut by the end of the link at " + hex(linkAddress_));
        return true;
    }
    const std::uint64_t bytes = word(link_, entry_);
    const std::uint64_t address = dword(link_, entry_ + 8);
    const std::uint64_t n = std::min<std::uint64_t>(bytes - entryDone_, kChunk);
    if (!transferEnabled_) {
        return false;
    }
    if (!deviceToHost() && needsCredits_ && !creditsStarted_) {
        return false;
    }
    // One burst: this entry's next chunk and, once that ends the entry, the
    // transfer entries after it in the link while each fits whole, up to the
    // one that reaches an armed notify-at count. Its chunk boundaries are
    // those of the entries moved one at a time, and so is every count seen.
    runs_.clear();
    runs_.push_back({address + entryDone_, static_cast<std::size_t>(n)});
    std::uint64_t total = n;
    const bool notifies = armed_ && (control_ & kNotifyAtEnable) != 0;
    if (entryDone_ + n >= bytes) {
        for (std::uint32_t at = entry_ + 16; at + 16 <= linkSize_ && word(link_, at + 4) == 0; at += 16) {
            const std::uint64_t more = word(link_, at);
            if ((notifies && count_ + total >= notifyAt_) || more > kChunk - total) {
                break;
            }
            runs_.push_back({dword(link_, at + 8), static_cast<std::size_t>(more)});
            total += more;
        }
    }
    // The bytes the device has or the allowance covers.
    std::uint64_t ready = 0;
    if (deviceToHost()) {
        if (producer_) {
            ready = producer_(buffer_->bytes, static_cast<std::size_t>(total));
        } else {
            ready = std::min<std::uint64_t>(total, queue_.size() - queueRead_);
            if (ready != 0) { // an empty queue has no data pointer to copy from
                std::memcpy(buffer_->bytes, queue_.data() + queueRead_, static_cast<std::size_t>(ready));
            }
        }
    } else {
        ready = std::min(total, allowance_);
    }
    // The runs those bytes reach (an empty entry needs none).
    std::size_t runs = 0;
    for (std::uint64_t left = ready; runs < runs_.size() && (left != 0 || runs_[runs].size == 0); ++runs) {
        runs_[runs].size = static_cast<std::size_t>(std::min<std::uint64_t>(runs_[runs].size, left));
        left -= runs_[runs].size;
    }
    if (runs == 0) {
        return false;
    }
    const std::size_t moved = deviceToHost() ? kal::dma::write(pci, runs_.data(), runs, buffer_->bytes)
                                             : kal::dma::read(pci, runs_.data(), runs, buffer_->bytes);
    std::uint64_t done = 0;
    for (std::size_t i = 0; i < moved; ++i) {
        done += runs_[i].size;
        entryDone_ += runs_[i].size;
        if (entryDone_ >= word(link_, entry_)) {
            entry_ += 16;
            entryDone_ = 0;
        }
    }
    count_ += done;
    if (deviceToHost()) {
        if (!producer_) { // a refused run's bytes go with it
            queueRead_ += static_cast<std::size_t>(done + (moved < runs ? runs_[moved].size : 0));
            if (queueRead_ == queue_.size()) {
                queue_.clear();
                queueRead_ = 0;
            }
        }
    } else if (moved != 0) {
        allowance_ -= done;
        sunkBytes_ += done;
        if (deviceSide_) {
            deviceSide_(buffer_->bytes, static_cast<std::size_t>(done));
        }
        if (sink_) {
            sink_(buffer_->bytes, static_cast<std::size_t>(done));
        } else {
            sunk_.insert(sunk_.end(), buffer_->bytes, buffer_->bytes + done);
            if (sunk_.size() > kSunkLimit) {
                sunk_.erase(sunk_.begin(), sunk_.end() - static_cast<std::ptrdiff_t>(kSunkKept));
            }
        }
    }
    if (moved < runs) {
        fault(std::string(deviceToHost() ? "write" : "read") + " of " + std::to_string(runs_[moved].size) +
              " bytes at " + hex(runs_[moved].busAddress) + " refused");
        return true;
    }
    checkNotify();
    return true;
}

void DmaEngine::pump() {
    if (deviceToHost()) {
        return;
    }
    while (advance()) {
    }
}

// ---- modes ---------------------------------------------------------------------------

void DmaEngine::ensureThread() {
    if (!stepMode_ && !thread_.joinable()) {
        quit_ = false;
        thread_ = std::thread([this] { threadMain(); });
    }
}

void DmaEngine::threadMain() {
    std::unique_lock l(lock_);
    while (!quit_) {
        if (!advance()) {
            wake_.wait(l);
        } else {
            // Let register accesses in between chunks.
            l.unlock();
            l.lock();
        }
    }
}

void DmaEngine::setStepMode(bool on) {
    std::thread old;
    {
        std::lock_guard g(lock_);
        stepMode_ = on;
        if (on) {
            quit_ = true;
            old = std::move(thread_);
            wake_.notify_all();
        } else if (running_) {
            ensureThread();
        }
    }
    if (old.joinable()) {
        old.join();
    }
}

std::size_t DmaEngine::step(std::size_t units) {
    std::lock_guard g(lock_);
    std::size_t done = 0;
    while (done < units && advance()) {
        ++done;
    }
    return done;
}

std::size_t DmaEngine::runUntilBlocked(std::size_t maxUnits) {
    return step(maxUnits);
}

// ---- producer and sink ---------------------------------------------------------------

void DmaEngine::inject(const void* data, std::size_t size) {
    std::lock_guard g(lock_);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    queue_.insert(queue_.end(), bytes, bytes + size);
    wake_.notify_all();
}

void DmaEngine::setProducer(Producer producer) {
    std::lock_guard g(lock_);
    producer_ = std::move(producer);
    wake_.notify_all();
}

void DmaEngine::setSink(Sink sink) {
    std::lock_guard g(lock_);
    sink_ = std::move(sink);
}

void DmaEngine::setDeviceSide(Sink deviceSide) {
    std::lock_guard g(lock_);
    deviceSide_ = std::move(deviceSide);
}

std::vector<std::uint8_t> DmaEngine::sunk() const {
    std::lock_guard g(lock_);
    return sunk_;
}

void DmaEngine::clearSunk() {
    std::lock_guard g(lock_);
    sunk_.clear();
    sunkBytes_ = 0;
}

std::uint64_t DmaEngine::sunkBytes() const {
    std::lock_guard g(lock_);
    return sunkBytes_;
}

std::size_t DmaEngine::queuedBytes() const {
    std::lock_guard g(lock_);
    return queue_.size() - queueRead_;
}

// ---- knobs and observations ------------------------------------------------------------

void DmaEngine::setNeverStarts(bool on) {
    std::lock_guard g(lock_);
    neverStarts_ = on;
}

void DmaEngine::setNeverEnds(bool on) {
    std::lock_guard g(lock_);
    neverEnds_ = on;
}

void DmaEngine::setStreamNeverEnables(bool on) {
    std::lock_guard g(lock_);
    neverEnables_ = on;
}

void DmaEngine::setStreamNeverResets(bool on) {
    std::lock_guard g(lock_);
    neverResets_ = on;
}

void DmaEngine::setCreditsNeverStop(bool on) {
    std::lock_guard g(lock_);
    creditsNeverStop_ = on;
}

bool DmaEngine::running() const {
    std::lock_guard g(lock_);
    return running_;
}

std::uint64_t DmaEngine::notifyEvents() const {
    std::lock_guard g(lock_);
    return notifyEvents_;
}

std::vector<DmaEngine::SelfConfig> DmaEngine::selfConfigs() const {
    std::lock_guard g(lock_);
    return selfConfigs_;
}

std::vector<std::uint32_t> DmaEngine::streamCommands() const {
    std::lock_guard g(lock_);
    return streamCommands_;
}

std::uint64_t DmaEngine::fifoResets() const {
    std::lock_guard g(lock_);
    return fifoResets_;
}

std::uint64_t DmaEngine::linkFetches() const {
    std::lock_guard g(lock_);
    return linkFetches_;
}

std::uint64_t DmaEngine::allowance() const {
    std::lock_guard g(lock_);
    return allowance_;
}

bool DmaEngine::creditsStarted() const {
    std::lock_guard g(lock_);
    return creditsStarted_;
}

std::vector<std::string> DmaEngine::faults() const {
    std::lock_guard g(lock_);
    return faults_;
}

void DmaEngine::clearFaults() {
    std::lock_guard g(lock_);
    faults_.clear();
}

// ---- blocks ------------------------------------------------------------------------------

DmaChannelBlock::DmaChannelBlock(std::string name, std::uint64_t size, DmaEngine& engine)
    : LatchBlock(std::move(name), size, kWidth32 | kWidth64), engine_(engine) {}

std::uint64_t DmaChannelBlock::onRead(std::uint64_t offset, std::uint32_t width) {
    if (!engine_.attached()) {
        return LatchBlock::onRead(offset, width);
    }
    if (offset == kChannelStatus && width == 4) {
        return engine_.status();
    }
    if (offset == kTotalTransferCount && width == 8) {
        return engine_.transferCount();
    }
    if ((offset == kTotalTransferCount || offset == kTotalTransferCount + 4) && width == 4) {
        return static_cast<std::uint32_t>(engine_.transferCount() >>
                                          (offset == kTotalTransferCount ? 0 : 32));
    }
    return LatchBlock::onRead(offset, width);
}

void DmaChannelBlock::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    LatchBlock::onWrite(offset, width, value);
    if (!engine_.attached()) {
        return;
    }
    if (offset == kChannelOperation && width == 4) {
        if ((value & 0x1) != 0) {
            engine_.start(latchUnlocked(kLinkAddress, 8),
                          static_cast<std::uint32_t>(latchUnlocked(kLinkSize, 4)));
        }
        if ((value & 0x2) != 0) {
            engine_.stop();
        }
        if ((value & DmaEngine::kNotifyAtEnable) != 0) {
            engine_.arm(latchUnlocked(kNotifyAtCount, 8));
        }
    } else if (offset == kChannelControl && width == 4) {
        engine_.setControl(static_cast<std::uint32_t>(value));
    } else if (offset == kNotifyAtCount) {
        engine_.setNotifyAt(latchUnlocked(kNotifyAtCount, 8));
    }
}

StreamCircuitBlock::StreamCircuitBlock(std::string name, DmaEngine& engine)
    : LatchBlock(std::move(name), kSize, kWidth32), engine_(engine) {}

std::uint64_t StreamCircuitBlock::onRead(std::uint64_t offset, std::uint32_t width) {
    if (offset == kControlStatus) {
        return engine_.streamStatus();
    }
    if (offset == kAdditiveCount) {
        return static_cast<std::uint32_t>(engine_.transferCount());
    }
    return LatchBlock::onRead(offset, width);
}

void StreamCircuitBlock::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    if (offset == kControlStatus) {
        engine_.streamCommand(static_cast<std::uint32_t>(value));
    } else if (offset == kAdditiveCount) {
        engine_.addAllowance(static_cast<std::uint32_t>(value));
    } else {
        LatchBlock::onWrite(offset, width, value);
    }
}

StreamControlBlock::StreamControlBlock(DmaEngine& measure, DmaEngine& command)
    : LatchBlock("stream-control", kSize, kWidth32), measure_(measure), command_(command) {}

void StreamControlBlock::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    if (offset == 0x0 && value != 0) {
        measure_.resetFifo();
    } else if (offset == 0x4 && value != 0) {
        command_.resetFifo();
    } else {
        LatchBlock::onWrite(offset, width, value);
    }
}

CreditBlock::CreditBlock(DmaEngine& engine) : LatchBlock("tx-credits", kSize, kWidth32), engine_(engine) {}

std::uint64_t CreditBlock::onRead(std::uint64_t offset, std::uint32_t width) {
    if (offset == 0x0) {
        return engine_.creditStatus();
    }
    return LatchBlock::onRead(offset, width);
}

void CreditBlock::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    if (offset == 0x4) {
        engine_.creditCommand(static_cast<std::uint32_t>(value));
    } else {
        LatchBlock::onWrite(offset, width, value);
    }
}

} // namespace sim
