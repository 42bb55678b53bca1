// The flash access set over the simulated module: the SPI engine's latched
// registers, the sector-write command sequence with its protection and
// verify steps (also after failures), and the size the window must have.
#include <cstdint>
#include <vector>

#include "flash_test_support.h"
#include "control.h"
#include "test_support.h"

namespace {

using nonvolatilememorytools::SST25VFFlashController;
using nVOAPALS100::tStatus;

class BridgeFlash : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        bench = std::make_unique<kelvo_test::FlashBench>();
    }
    void TearDown() override {
        EXPECT_EQ(bench->sim.module->deviceErrorCount(), 0u)
            << ::testing::PrintToString(bench->sim.module->deviceErrors());
        bench.reset();
        LeakCheckedTest::TearDown();
    }
    std::unique_ptr<kelvo_test::FlashBench> bench;
};

// The trace without status reads.
std::vector<sim::SerialFlash::Record> commands(const std::vector<sim::SerialFlash::Record>& trace) {
    std::vector<sim::SerialFlash::Record> out;
    for (const auto& r : trace) {
        if (r.opcode != 0x05) {
            out.push_back(r);
        }
    }
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
         kelvoDriverCode(0xBFFA4081), 0, false},
        {"the flash ignores the writes", [](sim::SerialFlash& f) { f.setWritesIgnored(true); },
         kelvoDriverCode(0xBFFA4087), 4096, true},
    };
    ASSERT_EQ(bench->buildControllers(), 0);
    SST25VFFlashController& controller = bench->controllers->getFlashController();
    std::vector<uint8_t> sector(4096);
    for (std::size_t i = 0; i < sector.size(); ++i) {
        sector[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const uint64_t address = 0x3000;
    kal::clock::ScopedStepped stepped(10'000); // every clock read 10 us later: the time-out in 3000 reads
    for (const Case& c : cases) {
        bench->flash().setStuckBusy(false);
        bench->flash().setBusyTimes(0, 0, 0);
        bench->flash().setWritesIgnored(false);
        bench->flash().clearTrace();
        c.fault(bench->flash());
        tStatus status;
        controller.writeSector(address, sector.data(), status);
        EXPECT_EQ(status.getCode(), c.code) << c.what;
        const std::vector<uint8_t> content = bench->flash().contents();
        EXPECT_EQ(std::equal(sector.begin(), sector.end(), content.begin() + address), c.code == 0) << c.what;
        const auto cmds = commands(bench->flash().trace());
        ASSERT_GE(cmds.size(), 4u) << c.what;
        // Write protect released, status unprotected, then the erase.
        EXPECT_EQ(cmds[0].opcode, 0x50) << c.what;
        EXPECT_FALSE(cmds[0].writeProtectAsserted) << c.what;
        EXPECT_EQ(cmds[1].opcode, 0x01) << c.what;
        EXPECT_EQ(cmds[1].data, 0x00) << c.what;
        EXPECT_EQ(cmds[2].opcode, 0x06) << c.what;
        EXPECT_EQ(cmds[3].opcode, 0x20) << c.what;
        EXPECT_EQ(cmds[3].address, address) << c.what;
        // Each byte: its own write enable, then the program, ascending.
        std::size_t i = 4;
        std::size_t programs = 0;
        while (i + 1 < cmds.size() && cmds[i].opcode == 0x06 && cmds[i + 1].opcode == 0x02) {
            EXPECT_EQ(cmds[i + 1].address, address + programs);
            EXPECT_EQ(cmds[i + 1].data, sector[programs]);
            ++programs;
            i += 2;
        }
        EXPECT_EQ(programs, c.programs) << c.what;
        // Protected again, and the write-protect line asserted after it.
        ASSERT_GE(cmds.size(), i + 2) << c.what;
        EXPECT_EQ(cmds[i].opcode, 0x50) << c.what;
        EXPECT_EQ(cmds[i + 1].opcode, 0x01) << c.what;
        EXPECT_EQ(cmds[i + 1].data, 0x0C) << c.what;
        EXPECT_FALSE(cmds[i + 1].writeProtectAsserted) << c.what;
        EXPECT_TRUE(bench->sim.module->flashWriteProtectAsserted()) << c.what;
        // The verify reads follow.
        const std::size_t reads = cmds.size() - (i + 2);
        EXPECT_EQ(reads != 0, c.verified) << c.what;
        for (std::size_t k = i + 2; k < cmds.size(); ++k) {
            EXPECT_EQ(cmds[k].opcode, 0x03) << c.what;
        }
    }
}

TEST_F(BridgeFlash, TheVerifyWaitsUntilTheProtectingStatusWriteIsDone) {
    // A flash answers no read while it writes its status register: the
    // verify after the protect step must wait for it like every other step.
    ASSERT_EQ(bench->buildControllers(), 0);
    SST25VFFlashController& controller = bench->controllers->getFlashController();
    std::vector<uint8_t> sector(4096, 0x5A);
    // The driver spins on the status register (no sleeping): every read of
    // the clock moves it on by 10 us, so 20 ms last 2000 reads, far more than
    // the few between the protect step and the first verify read.
    kal::clock::ScopedStepped stepped(10'000);
    bench->flash().setBusyTimes(0, 0, 20'000'000);
    tStatus status;
    controller.writeSector(0x3000, sector.data(), status);
    EXPECT_EQ(status.getCode(), 0);
    const std::vector<uint8_t> content = bench->flash().contents();
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), content.begin() + 0x3000));
}

TEST_F(BridgeFlash, SectorAddressesOutsideTheSectorGridSendNothing) {
    ASSERT_EQ(bench->buildControllers(), 0);
    SST25VFFlashController& controller = bench->controllers->getFlashController();
    std::vector<uint8_t> buffer(4096);
    struct Case {
        uint64_t address;
        bool write;
        int64_t code;
    } cases[] = {
        {0x1001, true, -240029}, {0x1001, false, -240029},  {0x100000, false, -240029},
        {0xFF000, false, 0},     {0x100000, true, -240029},
    };
    for (const Case& c : cases) {
        bench->flash().clearTrace();
        tStatus status;
        if (c.write) {
            controller.writeSector(c.address, buffer.data(), status);
        } else {
            controller.readSector(c.address, buffer.data(), status);
        }
        EXPECT_EQ(status.getCode(), c.code) << c.address;
        EXPECT_EQ(bench->flash().trace().empty(), c.code != 0) << c.address;
    }
}

TEST_F(BridgeFlash, SpiRegistersAreWrittenOnlyWhenTheyChange) {
    ASSERT_EQ(bench->buildControllers(), 0);
    brixeltools::SPIController& spi = bench->controllers->getSPIController();
    sim::LatchBlock& regs = bench->sim.module->bridgeRegisters().spi();
    tStatus status;
    spi.sendCommand(0x06, 8, status);
    regs.clearTrace();
    spi.sendCommand(0x06, 8, status);
    EXPECT_EQ(regs.writeCount(0x8), 0u) << "write mode unchanged";
    EXPECT_EQ(regs.writeCount(0xC), 0u) << "prefix unchanged";
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
                 {11, kelvoDriverCode(0xBFFA4086)},
                 {13, kelvoDriverCode(0xBFFA4086)},
                 {31, kelvoDriverCode(0xBFFA4086)}};
    for (const Case& c : cases) {
        bench->sim.module->bridge().setReportedWindowLog2(c.log2);
        EXPECT_EQ(bench->buildControllers(), c.code) << c.log2;
        delete bench->controllers;
        bench->controllers = nullptr;
    }
    // The write-protect line is an output from construction on.
    EXPECT_EQ(bench->sim.module->timingChip().latch(0x08, 4) & 0x80, 0x80u);
}

} // namespace
