// Building the larger embedded FPGA image (allocate, zero, decompress) with
// the process's allocator keeping freed pages for the next allocation (as a
// kernel's page allocator hands out warm pages): what is left is the driver's
// own work, zeroing and decompression. Compare with FirmwareImage_Build of
// kelvo_bench.
//
// A program of its own: the allocator's thresholds, once set, stay fixed for
// the rest of the process (glibc no longer adjusts them as blocks come and
// go, and nothing puts that back), so every benchmark run after this one in
// the same process would measure a different allocator.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>

#include "bridge/embedded_images.h"
#include "bridge/firmware.h"
#include "kelvo/product_ids.h"

namespace {

using nVOAPALS100::tStatus;

void FirmwareImage_BuildWarmPages(benchmark::State& state) {
    static const bool set =
        mallopt(M_MMAP_THRESHOLD, 64 << 20) == 1 && mallopt(M_TRIM_THRESHOLD, 256 << 20) == 1;
    if (!set) {
        state.SkipWithError("the allocator's thresholds could not be set");
        return;
    }
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
BENCHMARK(FirmwareImage_BuildWarmPages);

} // namespace

BENCHMARK_MAIN();
