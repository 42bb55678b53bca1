// Register access from several handles through the C API: what one request does with a register's record
// (a set and its flush, a whole SPI transaction) is never interleaved with another handle's request on the
// same record, whichever name, whole map or controller either reaches it through. Each race is made to
// happen every time: one request is stopped at the exact point and the other runs meanwhile; it must wait.
#include "bridge/spi_controller.h"
#include "client_pages.h"
#include "core_test_support.h"
#include "instruction_stepper.h"
#include "regmaps/kelvo_seq_flex_loop_reg_map.h"
#include "regmaps/required_regs.h"
#include "reglayouts/brixel_config_port_spi.h"
#include "test_worker.h"

namespace {

using namespace kelvo_test;
using nVOAPALS100::tStatus;

const std::string kSolstraFlexLoop = "SolstraIsoTopRegMap_SeqTopWin_SolstraSeqTopRegMap_ChannelWin_"
                                     "SolstraChSeqTopRegMap_SeqChannelWin_SolstraSeqChRegMap_"
                                     "KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap_Ver1.0.0d379";
const std::string kDuskmereFlexLoop = "DuskmereNisoTopRegMap_SeqTopWin_DuskmereSeqTopRegMap_ChannelWins0_"
                                      "DuskmereChSeqTopRegMap_SeqChannelWin_DuskmereSeqChRegMap_"
                                      "KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap_Ver1.0.0d379";
constexpr const char* kSpi = "BrixelConfigPortSPI_Ver2.3.0f7";
constexpr uint32_t kReadModeId = 0x4;       // the SPI map's read-mode register: its key is its offset
constexpr uint32_t kScratchId = 0x8033B4C6; // RequiredRegs' BasicScratch0
constexpr uint32_t kOverridable = 0x40C;    // the trigger overrideTrigger takes
constexpr uint64_t kSector = 0x8000;        // a flash sector whose first byte is not 0xFF
using tReadMode = brixeltools::layout::BrixelConfigPortSPIWithOffset::ReadModeRegister;

// The board's non-isolated top map, or its RequiredRegs by their own name.
std::string nisoMap(const std::string& board, bool required) {
    const std::string b = board == "solstra" ? "Solstra" : "Duskmere";
    return b + "NisoTopRegMap" +
           (required ? "_BoardWin_" + b + "NisoBoardRegMap_StandardRegsWin_" + b +
                           "StandardRegs_RequiredRegsWin_RequiredRegs"
                     : "") +
           "_Ver1.0.0d379";
}

class RegisterAccess : public HostedTest {
protected:
    void plug(const std::string& board) {
        index = add(board);
        a = open(index);
        b = open(index);
    }
    void unplug() {
        EXPECT_EQ(module(index).deviceErrorCount(), 0u)
            << ::testing::PrintToString(module(index).deviceErrors());
        kelvo_close(a);
        kelvo_close(b);
        remove(index);
    }
    // The object registered under name.
    template <class Map> Map& mapOf(const std::string& name) const {
        tStatus status;
        arm::DynamicAccessInterfaceBase<tStatus>* object = nullptr;
        deviceOf(index)->getKelvoHelper()->getARMDispatcher().getRegistration(name.c_str(), &object, status,
                                                                              nullptr);
        EXPECT_NE(object, nullptr) << name << " " << status.getCode();
        return *static_cast<Map*>(object);
    }
    // The measure unit's control register, after an arm: a trigger is taken.
    arm::tRegisterRecord& armed(const std::string& board) const {
        EXPECT_EQ(ASK(measureUnit_arm, a).status, 0);
        return mapOf<kelvo_regmaps::tKelvoSeqFlexLoopRegMap>(board == "solstra" ? kSolstraFlexLoop
                                                                                : kDuskmereFlexLoop)
            .MuCtrl[0];
    }
    int32_t trigger(int handle) const {
        const auto out = ASK(triggersAndEvents_overrideTrigger, handle, 0, kOverridable, 0);
        return out.status != 0 ? out.status : static_cast<int32_t>(out.result) - 1; // 0: a pulse sent
    }
    // Starts request on a worker and returns once it ended or blocks: whether it ended.
    static bool meanwhile(std::optional<Worker>& worker, const std::function<void()>& request) {
        worker.emplace(request);
        while (!worker->done() && !kal::thread::isBlocked(worker->id())) {
            std::this_thread::yield();
        }
        return worker->done();
    }

    int index = -1;
    int a = -1, b = -1;
};

// a's request is stepped to the point where it changed a record and has not flushed it yet; b's request
// on the same record then waits for a's to end. Were it let through, it would take a's change for its own
// or replace it: two handles' overrideTrigger would send one pulse for the two they answer as sent; a
// flash read would answer success with bytes of a transaction described with the status read's address
// length (b's read-back of the SPI map by name takes the record back to what the hardware holds).
TEST_F(RegisterAccess, AnotherHandlesRequestWaitsForARequestBetweenItsSetAndItsFlush) {
    if (!kStepsInstructions) {
        GTEST_SKIP() << "instruction stepping is not available here";
    }
    struct Row {
        const char* what;
        std::string board;
        bool flash; // else two triggers
    };
    const Row rows[] = {{"two triggers", "duskmere-a", false},
                        {"two triggers", "solstra", false},
                        {"a flash read, the SPI map read back", "solstra", true},
                        {"a flash read, the SPI map read back", "duskmere-a", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.what) + " on " + row.board);
        plug(row.board);
        sim::MeasureUnit& unit = module(index).sequencerSide()->measureUnit();
        const uint32_t pulses = unit.triggerPulses();
        std::vector<uint8_t> bytes(64, 0xEE);
        std::function<bool()> when;
        std::function<int32_t()> first, second;
        if (row.flash) {
            auto& readMode = mapOf<brixeltools::SPIController::tSPIMap>(kSpi).ReadModeRegister;
            when = [&readMode] {
                return readMode.dirty != 0 && (readMode.softCopy & tReadMode::kAddressLength) ==
                                                  24u << tReadMode::kAddressLengthShift;
            };
            first = [&] {
                const kelvo_deviceWindow_read_in in{0, 0, kSector, 64, address(bytes.data()), 0, 0};
                return statusOf(a, KELVO_IOCTL_deviceWindow_read, named(in, "flashWindow"));
            };
            second = [&] {
                const uint32_t value =
                    ASK(arm_read, b, address(kSpi), std::strlen(kSpi), kReadModeId, 0).value;
                const auto in = named(kelvo_arm_write_in{0, 0, kReadModeId, value, 1, {}, 0}, kSpi);
                return statusOf(b, KELVO_IOCTL_arm_write, in);
            };
        } else {
            arm::tRegisterRecord& control = armed(row.board);
            when = [&control] { return control.dirty != 0 && (control.softCopy & 1) != 0; };
            first = [&] { return trigger(a); };
            second = [&] { return trigger(b); };
        }
        int32_t firstCode = -1, secondCode = -1;
        std::optional<Worker> beside;
        bool besideEnded = true;
        const bool hooked =
            InstructionStepper::run([&] { firstCode = first(); }, when,
                                    [&] { besideEnded = meanwhile(beside, [&] { secondCode = second(); }); });
        beside->join();
        EXPECT_EQ(std::tuple(hooked, besideEnded, firstCode, secondCode), std::tuple(true, false, 0, 0));
        if (row.flash) {
            const std::vector<uint8_t> flash = module(index).flash().contents();
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin() + kSector)) << "the bytes read";
        } else {
            EXPECT_EQ(unit.triggerPulses(), pulses + 2);
        }
        unplug();
    }
}

// b's request is paused at its write of a register (in the simulated module) while a's request on the same
// record runs: a's must wait for b's to end. Let through, its change is lost: a set of a RequiredRegs
// register by its own name while b's whole-map flush of the top map writes the older value, which the
// flush then marks clean (a's flushRegister then writes nothing and the read-back shows the older value);
// a's reset, stepped to its set of the abort bit, while b's overrideTrigger writes the trigger bit alone
// and clears both (the abort never goes out and the reset times out).
TEST_F(RegisterAccess, AnotherHandlesRequestWaitsForARequestPausedAtItsWrite) {
    struct Row {
        const char* what;
        std::string board;
        bool reset; // else the RequiredRegs register beside the top map's flush
    };
    std::vector<Row> rows = {{"a whole-map flush, a set by the sub-map's name", "solstra", false},
                             {"a whole-map flush, a set by the sub-map's name", "duskmere-a", false}};
    if (kStepsInstructions) {
        rows.push_back({"a trigger, a reset", "solstra", true});
        rows.push_back({"a trigger, a reset", "duskmere-a", true});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.what) + " on " + row.board);
        plug(row.board);
        const std::string required = nisoMap(row.board, true), top = nisoMap(row.board, false);
        const auto set = [&](uint32_t value) {
            return statusOf(a, KELVO_IOCTL_arm_set,
                            named(kelvo_arm_set_in{0, 0, kScratchId, value, 0, 0}, required));
        };
        sim::Block* block = nullptr;
        uint64_t offset = 0;
        std::function<int32_t()> paused, beside;
        std::atomic<bool> reached = false, go = false;
        std::optional<Worker> first;
        if (row.reset) {
            block = &module(index).sequencerSide()->measureUnitBlock(); // MuCtrl at 0
            arm::tRegisterRecord& control = armed(row.board);
            paused = [&] { return trigger(b); };
            beside = [&] {
                int32_t code = -1;
                InstructionStepper::run([&] { code = ASK(measureUnit_reset, a).status; },
                                        [&control] { return (control.softCopy & 2) != 0; },
                                        [&] { // the trigger goes on and clears the bits it wrote
                                            go = true;
                                            first->join();
                                        });
                return code;
            };
        } else {
            auto& regs = mapOf<kelvo_regmaps::tRequiredRegs>(required);
            block = &module(index).nisoFpga();
            offset = regs.BasicScratch0.address;
            EXPECT_EQ(set(0x1111), 0); // dirty: the whole-map flush writes it
            paused = [&] {
                return statusOf(b, KELVO_IOCTL_arm_flushRegMap,
                                named(kelvo_arm_flushRegMap_in{0, 0, 0, {}, 0}, top));
            };
            beside = [&] { return set(0x2222); };
        }
        block->setTap(offset, [&] {
            for (bool once = !reached.exchange(true); once && !go;) {
                std::this_thread::yield();
            }
        });
        int32_t pausedCode = -1, besideCode = -1;
        first.emplace([&] { pausedCode = paused(); });
        while (!reached) {
            std::this_thread::yield();
        }
        std::optional<Worker> second;
        const bool besideEnded = meanwhile(second, [&] { besideCode = beside(); });
        go = true;
        first->join();
        second->join();
        block->setTap(offset, {});
        EXPECT_EQ(std::tuple(besideEnded, pausedCode, besideCode), std::tuple(false, 0, 0));
        if (!row.reset) {
            const kelvo_arm_flushRegister_in flush{
                address(required.data()), required.size(), kScratchId, 0, {}, 0, 0};
            EXPECT_EQ(statusOf(a, KELVO_IOCTL_arm_flushRegister, flush), 0);
            EXPECT_EQ(ASK(arm_read, a, address(required.data()), required.size(), kScratchId, 0).value,
                      0x2222u);
        }
        unplug();
    }
}

} // namespace
