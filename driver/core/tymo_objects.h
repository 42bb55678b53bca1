// Setup level 3: the objects behind the bridge and the timing chip, built
// before any FPGA is loaded: the bridge and timing-chip register maps, the
// bridge signature verifier, the flash access set, the flash window
// "flashWindow", the board's seven storage maps and the storage-map checksum
// and version checkers, which join the hardware-state checks after the
// signature verifier.
#pragma once

#include <stdint.h>

#include "storage/tymo_controllers.h"
#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "core/storage_map_checkers.h"
#include "framework/hardware_state_checker_composite.h"
#include "framework/simple_register_verifier.h"
#include "kelvo/product_ids.h"
#include "platform/pci_device.h"
#include "bridge/tymo_reg_maps.h"
#include "storage/board_storage_maps.h"
#include "storage/flash_window.h"

namespace kdut {
// The bridge signature register is read through its map's own refresh, under its tree's lock.
template <> struct RegisterVerifierAccess<brixeltools::tBrixelWithOffset<0u>::tSignature> {
    static uint32_t refresh(brixeltools::tBrixelWithOffset<0u>::tSignature& record,
                            nVOAPALS100::tStatus& status) {
        const arm::tRegMapHold hold(record.owner);
        record.refresh(status);
        return record.softCopy;
    }
};
} // namespace kdut

namespace kelvo_driver {

constexpr int64_t kBridgeSignatureWrong = KELVO_STATUS_BRIDGE_SIGNATURE;

class TYMOObjects : public TYMOObjectsInterface {
public:
    using tSignatureVerifier =
        kdut::SimpleSignatureVerifierTemplate<brixeltools::tBrixelWithOffset<0u>::tSignature,
                                              KELVO_BRIDGE_SIGNATURE,
                                              static_cast<int32_t>(kBridgeSignatureWrong)>;
    // The registration name of the flash window.
    static constexpr const char* kFlashWindowName = "flashWindow";

    TYMOObjects() = default;

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    // Builds everything in order and stops at the first error; only when all
    // of it was built are "flashWindow" and the three checkers added. Each
    // step pushes its undoing, memory window 0 first. The
    // bridge signature is checked before the register maps' refusal of DMA
    // channel blocks outside the BAR counts: a dead bridge (all ones) places
    // them there, and is reported as a wrong signature.
    void setup(nVOAPAL000::tPCIDevice& device, kdut::HardwareStateCheckerComposite& checkers,
               RegiDispatchers& dispatchers, nVOAPALS100::tStatus& status);

    kelvo_storagemaps::KelvoStorageMapsInterface& getStorageMaps() override { return *storageMaps_; }
    StorageMapChecksumChecker& getStorageMapChecksumChecker() override { return *checksumChecker_; }
    StorageMapVersionChecker& getStorageMapVersionChecker() override { return *versionChecker_; }
    TYMORegMaps& getTYMORegMaps() override { return *regMaps_; }
    uint64_t getMappedWindow() override { return reinterpret_cast<uintptr_t>(window0_); }
    kelvo_storagemaps::KelvoStorageMaps* getKelvoStorageMaps() const { return storageMaps_; }
    const CalibrationMapSet& getCalibrationMapSet() const override { return calibrationMaps_; }

private:
    void unmapWindow0();
    static void removeFlashWindow(void* dispatcher, void*);

    nVOAPAL000::tPCIDevice* device_ = nullptr;
    void* window0_ = nullptr;
    TYMORegMaps* regMaps_ = nullptr;
    tSignatureVerifier* signatureVerifier_ = nullptr;
    TYMOControllers* controllers_ = nullptr;
    devicewindow::FlashWindow* flashWindow_ = nullptr;
    kelvo_storagemaps::KelvoStorageMaps* storageMaps_ = nullptr;
    CalibrationMapSet calibrationMaps_{};
    StorageMapChecksumChecker* checksumChecker_ = nullptr;
    StorageMapVersionChecker* versionChecker_ = nullptr;
};

} // namespace kelvo_driver
