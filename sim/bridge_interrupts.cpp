#include "sim/bridge_interrupts.h"

#include <string>

namespace sim {

class BridgeInterrupts::ControlBlock : public Block {
public:
    explicit ControlBlock(BridgeInterrupts& owner) : Block("interrupt-control", 4, kWidth32), owner_(owner) {}

protected:
    std::uint64_t onRead(std::uint64_t, std::uint32_t) override { return owner_.control(); }
    void onWrite(std::uint64_t, std::uint32_t, std::uint64_t value) override {
        for (std::uint32_t pair = 0; pair < 16; ++pair) {
            if (((value >> (2 * pair)) & 3) == 3) {
                errors().report("interrupt-control: both bits of pair " + std::to_string(pair) +
                                " written; the setting is kept");
            }
        }
        std::lock_guard g(owner_.mutex_);
        owner_.writeControl(static_cast<std::uint32_t>(value));
    }

private:
    BridgeInterrupts& owner_;
};

class BridgeInterrupts::StatusBlock : public Block {
public:
    explicit StatusBlock(BridgeInterrupts& owner) : Block("interrupt-status", 4, kWidth32), owner_(owner) {}

protected:
    std::uint64_t onRead(std::uint64_t, std::uint32_t) override {
        std::lock_guard g(owner_.mutex_);
        return owner_.queue_.empty() ? 0 : kPending;
    }
    void onWrite(std::uint64_t, std::uint32_t, std::uint64_t) override {
        errors().report("interrupt-status: write to a read-only register");
    }

private:
    BridgeInterrupts& owner_;
};

class BridgeInterrupts::QueueBlock : public Block {
public:
    explicit QueueBlock(BridgeInterrupts& owner) : Block("interrupt-queue", 4, kWidth32), owner_(owner) {}

protected:
    std::uint64_t onRead(std::uint64_t, std::uint32_t) override {
        std::lock_guard g(owner_.mutex_);
        return owner_.pop();
    }
    void onWrite(std::uint64_t, std::uint32_t, std::uint64_t) override {
        errors().report("interrupt-queue: write to a read-only register");
    }

private:
    BridgeInterrupts& owner_;
};

BridgeInterrupts::BridgeInterrupts(RegisterSpace& bar0) {
    bar0.add<ControlBlock>(kControlOffset, *this);
    bar0.add<StatusBlock>(kStatusOffset, *this);
    bar0.add<QueueBlock>(kQueueOffset, *this);
}

void BridgeInterrupts::connect(std::function<void()> raise) {
    std::lock_guard g(mutex_);
    raise_ = std::move(raise);
}

void BridgeInterrupts::fire(std::uint32_t sourceId) {
    {
        std::lock_guard g(mutex_);
        queue_.push_back(sourceId & kSourceMask);
        ++fired_;
        if ((settings_ & (1u << kArmSetting)) == 0) {
            return;
        }
        ++raised_;
    }
    // The message goes out after the word is queued, with the block's lock
    // free: the handler's reads of the queue never wait for the raiser.
    if (raise_) {
        raise_();
    }
}

std::uint32_t BridgeInterrupts::control() const {
    std::lock_guard g(mutex_);
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; k < 16; ++k) {
        if ((settings_ & (1u << k)) != 0) {
            value |= 2u << (2 * k);
        }
    }
    return value;
}

bool BridgeInterrupts::armed() const {
    std::lock_guard g(mutex_);
    return (settings_ & (1u << kArmSetting)) != 0;
}

std::size_t BridgeInterrupts::queued() const {
    std::lock_guard g(mutex_);
    return queue_.size();
}

std::uint64_t BridgeInterrupts::raised() const {
    std::lock_guard g(mutex_);
    return raised_;
}

std::uint64_t BridgeInterrupts::fired() const {
    std::lock_guard g(mutex_);
    return fired_;
}

void BridgeInterrupts::writeControl(std::uint32_t value) {
    const bool wasOn = (settings_ & (1u << kArmSetting)) != 0;
    for (std::uint32_t k = 0; k < 16; ++k) {
        switch ((value >> (2 * k)) & 3) {
        case 1:
            settings_ &= ~(1u << k);
            break;
        case 2:
            settings_ |= 1u << k;
            break;
        default:
            break; // neither: kept; both: reported by the block, kept
        }
    }
    // Turned on with words waiting: they are raised now (once for all of them).
    if (!wasOn && (settings_ & (1u << kArmSetting)) != 0 && !queue_.empty()) {
        raise();
    }
}

std::uint32_t BridgeInterrupts::pop() {
    if (queue_.empty()) {
        return 0xFFFFFFFF;
    }
    std::uint32_t word = queue_.front() | kValid;
    queue_.pop_front();
    if (!queue_.empty()) {
        word |= kMoreWords;
    }
    return word;
}

void BridgeInterrupts::raise() {
    ++raised_;
    if (raise_) {
        raise_();
    }
}

} // namespace sim
