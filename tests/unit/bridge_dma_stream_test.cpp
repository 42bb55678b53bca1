// The SGL controller and its list kinds, the stream circuit, credit and FIFO
// controllers, the DMA stream controller and the DMA buffer over the
// simulated engine in step mode.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/time.h"
#include "bridge_dma_stream_support.h"

namespace {

using brixeltools::kSGLTypeContinuous;
using brixeltools::kSGLTypeFinite;
using kelvo_driver::nVOAPAL000::kHeaderLastLink;
using kelvo_driver::nVOAPAL000::kHeaderTwoLinkRing;
using kelvo_test::decodeChain;
using kelvo_test::UserMemory;
using nVOAPALS100::tStatus;

constexpr std::int64_t k806C = kelvoDriverCode(0xBFFA806C);
constexpr std::int64_t k806D = kelvoDriverCode(0xBFFA806D);
constexpr std::int64_t k806E = kelvoDriverCode(0xBFFA806E);
constexpr std::int64_t k806F = kelvoDriverCode(0xBFFA806F);
constexpr std::int64_t k8079 = kelvoDriverCode(0xBFFA8079);
constexpr std::int64_t k807C = kelvoDriverCode(0xBFFA807C);
constexpr std::int64_t kInvalid = tStatus::kInvalidParameter;

class BridgeDmaStream : public kelvo_test::DmaStreamTest {};

TEST_F(BridgeDmaStream, TransfersAreCheckedBeforeAnythingIsLocked) {
    kal::pagelists::setFragmented(true);
    UserMemory user(64 * 4096);
    auto c = channel(0);
    auto either = std::make_unique<kelvo_test::DmaChannel>(window, *module, config, 0, 4096, barAccessor);
    struct Row {
        const char* what;
        std::uint64_t address, size;
        std::uint32_t repeat;
        std::int64_t direction;
        std::int64_t code;
    };
    const std::uint64_t a = user.address();
    const Row rows[] = {
        {"repeat 0", a, 4096, 0, -1, k806C},
        {"host to device on channel 0", a, 4096, 1, 0, k806F},
        {"either as a transfer's direction", a, 4096, 1, 2, k806F},
        {"size 0", a, 0, 1, -1, kInvalid},
        {"above 2^40 bytes", a, (1ULL << 40) + 1, 1, -1, kInvalid},
        {"a range that wraps", ~0ULL - 4095, 8192, 1, -1, kInvalid},
        {"more repeats than entries allowed", a, 4096, (1u << 20) + 1, -1, kInvalid},
        {"64 segments 2^15 times", a, 64 * 4096, 1u << 15, -1, kInvalid},
        {"pages not the caller's", a + 64 * 4096, 4096, 1, -1, tStatus::kPageLockFailed},
    };
    const std::size_t lists = kal::pagelists::live();
    for (const Row& row : rows) {
        EXPECT_EQ(add(*c, kSGLTypeFinite, row.address, row.size, row.repeat, row.direction), row.code)
            << row.what;
        EXPECT_EQ(c->sgl->entryCount(kSGLTypeFinite), 0u) << row.what;
        EXPECT_EQ(kal::pagelists::live(), lists) << row.what;
    }
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 64 * 4096, 1u << 14), 0);
    EXPECT_EQ(c->sgl->entryCount(kSGLTypeFinite), 1u << 20);
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), kInvalid); // the list is full
}

TEST_F(BridgeDmaStream, CommitShapesTheListsByWhatTheyHold) {
    UserMemory user(4096);
    struct Row {
        const char* what;
        std::vector<std::uint32_t> types;
        std::uint32_t linkSize;
        std::vector<std::uint32_t> flags; // of the links walked from the head, ring once round
    };
    const Row rows[] = {
        {"finite alone", {0, 0}, 4096, {kHeaderLastLink}},
        {"continuous alone", {1, 1, 1}, 64, {0, kHeaderTwoLinkRing}},
        {"finite into the ring", {0, 1, 1, 1}, 64, {0, 0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto c = channel(0, row.linkSize);
        for (std::uint32_t type : row.types) {
            ASSERT_EQ(add(*c, type, user.address(), 4096), 0);
        }
        tStatus status;
        c->sgl->commit(status);
        ASSERT_TRUE(status.isSuccess());
        const auto links = decodeChain(info.pciHandle, c->sgl->getSGL(), row.flags.size() + 1);
        ASSERT_GE(links.size(), row.flags.size());
        for (std::size_t i = 0; i < row.flags.size(); ++i) {
            EXPECT_EQ(links[i].flags, row.flags[i]) << i;
        }
        if (row.types.front() == 0 && row.types.back() == 1) {
            // the finite tail leads to the ring's head, and the ring closes on it
            EXPECT_EQ(links[1].address, c->sgl->getSGL().continuousSGLRef.head()->linkMemory.address);
            EXPECT_EQ(links[3].address, links[1].address);
        }
    }
}

TEST_F(BridgeDmaStream, ListKindRulesAnswerPlainErrors) {
    UserMemory user(4096);
    auto c = channel(0);
    const std::uint64_t a = user.address();
    EXPECT_EQ(add(*c, kSGLTypeContinuous, a, 4096), 0);
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), kInvalid); // finite after continuous
    tStatus status;
    c->sgl->clearTransfers(status);
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), 0);
    EXPECT_EQ(add(*c, kSGLTypeContinuous, a, 4096), 0);
    c->sgl->commit(status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(add(*c, kSGLTypeContinuous, a, 4096), kInvalid); // after a connecting commit
    const std::uint64_t fences = kal::dma::prepareCalls();
    c->sgl->commit(status); // unchanged: nothing
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(kal::dma::prepareCalls(), fences);
    c->sgl->clearTransfers(status);
    EXPECT_TRUE(c->sgl->isEmpty());
    EXPECT_EQ(add(*c, kSGLTypeFinite, a, 4096), 0);
    c->sgl->cleanup(status);
    EXPECT_TRUE(c->sgl->getSGL().isEmpty());
    EXPECT_EQ(c->sgl->getSGL().finiteSGLRef.linkCount(), 1u);
    c->sgl->commitAndStart(true, status);
    EXPECT_EQ(status.getCode(), kInvalid); // nothing to start
}

TEST_F(BridgeDmaStream, StreamCircuitCommandsComeInTheirOrder) {
    struct Row {
        const char* what;
        bool flag;
        bool neverEnables;
        std::vector<std::uint32_t> commands;
        std::int64_t code;
    };
    const Row rows[] = {
        {"flag set", true, false, {0x4, 0x1, 0x100}, 0},
        {"flag clear", false, false, {0x4, 0x2, 0x100}, 0},
        {"never enabled", true, true, {0x4, 0x1, 0x100}, k807C},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        module->dma(0).setStreamNeverEnables(row.neverEnables);
        auto c = channel(0);
        const std::size_t before = module->dma(0).streamCommands().size();
        tStatus status;
        c->circuit.start(row.flag, status);
        EXPECT_EQ(status.getCode(), row.code);
        const auto all = module->dma(0).streamCommands();
        EXPECT_EQ(std::vector<std::uint32_t>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
                  row.commands);
        EXPECT_EQ(c->circuit.isStarted(), row.code == 0);
        if (row.code == 0) {
            c->circuit.start(row.flag, status);
            EXPECT_EQ(status.getCode(), k806D);
            tStatus stop;
            c->circuit.stop(stop);
            EXPECT_TRUE(stop.isSuccess());
            EXPECT_EQ(module->dma(0).streamCommands().back(), 0x800u);
        }
    }
}

TEST_F(BridgeDmaStream, AFifoResetStrobesTwiceTenMillisecondsApart) {
    kal::clock::ScopedStepped stepped(1000); // time-outs pass by sleeps and clock reads (1 us each)
    auto m = channel(0);
    std::vector<std::uint8_t> bytes(100, 1);
    module->dma(0).inject(bytes.data(), bytes.size());
    sim::Block* control = module->nisoFpga().find("stream-control");
    control->clearTrace();
    const std::uint64_t before = kelvo_driver::nVOAPAL000::tTimebasePrecise::now();
    tStatus fifo;
    m->fifo->reset(fifo);
    m->fifo->getCleanupOperation()->cleanup(fifo);
    EXPECT_TRUE(fifo.isSuccess());
    EXPECT_EQ(module->dma(0).queuedBytes(), 0u);
    EXPECT_EQ(control->writtenValues(0x0), (std::vector<std::uint64_t>{1, 1, 1, 1}));
    // 10 ms of the stand-in clock between the two strobes of each reset.
    using kelvo_driver::nVOAPAL000::tTimebasePrecise;
    EXPECT_GE(nVOAPAL200_convertTime(tTimebasePrecise::now() - before, tTimebasePrecise::getUnit(),
                                     nVOAPAL200_kMicroseconds),
              2 * 10000u);
}

TEST_F(BridgeDmaStream, StartRunsTheChannelBeforeTheCircuitAndStopTheReverse) {
    UserMemory user(4096);
    auto c = channel(0);
    ASSERT_EQ(add(*c, kSGLTypeFinite, user.address(), 4096), 0);
    sim::LatchBlock& block = module->bridgeRegisters().channel(0);
    block.clearTrace();
    tStatus status;
    c->sgl->commitAndStart(true, status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(block.writtenValues(0x58), (std::vector<std::uint64_t>{0x5}));
    EXPECT_EQ(module->dma(0).streamCommands().back(), 0x100u);
    c->sgl->commitAndStart(true, status);
    EXPECT_EQ(status.getCode(), k806E);
    EXPECT_EQ(block.writtenValues(0x58), (std::vector<std::uint64_t>{0x5}));
    tStatus failed;
    KELVO_SET_STATUS(failed, tStatus::kOutOfMemory);
    EXPECT_EQ(c->stream->getTransferCount(failed), 0u);
    c->stream->getCleanupOperation()->cleanup(failed);
    EXPECT_TRUE(c->stream->isTransferInProgress());
    const std::size_t commands = module->dma(0).streamCommands().size();
    tStatus stop;
    c->stream->getCleanupOperation()->cleanup(stop);
    EXPECT_TRUE(stop.isSuccess());
    EXPECT_EQ(module->dma(0).streamCommands().size(), commands + 1); // 0x800 first
    EXPECT_EQ(block.writtenValues(0x58), (std::vector<std::uint64_t>{0x5, 0x2}));
    EXPECT_FALSE(c->stream->isTransferInProgress());
}

TEST_F(BridgeDmaStream, NothingCommittedMovesWhileTheStreamRuns) {
    kal::pagelists::setFragmented(true); // one entry per page: the ring is the buffer, once
    UserMemory user(8 * 4096);
    const auto data = kelvo_test::pattern(8 * 4096, 9);
    auto c = channel(0, 64);
    ASSERT_EQ(add(*c, kSGLTypeContinuous, user.address(), 4 * 4096), 0);
    tStatus status;
    c->sgl->commitAndStart(true, status);
    ASSERT_TRUE(status.isSuccess());
    const std::size_t lists = kal::pagelists::live();
    struct Refusal {
        const char* what;
        void (*run)(kelvo_test::DmaChannel&, tStatus&);
    };
    const Refusal refusals[] = {
        {"clear", [](kelvo_test::DmaChannel& ch, tStatus& s) { ch.sgl->clearTransfers(s); }},
        {"commit", [](kelvo_test::DmaChannel& ch, tStatus& s) { ch.sgl->commit(s); }},
        {"start", [](kelvo_test::DmaChannel& ch, tStatus& s) { ch.sgl->commitAndStart(true, s); }},
    };
    for (const Refusal& r : refusals) {
        tStatus s;
        r.run(*c, s);
        EXPECT_EQ(s.getCode(), k806E) << r.what;
        EXPECT_EQ(kal::pagelists::live(), lists) << r.what;
    }
    // Adding while running takes fresh links; the ring keeps running.
    ASSERT_EQ(add(*c, kSGLTypeContinuous, user.address() + 4 * 4096, 4 * 4096), 0);
    module->dma(0).inject(data.data(), 6 * 4096);
    module->dma(0).runUntilBlocked();
    std::vector<std::uint8_t> expected(8 * 4096, 0);
    std::copy(data.begin() + 4 * 4096, data.begin() + 6 * 4096, expected.begin()); // round two
    std::copy(data.begin() + 2 * 4096, data.begin() + 4 * 4096, expected.begin() + 2 * 4096);
    EXPECT_EQ(std::vector<std::uint8_t>(user.data(), user.data() + 8 * 4096), expected);
    c->stream->stop(status);
    c->sgl->commitAndStart(true, status);
    ASSERT_TRUE(status.isSuccess());
    for (const auto& link : decodeChain(info.pciHandle, c->sgl->getSGL(), 3)) {
        EXPECT_EQ(link.flags, 0u); // three links now: the old two-link mark is gone
    }
    module->dma(0).inject(data.data(), 8 * 4096);
    module->dma(0).runUntilBlocked();
    EXPECT_EQ(std::vector<std::uint8_t>(user.data(), user.data() + 8 * 4096), data);
    c->sgl->cleanup(status); // the session goes: the stream stops first
    EXPECT_TRUE(status.isSuccess());
    EXPECT_FALSE(c->stream->isTransferInProgress());
    EXPECT_LT(kal::pagelists::live(), lists);
}

TEST_F(BridgeDmaStream, ACleanupWhoseStopFailsResetsTheChannel) {
    kal::clock::ScopedStepped stepped(1000); // time-outs pass by sleeps and clock reads (1 us each)
    UserMemory user(4096);
    auto c = channel(0);
    ASSERT_EQ(add(*c, kSGLTypeFinite, user.address(), 4096), 0);
    tStatus status;
    c->sgl->commitAndStart(true, status);
    module->dma(0).setNeverEnds(true);
    c->sgl->cleanup(status);
    EXPECT_EQ(status.getCode(), k807C);
    EXPECT_FALSE(c->stream->isTransferInProgress());
    EXPECT_TRUE(c->sgl->isEmpty());
    module->dma(0).setNeverEnds(false);
}

} // namespace
