// FPGA download through the simulated bridge: the embedded images of every
// (generation, target) leave their FPGA configured; the loading trace shows
// the stream's shape; each failure stops the sequence where it happens.
#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/firmware_download.h"
#include "bridge/tymo_reg_maps.h"
#include "control.h"
#include "groups_support.h"
#include "kelvo/product_ids.h"
#include "regs_sim_support.h"
#include "test_support.h"

namespace {

using corran_caps::ProductCaps;
using nVOAPALS100::tStatus;

constexpr uint64_t kData = sim::FpgaLoader::kData;
constexpr uint64_t kStatusReg = sim::FpgaLoader::kStatus;

struct Board {
    const char* name;
    uint32_t subsystemID;
};
const Board kSolstra{"solstra", KELVO_SUBSYSTEM_ID_SOLSTRA};

// One simulated board with its bridge maps.
class Bench {
public:
    explicit Bench(const Board& board) : sim_(board.name) {
        caps_.subsystemID = board.subsystemID;
        tStatus status;
        maps_ = new (status, false)
            kelvo_driver::TYMORegMaps(reinterpret_cast<uintptr_t>(sim_.bar),
                                      kelvo_driver::mappedSizeOfBar0(*sim_.device), *dispatcher_, status);
        EXPECT_TRUE(status.isSuccess());
        // Both FPGAs as at power-up.
        loader().setConfigured(0, false);
        loader().setConfigured(1, false);
        loader().clearTrace();
        bim().clearTrace();
        bim().clearPortTrace();
    }
    ~Bench() {
        delete maps_;
        EXPECT_EQ(sim_.module->deviceErrorCount(), 0u)
            << ::testing::PrintToString(sim_.module->deviceErrors());
    }
    int64_t download(uint32_t target, uint64_t address = 0, uint64_t size = 0) {
        tStatus status;
        // Every clock read 100 us later: a 500 ms time-out in 5000 reads.
        kal::clock::ScopedStepped stepped(100'000);
        kelvo_driver::downloadFPGAFirmware(0x77, address, size, target, caps_, *maps_, status);
        return status.getCode();
    }
    sim::FpgaLoader& loader() { return sim_.module->bridgeRegisters().fpgaLoading(); }
    sim::SwitchedBusInterface& bim() { return sim_.module->switchedBim(); }

private:
    kelvo_test::SimBoard sim_;
    ProductCaps caps_{};
    std::optional<kelvo_test::groups::LoggingARMDispatcher> dispatcher_{std::in_place};
    kelvo_driver::TYMORegMaps* maps_ = nullptr;
};

class FirmwareDownload : public kelvo_test::LeakCheckedTest {};

TEST_F(FirmwareDownload, StatusReadsFollowEvery30thWrite) {
    // The two image sizes: 274001 and 478223 words, 4 tail bytes each; the
    // last status read of the stream follows word 273990 and 478200.
    struct Case {
        Board board;
        uint32_t target;
        uint64_t lastReadAfter; // data writes before the stream's last status read
    };
    const Case cases[] = {{kSolstra, 0, 273990}, {kSolstra, 1, 478200}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastReadAfter);
        Bench bench(c.board);
        ASSERT_EQ(bench.download(c.target), 0);
        // The trace keeps the latest accesses: count back from the end.
        const std::vector<sim::Access> trace = bench.loader().trace();
        const uint64_t total = bench.loader().received() / 8 + 4;
        uint64_t writesAfter = 0;
        std::vector<uint64_t> readsAt; // data writes so far at each status read inside the stream
        for (auto it = trace.rbegin(); it != trace.rend(); ++it) {
            if (it->write && it->offset == kData) {
                ++writesAfter;
            } else if (!it->write && it->offset == kStatusReg && writesAfter != 0) {
                readsAt.push_back(total - writesAfter);
            }
        }
        ASSERT_GE(readsAt.size(), 100u);
        EXPECT_EQ(readsAt.front(), c.lastReadAfter);
        for (uint64_t at : readsAt) {
            EXPECT_EQ(at % 30, 0u) << at;
        }
    }
}

} // namespace
