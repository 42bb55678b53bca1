#include "routing/tessary.h"

#include "platform/vosdbg.h"

namespace tessaryddk {

using nVOAPALS100::tStatus;

namespace {
constexpr uint32_t kSignature = 0x1F0000;
constexpr uint32_t kVersion = 0x1F0004;
constexpr uint32_t kOwnership = 0x1F0010;
constexpr uint32_t kOwnerBit = 4;
// Registers of a line group.
constexpr uint32_t kEnable = 0x00;
constexpr uint32_t kDrive = 0x0C;
constexpr uint32_t kSourceSelect = 0x10;
constexpr uint32_t kMode = 0x18;
constexpr uint32_t kSourceState = 0x2C;
constexpr uint32_t kUserBits = 0x3C;
constexpr uint32_t kIsolationBit = 10;
} // namespace

uint32_t Tessary::read(uint32_t offset) {
    tStatus ignored;
    return accessor_ != nullptr ? accessor_->read32(base_ + offset, ignored) : 0;
}

void Tessary::write(uint32_t offset, uint32_t value) {
    tStatus ignored;
    if (accessor_ != nullptr) {
        accessor_->write32(base_ + offset, value, ignored);
    }
}

void Tessary::getVersion(uint32_t* first, uint32_t* second, uint32_t* third, uint32_t* fourth,
                         tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (accessor_ == nullptr) {
        KELVO_SET_STATUS(status, kNoWindow);
        return;
    }
    *first = read(kVersion);
    *second = 0;
    *third = 0;
    *fourth = 0x31C000;
}

void Tessary::setOwner(uint8_t owner) {
    VOSDBG_ASSERT(owner <= 1);
    const uint32_t value = read(kOwnership);
    write(kOwnership, owner != 0 ? (value | kOwnerBit) : (value & ~kOwnerBit));
}

void Tessary::connectDirectLine(uint32_t sourceBank, uint32_t destinationBank, uint8_t line) {
    VOSDBG_ASSERT(sourceBank <= highestBankId && destinationBank <= highestBankId);
    VOSDBG_ASSERT(sourceBank != destinationBank && line < numberOfDirectLines);
    write(group(sourceBank, line) + kEnable, 1);
    write(group(destinationBank, line) + kEnable, 1);
    write(group(destinationBank, line) + kDrive, 0x4204);
    const bool upper = sourceBank == 2 || (sourceBank == 1 && destinationBank == 2);
    write(group(destinationBank, line) + kSourceSelect, upper ? 0x10700000 : 0x10600000);
}

void Tessary::releaseDirectLine(uint32_t bank, uint8_t line) {
    write(group(bank, line) + kDrive, 0x4101);
    write(group(bank, line) + kSourceSelect, 0x10000000);
}

void Tessary::releaseDirectLines(uint32_t bank1, uint32_t bank2, uint8_t line) {
    releaseDirectLine(bank1, line);
    releaseDirectLine(bank2, line);
}

void Tessary::configureDirectLines(uint32_t lineMap, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (accessor_ == nullptr || (read(kOwnership) & kOwnerBit) != 0) {
        KELVO_SET_STATUS(status, kNoWindow);
        return;
    }
    if (bankA_ == 0 || bankB_ == 0) {
        lineMap &= 0xFFFF;
    }
    for (uint8_t line = 0; line < numberOfDirectLines; ++line) {
        const uint32_t choice = (lineMap >> (2 * line)) & 3;
        if (choice == 0) {
            continue;
        }
        releaseDirectLines(bankA_, bankB_, line);
        if (choice == 1) {
            connectDirectLine(bankA_, bankB_, line);
        } else if (choice == 2) {
            connectDirectLine(bankB_, bankA_, line);
        }
    }
}

void Tessary::addSourceBit(uint32_t bank, uint32_t line, uint32_t bit) {
    const uint32_t mask = read(group(bank, line) + kUserBits);
    if (mask == 0) {
        write(group(bank, line) + kSourceState, 1);
        write(group(bank, line) + kSourceState, 2);
    }
    write(group(bank, line) + kUserBits, mask | (1u << bit));
}

void Tessary::selectSourceBit(uint32_t bank, uint32_t line, uint32_t bit) {
    write(group(bank, line) + kSourceSelect, 0x10000000 | ((1u << bit) & 0xFFFFFF));
    write(group(bank, line) + kMode, 2);
    write(group(bank, line) + kDrive, 0x4204);
}

void Tessary::removeSourceBit(uint32_t bank, uint32_t line, uint32_t bit) {
    const uint32_t mask = read(group(bank, line) + kUserBits) & ~(1u << bit);
    write(group(bank, line) + kUserBits, mask);
    if (mask == 0) {
        write(group(bank, line) + kSourceState, 1);
        write(group(bank, line) + kMode, 1);
    }
}

Connection Tessary::connectIsolationLine(uint32_t sourceBank, uint32_t sourceLine, uint32_t destinationBank,
                                         uint32_t destinationLine, tStatus& status) {
    if (busy_ != 0) {
        KELVO_SET_STATUS(status, kConnectionBusy);
    }
    if (status.isFatal()) {
        return Connection{};
    }
    write(group(sourceBank, sourceLine) + kEnable, 1);
    write(group(destinationBank, destinationLine) + kEnable, 1);
    addSourceBit(sourceBank, sourceLine, kIsolationBit);
    selectSourceBit(destinationBank, destinationLine, kIsolationBit);
    busy_ = 1;
    return Connection{1, sourceBank, sourceLine, destinationBank, destinationLine, kIsolationBit};
}

void Tessary::releaseConnection(Connection& connection, tStatus& status) {
    if (connection.active == 0 || status.isFatal()) {
        return;
    }
    releaseDestination(connection.destinationBank, connection.destinationLine);
    removeSourceBit(connection.sourceBank, connection.sourceLine, connection.bit);
    connection.active = 0;
    busy_ = 0;
}

void Tessary::releaseDestination(uint32_t bank, uint32_t line) {
    write(group(bank, line) + kDrive, 0x101);
    write(group(bank, line) + kSourceSelect, 0x10000000);
}

TessaryIsoPort::TessaryIsoPort(voquantasharedsource::FrontEndAccessorInterface& accessor,
                               uint32_t signatureOffset, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tStatus readStatus;
    const uint32_t signature = accessor.read32(signatureOffset, readStatus);
    if (readStatus.isFatal() || signature != kBlockSignature || signatureOffset < kSignature) {
        KELVO_SET_STATUS(status, kBadSignature);
        return;
    }
    setWindow(&accessor, signatureOffset - kSignature);
}

TessaryIsoPort::~TessaryIsoPort() {
    setWindow(nullptr, 0);
}

} // namespace tessaryddk
