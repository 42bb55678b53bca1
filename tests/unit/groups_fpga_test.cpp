// The two FPGA groups over the simulated module of each board.
#include <atomic>
#include <thread>

#include "groups_support.h"
#include "regs_fake_accessor.h"

namespace {

using nVOAPALS100::tStatus;

constexpr int64_t kUnknownGeneration = KELVO_STATUS_UNSUPPORTED_PRODUCT;

std::string boardName(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    std::erase(name, '-');
    return name;
}

class GroupsFpga : public kelvo_test::groups::GroupsTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        GroupsTest::SetUp();
        plug(GetParam());
        ASSERT_EQ(buildNiso(), 0);
    }
    bool solstra() const { return std::string(GetParam()) == "solstra"; }
    // The link's register-access map by the name user mode uses.
    std::string linkName() const {
        return std::string(solstra()
                               ? "SolstraNisoTopRegMap_BoardWin_SolstraNisoBoardRegMap_IsoRegAccessWin0"
                               : "DuskmereNisoTopRegMap_ChannelWins0_DuskmereNisoChRegMap_IsoRegAccessWin1") +
               "_KelvoRegAccessRegMap_Ver1.0.0d379";
    }
};

TEST_P(GroupsFpga, WrappersHandOutTheirOwnBlocksAndNullOutOfRange) {
    ASSERT_EQ(buildIso(), 0);
    const auto& w = niso->wrapper;
    const auto& i = iso->wrapper;
    EXPECT_EQ(
        std::tuple(w.isSolstra, w.isDuskmere, niso->window.getSizeInBytes(), iso->window.getSizeInBytes()),
        std::tuple(solstra(), !solstra(), solstra() ? 0x8000u : 0xE000u, solstra() ? 0x20000u : 0x8000u));
    EXPECT_EQ(w.getDcBusRegMap(0, solstra() ? 2 : 3), nullptr);
    EXPECT_EQ(w.getRegAccessRegMap(0, 3), nullptr);
    EXPECT_EQ(i.getDcBusRegMap(2), nullptr);
    EXPECT_NE(i.getDcBusRegMap(1), nullptr);
    if (solstra()) {
        EXPECT_EQ(w.getDcBusRegMap(7, 1), w.getSolstraRegMap()->Channel.DcBus[1])
            << "one channel: the channel is not looked at";
        // The sequencer's view for the sequencer blocks, the channel's own for the loop.
        EXPECT_EQ(i.getSeqFlexLoopRegMap()->base(), 0x18400u);
        EXPECT_EQ(i.getFlexLoopRegMap(), &i.getSolstraRegMap()->Channel.FlexLoop);
    } else {
        EXPECT_EQ(w.getDcBusRegMap(1, 0), nullptr);
        EXPECT_EQ(w.getRegAccessRegMap(1, 0), nullptr);
        EXPECT_EQ(w.getMeasureStreamStatusRegMap(1), nullptr);
        EXPECT_EQ(w.getRequiredRegs()->base(), 0x8000u) << "the board's own block, not the sequencer's view";
        EXPECT_EQ(i.getSeqFlexLoopRegMap()->base(), 0x4400u);
        EXPECT_EQ(i.getFlexLoopRegMap()->base(), 0x2000u);
    }
}

// The tree's lock again once it is gone, or when a kernel mutex (the windows', the windowed accessor's,
// the isolated tree's) failed.
TEST_P(GroupsFpga, TheLinksMapIsLockedWhileTheIsolatedGroupLives) {
    const uint64_t nisoNames = arm->getNumberOfRegistrations();
    auto* linkMap = lookUp(*arm, linkName());
    ASSERT_NE(linkMap, nullptr);
    arm::tRegMapLockInterface* treeLock = &niso->wrapper.topRegMapWrapper.treeLock();
    ASSERT_EQ(buildIso(), 0);
    auto* locked = iso->getRegAccessRegMap();
    ASSERT_EQ(static_cast<arm::DynamicAccessInterfaceBase<tStatus>*>(locked), linkMap);
    EXPECT_NE(locked->externalLock(), treeLock);
    EXPECT_EQ(niso->wrapper.getRegAccessRegMap(0, solstra() ? 1 : 0)->externalLock(), treeLock)
        << "that one only";

    // The lock is the windowed accessor's recursive mutex: operations by identifier take it again.
    kelvo_driver::WindowedFrontEndAccessor* accessor = iso->getWindowedAccessor();
    EXPECT_EQ(accessor->lockCount(), 0u);
    locked->externalLock()->acquire();
    EXPECT_EQ(accessor->lockCount(), 1u);
    tStatus status;
    uint64_t value = 0;
    linkMap->read(0x807B4F57, value, status, 0); // the status register
    EXPECT_EQ(status.getCode(), 0);
    locked->externalLock()->release();
    EXPECT_EQ(accessor->lockCount(), 0u);

    delete iso;
    iso = nullptr;
    EXPECT_EQ(locked->externalLock(), treeLock);
    for (uint64_t nth = 1; nth <= 3; ++nth) {
        kal::faults::failNth(kal::faults::kMutex, nth);
        EXPECT_EQ(buildIso(), tStatus::kOutOfMemory) << nth;
        kal::faults::clear();
        delete iso;
        iso = nullptr;
        EXPECT_EQ(locked->externalLock(), treeLock);
        EXPECT_EQ(arm->getNumberOfRegistrations(), nisoNames);
        EXPECT_EQ(windows->getNumberOfRegistrations(), 1u);
    }
}

// User access to the link's map by name races isolated accesses: the lock keeps every handshake whole.
TEST_P(GroupsFpga, UserAccessToTheLinksMapWaitsForHandshakes) {
    ASSERT_EQ(buildIso(), 0);
    board->link().setSlow(1, 2);
    std::atomic<bool> done{false};
    std::atomic<int> userAccesses{0};
    std::atomic<bool> userStopped{false};
    std::thread user([&] {
        struct Stopped {
            std::atomic<bool>& flag;
            ~Stopped() { flag = true; }
        } stopped{userStopped};
        while (!done.load()) {
            arm::DynamicAccessInterfaceBase<tStatus>* map = nullptr;
            kelvo_driver::nVOAPAL000::tMutex* mutex = nullptr;
            tStatus status;
            arm->getRegistration(linkName().c_str(), &map, status, &mutex);
            ASSERT_TRUE(status.isSuccess());
            nVOAPAL200_acquireMutex(mutex);
            map->write(0x80E420F1, 0xBAD0BAD0u, true, status, 0); // the write-data register
            uint64_t value = 0;
            map->read(0x807B4F57, value, status, 0);
            map->refreshRegMap(status);
            nVOAPAL200_releaseMutex(mutex);
            EXPECT_TRUE(status.isSuccess());
            ++userAccesses;
        }
    });
    // At least 60 rounds, more until the user's accesses came in between (its thread may start late).
    constexpr uint32_t kRounds = 60;
    for (uint32_t i = 0; i < kRounds || (userAccesses.load() < 2 && !userStopped.load()); ++i) {
        const uint64_t offset = 0x800 + 4 * (i % kRounds);
        const uint32_t value = 0x5EED0000u | (i & 0xFFFFu);
        uint32_t back = 0;
        tStatus status;
        iso->window.write(reinterpret_cast<const uint8_t*>(&value), offset, 4, true, status);
        iso->window.read(offset, 4, reinterpret_cast<uint8_t*>(&back), status);
        ASSERT_TRUE(status.isSuccess()) << status.getCode();
        EXPECT_EQ(back, value);
        EXPECT_EQ(board->iso().peek(offset), value);
    }
    done = true;
    user.join();
    EXPECT_GT(userAccesses.load(), 0); // the fixture checks the link saw no access while busy
}

INSTANTIATE_TEST_SUITE_P(Boards, GroupsFpga, ::testing::Values("solstra", "duskmere-a"), boardName);

using GroupsGeneration = kelvo_test::groups::GroupsTest;

TEST_F(GroupsGeneration, AnUnknownSubsystemBuildsAndRegistersNothing) {
    plug("solstra");
    caps->subsystemID = 0x7B02; // a product of the family this driver does not serve
    EXPECT_EQ(buildNiso(), kUnknownGeneration);
    EXPECT_EQ(arm->getNumberOfRegistrations(), 0u);
    EXPECT_EQ(windows->getNumberOfRegistrations(), 0u);
    destroyGroups();
    capsPtr = nullptr; // no record at all: an unknown product
    EXPECT_EQ(buildNiso(), kUnknownGeneration);
    destroyGroups();

    // The isolated wrapper the same way, over any accessor.
    caps->subsystemID = 0x7B03;
    capsPtr = &*caps;
    kelvo_test::FakeAccessor accessor;
    tStatus status;
    kelvo_driver::IsolatedRegMapsWrapper isoWrapper(*arm, &accessor, capsPtr, status);
    EXPECT_EQ(std::tuple(status.getCode(), isoWrapper.getWindowSize(), accessor.log.size()),
              std::tuple(kUnknownGeneration, 0x8000u, 0u));
}

} // namespace
