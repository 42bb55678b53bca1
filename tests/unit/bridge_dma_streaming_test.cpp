// Streams in both directions through the SGL controller and the simulated
// engine with every byte checked; allocation failures while a stream is
// built; and the controller's operations racing from several threads.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "bridge_dma_stream_support.h"

namespace {

using brixeltools::kSGLTypeContinuous;
using brixeltools::kSGLTypeFinite;
using kelvo_test::UserMemory;
using nVOAPALS100::tStatus;

class BridgeDmaStreaming : public kelvo_test::DmaStreamTest {};

struct Buffer {
    std::uint32_t type;
    std::uint64_t offset; // in the user memory
    std::uint64_t size;
};

TEST_F(BridgeDmaStreaming, AllocationFailuresWhileAStreamIsBuiltEndCleanly) {
    UserMemory user(16 * 4096);
    kal::pagelists::setFragmented(true);
    // One whole build: controllers, transfers of both kinds, start, stop, teardown.
    auto build = [&]() -> std::int64_t {
        auto c = channelOrFailure(0, 128);
        tStatus status = c->status;
        if (status.isFatal()) {
            return status.getCode(); // nothing more was built
        }
        for (const Buffer& b : {Buffer{0, 0, 5 * 4096}, Buffer{1, 6 * 4096, 9 * 4096}}) {
            const kelvo_driver::nVOAPAL000::tUserBuffer buffer(0, user.address() + b.offset, b.size);
            c->sgl->addTransfer(b.type, buffer, 1, 2, status);
        }
        c->sgl->commitAndStart(false, status);
        c->stream->stop(status);
        return status.getCode();
    };
    const std::uint64_t calls = kal::memory::allocationCalls();
    ASSERT_EQ(build(), 0);
    const std::uint64_t perBuild = kal::memory::allocationCalls() - calls;
    ASSERT_GT(perBuild, 10u);
    const std::size_t live = kal::memory::liveAllocations();
    const std::size_t lists = kal::pagelists::live();
    struct Kind {
        const char* what;
        void (*fail)(std::uint64_t);
        std::uint64_t count;
    };
    const Kind kinds[] = {
        {"memory", [](std::uint64_t n) { kal::memory::failNth(n); }, perBuild},
        {"page lists", [](std::uint64_t n) { kal::faults::failNth(kal::faults::kPageList, n); }, 12},
        {"scatter-gather lists", [](std::uint64_t n) { kal::faults::failNth(kal::faults::kSGL, n); }, 12},
    };
    for (const Kind& kind : kinds) {
        for (std::uint64_t n = 1; n <= kind.count; ++n) {
            SCOPED_TRACE(testing::Message() << kind.what << " " << n);
            kind.fail(n);
            const std::int64_t code = build();
            kal::memory::clearFaults();
            kal::faults::clear();
            EXPECT_TRUE(code == 0 || code == tStatus::kOutOfMemory || code == tStatus::kPageLockFailed ||
                        code == tStatus::kInvalidParameter)
                << code;
            EXPECT_EQ(kal::memory::liveAllocations(), live);
            EXPECT_EQ(kal::pagelists::live(), lists);
            EXPECT_EQ(kal::dma::mappedSGLs(), 0u);
        }
    }
}

TEST_F(BridgeDmaStreaming, AddClearCommitStartAndStopRaceFromSeveralThreads) {
    UserMemory user(32 * 4096);
    auto c = channel(0, 256);
    sim::DmaEngine& engine = module->dma(0);
    engine.setStepMode(false);
    engine.setProducer([](std::uint8_t* into, std::size_t size) {
        std::fill(into, into + size, 0x5A);
        return size;
    });
    std::atomic<bool> go{false};
    std::atomic<int> ok{0};
    auto worker = [&](int kind) {
        kal::usermem::Scope scope;
        scope.add(user.data(), user.size());
        while (!go.load()) {
            std::this_thread::yield();
        }
        for (int i = 0; i < 60; ++i) {
            tStatus status;
            switch (kind) {
            case 0: {
                const kelvo_driver::nVOAPAL000::tUserBuffer buffer(
                    0, user.address() + static_cast<std::uint64_t>(i % 8) * 4096, 4096 * (1 + i % 3));
                c->sgl->addTransfer(i % 2 == 0 ? kSGLTypeContinuous : kSGLTypeFinite, buffer, 1, 1, status);
                break;
            }
            case 1:
                c->sgl->clearTransfers(status);
                break;
            case 2:
                c->sgl->commitAndStart(true, status);
                break;
            default:
                c->stream->stop(status);
                break;
            }
            ok += status.isSuccess() ? 1 : 0;
        }
    };
    std::vector<std::thread> threads;
    for (int kind = 0; kind < 4; ++kind) {
        threads.emplace_back(worker, kind);
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    tStatus status;
    c->stream->stop(status);
    EXPECT_TRUE(status.isSuccess());
    engine.setStepMode(true);
    engine.setProducer(nullptr);
    EXPECT_GT(ok.load(), 0);
    EXPECT_FALSE(c->stream->isTransferInProgress());
}

} // namespace
