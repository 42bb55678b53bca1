// The bridge core of the module, its first blocks: the configuration-port
// window and the bridge's configuration space behind it, with the paged
// vendor capability directory and the geographic-address capability.
//
// BAR 0 layout of these blocks:
//   0x00C0  "cpw-base-size"  CPWBSR: bits 8-31 the window's offset in BAR 0
//                            (0x4000), bits 0-4 log2 of its size (12), bit 7
//                            enable (the only writable bit)
//   0x00E0  "cpw-page"       page register: the high bits of the bridge
//                            configuration-space address the window shows
//   0x4000  "cpw-window"     the 4 KiB window (8-, 16- and 32-bit reads);
//                            while bit 7 of CPWBSR is clear each byte read
//                            or write is one SPI transaction at the address
//                            in the page register (connectSpi)
//   (geographic register address, when its space is 1) "pxi-geographic"
//   0x005C, 0x0060, 0x0068  the interrupt registers (bridge_interrupts.h)
//
// Bridge configuration space (seen through the window):
//   0x0C directory pointer (0x100); 0x100 directory word (bit 0 set: the list
//   head is register 0x14, else 0x10); 0x10 / 0x14 list heads; then the
//   vendor capabilities: header word = ID << 16 | next field, body words
//   after it. Words not defined read 0.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/block.h"
#include "sim/bridge_interrupts.h"

namespace sim {

struct VendorCapability {
    std::uint32_t offset = 0; // multiple of 4
    std::uint16_t id = 0;
    std::uint16_t next = 0;          // header bits 0-15: offset bits 2-15, addressing mode bits 0-1
    std::vector<std::uint32_t> body; // words at +4, +8, ...; empty for the geographic-address
                                     // capability: its body then follows the geographic register
};

// Where the PXI geographic address (slot number) can be read, as the
// geographic-address capability describes it.
struct GeographicRegister {
    std::uint32_t space = 4;         // 1 BAR 0, 4 bridge configuration space, 0 none
    std::uint32_t address = 0x20040; // register address in that space
    std::uint32_t widthCode = 3;     // 1 8 bits, 2 16 bits, anything else 32 bits
    std::uint32_t bitPosition = 3;   // of the 5-bit address
    std::uint32_t descriptor() const {
        return (space & 0xF) | ((widthCode & 7) << 8) | ((bitPosition & 0x1F) << 16);
    }
    std::uint32_t widthBytes() const { return widthCode == 1 ? 1 : widthCode == 2 ? 2 : 4; }
};

class BridgeCore {
public:
    static constexpr std::uint64_t kCPWBSROffset = 0xC0;
    static constexpr std::uint64_t kPageRegisterOffset = 0xE0;
    static constexpr std::uint64_t kWindowOffset = 0x4000;
    static constexpr std::uint32_t kWindowLog2 = 12;
    static constexpr std::uint32_t kDirectoryPointer = 0x0C;
    static constexpr std::uint32_t kListHead0 = 0x10;
    static constexpr std::uint32_t kListHead1 = 0x14;
    static constexpr std::uint32_t kDirectory = 0x100;
    static constexpr std::uint32_t kDefaultListHead = 0x10000;
    static constexpr std::uint16_t kGeographicAddressID = 0x4741;
    // Bits around the geographic address in its register (to catch masking).
    static constexpr std::uint32_t kGeographicFiller = 0xA5A5A5A5;

    BridgeCore(RegisterSpace& bar0, ModuleMutex& mutex, std::uint32_t slot);

    // The default list: three capabilities linked with modes 2 (relative),
    // 1 (upper half from the word before the header) and 0, the last one the
    // geographic-address capability.
    static std::vector<VendorCapability> defaultCapabilities();

    // The SPI side of the window: (read, address, written byte) -> read byte.
    using SpiHandler = std::function<std::uint8_t(bool read, std::uint32_t address, std::uint8_t data)>;
    void connectSpi(SpiHandler handler);

    // ---- knobs ----
    // Replaces the vendor capability list and its head (written to register 0x14).
    void setCapabilities(std::vector<VendorCapability> capabilities, std::uint32_t head);
    void setGeographicRegister(const GeographicRegister& reg);
    void setSlot(std::uint32_t slot);
    // The window size CPWBSR reports (log2; the window itself stays 4 KiB).
    void setReportedWindowLog2(std::uint32_t log2);
    // Raw word of the bridge configuration space (overrides what it computes).
    void setWord(std::uint32_t address, std::uint32_t value);

    // ---- state ----
    std::uint32_t slot() const;
    std::uint32_t cpwbsr() const;
    std::uint32_t pageRegister() const;
    // A word of the bridge configuration space, as the window would show it.
    std::uint32_t word(std::uint32_t address) const;

    // The interrupt control, status and queue registers.
    BridgeInterrupts& interrupts() { return interrupts_; }

private:
    class BaseSizeBlock;
    class PageBlock;
    class WindowBlock;
    class GeographicBlock;

    std::uint8_t byteAt(std::uint32_t address) const; // under the lock
    std::uint32_t computedWord(std::uint32_t address) const;
    std::uint32_t geographicValue() const;

    RegisterSpace& bar0_;
    ModuleMutex& mutex_;
    std::uint32_t slot_;
    bool enabled_ = false;
    std::uint32_t reportedWindowLog2_ = kWindowLog2;
    std::uint32_t page_ = 0;
    std::vector<VendorCapability> capabilities_;
    std::uint32_t head_ = kDefaultListHead;
    GeographicRegister geographic_;
    std::map<std::uint32_t, std::uint32_t> overrides_;
    BridgeInterrupts interrupts_;
    SpiHandler spi_;
};

} // namespace sim
