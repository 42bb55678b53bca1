// Hardware-state checkers: register verifiers, the checker composite, the
// fixed checker collection; and the spare kit (configuration switches,
// invalidatable session, route programmer).
#include <cstdint>
#include <string>
#include <vector>

#include "control.h"
#include "framework/hardware_state_checker_collection.h"
#include "framework/hardware_state_checker_composite.h"
#include "framework/invalidatable_session.h"
#include "framework/regi_config.h"
#include "framework/regmap_route_programmer.h"
#include "framework/simple_register_verifier.h"
#include "test_support.h"

namespace fakeregs {

// A register record read through its map, as the register-map engine keeps them.
struct StatusReg {
    uint32_t softCopy = 0x12345678;
    uint8_t dirty = 1;
    bool inWindow = true;
    uint32_t hardware = 0;
    int reads = 0;
};

void refreshRecord(StatusReg& record, nVOAPALS100::tStatus& status) {
    if (!record.inWindow) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible);
        return;
    }
    ++record.reads;
    record.softCopy = record.hardware;
    record.dirty = 0;
}

} // namespace fakeregs

namespace {

using nVOAPALS100::tStatus;

constexpr uint32_t kBoardSignature = 0x50A1C0DE;
constexpr int32_t kSignatureCode = static_cast<int32_t>(0xBFFA467Cu);
constexpr int32_t kAccessCode = static_cast<int32_t>(0xBFFA468Bu);
using SignatureVerifier = kdut::SimpleSignatureVerifierTemplate<fakeregs::StatusReg, kBoardSignature, kSignatureCode>;
using AccessVerifier = kdut::SimpleRegisterVerifierTemplate<fakeregs::StatusReg, 0x80000000u, 0u, kAccessCode>;

TEST(FrameworkVerifier, SignatureMustMatchWhole) {
    fakeregs::StatusReg reg;
    SignatureVerifier verifier(reg);
    reg.hardware = kBoardSignature;
    tStatus status;
    verifier.checkHardwareState(status);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(reg.reads, 1);
    EXPECT_EQ(reg.dirty, 0);

    reg.hardware = 0xFFFFFFFF; // the device is gone
    verifier.checkHardwareState(status);
    EXPECT_EQ(status.getCode(), kSignatureCode);
    EXPECT_EQ(reg.softCopy, 0xFFFFFFFFu);

    // A fatal status reads nothing.
    verifier.checkHardwareState(status);
    EXPECT_EQ(reg.reads, 2);
}

TEST(FrameworkVerifier, AccessStatusLooksOnlyAtBit31) {
    fakeregs::StatusReg reg;
    AccessVerifier verifier(reg);
    for (uint32_t value : {0u, 0x7FFFFFFFu, 0x1u}) {
        reg.hardware = value;
        tStatus status;
        verifier.checkHardwareState(status);
        EXPECT_TRUE(status.isSuccess()) << value;
    }
    reg.hardware = 0x80000000u;
    tStatus status;
    verifier.checkHardwareState(status);
    EXPECT_EQ(status.getCode(), kAccessCode);
}

TEST(FrameworkVerifier, AnUnreachableRegisterReportsThatFirst) {
    fakeregs::StatusReg reg;
    reg.inWindow = false;
    reg.softCopy = 0; // the cached value would also fail the signature
    SignatureVerifier verifier(reg);
    tStatus status;
    verifier.checkHardwareState(status);
    EXPECT_EQ(status.getCode(), tStatus::kNotAccessible);
    EXPECT_EQ(reg.reads, 0);
}

// Records the order of the calls and the status each one saw.
struct RecordingChecker : kdut::HardwareStateCheckerInterface {
    RecordingChecker(std::vector<std::string>& log, std::string name, int64_t fault = 0)
        : log_(log), name_(std::move(name)), fault_(fault) {}
    void checkHardwareState(tStatus& status) override {
        log_.push_back(name_ + ":" + std::to_string(status.getCode()));
        if (status.isNotFatal() && fault_ != 0) {
            KELVO_SET_STATUS(status, fault_);
        }
    }
    std::vector<std::string>& log_;
    std::string name_;
    int64_t fault_;
};

class FrameworkCheckerComposite : public kelvo_test::LeakCheckedTest {};

TEST_F(FrameworkCheckerComposite, RunsInInsertionOrderAndTheFirstFailureIsReported) {
    std::vector<std::string> log;
    RecordingChecker first(log, "a");
    RecordingChecker second(log, "b", -7);
    RecordingChecker third(log, "c", -9);
    tStatus status;
    kdut::HardwareStateCheckerComposite composite(2, status); // the capacity is no limit
    composite.add(&first, status);
    composite.add(&second, status);
    composite.add(&third, status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(composite.size(), 3u);
    composite.checkHardwareState(status);
    EXPECT_EQ(status.getCode(), -7);
    EXPECT_EQ(log, (std::vector<std::string>{"a:0", "b:0", "c:-7"}));

    // A composite is a checker: it nests, and does nothing on a failed status.
    log.clear();
    composite.checkHardwareState(status);
    EXPECT_TRUE(log.empty());
}

TEST_F(FrameworkCheckerComposite, AddRemoveContains) {
    std::vector<std::string> log;
    RecordingChecker checker(log, "x");
    RecordingChecker other(log, "y");
    kdut::HardwareStateCheckerComposite composite;
    tStatus status;
    composite.add(&checker, status);
    composite.add(&checker, status); // no duplicate check: runs twice
    composite.checkHardwareState(status);
    EXPECT_EQ(log.size(), 2u);
    composite.remove(&checker, status);
    EXPECT_TRUE(composite.contains(&checker));
    EXPECT_EQ(composite.size(), 1u);
    composite.remove(&other, status);
    EXPECT_EQ(status.getCode(), tStatus::kNotAccessible);
    composite.clear();
    EXPECT_FALSE(composite.contains(&checker));

    kdut::HardwareStateCheckerComposite empty;
    kal::memory::failNth(1);
    tStatus grow;
    empty.add(&checker, grow);
    EXPECT_EQ(grow.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(empty.size(), 0u);
}

TEST(FrameworkCheckerCollection, CallsEveryMemberInOrderWithTheSameStatus) {
    std::vector<std::string> log;
    RecordingChecker first(log, "a");
    RecordingChecker second(log, "b", -7);
    RecordingChecker third(log, "c");
    orut::HardwareStateCheckerCollection collection;
    collection.add(&first);
    collection.add(&second);
    collection.add(&third);
    tStatus status;
    collection.checkHardwareState(status);
    EXPECT_EQ(status.getCode(), -7);
    EXPECT_EQ(log, (std::vector<std::string>{"a:0", "b:0", "c:-7"}));

    log.clear();
    collection.remove(&first);
    tStatus fresh;
    collection.checkHardwareState(fresh);
    EXPECT_EQ(log, (std::vector<std::string>{"b:0", "c:-7"}));
    collection.clear();
    EXPECT_EQ(collection.size(), 0u);
}

TEST(FrameworkCheckerCollectionDeath, FullOrMissingMembersAreInvariantFailures) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<std::string> log;
    RecordingChecker checker(log, "x");
    EXPECT_DEATH(
        {
            orut::HardwareStateCheckerCollection collection;
            for (uint32_t i = 0; i <= orut::HardwareStateCheckerCollection::kCapacity; ++i) {
                collection.add(&checker);
            }
        },
        "ASSERT\\(count_ < kCapacity\\)");
    EXPECT_DEATH(
        {
            orut::HardwareStateCheckerCollection collection;
            collection.remove(&checker);
        },
        "ASSERT\\(false\\)");
}

TEST(FrameworkRegiConfig, MergeKeepsMarkedSwitches) {
    const voregitools::RegiConfig previous(1, 0, 1);
    const voregitools::RegiConfig merged(previous, voregitools::RegiConfig::readSourceKeepPrevConfiguration, 1,
                                         voregitools::RegiConfig::writeCachingKeepPrevConfiguration);
    EXPECT_EQ(merged, voregitools::RegiConfig(1, 1, 1));
    EXPECT_EQ(merged.toBits(), 7u);
    EXPECT_NE(merged, previous);

    const voregitools::RegiConfig fromBits(0x2u);
    EXPECT_FALSE(fromBits.isReadSourceSet());
    EXPECT_TRUE(fromBits.isWriteDestinationSet());
    EXPECT_FALSE(fromBits.isWriteCachingSet());
    EXPECT_EQ(fromBits.toBits(), 2u);
    EXPECT_EQ(voregitools::RegiConfig().toBits(), 0u);
}

struct FlagSession : orut::InvalidatableSession {
    FlagSession() : orut::InvalidatableSession(0xBFFA9179u) {}
    bool isValid() const override { return valid; }
    bool valid = true;
};

TEST(FrameworkInvalidatableSession, CheckReportsTheCodeOnceInvalid) {
    FlagSession session;
    tStatus status;
    session.check(status);
    EXPECT_TRUE(status.isSuccess());
    session.valid = false;
    session.check(status);
    EXPECT_EQ(status.getCode(), kelvoDriverCode(0xBFFA9179u));
    tStatus failed;
    KELVO_SET_STATUS(failed, -1);
    session.check(failed);
    EXPECT_EQ(failed.getCode(), -1);
}

struct FakeMap {
    struct Write {
        uint32_t field;
        uint64_t value;
        uint32_t extra;
    };
    std::vector<Write> writes;
    void set(uint32_t field, uint64_t value, tStatus& status, uint32_t extra) {
        if (status.isNotFatal()) {
            writes.push_back({field, value, extra});
        }
    }
};

TEST(FrameworkRouteProgrammer, WritesThroughTheSubTopographysMapWithItsFlag) {
    FakeMap map;
    tStatus status;
    orut::RegMapRouteProgrammer<FakeMap> programmer(map, 5, status);
    ASSERT_TRUE(status.isSuccess());
    programmer.program(0, 0x80000012u, 3, status);
    ASSERT_EQ(map.writes.size(), 1u);
    EXPECT_EQ(map.writes[0].field, 0x80000012u);
    EXPECT_EQ(map.writes[0].value, 3u);
    EXPECT_EQ(map.writes[0].extra, 5u);

    tStatus failed;
    KELVO_SET_STATUS(failed, -1);
    programmer.program(0, 1, 1, failed);
    EXPECT_EQ(map.writes.size(), 1u);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(programmer.program(1, 1, 1, status), "ASSERT\\(listed\\)");
}

} // namespace
