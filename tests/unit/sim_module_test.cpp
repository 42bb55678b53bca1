// The simulated module where driver tests lean on it (a wrong answer would let one pass): the FPGA load
// check, the sequencer and its blocks' latencies, the serial flash.
#include <cstring>
#include <numeric>

#include "sim/flash_images.h"
#include "regs_sim_support.h"
#include "storage/crc32.h"

namespace {

constexpr uint64_t kLoader = 0x440;
constexpr uint64_t kConfigPorts = 0x510;

// An image of size bytes for a generation and target, its CRC in place: the driver's storage CRC, written
// apart from the engine's.
std::vector<uint8_t> image(size_t size, uint32_t generation, uint32_t target) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), uint8_t{3});
    const uint32_t header[] = {sim::FpgaLoader::kMagic, generation, target};
    std::memcpy(bytes.data(), header, sizeof header); // a little-endian host
    const uint32_t crc = storagemap::crc32(0, bytes.data(), size - 4);
    std::memcpy(bytes.data() + size - 4, &crc, 4);
    return bytes;
}

class SimFpgaLoadCheck : public kelvo_test::LeakCheckedTest {};

enum class Split { wordsThenBytes, bytesOnly, wordsOnly };

TEST_F(SimFpgaLoadCheck, OnlyAnIntactImageOfItsOwnConfiguresTheFpga) {
    const struct {
        const char* what;
        size_t size;
        uint32_t target;      // the port: 2 + target
        uint32_t imageTarget; // written in the header
        Split split;
        long flip; // index of a byte flipped after the CRC was set, -1 none
        bool configured;
    } cases[] = {
        {"words, then the tail by bytes", 1003, 0, 0, Split::wordsThenBytes, -1, true},
        {"bytes only", 261, 1, 1, Split::bytesOnly, -1, true},
        {"words only, the last carrying CRC bytes", 1000, 0, 0, Split::wordsOnly, -1, true},
        {"words only, past the count", 1004, 0, 0, Split::wordsOnly, -1, true},
        {"a byte inside a word", 1003, 0, 0, Split::wordsThenBytes, 501, false},
        {"the last byte before the CRC, words only", 1000, 0, 0, Split::wordsOnly, 995, false},
        {"another target's image", 1003, 0, 1, Split::wordsThenBytes, -1, false},
        {"shorter than 20 bytes", 16, 0, 0, Split::bytesOnly, -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kelvo_test::SimBoard b("solstra");
        sim::FpgaLoader& loader = b.module->bridgeRegisters().fpgaLoading();
        std::vector<uint8_t> bytes = image(c.size, sim::FpgaLoader::kSolstra, c.imageTarget);
        if (c.flip >= 0) {
            bytes[static_cast<size_t>(c.flip)] ^= 0x10;
        }
        b.barRegion.write32(kConfigPorts, (2 + c.target) << 8);
        b.barRegion.write32(kLoader + sim::FpgaLoader::kByteCount, static_cast<uint32_t>(c.size));
        b.barRegion.write32(kLoader + sim::FpgaLoader::kControl, 1);
        size_t at = 0;
        if (c.split != Split::bytesOnly) {
            for (; at + 8 <= c.size || (c.split == Split::wordsOnly && at < c.size); at += 8) {
                uint64_t word = 0;
                std::memcpy(&word, bytes.data() + at, std::min<size_t>(8, c.size - at));
                b.barRegion.write64(kLoader + sim::FpgaLoader::kData, word);
            }
        }
        for (; at < c.size; ++at) {
            b.barRegion.write8(kLoader + sim::FpgaLoader::kData, bytes[at]);
        }
        EXPECT_EQ(std::make_tuple(loader.received(), loader.loads(), loader.configured(c.target)),
                  std::make_tuple(c.size, 1u, c.configured));
        // Unconfigured, its space drops writes.
        sim::FpgaSpace& fpga = c.target == 0 ? b.niso() : b.iso();
        fpga.write32(0x1000, 0x1234);
        EXPECT_EQ(fpga.peek(0x1000), c.configured ? 0x1234u : 0u);
        EXPECT_EQ(b.module->deviceErrorCount(), 0u);
    }
}

// 3000 words, 1500 a thread (more than the engine queues without the lock), from one thread and then another
// or from two at once: every word taken once, in its thread's order.
TEST_F(SimFpgaLoadCheck, DataWordsFromAnyThreadsArriveWholeAndInOrder) {
    constexpr size_t kWords = 3000;
    const std::vector<uint8_t> bytes = image(kWords * 8, sim::FpgaLoader::kSolstra, 0);
    std::vector<uint64_t> words(kWords);
    std::memcpy(words.data(), bytes.data(), bytes.size()); // little-endian, as the engine takes them
    for (const bool handedOver : {true, false}) {
        SCOPED_TRACE(handedOver ? "handed over" : "two at once");
        kelvo_test::SimBoard b("solstra");
        sim::FpgaLoader& loader = b.module->bridgeRegisters().fpgaLoading();
        loader.setConfigured(0, false);
        b.barRegion.write32(kConfigPorts, 2u << 8);
        b.barRegion.write32(kLoader + sim::FpgaLoader::kByteCount, static_cast<uint32_t>(kWords * 8));
        b.barRegion.write32(kLoader + sim::FpgaLoader::kControl, 1);
        loader.clearTrace();
        // Two threads at once write their words' numbers, the second half's with the top bit set.
        const auto wordAt = [&](size_t i) {
            return handedOver ? words[i] : i < kWords / 2 ? i : i | (1ull << 63);
        };
        const auto feed = [&](size_t first, size_t last) {
            for (size_t i = first; i < last; ++i) {
                b.barRegion.write64(kLoader + sim::FpgaLoader::kData, wordAt(i));
            }
        };
        {
            std::jthread first(feed, 0, kWords / 2);
            if (handedOver) {
                first.join();
            }
            std::jthread second(feed, kWords / 2, kWords);
        }
        EXPECT_EQ(loader.received(), kWords * 8);
        const std::vector<uint64_t> traced = loader.writtenValues(sim::FpgaLoader::kData);
        ASSERT_EQ(traced.size(), kWords);
        if (!handedOver) {
            // Each thread's words in its order, the two interleaved somehow.
            std::array<std::vector<uint64_t>, 2> halves, expected;
            for (size_t i = 0; i < kWords; ++i) {
                halves[traced[i] >> 63].push_back(traced[i]);
                expected[i >= kWords / 2].push_back(wordAt(i));
            }
            EXPECT_EQ(halves, expected);
        } else {
            EXPECT_EQ(traced, words);
            EXPECT_TRUE(loader.configured(0));
        }
        EXPECT_EQ(b.module->deviceErrorCount(), 0u);
    }
}

constexpr uint64_t kCall = 0x1D0DFF0200000000ull;   // opcode 7, G 2
constexpr uint64_t kReturn = 0x1C0FFF0500000000ull; // opcode 7, G 5
constexpr uint64_t kMarker = 0x2000000000000000ull; // opcode 8

constexpr auto sleepUs = nVOKAL250_sleepTimeout;

TEST(SimSequencer, ProgramsRunFromTheFifoThroughLocalRam) {
    const struct {
        const char* name;
        std::vector<std::pair<uint32_t, uint64_t>> ram; // address, word
        std::vector<uint64_t> fifo;
        std::vector<uint32_t> markers;
        std::string fault; // a part of the one fault expected, or empty
    } cases[] = {
        {"call and return",
         {{5, kMarker | 0xA}, {6, kCall | 9}, {7, kReturn}, {9, kMarker | 0xC}, {10, kReturn}},
         {kCall | 5, kReturn, kMarker | 0xB},
         {0xA, 0xC},
         ""},
        {"running off the end of local RAM", {{16383, kMarker | 5}}, {kCall | 16383}, {5}, "beyond"},
        {"a subroutine that calls itself", {{3, kCall | 3}}, {kCall | 3}, {}, "step limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Sequencer seq;
        seq.setStepNanoseconds(0);
        for (const auto& [address, word] : c.ram) {
            seq.setRamWord(address, word);
        }
        for (uint64_t word : c.fifo) {
            seq.pushCommand(word);
        }
        seq.start();
        EXPECT_EQ(seq.markers(), c.markers);
        EXPECT_EQ(seq.fifoFullness(), 0u);
        const std::vector<std::string> faults = seq.faults();
        ASSERT_EQ(faults.size(), c.fault.empty() ? 0u : 1u);
        EXPECT_TRUE(c.fault.empty() || faults[0].find(c.fault) != std::string::npos) << faults[0];
    }
}

TEST(SimSequencer, TheFifoHoldsItsDepthAndStepsOneWordAStepAndLatenciesFollowTheClockAndTheirKnobs) {
    kal::clock::ScopedStepped stepped;
    sim::Sequencer seq;
    for (uint32_t i = 0; i <= sim::Sequencer::kFifoDepth; ++i) {
        seq.pushCommand(kMarker | i);
    }
    EXPECT_EQ(seq.fifoFullness(), sim::Sequencer::kFifoDepth);
    ASSERT_EQ(seq.faults().size(), 1u) << "the word past the depth is lost";
    seq.setStepNanoseconds(1000);
    seq.start();
    EXPECT_EQ(seq.markers().size(), sim::Sequencer::kFifoDepth);
    sleepUs(sim::Sequencer::kFifoDepth - 1);
    EXPECT_TRUE(seq.running());
    sleepUs(1);
    EXPECT_FALSE(seq.running());

    // ADF4002: locked 1 ms after the fourth word.
    sim::Adf4002 pll;
    for (uint32_t word : {0x1F8093u, 0x1F8092u, 0x100028u}) {
        pll.shift(word);
    }
    sleepUs(5000);
    EXPECT_FALSE(pll.locked()) << "three words";
    pll.shift(0x1B01);
    sleepUs(999);
    EXPECT_FALSE(pll.locked());
    sleepUs(1);
    EXPECT_EQ(pll.status(), sim::Adf4002::kLockedBit);

    // Measure unit: arm, stop and abort latencies.
    sim::MeasureUnit unit;
    unit.setLatencies(300000, 200000, 100000); // nanoseconds
    unit.writePacketGenConfig(sim::MeasureUnit::kArmStrobe);
    sleepUs(299);
    EXPECT_FALSE(unit.generating());
    sleepUs(1);
    EXPECT_EQ(unit.status() & sim::MeasureUnit::kGeneratingBit, sim::MeasureUnit::kGeneratingBit);
    unit.writeControl(sim::MeasureUnit::kAbortBit);
    sleepUs(100);
    EXPECT_TRUE(unit.aborted());
    unit.writePacketGenConfig(sim::MeasureUnit::kStopStrobe);
    sleepUs(199);
    EXPECT_TRUE(unit.generating());
    sleepUs(1);
    EXPECT_FALSE(unit.generating());

    // Charge balancer: a strobe clears the loop's result until the latency passed.
    sim::ChargeBalancer balancer;
    balancer.setLatency(1000);
    balancer.setOutcome(1, sim::ChargeBalancer::Outcome::kFailed);
    balancer.writeControl(0x3);
    EXPECT_EQ(balancer.status(), 0u);
    sleepUs(1);
    EXPECT_EQ(balancer.status(), (1u << 8) | (1u << 17));
    balancer.writeControl(0x1);
    EXPECT_EQ(balancer.status(), 1u << 17) << "loop 0 starts again";
}

// A module (not plugged) whose flash the test drives through BAR 0, as a driver would.
class SimFlash : public ::testing::Test {
public:
    SimFlash()
        : module("solstra", *sim::boardIdentity("solstra"),
                 {.flashImage = std::vector<std::uint8_t>(sim::kFlashImageSize, 0xFF)}) {}

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
    sim::SerialFlash& flash() { return module.flash(); }
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
         [](SimFlash& t) { t.command(0x50), t.writeStatus(0x8C); }, 0x8C},
        {"write status refused without 0x50 or latch", [](SimFlash& t) { t.writeStatus(0x00); }, 0x8C},
        {"unprotect", [](SimFlash& t) { t.unprotect(); }, 0x00},
        {"erase without the latch is ignored", [](SimFlash& t) { t.erase(0); }, 0x00},
        {"erase clears the latch and goes busy", [](SimFlash& t) { t.command(0x06), t.erase(0); }, 0x01},
        {"write enable while busy is ignored", [](SimFlash& t) { t.command(0x06); }, 0x01},
    };
    for (const Step& s : steps) {
        s.act(*this);
        EXPECT_EQ(status(), s.status) << s.what;
    }
}

// A second program ANDs; the last byte of the flash is reached, not wrapped. An erase inside a sector
// erases that sector from its start and not the next.
TEST_F(SimFlash, ProgrammingClearsBitsUpToTheLastByteAndAnEraseItsWholeSector) {
    flash().setBusyTimes(0, 0, 0);
    unprotect();
    const std::pair<std::uint32_t, std::uint8_t> programs[] = {{0x11, 0xF0}, {0x11, 0x3C}, {0xFFFFF, 0x5A}};
    for (const auto& [address, value] : programs) {
        command(0x06);
        program(address, value);
    }
    EXPECT_EQ((std::vector<std::uint8_t>{flash().contents()[0x11], flash().contents()[0xFFFFF]}),
              (std::vector<std::uint8_t>{0x30, 0x5A}));
    flash().load(std::vector<std::uint8_t>(0x3000, 0x00));
    command(0x06);
    erase(0x1234);
    const std::vector<std::uint8_t> bytes = flash().contents();
    auto erased = [&](std::uint32_t from) { return std::count(&bytes[from], &bytes[from + 0x1000], 0xFF); };
    EXPECT_EQ((std::vector<std::ptrdiff_t>{erased(0), erased(0x1000), erased(0x2000)}),
              (std::vector<std::ptrdiff_t>{0, 0x1000, 0}));
}

TEST_F(SimFlash, ProtectionAndTheWriteProtectLock) {
    flash().setBusyTimes(0, 0, 0);
    const struct {
        const char* what;
        std::uint8_t status; // set before the attempt
        bool pinAsserted, programTakes;
        std::uint8_t statusAfterUnprotect;
    } cases[] = {
        {"any protection bit protects the array", 0x04, false, false, 0x00},
        {"all protection bits", 0x3C, true, false, 0x00},
        {"unprotected", 0x00, true, true, 0x00},
        {"BPL with the pin asserted refuses write status", 0xBC, true, false, 0xBC},
        {"BPL with the pin released allows it", 0xBC, false, false, 0x00},
    };
    std::uint32_t address = 0x2000;
    for (const auto& c : cases) {
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

// The module's traces keep their latest entries: a full one drops its older half, so a module serving
// requests for days stays bounded while a test sees everything it caused.
TEST(SimTrace, AFullTraceDropsItsOlderHalf) {
    // Pushes, and what a limit of 4 keeps.
    const std::pair<int, std::vector<int>> cases[] = {
        {3, {0, 1, 2}}, {4, {0, 1, 2, 3}}, {5, {2, 3, 4}}, {9, {6, 7, 8}}};
    for (const auto& [pushes, kept] : cases) {
        std::vector<int> trace;
        for (int i = 0; i < pushes; ++i) {
            sim::appendBounded(trace, i, 4);
        }
        EXPECT_EQ(trace, kept) << pushes << " pushes";
    }
}

} // namespace
