// DMA streams through the simulated engine: 64 KiB to 256 MiB (by fours)
// from a user buffer to the host-to-device bulk sink and from the device-to-host producer
// back into a user buffer, each timed from the stream's start to its end with
// the additive count allowing the whole stream. The user buffer lies in 4 KiB
// segments (every page its own physical run). The producer hands out bytes
// without cost and the sink only counts, so what is measured is the data
// path: links walked through the bus-address registry and one copy per byte,
// between the user buffer and the engine's staging buffer of
// sim::DmaEngine::kChunk bytes, which stays in cache. The engine runs in step
// mode on the benchmark's thread.
// The baselines, in the same run: the same copy with memcpy through a staging
// buffer of the engine's chunk size, a chunk at a time, reading the buffer
// (the work of a stream to the device) or writing it (from the device); and,
// for reference only, memcpy between two buffers of the stream's size, which
// moves twice the memory traffic of a stream.
// Separately: adding the transfers of a buffer and building its links, per
// MiB.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bridge/dma_stream_controller.h"
#include "bridge/sgl_controller.h"
#include "bridge/stream_controllers.h"
#include "standin/control.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "platform/device_info.h"
#include "platform/dma_configuration.h"
#include "platform/user_buffer.h"
#include "regs/front_end_accessors.h"
#include "sim/sim.h"

namespace {

using nVOAPALS100::tStatus;

constexpr std::uint32_t kLinkSize = 4096;

// One channel's controllers over a plugged Solstra module, and a user buffer.
class Stream {
public:
    Stream(std::uint32_t channel, std::uint64_t bytes) : channel_(channel), bytes_(bytes) {
        module_ = bus_.plug("solstra");
        module_->enableDma();
        module_->dma(channel).setStepMode(true);
        info_.pciHandle = module_->pciHandle();
        info_.numaNode = -1;
        nVOKAL220_pciSetDMAMask(info_.pciHandle, ~0ULL);
        config_.type = kelvo_driver::nVOAPAL000::tDMAConfiguration::kDMAType64Bit;
        config_.deviceInfo = &info_;
        bar_ = nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(module_->pciHandle(), 0),
                                             sim::Module::kBar0Size, 0);
        const std::uint64_t base = reinterpret_cast<std::uintptr_t>(bar_);
        window_ = {base, sim::Module::kBar0Size};
        barRegion_ = voquantasharedsource::tPCIMemorySpace(base, 0x40000);
        channelRegion_ = kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>(
            base + module_->bridgeRegisters().channelBase(channel), 0xA8);
        channelMap_ = std::make_unique<brixeltools::DMAChannelRegMap>(channelRegion_);
        circuitMap_ = std::make_unique<kelvo_regmaps::tStreamCircuitRegMap>(
            &barAccessor_,
            static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + sim::Module::kStreamCircuitBase +
                                       channel * sim::Module::kStreamCircuitStride),
            0, 0x1000);
        creditMap_ = std::make_unique<kelvo_regmaps::tKelvoNisoStreamControlRegMap>(
            &barAccessor_,
            static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + sim::Module::kSolstraCredits), 0, 0x20);
        circuit_ = std::make_unique<brixeltools::StreamCircuit>(circuitMap_.get());
        tStatus status;
        stream_.reset(new (status, false) brixeltools::BrixelDMAStreamController(window_, *channelMap_,
                                                                                 *circuit_, channel, status));
        sgl_.reset(new (status, false) brixeltools::SGLController(
            config_, kLinkSize, brixeltools::getDMAChannelTransferDirection(channel), status, stream_.get()));
        nVOAPALS100::tStatus created;
        credits_ = std::make_unique<qeldma::StreamCreditController>(*creditMap_, created);
        memory_ = static_cast<std::uint8_t*>(std::aligned_alloc(4096, bytes));
        std::memset(memory_, 0x3C, bytes);
        scope_.add(memory_, bytes);
        if (channel == 0) {
            module_->dma(0).setProducer([](std::uint8_t*, std::size_t size) { return size; });
        } else {
            module_->dma(1).setSink([](const std::uint8_t*, std::size_t) {});
        }
    }
    ~Stream() {
        sgl_.reset();
        stream_.reset();
        std::free(memory_);
        nVOKAL230_unmapPhysicalFromKernel(bar_, 0);
    }

    bool addTransfers() {
        kal::pagelists::setFragmented(true);
        tStatus status;
        const kelvo_driver::nVOAPAL000::tUserBuffer buffer(0, kal::usermem::address(memory_), bytes_);
        sgl_->addTransfer(brixeltools::kSGLTypeFinite, buffer, sgl_->direction(), 1, status);
        kal::pagelists::setFragmented(false);
        return status.isSuccess();
    }
    std::uint64_t linkFetches() const { return module_->dma(channel_).linkFetches(); }
    void clear() {
        tStatus status;
        sgl_->clearTransfers(status);
    }
    void commit() {
        tStatus status;
        sgl_->commit(status);
    }
    // Start to end of one stream; false on any error.
    bool run() {
        tStatus status;
        sgl_->commitAndStart(true, status);
        if (channel_ == 1) {
            credits_->start(status);
            stream_->writeStreamAdditiveTransferCount(static_cast<std::uint32_t>(bytes_), status);
        } else {
            module_->dma(0).runUntilBlocked();
        }
        const bool whole = stream_->getTransferCount(status) == bytes_;
        if (channel_ == 1) {
            credits_->stop(status);
        }
        stream_->stop(status);
        return whole && status.isSuccess();
    }

private:
    std::uint32_t channel_;
    std::uint64_t bytes_;
    sim::Bus bus_;
    std::shared_ptr<sim::Module> module_;
    nVOAPAL200_tDeviceInfo info_{};
    kelvo_driver::nVOAPAL000::tDMAConfiguration config_;
    void* bar_ = nullptr;
    kelvo_driver::nVOAPAL000::tBridgeWindow window_{};
    voquantasharedsource::tPCIMemorySpace barRegion_;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter barAccessor_{&barRegion_};
    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false> channelRegion_;
    std::unique_ptr<brixeltools::DMAChannelRegMap> channelMap_;
    std::unique_ptr<kelvo_regmaps::tStreamCircuitRegMap> circuitMap_;
    std::unique_ptr<kelvo_regmaps::tKelvoNisoStreamControlRegMap> creditMap_;
    std::unique_ptr<brixeltools::StreamCircuit> circuit_;
    std::unique_ptr<brixeltools::BrixelDMAStreamController> stream_;
    std::unique_ptr<brixeltools::SGLController> sgl_;
    std::unique_ptr<qeldma::StreamCreditController> credits_;
    std::uint8_t* memory_ = nullptr;
    kal::usermem::Scope scope_;
};

void streamBench(benchmark::State& state, std::uint32_t channel) {
    const auto bytes = static_cast<std::uint64_t>(state.range(0));
    Stream stream(channel, bytes);
    if (!stream.addTransfers()) {
        state.SkipWithError("adding the transfers failed");
        return;
    }
    const std::uint64_t fetched = stream.linkFetches();
    for (auto _ : state) {
        if (!stream.run()) {
            state.SkipWithError("the stream did not move every byte");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    // 4 KiB segments: 255 entries to a 4 KiB link.
    state.counters["links"] = static_cast<double>(stream.linkFetches() - fetched) /
                              static_cast<double>(state.iterations() == 0 ? 1 : state.iterations());
}

void Dma_ToDevice(benchmark::State& state) {
    streamBench(state, 1);
}
void Dma_FromDevice(benchmark::State& state) {
    streamBench(state, 0);
}
// 64 KiB, 256 KiB, ..., 256 MiB.
void streamSizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t size = 64 << 10; size <= 256 << 20; size *= 4) {
        b->Arg(size);
    }
}

BENCHMARK(Dma_ToDevice)->Apply(streamSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(Dma_FromDevice)->Apply(streamSizes)->Unit(benchmark::kMillisecond);

// The equal-work baselines: the buffer copied a chunk at a time into (read)
// or out of (write) a staging buffer of the engine's chunk size.
void stagedCopy(benchmark::State& state, bool readBuffer) {
    constexpr std::size_t kChunk = sim::DmaEngine::kChunk;
    const auto bytes = static_cast<std::size_t>(state.range(0));
    auto* buffer = static_cast<std::uint8_t*>(std::aligned_alloc(4096, bytes));
    auto* staging = static_cast<std::uint8_t*>(std::aligned_alloc(4096, kChunk));
    std::memset(buffer, 0x3C, bytes);
    std::memset(staging, 0x5A, kChunk);
    for (auto _ : state) {
        for (std::size_t at = 0; at < bytes; at += kChunk) {
            const std::size_t n = std::min(kChunk, bytes - at);
            if (readBuffer) {
                std::memcpy(staging, buffer + at, n);
            } else {
                std::memcpy(buffer + at, staging, n);
            }
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    std::free(staging);
    std::free(buffer);
}

void Dma_StagedReadBaseline(benchmark::State& state) {
    stagedCopy(state, true);
}
void Dma_StagedWriteBaseline(benchmark::State& state) {
    stagedCopy(state, false);
}
BENCHMARK(Dma_StagedReadBaseline)->Apply(streamSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(Dma_StagedWriteBaseline)->Apply(streamSizes)->Unit(benchmark::kMillisecond);

// For reference: memcpy of the same bytes between two buffers of the
// stream's size (every byte read from one and written to the other).
void Dma_MemcpyBaseline(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    auto* from = static_cast<std::uint8_t*>(std::aligned_alloc(4096, bytes));
    auto* to = static_cast<std::uint8_t*>(std::aligned_alloc(4096, bytes));
    std::memset(from, 0x3C, bytes);
    std::memset(to, 0, bytes);
    for (auto _ : state) {
        std::memcpy(to, from, bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    std::free(from);
    std::free(to);
}
BENCHMARK(Dma_MemcpyBaseline)->Arg(4 << 20)->Arg(256 << 20)->Unit(benchmark::kMillisecond);

// Locking, mapping and listing a 4 MiB buffer in 4 KiB segments and building
// its links (commit), then clearing: reported per MiB.
void Dma_AddTransfersAndBuildLinks(benchmark::State& state) {
    constexpr std::uint64_t kBytes = 4 << 20;
    Stream stream(0, kBytes);
    for (auto _ : state) {
        if (!stream.addTransfers()) {
            state.SkipWithError("adding the transfers failed");
            break;
        }
        stream.commit();
        state.PauseTiming();
        stream.clear();
        state.ResumeTiming();
    }
    state.counters["s_per_MiB"] = benchmark::Counter(
        static_cast<double>(state.iterations() * (kBytes >> 20)),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1024);
}
BENCHMARK(Dma_AddTransfersAndBuildLinks)->Unit(benchmark::kMicrosecond);

} // namespace
