// The flash access set over the simulated module: SPI registers, sector writes, the window's size.
#include <algorithm>
#include <numeric>

#include "groups_support.h"
#include "storage/tymo_controllers.h"

namespace {

using nonvolatilememorytools::SST25VFFlashController;
using nVOAPALS100::tStatus;

class BridgeFlash : public kelvo_test::groups::TymoTest {
protected:
    void SetUp() override {
        TymoTest::SetUp();
        ASSERT_EQ(buildTymo(), 0);
        flash().setBusyTimes(0, 0, 0);
        ASSERT_EQ(buildControllers(), 0);
    }
    void TearDown() override {
        delete controllers;
        TymoTest::TearDown();
    }
    int64_t buildControllers() {
        delete controllers;
        tStatus status;
        controllers = new (status, false) kelvo_driver::TYMOControllers(bar(), barSize, *tymo, status);
        return status.getCode();
    }
    sim::SerialFlash& flash() { return board->module->flash(); }

    kelvo_driver::TYMOControllers* controllers = nullptr;
};

// A command of the flash's trace: opcode, address, data, write-protect line.
using Command = std::tuple<int, uint32_t, int, bool>;

TEST_F(BridgeFlash, SectorWriteUnprotectsErasesProgramsProtectsAndVerifies) {
    struct Case {
        const char* what;
        void (*fault)(sim::SerialFlash&);
        int64_t code;
        std::size_t programs, reads;
    } cases[] = {
        {"success", [](sim::SerialFlash&) {}, 0, 4096, 4096},
        {"erase times out", [](sim::SerialFlash& f) { f.setBusyTimes(3600'000'000'000ull, 0, 0); },
         KELVO_STATUS_FLASH_BUSY_TIMEOUT, 0, 0},
        {"the flash ignores the writes", [](sim::SerialFlash& f) { f.setWritesIgnored(true); },
         KELVO_STATUS_FLASH_WRITE_VERIFY, 4096, 1},
        // No read is answered during a status write: the verify waits for the protect step.
        {"a slow status write", [](sim::SerialFlash& f) { f.setBusyTimes(0, 0, 20'000'000); }, 0, 4096, 4096},
    };
    SST25VFFlashController& controller = controllers->getFlashController();
    std::vector<uint8_t> sector(4096);
    std::iota(sector.begin(), sector.end(), uint8_t{1});
    const uint32_t address = 0x3000;
    kal::clock::ScopedStepped stepped(10'000); // every clock read 10 us later: the time-out in 3000 reads
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        flash().setStuckBusy(false); // ends the erase still running
        flash().setBusyTimes(0, 0, 0);
        flash().setWritesIgnored(false);
        flash().clearTrace();
        c.fault(flash());
        tStatus status;
        controller.writeSector(address, sector.data(), status);
        EXPECT_EQ(status.getCode(), c.code);
        const std::vector<uint8_t> content = flash().contents();
        EXPECT_EQ(std::equal(sector.begin(), sector.end(), content.begin() + address), c.code == 0);
        // Write protect released, status unprotected, the erase; each byte its own write enable and
        // program, ascending; protected again; the verify reads with the write-protect line asserted.
        std::vector<Command> expected = {
            {0x50, 0, 0, false}, {0x01, 0, 0, false}, {0x06, 0, 0, false}, {0x20, address, 0, false}};
        for (uint32_t i = 0; i < c.programs; ++i) {
            expected.insert(expected.end(), {{0x06, 0, 0, false}, {0x02, address + i, sector[i], false}});
        }
        expected.insert(expected.end(), {{0x50, 0, 0, false}, {0x01, 0, 0x0C, false}});
        for (uint32_t i = 0; i < c.reads; ++i) {
            expected.push_back({0x03, address + i, content[address + i], true});
        }
        std::vector<Command> commands; // without the status reads
        for (const sim::SerialFlash::Record& r : flash().trace()) {
            if (r.opcode != 5) {
                commands.push_back({r.opcode, r.address, r.data, r.writeProtectAsserted});
            }
        }
        EXPECT_EQ(commands, expected);
        EXPECT_TRUE(board->module->flashWriteProtectAsserted());
    }
}

TEST_F(BridgeFlash, SectorsOutsideTheGridSendNothingAndOnlyAFourKibibyteWindowIsAccepted) {
    SST25VFFlashController& controller = controllers->getFlashController();
    std::vector<uint8_t> buffer(4096);
    const std::tuple<uint64_t, bool, int64_t> cases[] = {
        {0x1001, true, KELVO_STATUS_FLASH_OUT_OF_RANGE},    {0x1001, false, KELVO_STATUS_FLASH_OUT_OF_RANGE},
        {0x100000, false, KELVO_STATUS_FLASH_OUT_OF_RANGE}, {0xFF000, false, 0},
        {0x100000, true, KELVO_STATUS_FLASH_OUT_OF_RANGE},
    };
    for (const auto& [address, write, code] : cases) {
        flash().clearTrace();
        tStatus status;
        write ? controller.writeSector(address, buffer.data(), status)
              : controller.readSector(address, buffer.data(), status);
        EXPECT_EQ(status.getCode(), code) << address;
        EXPECT_EQ(flash().trace().empty(), code != 0) << address;
    }
    const std::pair<uint32_t, int64_t> windows[] = {
        {12, 0}, {11, KELVO_STATUS_FLASH_WINDOW_SIZE}, {13, KELVO_STATUS_FLASH_WINDOW_SIZE}};
    for (const auto& [log2, code] : windows) {
        board->module->bridge().setReportedWindowLog2(log2);
        EXPECT_EQ(buildControllers(), code) << log2;
    }
    // The write-protect line is an output from construction on.
    EXPECT_EQ(board->module->timingChip().latch(0x08, 4) & 0x80, 0x80u);
}

TEST_F(BridgeFlash, SpiRegistersAreWrittenOnlyWhenTheyChange) {
    brixeltools::SPIController& spi = controllers->getSPIController();
    sim::LatchBlock& regs = board->module->bridgeRegisters().spi();
    tStatus status;
    spi.sendCommand(0x06, 8, status);
    regs.clearTrace();
    spi.sendCommand(0x06, 8, status);
    EXPECT_EQ(std::tuple(regs.writeCount(0x8), regs.writeCount(0xC)), std::tuple(0u, 0u)) << "mode, prefix";
    // Bits 8-13 that a register-map request left in the mode registers: each transaction clears them.
    tymo->configPortSPIRegMap.ReadModeRegister.writeRegister(0x3F00, status, true);
    tymo->configPortSPIRegMap.WriteModeRegister.writeRegister(0x3F00, status, true);
    spi.write8(0x02, 8, 0x123, 24, 0x5A, status);
    spi.read8(0x03, 8, 0x123, 24, status);
    // The prefix: the read opcode in bits 16-23, the write opcode kept.
    EXPECT_EQ(std::tuple(regs.latch(0xC, 4), regs.latch(0x4, 4), regs.latch(0x8, 4), status.getCode()),
              std::tuple(0x00030002u, 0x88180008u, 0x08180008u, int64_t{0}));
}

} // namespace
