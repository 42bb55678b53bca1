#include "sim/switched_bim.h"

#include <string>

namespace sim {

namespace {
constexpr std::uint32_t kPortAddresses[] = {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x80, 0x84, 0x88, 0x8C};
} // namespace

SwitchedBusInterface::SwitchedBusInterface() : LatchBlock("switched-bim", kSize, kWidth32) {
    markReadOnly(0x00, 4, 0x00020100);
    markWriteOnly(0x80, 4);
    markReadOnly(0x94, 4, 0);
    markReadOnly(0x100, 4, 0x5);
    for (std::uint32_t address : kPortAddresses) {
        portRegisters_[address] = 0;
    }
    portRegisters_[0x04] = kIsolationControlReset;
}

void SwitchedBusInterface::setCompletion(bool completes) {
    auto g = guard();
    completes_ = completes;
}

void SwitchedBusInterface::setIOPortNeverReady(bool never) {
    auto g = guard();
    ioPortReady_ = !never;
}

void SwitchedBusInterface::setPortRegister(std::uint32_t address, std::uint32_t value) {
    auto g = guard();
    portRegisters_[address] = value;
}

std::uint32_t SwitchedBusInterface::portRegister(std::uint32_t address) const {
    auto g = guard();
    auto it = portRegisters_.find(address);
    return it == portRegisters_.end() ? 0xFFFFFFFF : it->second;
}

std::vector<PortAccess> SwitchedBusInterface::portTrace() const {
    auto g = guard();
    return portTrace_;
}

void SwitchedBusInterface::clearPortTrace() {
    auto g = guard();
    portTrace_.clear();
}

bool SwitchedBusInterface::portRegisterExists(std::uint32_t address) const {
    return portRegisters_.count(address) != 0;
}

bool SwitchedBusInterface::portRegisterReadOnly(std::uint32_t address) const {
    return address == 0x14 || address >= 0x80;
}

std::uint32_t SwitchedBusInterface::readPort(std::uint32_t address) {
    const std::uint32_t value = portRegisters_[address];
    switch (address) {
    case 0x00:
        // Ready (bit 7) while reset (bit 0) is clear, unless the port never becomes ready.
        return (value & ~0x80u) | ((value & 1u) == 0 && ioPortReady_ ? 0x80u : 0u);
    case 0x18:
        return value & ~3u; // the phase strobes clear themselves
    default:
        return value;
    }
}

void SwitchedBusInterface::runCommand(std::uint32_t command) {
    const bool write = (command & 1u) != 0;
    const bool read = (command & 2u) != 0;
    if (!write && !read) {
        return;
    }
    const std::uint32_t setting = (command >> 8) & 7u;
    const std::uint32_t port = (command >> 20) & 0xFu;
    const std::uint32_t address = command >> 24;
    if (write && read) {
        errors().report(name() + ": port command " + hex(command) + " asks for a write and a read at once");
        return;
    }
    if (port != kPort || setting != kSetting) {
        errors().report(name() + ": port command " + hex(command) + " names port " + std::to_string(port) +
                        " with setting " + std::to_string(setting) + ", where nothing answers");
        return;
    }
    if (!portRegisterExists(address)) {
        errors().report(name() + ": port command " + hex(command) + ": no port register at " + hex(address));
        return;
    }
    if (write) {
        if (portRegisterReadOnly(address)) {
            errors().report(name() + ": port write of the read-only port register at " + hex(address));
        } else {
            portRegisters_[address] = data_;
        }
        appendBounded(portTrace_, {true, port, setting, address, data_}, kPortTraceLimit);
    } else {
        data_ = readPort(address);
        appendBounded(portTrace_, {false, port, setting, address, data_}, kPortTraceLimit);
    }
    complete_ = completes_;
}

std::uint64_t SwitchedBusInterface::onRead(std::uint64_t offset, std::uint32_t width) {
    if (offset == kCommand) {
        return (command_ & ~7u) | (complete_ ? 4u : 0u);
    }
    if (offset == kData) {
        return data_;
    }
    return LatchBlock::onRead(offset, width);
}

void SwitchedBusInterface::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    if (offset == kCommand) {
        command_ = static_cast<std::uint32_t>(value);
        complete_ = false;
        runCommand(command_);
        return;
    }
    if (offset == kData) {
        data_ = static_cast<std::uint32_t>(value);
        return;
    }
    LatchBlock::onWrite(offset, width, value);
}

} // namespace sim
