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

// One request is stopped, stepped, where it changed a record and has not written it yet, or, in the simulated
// module, at its write; another handle's request on the same record runs meanwhile and must wait for the
// first to end. Let through, a change is lost: of two overrideTriggers one pulse goes out for the two
// answered as sent; a flash read answers success with a byte of a transaction described as the status read
// was (the other handle's read-back of the SPI map by name takes the record back to what the hardware
// holds); a whole-map flush of the top map writes the older value of a RequiredRegs register that a set by
// its own name has just changed, and marks it clean (the set's flush then writes nothing); a reset stepped
// to its set of the abort bit while an overrideTrigger is at its write of the trigger bit alone has both
// bits cleared by the trigger's flush (the abort never goes out: the reset times out).
TEST_F(RegisterAccess, AnotherHandlesRequestOnTheSameRecordWaits) {
    enum Kind { kTriggers, kFlash, kWholeMap, kReset };
    const std::pair<Kind, std::string> rows[] = {
        {kTriggers, "duskmere-a"}, {kTriggers, "solstra"},    {kFlash, "solstra"}, {kFlash, "duskmere-a"},
        {kWholeMap, "solstra"},    {kWholeMap, "duskmere-a"}, {kReset, "solstra"}, {kReset, "duskmere-a"}};
    for (const auto& [kind, board] : rows) {
        if (kind != kWholeMap && !kStepsInstructions) {
            continue;
        }
        SCOPED_TRACE(std::to_string(kind) + " on " + board);
        plug(board);
        sim::MeasureUnit& unit = module(index).sequencerSide()->measureUnit();
        const uint32_t pulses = unit.triggerPulses();
        const std::string required = nisoMap(board, true), top = nisoMap(board, false);
        const kelvo_arm_read_in scratch{address(required.data()), required.size(), kScratchId, 0};
        const auto set = [&](uint32_t value) {
            return statusOf(
                a, KELVO_IOCTL_arm_set,
                kelvo_arm_set_in{scratch.nameAddress, scratch.nameLength, kScratchId, value, 0, 0});
        };
        std::vector<uint8_t> bytes(64, 0xEE);
        std::function<bool()> when; // a stepped to it, else paused at the tap
        sim::Block* block = nullptr;
        uint64_t offset = 0;
        std::function<int32_t()> first, second;
        std::atomic<bool> reached = false, go = false;
        std::optional<Worker> paused, beside;
        if (kind == kTriggers) {
            arm::tRegisterRecord& control = armed(board);
            when = [&control] { return control.dirty != 0 && (control.softCopy & 1) != 0; };
            first = [&] { return trigger(a); };
            second = [&] { return trigger(b); };
        } else if (kind == kFlash) {
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
        } else if (kind == kWholeMap) {
            block = &module(index).nisoFpga();
            offset = mapOf<kelvo_regmaps::tRequiredRegs>(required).BasicScratch0.address;
            EXPECT_EQ(set(0x1111), 0); // dirty: the whole-map flush writes it
            first = [&] {
                const auto in = named(kelvo_arm_flushRegMap_in{0, 0, 0, {}, 0}, top);
                return statusOf(b, KELVO_IOCTL_arm_flushRegMap, in);
            };
            second = [&] { return set(0x2222); };
        } else {
            block = &module(index).sequencerSide()->measureUnitBlock(); // MuCtrl at 0
            arm::tRegisterRecord& control = armed(board);
            first = [&] { return trigger(b); };
            second = [&] {
                int32_t code = -1;
                InstructionStepper::run([&] { code = ASK(measureUnit_reset, a).status; },
                                        [&control] { return (control.softCopy & 2) != 0; },
                                        [&] { // the trigger goes on and clears the bits it wrote
                                            go = true;
                                            paused->join();
                                        });
                return code;
            };
        }
        int32_t firstCode = -1, secondCode = -1;
        bool secondEnded = true;
        const auto meanwhileSecond = [&] { secondEnded = meanwhile(beside, [&] { secondCode = second(); }); };
        if (block != nullptr) {
            block->setTap(offset, [&] {
                for (bool once = !reached.exchange(true); once && !go;) {
                    std::this_thread::yield();
                }
            });
            paused.emplace([&] { firstCode = first(); });
            while (!reached) {
                std::this_thread::yield();
            }
            meanwhileSecond();
            go = true;
        } else {
            reached = InstructionStepper::run([&] { firstCode = first(); }, when, meanwhileSecond);
        }
        if (paused) {
            paused->join();
        }
        beside->join();
        if (block != nullptr) {
            block->setTap(offset, {});
        }
        EXPECT_EQ(std::tuple(reached.load(), secondEnded, firstCode, secondCode),
                  std::tuple(true, false, 0, 0));
        const std::vector<uint8_t> flash = module(index).flash().contents();
        EXPECT_EQ(kind == kTriggers ? unit.triggerPulses() : pulses + 2, pulses + 2);
        EXPECT_TRUE(kind != kFlash || std::equal(bytes.begin(), bytes.end(), flash.begin() + kSector));
        if (kind == kWholeMap) { // the set's flush
            const kelvo_arm_flushRegister_in in{
                scratch.nameAddress, scratch.nameLength, kScratchId, 0, {}, 0, 0};
            EXPECT_EQ(statusOf(a, KELVO_IOCTL_arm_flushRegister, in), 0);
            EXPECT_EQ(answer<kelvo_arm_read_out>(a, KELVO_IOCTL_arm_read, scratch).value, 0x2222u);
        }
        unplug();
    }
}

// A forced whole-map flush of the isolated top map over a slow link holds the tree's lock for one handshake
// at a time: another handle's request on the tree (a hardware-state check reads the isolated board's
// signature) or close (its armed measure unit's reset; in the isolated FPGA on Solstra only) coming between
// two records answers before the flush's last write. The flush stops at its next lock after its tenth write
// until the other ends or blocks (on stepped time only at a lock).
TEST_F(RegisterAccess, AWholeMapFlushHoldsOffAnotherRequestForOneRecordAtMost) {
    enum Beside { kCheck, kClose };
    const std::pair<Beside, std::string> rows[] = {
        {kCheck, "solstra"}, {kCheck, "duskmere-a"}, {kClose, "solstra"}};
    for (const auto& [beside, board] : rows) {
        SCOPED_TRACE(std::to_string(beside) + " on " + board);
        plug(board);
        const int c = open(index);
        EXPECT_EQ(ASK(measureUnit_arm, c).status, 0);
        sim::IsolationLink& link = module(index).isolationLink();
        link.setSlow(1, 1);
        const std::string top =
            (board == "solstra" ? "Solstra" : "Duskmere") + std::string("IsoTopRegMap_Ver1.0.0d379");
        const size_t start = link.isolatedWrites();
        size_t writtenWhenAnswered = 0;
        std::optional<Worker> other;
        const auto request = [&] {
            EXPECT_EQ(beside == kCheck ? ASK(kdut_checkHardwareState, c, 0, 0, 0).status : kelvo_close(c), 0);
            writtenWhenAnswered = link.isolatedWrites() - start;
            link.setSlow(0, 0); // the rest of the flush at once
        };
        {
            const kal::clock::ScopedStepped stepped(1000); // a poll ends by its reads, a spin by clock reads
            Worker flush([&] {
                kal::thread::onMutexAcquire([&] {
                    if (!other && link.isolatedWrites() >= start + 10) {
                        meanwhile(other, request);
                    }
                });
                const auto in = named(kelvo_arm_flushRegMap_in{0, 0, 1, {}, 0}, top);
                EXPECT_EQ(statusOf(b, KELVO_IOCTL_arm_flushRegMap, in), 0);
                kal::thread::onMutexAcquire({});
            });
            flush.join();
            ASSERT_TRUE(other.has_value());
            other->join();
        }
        EXPECT_LT(writtenWhenAnswered, link.isolatedWrites() - start);
        if (beside == kCheck) {
            kelvo_close(c);
        }
        unplug();
    }
}

} // namespace
