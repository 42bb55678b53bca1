// Setup levels 4 and 5: the map's firmware and board-revision checks, the non-isolated FPGA's download.
#include <algorithm>
#include <tuple>

#include "core_test_levels.h"
#include "core_test_support.h"

namespace {

using nVOAPALS100::tStatus;

constexpr int64_t kLoadTimeout = KELVO_STATUS_FPGA_LOAD_TIMEOUT;
constexpr int64_t kPortNotReady = KELVO_STATUS_IO_PORT_NOT_READY;
constexpr int64_t kWrongSize = KELVO_STATUS_FIRMWARE_WRONG_SIZE;
constexpr int64_t kIncompatible = KELVO_STATUS_FIRMWARE_INCOMPATIBLE;
constexpr int64_t kRevisionTooNew = KELVO_STATUS_BOARD_REVISION_TOO_NEW;
constexpr uint64_t kSolstraNisoSize = 2192012;

class FpgaLevels : public kelvo_test::HostedTest {
protected:
    int64_t reset(uint32_t level, uint64_t parameters = 0) { return kdutReset(index_, level, parameters); }
    sim::FpgaLoader& loader() { return module(index_).bridgeRegisters().fpgaLoading(); }
    bool loadingTouched() { return std::ranges::any_of(loader().trace(), &sim::Access::write); }

    kelvo_test::ScopedProductLevels levels_{5};
    int index_ = -1;
};

// Level 5, or level 3 with level 4's error (for the map checks, no loading register touched).
TEST_F(FpgaLevels, Level4FailsOnTheMapsChecksAndOnEachLoadingFault) {
    enum Knob { kNone, kReadyNever, kDoneNever, kPortNeverReady, kWrongCrc };
    struct Case {
        const char *name, *board, *flash;
        Knob knob;
        int64_t code; // -52002: level 5 reached
        bool loadingTouched, configured;
    };
    const Case cases[] = {
        {"allowUnsafeFirmware 0", "solstra", "unsafe-firmware-refused", kNone, kIncompatible, false, false},
        {"erased flash: revision 0xFF", "duskmere-a", "erased", kNone, kRevisionTooNew, false, false},
        {"ready never comes", "solstra", "default", kReadyNever, kLoadTimeout, true, false},
        {"done never comes", "solstra", "default", kDoneNever, kLoadTimeout, true, true},
        {"IO port never ready", "duskmere-b", "default", kPortNeverReady, kPortNotReady, true, true},
        {"a wrong CRC loads but leaves the FPGA unconfigured", "solstra", "default", kWrongCrc,
         tStatus::kNotImplemented, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kal::clock::clearSleepLog();
        {
            kal::clock::ScopedStepped stepped(100000); // the 500 ms time-outs pass by sleeps and clock reads
            index_ = add(c.board, [&c](sim::Module& m) {
                m.flash().load(*sim::flashImage(c.flash));
                m.bridgeRegisters().fpgaLoading().setReadyNever(c.knob == kReadyNever);
                m.bridgeRegisters().fpgaLoading().setDoneNever(c.knob == kDoneNever);
                m.bridgeRegisters().fpgaLoading().setWrongCrc(c.knob == kWrongCrc);
                m.switchedBim().setIOPortNeverReady(c.knob == kPortNeverReady);
            });
        }
        // Untouched loading means no IO-port reset either; an FPGA without its image reads all ones. The
        // loading and IO-port polls wait 1 us on the efficient clock: a whole tick's sleep between reads.
        sim::Module& m = module(index_);
        const uint64_t signature = std::string(c.board) == "solstra" ? 0x20 : 0x8020;
        EXPECT_EQ((std::tuple{setupCode(index_), levelOf(index_), loadingTouched(),
                              !m.switchedBim().portTrace().empty(), loader().configured(0),
                              m.nisoFpga().read32(signature) != 0xFFFFFFFFu, m.deviceErrorCount(),
                              std::ranges::count(kelvo_test::sleepsOf(nVOKAL100_getThreadID()), 1000u) != 0}),
                  (std::tuple{c.code, c.code == tStatus::kNotImplemented ? 5u : 3u, c.loadingTouched,
                              c.loadingTouched, c.configured, c.configured, 0u,
                              c.code == kLoadTimeout || c.code == kPortNotReady}));
        remove(index_);
    }
}

// Loaded only when both words are non-zero, checked against the size before anything is allocated or written.
TEST_F(FpgaLevels, ACustomImageThroughAResetWithCustomParameters) {
    std::vector<uint8_t> garbage(kSolstraNisoSize + 1, 0xC3);
    kal::usermem::Scope scope;
    const uint64_t image = scope.add(garbage.data(), garbage.size(), kal::usermem::kRead);
    struct Case {
        const char* name;
        uint64_t address, size;
        int64_t code;
        bool loaded;     // a load ran
        bool configured; // with the FPGA's own image
    };
    const Case cases[] = {
        {"right-sized garbage", image, kSolstraNisoSize, tStatus::kNotImplemented, true, false},
        {"one byte short", image, kSolstraNisoSize - 1, kWrongSize, false, false},
        {"one byte long", image, kSolstraNisoSize + 1, kWrongSize, false, false},
        {"a size past 32 bits", image, (1ull << 32) + kSolstraNisoSize, kWrongSize, false, false},
        {"an address without a size: the embedded image", image, 0, tStatus::kNotImplemented, true, true},
        {"a size without an address: the embedded image", 0, 12, tStatus::kNotImplemented, true, true},
    };
    index_ = add("solstra");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(reset(0), tStatus::kSetupTargetReached);
        const kal::live::Counts live = kal::live::now();
        kelvo_driver::CustomResetParameters parameters{c.address, c.size, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        const uint64_t block = scope.add(&parameters, sizeof(parameters), kal::usermem::kRead);
        loader().clearTrace();
        module(index_).switchedBim().clearPortTrace();
        const uint32_t loadsBefore = loader().loads();
        // No IO-port reset before a refusal.
        EXPECT_EQ(
            (std::tuple{reset(19, block), levelOf(index_), loader().loads() - loadsBefore, loadingTouched(),
                        !module(index_).switchedBim().portTrace().empty(), loader().configured(0)}),
            (std::tuple{c.code, c.code == kWrongSize ? 3u : 5u, c.loaded ? 1u : 0u, c.loaded, c.loaded,
                        c.configured}));
        ASSERT_EQ(reset(0), tStatus::kSetupTargetReached);
        EXPECT_EQ(kal::live::now(), live) << "nothing left of the image";
    }
}

} // namespace
