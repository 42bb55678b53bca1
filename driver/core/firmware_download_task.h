// Setup level 4: the non-isolated FPGA is loaded, after the "Manufacturing"
// map says that this board may run the driver's firmware: unsafe firmware
// allowed, and the oldest compatible board revision one that the board
// generation supports. The image is the caller's custom one (reset words 0
// and 1, both non-zero) or the embedded one of the board generation.
#pragma once

#include <stdint.h>

#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver {

class NonIsolatedFirmwareDownload : public SetupTask {
public:
    NonIsolatedFirmwareDownload() = default;
    ~NonIsolatedFirmwareDownload() override = default;

    // The firmware check with the map's allowUnsafeFirmware, the board
    // revision check with its oldestCompatibleBoardRevision, then (only when
    // both passed) the download of target. Each step does nothing once the
    // status holds an error.
    void setup(const nVOAPAL000::tEventDescriptor& event, uint64_t imageAddress, uint64_t imageSize,
               uint32_t target, TYMOObjectsInterface& tymo, const Caps& caps, nVOAPALS100::tStatus& status);

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);
};

} // namespace kelvo_driver
