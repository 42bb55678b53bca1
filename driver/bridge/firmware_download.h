// FPGA download through the bridge's FPGA-loading engine: the plain
// downloader (the configuration port, the byte count, the start strobe, the
// stream of 64-bit then 8-bit writes), the port-aware one around it for the
// non-isolated FPGA (IO port reset before, configure and route after), the
// automatic downloader that picks them by target and board generation, and
// the entry downloadFPGAFirmware.
#pragma once

#include <stdint.h>

#include "bridge/firmware.h"
#include "bridge/io_port.h"
#include "bridge/tymo_reg_maps.h"
#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace brixeltools {

using tFirmware = kdut::FirmwareInterface<kelvo_driver::FirmwareDownloadTarget>;

class BrixelFirmwareDownloader : public kelvo_driver::nVOAPAL000::tObject {
public:
    using tCoreMap = tBrixelWithOffset<0u>;

    // The ready or done bit did not come within kTimeoutMicroseconds.
    static constexpr int64_t kTimeout = KELVO_STATUS_FPGA_LOAD_TIMEOUT;
    static constexpr uint32_t kTimeoutMicroseconds = 500000;
    static constexpr uint32_t kPollIntervalMicroseconds = 1;
    // The load status is read after every kStatusReadPeriod-th data write.
    static constexpr uint64_t kStatusReadPeriod = 30;

    BrixelFirmwareDownloader(tCoreMap& core, kelvo_driver::FirmwareDownloadTarget target, uint64_t size,
                             uint8_t port)
        : core_(core), target_(target), size_(size), port_(port) {}
    virtual ~BrixelFirmwareDownloader() {}

    // Refuses an image of another target (0xBFFA806A) or size (0xBFFA806B)
    // before writing anything; then selects the port, writes the count,
    // starts, waits for ready, streams the image and waits for done.
    virtual void download(const tFirmware& image, nVOAPALS100::tStatus& status);

private:
    // Each poll read under the map's tree lock.
    uint32_t readStatus(nVOAPALS100::tStatus& status) {
        const arm::tRegMapHold tree(core_);
        return core_.FPGALoadStatusRegister.readRegister(status);
    }
    // Under the map's tree lock: the port, the count and the start; the image's words.
    void start(uint64_t size, nVOAPALS100::tStatus& status);
    void stream(const tFirmware& image, uint64_t size, nVOAPALS100::tStatus& status);
    void waitFor(uint32_t bit, nVOAPALS100::tStatus& status);

    tCoreMap& core_;
    kelvo_driver::FirmwareDownloadTarget target_;
    uint64_t size_;
    uint8_t port_;
};

class BrixelPortAwareFirmwareDownloaderImpl : public kelvo_driver::nVOAPAL000::tObject {
public:
    using tSwitchedMap = tSwitchedBrixelBimRegMapWithOffset<0u>;

    BrixelPortAwareFirmwareDownloaderImpl(IOPort2& ioPort, tSwitchedMap& switched, uint8_t routeA,
                                          uint8_t routeB, BrixelFirmwareDownloader& inner)
        : ioPort_(ioPort), switched_(switched), routeA_(routeA), routeB_(routeB), inner_(inner) {}
    virtual ~BrixelPortAwareFirmwareDownloaderImpl() {}

    // IO port reset, the inner download, IO port configure, then the route
    // (bits 8-10 := A, bits 20-23 := B); each step only while the status is clean.
    virtual void download(const tFirmware& image, nVOAPALS100::tStatus& status);

private:
    IOPort2& ioPort_;
    tSwitchedMap& switched_;
    uint8_t routeA_;
    uint8_t routeB_;
    BrixelFirmwareDownloader& inner_;
};

} // namespace brixeltools

namespace kelvo_driver {

class AutoFirmwareDownloader : public nVOAPAL000::tObject {
public:
    AutoFirmwareDownloader(TYMORegMaps& maps, uint32_t subsystemID)
        : maps_(maps), subsystemID_(subsystemID), isSolstra_(corran_caps::isSolstraProduct(subsystemID)),
          isDuskmere_(corran_caps::isDuskmereProduct(subsystemID)) {}
    virtual ~AutoFirmwareDownloader() {}

    // Target 0: downloadNonIsolated; 1: downloadIsolated; else 0xBFFA4302.
    virtual void download(const brixeltools::tFirmware& image, nVOAPALS100::tStatus& status);
    void downloadNonIsolated(const brixeltools::tFirmware& image, nVOAPALS100::tStatus& status);
    void downloadIsolated(const brixeltools::tFirmware& image, nVOAPALS100::tStatus& status);

private:
    TYMORegMaps& maps_;
    uint32_t subsystemID_;
    bool isSolstra_;
    bool isDuskmere_;
};

// Builds the image (custom when userAddress and size are both non-zero, else
// the embedded one of the target and the board) and downloads it.
void downloadFPGAFirmware(const nVOAPAL000::tEventDescriptor& context, uint64_t userAddress, uint64_t size,
                          uint32_t target, const corran_caps::ProductCaps& caps, TYMORegMaps& maps,
                          nVOAPALS100::tStatus& status);

} // namespace kelvo_driver
