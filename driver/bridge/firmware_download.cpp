#include "bridge/firmware_download.h"

#include "framework/poller.h"
#include "platform/time.h"
#include "platform/vosdbg.h"
#include "reglayouts/brixel_core.h"
#include "reglayouts/brixel_switched_bim.h"
#include "regs/sized_register_map.h"

namespace brixeltools {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kReadyBit = layout::BrixelWithOffset::FPGALoadStatusRegister::kReady;
constexpr uint32_t kDoneBit = layout::BrixelWithOffset::FPGALoadStatusRegister::kDone;
using tRoute = layout::SwitchedBrixelBimRegMapWithOffset::RouteDefineReg;

// Sleeps between reads on the efficient clock: a tick between looks is soon enough for the load.
using tPoller =
    orut::Poller<kelvo_driver::nVOAPAL000::tTimeout<kelvo_driver::nVOAPAL000::tTimeWasterSleep,
                                                    kelvo_driver::nVOAPAL000::tTimebaseEfficient>>;

} // namespace

void BrixelFirmwareDownloader::waitFor(uint32_t bit, tStatus& status) {
    const tPoller poller(kPollIntervalMicroseconds, kPollIntervalMicroseconds,
                         static_cast<int32_t>(kTimeout));
    poller.poll(*this, &BrixelFirmwareDownloader::readStatus, bit, bit, kTimeoutMicroseconds, true,
                tPoller::kAnyBitSet, status);
}

void BrixelFirmwareDownloader::download(const tFirmware& image, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (image.getTarget() != target_) {
        KELVO_SET_STATUS(status, kelvo_driver::kFirmwareWrongTarget);
        return;
    }
    const uint64_t size = image.size();
    if (size != size_) {
        KELVO_SET_STATUS(status, kelvo_driver::kFirmwareWrongSize);
        return;
    }
    VOSDBG_ASSERT(size <= 0xFFFFFFFFu);
    {
        const arm::tRegMapHold tree(core_);
        start(size, status);
    }
    waitFor(kReadyBit, status);
    if (status.isFatal()) {
        return;
    }
    {
        // The image's stream holds the map's lock whole (no wait in it).
        const arm::tRegMapHold tree(core_);
        stream(image, size, status);
    }
    waitFor(kDoneBit, status);
}

void BrixelFirmwareDownloader::start(uint64_t size, tStatus& status) {
    core_.ConfigurationActivePortRegister.setActivePort(port_, status);
    core_.ConfigurationActivePortRegister.flush(status, false);
    arm::insertIntoSizedRecord(core_.FPGALoadingByteCountRegister, 0xFFFFFFFFu, size);
    core_.FPGALoadingByteCountRegister.flush(status, false);
    arm::insertIntoSizedRecord(core_.FPGALoadingControlRegister,
                               layout::BrixelWithOffset::FPGALoadingControlRegister::kStart,
                               layout::BrixelWithOffset::FPGALoadingControlRegister::kStart);
    core_.FPGALoadingControlRegister.flush(status, true);
}

void BrixelFirmwareDownloader::stream(const tFirmware& image, uint64_t size, tStatus& status) {
    const uint8_t* bytes = image.data();
    const uint64_t words = size / 8;
    uint64_t written = 0;
    for (uint64_t i = 0; i < words && status.isNotFatal(); ++i) {
        uint64_t word = 0;
        for (int b = 7; b >= 0; --b) {
            word = (word << 8) | bytes[8 * i + b];
        }
        core_.FPGABusLoadingDataRegister64.writeRegister(word, status, true);
        if (++written % kStatusReadPeriod == 0) {
            core_.FPGALoadStatusRegister.refresh(status);
        }
    }
    for (uint64_t at = words * 8; at < size && status.isNotFatal(); ++at) {
        core_.FPGABusLoadingDataRegister8.writeRegister(bytes[at], status, true);
        if (++written % kStatusReadPeriod == 0) {
            core_.FPGALoadStatusRegister.refresh(status);
        }
    }
}

void BrixelPortAwareFirmwareDownloaderImpl::download(const tFirmware& image, tStatus& status) {
    ioPort_.reset(status);
    inner_.download(image, status);
    ioPort_.configure(status);
    if (status.isFatal()) {
        return;
    }
    const arm::tRegMapHold tree(switched_);
    auto& route = switched_.RouteDefineReg;
    arm::insertIntoSizedRecord(route, tRoute::kRouteA,
                               (uint64_t{routeA_} << tRoute::kRouteAShift) & tRoute::kRouteA);
    arm::insertIntoSizedRecord(route, tRoute::kRouteB,
                               (uint64_t{routeB_} << tRoute::kRouteBShift) & tRoute::kRouteB);
    route.flush(status, false);
}

} // namespace brixeltools

namespace kelvo_driver {

using nVOAPALS100::tStatus;

void AutoFirmwareDownloader::download(const brixeltools::tFirmware& image, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    switch (image.getTarget()) {
    case kFirmwareTargetNonIsolatedFPGA:
        downloadNonIsolated(image, status);
        break;
    case kFirmwareTargetIsolatedFPGA:
        downloadIsolated(image, status);
        break;
    default:
        KELVO_SET_STATUS(status, kFirmwareBadTarget);
        break;
    }
}

void AutoFirmwareDownloader::downloadNonIsolated(const brixeltools::tFirmware& image, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    brixeltools::tNonIsolatedIOPort2 ioPort(maps_.ioPort2RegMap);
    const uint64_t size = fpgaImageSize(kFirmwareTargetNonIsolatedFPGA, subsystemID_, status);
    if (status.isFatal()) {
        return;
    }
    brixeltools::BrixelFirmwareDownloader plain(maps_.brixelRegMap, kFirmwareTargetNonIsolatedFPGA, size, 2);
    brixeltools::BrixelPortAwareFirmwareDownloaderImpl portAware(ioPort, maps_.switchedBimRegMap, 2, 1,
                                                                 plain);
    portAware.download(image, status);
}

void AutoFirmwareDownloader::downloadIsolated(const brixeltools::tFirmware& image, tStatus& status) {
    const uint64_t size = fpgaImageSize(kFirmwareTargetIsolatedFPGA, subsystemID_, status);
    if (status.isFatal()) {
        return;
    }
    brixeltools::BrixelFirmwareDownloader plain(maps_.brixelRegMap, kFirmwareTargetIsolatedFPGA, size, 3);
    plain.download(image, status);
}

void downloadFPGAFirmware(const nVOAPAL000::tEventDescriptor& context, uint64_t userAddress, uint64_t size,
                          uint32_t target, const corran_caps::ProductCaps& caps, TYMORegMaps& maps,
                          tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tFirmwarePtr image = FirmwareFactory().createFirmware(context, userAddress, size, target, caps, status);
    if (status.isNotFatal()) {
        AutoFirmwareDownloader(maps, caps.subsystemID).download(*image, status);
    }
}

} // namespace kelvo_driver
