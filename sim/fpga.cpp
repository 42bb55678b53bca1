#include "sim/fpga.h"

namespace sim {

// ---- FpgaSpace ---------------------------------------------------------------

FpgaSpace::FpgaSpace(std::string name, std::uint64_t size) : Block(std::move(name), size, kWidth32) {}

void FpgaSpace::insert(std::uint64_t base, std::unique_ptr<Block> block) {
    auto g = guard();
    block->mutex_ = mutex_;
    block->errors_ = errors_;
    blocks_.insert(base, std::move(block), size(), name(), 4);
}

Block* FpgaSpace::find(std::string_view name) const {
    auto g = guard();
    const BlockPlacement::Placed* p = blocks_.find(name);
    return p == nullptr ? nullptr : p->block.get();
}

void FpgaSpace::setConfiguredState(std::function<bool()> configured) {
    auto g = guard();
    configured_ = std::move(configured);
}

std::size_t FpgaSpace::unconfiguredAccesses() const {
    auto g = guard();
    return unconfiguredAccesses_;
}

bool FpgaSpace::configured() const {
    return !configured_ || configured_();
}

std::uint32_t FpgaSpace::peek(std::uint64_t offset) const {
    auto g = guard();
    auto it = store_.find(offset);
    return it == store_.end() ? 0u : it->second;
}

void FpgaSpace::poke(std::uint64_t offset, std::uint32_t value) {
    auto g = guard();
    store_[offset] = value;
}

std::uint32_t FpgaSpace::read32(std::uint64_t offset) {
    auto g = guard();
    if (offset % 4 != 0 || offset >= size()) {
        errors().report(name() + ": 32-bit read at " + hex(offset) + " outside the space or misaligned");
        return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(read(offset, 4));
}

void FpgaSpace::write32(std::uint64_t offset, std::uint32_t value) {
    auto g = guard();
    if (offset % 4 != 0 || offset >= size()) {
        errors().report(name() + ": 32-bit write at " + hex(offset) + " outside the space or misaligned");
        return;
    }
    write(offset, 4, value);
}

std::uint64_t FpgaSpace::onRead(std::uint64_t offset, std::uint32_t) {
    if (!configured()) {
        ++unconfiguredAccesses_;
        return 0xFFFFFFFFu;
    }
    if (const BlockPlacement::Placed* p = blocks_.holding(offset)) {
        return p->block->read(offset - p->base, 4);
    }
    auto it = store_.find(offset);
    return it == store_.end() ? 0u : it->second;
}

void FpgaSpace::onWrite(std::uint64_t offset, std::uint32_t, std::uint64_t value) {
    if (!configured()) {
        ++unconfiguredAccesses_;
        return;
    }
    if (const BlockPlacement::Placed* p = blocks_.holding(offset)) {
        p->block->write(offset - p->base, 4, value);
        return;
    }
    store_[offset] = static_cast<std::uint32_t>(value);
}

// ---- IsolationLink -----------------------------------------------------------

IsolationLink::IsolationLink(FpgaSpace& isolated)
    : Block("isolation-link", kSize, kWidth32), isolated_(isolated) {}

void IsolationLink::setSlow(std::uint32_t readyAfter, std::uint32_t responseAfter) {
    auto g = guard();
    readyAfter_ = readyAfter;
    responseAfter_ = responseAfter;
}
void IsolationLink::setNeverReady(bool on) {
    auto g = guard();
    neverReady_ = on;
}
void IsolationLink::setNeverAnswers(bool on) {
    auto g = guard();
    neverAnswers_ = on;
}
void IsolationLink::setError(bool on) {
    auto g = guard();
    error_ = on;
}
void IsolationLink::setErrorReads(std::uint32_t reads) {
    auto g = guard();
    errorReads_ = reads;
}
void IsolationLink::setWord10(std::uint8_t value) {
    auto g = guard();
    word10_ = value;
}
std::size_t IsolationLink::isolatedReads() const {
    auto g = guard();
    return isolatedReads_;
}
std::size_t IsolationLink::isolatedWrites() const {
    auto g = guard();
    return isolatedWrites_;
}
std::size_t IsolationLink::accessesWhileBusy() const {
    auto g = guard();
    return accessesWhileBusy_;
}

std::uint64_t IsolationLink::onRead(std::uint64_t offset, std::uint32_t) {
    switch (offset) {
    case kAddress:
        return address_;
    case kWriteData:
        return writeData_;
    case kStatus: {
        std::uint32_t word = 0;
        if (!neverReady_ && busyReads_ == 0) {
            word |= kReadyBit;
        }
        if (response_) {
            word |= kResponseBit;
        } else if (responsePending_) {
            // The response arrives with this status read once its delay is spent.
            if (responseReads_ == 0) {
                response_ = true;
                responsePending_ = false;
                word |= kResponseBit;
            } else {
                --responseReads_;
            }
        }
        if (busyReads_ > 0) {
            --busyReads_;
        }
        if (error_ || errorReads_ > 0) {
            word |= kErrorBit;
        }
        if (errorReads_ > 0) {
            --errorReads_;
        }
        return word;
    }
    case kReadData:
        return readData_;
    case kWord10:
        return word10_;
    default: {
        auto it = other_.find(offset);
        return it == other_.end() ? 0u : it->second;
    }
    }
}

void IsolationLink::onWrite(std::uint64_t offset, std::uint32_t, std::uint64_t value) {
    const auto word = static_cast<std::uint32_t>(value);
    switch (offset) {
    case kAddress: {
        address_ = word;
        response_ = false;
        responsePending_ = false;
        if (neverReady_ || busyReads_ > 0) {
            ++accessesWhileBusy_;
        }
        const std::uint64_t target = word & 0x3FFFFu;
        if ((word & 0x80000000u) != 0) {
            ++isolatedWrites_;
            isolated_.write32(target, writeData_);
        } else {
            ++isolatedReads_;
            readData_ = isolated_.read32(target);
            if (!neverAnswers_) {
                responsePending_ = true;
                responseReads_ = responseAfter_;
            }
        }
        busyReads_ = readyAfter_;
        break;
    }
    case kWriteData:
        writeData_ = word;
        break;
    case kStatus:
    case kReadData:
    case kWord10:
        errors().report("isolation link: write of the read-only register at +" + hex(offset));
        break;
    default:
        other_[offset] = word;
        break;
    }
}

} // namespace sim
