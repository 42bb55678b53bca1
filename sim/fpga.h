// The two FPGAs of the module as register spaces of 32-bit registers.
//
// FpgaSpace: a generic backing store (a register reads what was last written
// to it, 0 before) in which blocks may override ranges with behaviour of
// their own. Every access lands in the space's trace (at space offsets) and,
// when a block takes it, in that block's trace too (at block offsets).
//
// The non-isolated FPGA sits in BAR 0 at 0x20000 (0x20000 bytes). The
// isolated FPGA (0x40000 bytes: the 18-bit offsets of the link) has no bus of
// its own: the IsolationLink block, placed in the non-isolated FPGA at the
// register-access window the driver uses (0x200 on Solstra, 0xC120 on
// Duskmere), carries every access to it:
//   +0x0  address: bits 0-17 offset, bit 31 direction (1 write, 0 read); a
//         write starts the access and clears the response bit
//   +0x4  write data
//   +0x8  status: bit 24 read response, bit 26 ready for a new access,
//         bit 31 error
//   +0xC  read data
//   +0x10 an 8-bit read-only word (setWord10)
// Other registers of the window behave as the backing store.
//
// An FPGA answers as above only while it is configured (it holds an image of
// its own: the bridge's FPGA-loading engine says so, fpga_loader.h). An
// unconfigured one answers every read with all ones (so its signatures read
// wrong) and drops every write; both still land in the space's trace. When
// an FPGA becomes configured its board signature register holds the board
// signature (Solstra maps: 0x20 of the board block; Duskmere: 0x8020 in the
// non-isolated FPGA, 0x20 in the isolated one). On Duskmere the
// sequencer's view of the same channel window, at 0x2120, is plain backing
// store of its own: it carries no access to the isolated FPGA.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "sim/block.h"

namespace sim {

class FpgaSpace : public Block {
public:
    FpgaSpace(std::string name, std::uint64_t size);

    // Places a block that overrides [base, base + size) of the space; throws
    // std::logic_error when it overlaps another, leaves the space or its name is taken.
    template <typename T, typename... Args> T& add(std::uint64_t base, Args&&... args) {
        auto block = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *block;
        insert(base, std::move(block));
        return ref;
    }
    void insert(std::uint64_t base, std::unique_ptr<Block> block);
    Block* find(std::string_view name) const;

    // Whether the FPGA is configured, asked under the module's lock at every
    // access; none (the default): always.
    void setConfiguredState(std::function<bool()> configured);
    // Accesses that met an unconfigured FPGA.
    std::size_t unconfiguredAccesses() const;
    template <typename T> T* find(std::string_view name) const { return dynamic_cast<T*>(find(name)); }

    // The backing store without an access (no trace, no block behaviour).
    std::uint32_t peek(std::uint64_t offset) const;
    void poke(std::uint64_t offset, std::uint32_t value);

    // A 32-bit access as the bus makes it (trace, blocks); for the link and for tests.
    std::uint32_t read32(std::uint64_t offset);
    void write32(std::uint64_t offset, std::uint32_t value);

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    bool configured() const;

    BlockPlacement blocks_;
    std::unordered_map<std::uint64_t, std::uint32_t> store_;
    std::function<bool()> configured_;
    std::size_t unconfiguredAccesses_ = 0;
};

// The register-access window of the isolation link (layout above).
class IsolationLink : public Block {
public:
    static constexpr std::uint64_t kSize = 0x20;
    static constexpr std::uint64_t kAddress = 0x0;
    static constexpr std::uint64_t kWriteData = 0x4;
    static constexpr std::uint64_t kStatus = 0x8;
    static constexpr std::uint64_t kReadData = 0xC;
    static constexpr std::uint64_t kWord10 = 0x10;
    static constexpr std::uint32_t kResponseBit = 1u << 24;
    static constexpr std::uint32_t kReadyBit = 1u << 26;
    static constexpr std::uint32_t kErrorBit = 1u << 31;

    explicit IsolationLink(FpgaSpace& isolated);

    // A slow link: after each access the ready bit reads 0 for the next
    // `readyAfter` status reads, and after a read access the response bit
    // reads 0 for the next `responseAfter` status reads. 0, 0: prompt.
    void setSlow(std::uint32_t readyAfter, std::uint32_t responseAfter);
    // The ready bit never reads 1.
    void setNeverReady(bool on);
    // A read access never gets its response.
    void setNeverAnswers(bool on);
    // The status register's error bit.
    void setError(bool on);
    // The error bit reads 1 for the next `reads` status reads, then clears
    // (unless setError holds it).
    void setErrorReads(std::uint32_t reads);
    void setWord10(std::uint8_t value);

    // Accesses carried to the isolated FPGA so far.
    std::size_t isolatedReads() const;
    std::size_t isolatedWrites() const;
    // Address writes that arrived while the link was not ready (a driver fault).
    std::size_t accessesWhileBusy() const;

protected:
    std::uint64_t onRead(std::uint64_t offset, std::uint32_t width) override;
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;

private:
    FpgaSpace& isolated_;
    std::unordered_map<std::uint64_t, std::uint32_t> other_; // registers past 0x10
    std::uint32_t address_ = 0;
    std::uint32_t writeData_ = 0;
    std::uint32_t readData_ = 0;
    std::uint8_t word10_ = 0;
    bool response_ = false;
    bool responsePending_ = false;
    std::uint32_t readyAfter_ = 0;
    std::uint32_t responseAfter_ = 0;
    std::uint32_t busyReads_ = 0;     // status reads left until ready
    std::uint32_t responseReads_ = 0; // status reads left until the response
    bool neverReady_ = false;
    bool neverAnswers_ = false;
    bool error_ = false;
    std::uint32_t errorReads_ = 0; // status reads left with the error bit
    std::size_t isolatedReads_ = 0;
    std::size_t isolatedWrites_ = 0;
    std::size_t accessesWhileBusy_ = 0;
};

} // namespace sim
