#include "storage/tymo_controllers.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kWindowSizeMask = 31;
constexpr uint32_t kWindowOffsetMask = ~0xFFu;

uint32_t readWindowSettings(brixeltools::SPIController::tWindowMap& map, tStatus& status) {
    map.WindowRegisterC0.refresh(status);
    return map.WindowRegisterC0.softCopy;
}

// The configuration-port window as the bridge reports it; an empty accessor
// and kFlashWindowUnsupported when it is not 4 KiB inside the BAR.
nVOAPAL000::tPCIMemorySpaceAccessor locateWindow(uint64_t bar, uint64_t barMappedSize,
                                                 brixeltools::SPIController::tWindowMap& map,
                                                 tStatus& status) {
    const uint32_t exponent = readWindowSettings(map, status) & kWindowSizeMask;
    const uint64_t offset = readWindowSettings(map, status) & kWindowOffsetMask;
    const uint64_t size = uint64_t{1} << exponent;
    if (status.isFatal()) {
        return {};
    }
    if (exponent != TYMOControllers::kWindowSizeExponent || offset > barMappedSize ||
        size > barMappedSize - offset) {
        KELVO_SET_STATUS(status, kFlashWindowUnsupported);
        return {};
    }
    return nVOAPAL000::tPCIMemorySpaceAccessor(bar + offset, size);
}

uint64_t sectorSizeOf(brixeltools::SPIController::tWindowMap& map, tStatus& status) {
    return uint64_t{1} << (readWindowSettings(map, status) & kWindowSizeMask);
}

} // namespace

TYMOControllers::TYMOControllers(uint64_t bar, uint64_t barMappedSize, TYMORegMaps& maps, tStatus& status)
    : window_(locateWindow(bar, barMappedSize, maps.configPortWindowRegMap, status)),
      spi_(maps.configPortSPIRegMap, maps.configPortWindowRegMap, window_, status),
      writeProtect_(maps.doRegMap, kWriteProtectMask, status),
      flash_(kFlashSizeInBytes, sectorSizeOf(maps.configPortWindowRegMap, status), spi_, writeProtect_,
             static_cast<int32_t>(nonvolatilememorytools::kFlashPollTimeout), status) {}

} // namespace kelvo_driver
