// Firmware image cost: building the larger embedded FPGA image (allocate,
// zero, decompress) against LZ4_decompress_safe alone on the same block into
// a buffer allocated once (the baseline; goal: at least 0.9 of its speed).
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstdint>
#include <vector>

#include "bridge/embedded_images.h"
#include "bridge/firmware.h"
#include "kelvo/product_ids.h"

namespace {

using nVOAPALS100::tStatus;

void FirmwareImage_Build(benchmark::State& state) {
    corran_caps::ProductCaps caps{};
    caps.subsystemID = KELVO_SUBSYSTEM_ID_DUSKMERE_A; // the non-isolated image of 3825788 bytes
    for (auto _ : state) {
        tStatus status;
        kdut::FirmwareBase* image = kelvo_driver::FirmwareFactory().createEmbeddedFirmware(0, caps, status);
        benchmark::DoNotOptimize(image->data());
        delete image;
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * embeddy_DuskmereNisoFpgaTop_bin_original_size));
}
BENCHMARK(FirmwareImage_Build);

void FirmwareImage_Lz4Only(benchmark::State& state) {
    const auto size = static_cast<int>(embeddy_DuskmereNisoFpgaTop_bin_original_size);
    std::vector<char> buffer(static_cast<std::size_t>(size));
    for (auto _ : state) {
        const int produced =
            LZ4_decompress_safe(reinterpret_cast<const char*>(embeddy_DuskmereNisoFpgaTop_bin), buffer.data(),
                                static_cast<int>(embeddy_DuskmereNisoFpgaTop_bin_size), size);
        benchmark::DoNotOptimize(produced);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(FirmwareImage_Lz4Only);

} // namespace
