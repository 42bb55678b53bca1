// The flash access set over the simulated module: SPI registers, sector writes, the window's size.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <optional>
#include <vector>

#include "bridge/tymo_reg_maps.h"
#include "standin/control.h"
#include "regs/arm_dispatcher.h"
#include "regs_sim_support.h"
#include "storage/tymo_controllers.h"
#include "test_support.h"

namespace {

using nonvolatilememorytools::SST25VFFlashController;
using nVOAPALS100::tStatus;

class BridgeFlash : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        sim = std::make_unique<kelvo_test::SimBoard>();
        tStatus status;
        maps = new (status, false)
            kelvo_driver::TYMORegMaps(reinterpret_cast<uintptr_t>(sim->bar),
                                      kelvo_driver::mappedSizeOfBar0(*sim->device), *dispatcher, status);
        ASSERT_TRUE(status.isSuccess());
        flash().setBusyTimes(0, 0, 0);
    }
    void TearDown() override {
        EXPECT_EQ(sim->module->deviceErrorCount(), 0u)
            << ::testing::PrintToString(sim->module->deviceErrors());
        delete controllers;
        delete maps;
        dispatcher.reset();
        sim.reset();
        LeakCheckedTest::TearDown();
    }
    int64_t buildControllers() {
        delete controllers;
        tStatus status;
        controllers = new (status, false)
            kelvo_driver::TYMOControllers(reinterpret_cast<uintptr_t>(sim->bar),
                                          kelvo_driver::mappedSizeOfBar0(*sim->device), *maps, status);
        return status.getCode();
    }
    sim::SerialFlash& flash() { return sim->module->flash(); }

    std::unique_ptr<kelvo_test::SimBoard> sim;
    std::optional<armki::ARMDispatcher> dispatcher{std::in_place};
    kelvo_driver::TYMORegMaps* maps = nullptr;
    kelvo_driver::TYMOControllers* controllers = nullptr;
};

// The trace without status reads.
std::vector<sim::SerialFlash::Record> commands(const std::vector<sim::SerialFlash::Record>& trace) {
    std::vector<sim::SerialFlash::Record> out;
    std::copy_if(trace.begin(), trace.end(), std::back_inserter(out),
                 [](const auto& r) { return r.opcode != 5; });
    return out;
}

TEST_F(BridgeFlash, SectorWriteUnprotectsErasesProgramsProtectsAndVerifies) {
    struct Case {
        const char* what;
        void (*fault)(sim::SerialFlash&);
        int64_t code;
        std::size_t programs;
        bool verified;
    } cases[] = {
        {"success", [](sim::SerialFlash&) {}, 0, 4096, true},
        {"erase times out", [](sim::SerialFlash& f) { f.setBusyTimes(3600'000'000'000ull, 0, 0); },
         KELVO_STATUS_FLASH_BUSY_TIMEOUT, 0, false},
        {"the flash ignores the writes", [](sim::SerialFlash& f) { f.setWritesIgnored(true); },
         KELVO_STATUS_FLASH_WRITE_VERIFY, 4096, true},
        // No read is answered during a status write: the verify waits for the protect step.
        {"a slow status write", [](sim::SerialFlash& f) { f.setBusyTimes(0, 0, 20'000'000); }, 0, 4096, true},
    };
    ASSERT_EQ(buildControllers(), 0);
    SST25VFFlashController& controller = controllers->getFlashController();
    std::vector<uint8_t> sector(4096);
    std::iota(sector.begin(), sector.end(), uint8_t{1});
    const uint64_t address = 0x3000;
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
        const auto cmds = commands(flash().trace());
        ASSERT_GE(cmds.size(), 4u);
        // Write protect released, status unprotected, then the erase.
        EXPECT_EQ((std::vector<int>{cmds[0].opcode, cmds[1].opcode, cmds[2].opcode, cmds[3].opcode}),
                  (std::vector<int>{0x50, 0x01, 0x06, 0x20}));
        EXPECT_FALSE(cmds[0].writeProtectAsserted);
        EXPECT_EQ(cmds[1].data, 0x00);
        EXPECT_EQ(cmds[3].address, address);
        // Each byte: its own write enable, then the program, ascending.
        std::size_t i = 4;
        std::size_t programs = 0;
        while (i + 1 < cmds.size() && cmds[i].opcode == 0x06 && cmds[i + 1].opcode == 0x02) {
            EXPECT_EQ(cmds[i + 1].address, address + programs);
            EXPECT_EQ(cmds[i + 1].data, sector[programs]);
            ++programs;
            i += 2;
        }
        EXPECT_EQ(programs, c.programs);
        // Protected again, and the write-protect line asserted after it.
        ASSERT_GE(cmds.size(), i + 2);
        EXPECT_EQ((std::vector<int>{cmds[i].opcode, cmds[i + 1].opcode}), (std::vector<int>{0x50, 0x01}));
        EXPECT_EQ(cmds[i + 1].data, 0x0C);
        EXPECT_FALSE(cmds[i + 1].writeProtectAsserted);
        EXPECT_TRUE(sim->module->flashWriteProtectAsserted());
        // The verify reads follow.
        const std::size_t reads = cmds.size() - (i + 2);
        EXPECT_EQ(reads != 0, c.verified);
        for (std::size_t k = i + 2; k < cmds.size(); ++k) {
            EXPECT_EQ(cmds[k].opcode, 0x03);
        }
    }
}

TEST_F(BridgeFlash, SectorAddressesOutsideTheSectorGridSendNothing) {
    ASSERT_EQ(buildControllers(), 0);
    SST25VFFlashController& controller = controllers->getFlashController();
    std::vector<uint8_t> buffer(4096);
    struct Case {
        uint64_t address;
        bool write;
        int64_t code;
    } cases[] = {
        {0x1001, true, KELVO_STATUS_FLASH_OUT_OF_RANGE},    {0x1001, false, KELVO_STATUS_FLASH_OUT_OF_RANGE},
        {0x100000, false, KELVO_STATUS_FLASH_OUT_OF_RANGE}, {0xFF000, false, 0},
        {0x100000, true, KELVO_STATUS_FLASH_OUT_OF_RANGE},
    };
    for (const Case& c : cases) {
        flash().clearTrace();
        tStatus status;
        if (c.write) {
            controller.writeSector(c.address, buffer.data(), status);
        } else {
            controller.readSector(c.address, buffer.data(), status);
        }
        EXPECT_EQ(status.getCode(), c.code) << c.address;
        EXPECT_EQ(flash().trace().empty(), c.code != 0) << c.address;
    }
}

TEST_F(BridgeFlash, SpiRegistersAreWrittenOnlyWhenTheyChange) {
    ASSERT_EQ(buildControllers(), 0);
    brixeltools::SPIController& spi = controllers->getSPIController();
    sim::LatchBlock& regs = sim->module->bridgeRegisters().spi();
    tStatus status;
    spi.sendCommand(0x06, 8, status);
    regs.clearTrace();
    spi.sendCommand(0x06, 8, status);
    EXPECT_EQ(regs.writeCount(0x8), 0u) << "write mode unchanged";
    EXPECT_EQ(regs.writeCount(0xC), 0u) << "prefix unchanged";
    // Bits 8-13 that a register-map request left in the mode registers: each transaction clears them.
    maps->configPortSPIRegMap.ReadModeRegister.writeRegister(0x3F00, status, true);
    maps->configPortSPIRegMap.WriteModeRegister.writeRegister(0x3F00, status, true);
    spi.write8(0x02, 8, 0x123, 24, 0x5A, status);
    spi.read8(0x03, 8, 0x123, 24, status);
    EXPECT_EQ(regs.latch(0xC, 4), 0x00030002u) << "read opcode in bits 16-23, write opcode kept";
    EXPECT_EQ(regs.latch(0x4, 4), 0x88180008u);
    EXPECT_EQ(regs.latch(0x8, 4), 0x08180008u);
    EXPECT_EQ(status.getCode(), 0);
}

TEST_F(BridgeFlash, OnlyAFourKibibyteWindowIsAccepted) {
    struct Case {
        uint32_t log2;
        int64_t code;
    } cases[] = {{12, 0},
                 {11, KELVO_STATUS_FLASH_WINDOW_SIZE},
                 {13, KELVO_STATUS_FLASH_WINDOW_SIZE},
                 {31, KELVO_STATUS_FLASH_WINDOW_SIZE}};
    for (const Case& c : cases) {
        sim->module->bridge().setReportedWindowLog2(c.log2);
        EXPECT_EQ(buildControllers(), c.code) << c.log2;
    }
    // The write-protect line is an output from construction on.
    EXPECT_EQ(sim->module->timingChip().latch(0x08, 4) & 0x80, 0x80u);
}

} // namespace
