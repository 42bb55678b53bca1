// A kit that drives the isolation port's FPGA routing block directly through
// its registers: direct lines between register banks, and source bits
// connected to destination lines. Nothing in the driver uses it (the board's
// routes need no register settings); it stands on its own over a register
// accessor whose offset 0x1F0000 is the block's first register.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "regs/front_end_accessor.h"

namespace tessaryddk {

// The kit's codes.
inline constexpr int64_t kNoWindow = -700000; // no register window, or the block is owned by owner 1
inline constexpr int64_t kBadSignature = -700001;
inline constexpr int64_t kConnectionBusy = -700020;

// What the signature register holds.
inline constexpr uint32_t kBlockSignature = 0x54535259;

inline constexpr uint32_t highestBankId = 2;
inline constexpr uint32_t numberOfDirectLines = 10;

// One bit connection.
struct Connection {
    uint8_t active = 0;
    uint32_t sourceBank = 0;
    uint32_t sourceLine = 0;
    uint32_t destinationBank = 0;
    uint32_t destinationLine = 0;
    uint32_t bit = 0;
};

class Tessary : public kelvo_driver::nVOAPAL000::tObject {
public:
    Tessary() = default;
    virtual ~Tessary() = default;

    // version: the version register; the others 0, 0 and 0x31C000. -700000 without a window.
    void getVersion(uint32_t* first, uint32_t* second, uint32_t* third, uint32_t* fourth,
                    nVOAPALS100::tStatus& status);
    // owner 0 or 1 into bit 2 of the ownership register (the other bits kept).
    void setOwner(uint8_t owner);
    // Two bits per line L at bit 2L: 0 leave, 1 connect A to B, 2 B to A, 3 release.
    void configureDirectLines(uint32_t lineMap, nVOAPALS100::tStatus& status);
    void connectDirectLine(uint32_t sourceBank, uint32_t destinationBank, uint8_t line);
    void releaseDirectLine(uint32_t bank, uint8_t line);
    void releaseDirectLines(uint32_t bank1, uint32_t bank2, uint8_t line);
    // Connects bit 10 of the source line to the destination line; one at a time (-700020).
    Connection connectIsolationLine(uint32_t sourceBank, uint32_t sourceLine, uint32_t destinationBank,
                                    uint32_t destinationLine, nVOAPALS100::tStatus& status);
    void addSourceBit(uint32_t bank, uint32_t line, uint32_t bit);
    void selectSourceBit(uint32_t bank, uint32_t line, uint32_t bit);
    void removeSourceBit(uint32_t bank, uint32_t line, uint32_t bit);
    void releaseConnection(Connection& connection, nVOAPALS100::tStatus& status);
    void releaseDestination(uint32_t bank, uint32_t line);

protected:
    void setWindow(voquantasharedsource::FrontEndAccessorInterface* accessor, uint32_t base) {
        accessor_ = accessor;
        base_ = base;
    }

private:
    static uint32_t group(uint32_t bank, uint32_t line) {
        return 0x1F1000 + bank * 0x1000 + (line * 0x80) % 0x8000;
    }
    uint32_t read(uint32_t offset);
    void write(uint32_t offset, uint32_t value);

    voquantasharedsource::FrontEndAccessorInterface* accessor_ = nullptr;
    uint32_t base_ = 0;
    uint32_t bankA_ = 1;
    uint32_t bankB_ = 2;
    uint8_t busy_ = 0;
};

// The kit over the isolation port: the window is accepted when its
// signature register holds kBlockSignature (else -700001 and no window).
class TessaryIsoPort : public Tessary {
public:
    TessaryIsoPort(voquantasharedsource::FrontEndAccessorInterface& accessor, uint32_t signatureOffset,
                   nVOAPALS100::tStatus& status);
    ~TessaryIsoPort() override;
};

} // namespace tessaryddk
