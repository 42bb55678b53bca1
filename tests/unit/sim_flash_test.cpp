// The simulated serial flash on its own, driven through the bridge's SPI
// registers and window as a driver would: status bits, protection, NOR
// programming, latch clearing, busy and the write-protect lock.
#include <cstdint>
#include <vector>

#include "flash_images.h"
#include "sim.h"
#include "test_support.h"

namespace {

using Flash = sim::SerialFlash;

// A module (not plugged) whose flash the test drives through BAR 0.
class SimFlash : public ::testing::Test {
public:
    SimFlash() : module("solstra", *sim::boardIdentity("solstra"), options()) {}
    static sim::ModuleOptions options() {
        sim::ModuleOptions o;
        o.flashImage = std::vector<std::uint8_t>(sim::kFlashImageSize, 0xFF);
        return o;
    }

    // One SPI transaction: mode and prefix registers, address, one window byte.
    std::uint8_t spi(std::uint8_t opcode, std::uint32_t addressBits, std::uint32_t address, bool read,
                     std::uint32_t dataBits, std::uint8_t data = 0) {
        const std::uint64_t mode = 8u | (addressBits << 16) | (dataBits << 24);
        module.memoryWrite(0, read ? 0x584 : 0x588, 4, mode | (read ? 0x80000000u : 0));
        module.memoryWrite(0, 0x58C, 4, read ? (std::uint64_t{opcode} << 16) : opcode);
        module.memoryWrite(0, 0xE0, 4, address);
        const std::uint64_t window = 0x4000 + (address & 0xFFF);
        if (read) {
            return static_cast<std::uint8_t>(module.memoryRead(0, window, 1));
        }
        module.memoryWrite(0, window, 1, data);
        return 0;
    }
    std::uint8_t status() { return spi(0x05, 0, 0, true, 8); }
    void command(std::uint8_t opcode) { spi(opcode, 0, 0, false, 0); }
    void writeStatus(std::uint8_t value) { spi(0x01, 0, 0, false, 8, value); }
    void erase(std::uint32_t address) { spi(0x20, 24, address, false, 0); }
    void program(std::uint32_t address, std::uint8_t value) { spi(0x02, 24, address, false, 8, value); }
    std::uint8_t read(std::uint32_t address) { return spi(0x03, 24, address, true, 8); }
    void unprotect() {
        command(0x50);
        writeStatus(0x00);
    }
    void writeProtectPin(bool asserted) { module.memoryWrite(0, 0x10004, 4, asserted ? 0 : 0x80); }

    void TearDown() override {
        EXPECT_EQ(module.deviceErrorCount(), 0u) << ::testing::PrintToString(module.deviceErrors());
    }

    sim::Module module;
    Flash& flash() { return module.flash(); }
};

TEST_F(SimFlash, StatusBitsFollowTheCommands) {
    // Busy times far in the future keep the busy bit up without waiting.
    flash().setBusyTimes(3600'000'000'000ull, 3600'000'000'000ull, 0);
    writeProtectPin(false); // BPL gets set on the way
    struct Step {
        const char* what;
        void (*act)(SimFlash&);
        std::uint8_t status;
    } steps[] = {
        {"power-up: protected", [](SimFlash&) {}, 0x1C},
        {"write enable sets the latch", [](SimFlash& t) { t.command(0x06); }, 0x1E},
        {"write status without 0x50 but with the latch", [](SimFlash& t) { t.writeStatus(0x00); }, 0x00},
        {"0x50 then write status of BPL and protection",
         [](SimFlash& t) {
             t.command(0x50);
             t.writeStatus(0x8C);
         },
         0x8C},
        {"write status refused without 0x50 or latch", [](SimFlash& t) { t.writeStatus(0x00); }, 0x8C},
        {"unprotect", [](SimFlash& t) { t.unprotect(); }, 0x00},
        {"erase without the latch is ignored", [](SimFlash& t) { t.erase(0); }, 0x00},
        {"erase clears the latch and goes busy",
         [](SimFlash& t) {
             t.command(0x06);
             t.erase(0);
         },
         0x01},
        {"write enable while busy is ignored", [](SimFlash& t) { t.command(0x06); }, 0x01},
    };
    for (const Step& s : steps) {
        s.act(*this);
        EXPECT_EQ(status(), s.status) << s.what;
    }
}

TEST_F(SimFlash, ProgrammingOnlyClearsBitsAndEraseSetsTheSector) {
    flash().setBusyTimes(0, 0, 0);
    unprotect();
    struct Case {
        const char* what;
        std::uint32_t address;
        std::vector<std::uint8_t> programs;
        bool eraseFirst;
        std::uint8_t expected;
    } cases[] = {
        {"one program", 0x10, {0xA5}, false, 0xA5},
        {"a second program ANDs", 0x11, {0xF0, 0x3C}, false, 0x30},
        {"erase brings 0xFF back", 0x12, {0x00}, true, 0xFF},
        {"last byte of the flash", 0xFFFFF, {0x5A}, false, 0x5A},
    };
    for (const Case& c : cases) {
        for (std::uint8_t v : c.programs) {
            command(0x06);
            program(c.address, v);
            EXPECT_EQ(status() & 0x02, 0) << c.what << ": program clears the latch";
        }
        if (c.eraseFirst) {
            command(0x06);
            erase(c.address);
        }
        EXPECT_EQ(read(c.address), c.expected) << c.what;
        EXPECT_EQ(flash().contents()[c.address], c.expected) << c.what;
    }
    // The erase touched only its own sector.
    EXPECT_EQ(read(0xFFFFF), 0x5A);
}

TEST_F(SimFlash, ProtectionAndTheWriteProtectLock) {
    flash().setBusyTimes(0, 0, 0);
    struct Case {
        const char* what;
        std::uint8_t status; // set before the attempt
        bool pinAsserted;
        bool programTakes;
        std::uint8_t statusAfterUnprotect;
    } cases[] = {
        {"any protection bit protects the array", 0x04, false, false, 0x00},
        {"all protection bits", 0x3C, true, false, 0x00},
        {"unprotected", 0x00, true, true, 0x00},
        {"BPL with the pin asserted refuses write status", 0xBC, true, false, 0xBC},
        {"BPL with the pin released allows it", 0xBC, false, false, 0x00},
    };
    std::uint32_t address = 0x2000;
    for (const Case& c : cases) {
        flash().setStatus(c.status);
        writeProtectPin(c.pinAsserted);
        command(0x06);
        program(address, 0x00);
        EXPECT_EQ(read(address), c.programTakes ? 0x00 : 0xFF) << c.what;
        command(0x06);
        erase(address);
        EXPECT_EQ(read(address), 0xFF) << c.what;
        unprotect();
        EXPECT_EQ(status(), c.statusAfterUnprotect) << c.what;
        ++address;
    }
}

} // namespace
