// The product's device: the device template over the PCI device made
// concrete. It owns the two device interfaces, the four product properties,
// the resource reservation manager, the cooling-mode state that survives a
// reset, and the KelvoHelper that builds the board's run-time objects.
#pragma once

#include <stdint.h>

#include "core/custom_reset_parameters.h"
#include "core/ioctl/interfaces.h"
#include "core/kelvo_helper.h"
#include "framework/device_template.h"
#include "framework/kernel_session.h"
#include "framework/resource_reservation.h"
#include "framework/setup_level.h"
#include "platform/io_notifier.h"
#include "platform/pci_device.h"
#include "platform/property.h"

namespace kelvo_driver {

class KelvoDevice;
// Defined in core/ioctl/kelvo_access.h.
template <> struct ioctl::DeviceAccess<KelvoDevice, fenwicksharedsource::KernelSession>;

using KelvoDeviceBase = kdut::Device<nVOAPAL000::tPCIDevice, kelvo_shared::SetupLevel,
                                     fenwicksharedsource::KernelSession, CustomResetParameters>;

class KelvoDevice : public KelvoDeviceBase {
public:
    static constexpr const char* kInstrumentInterfaceName = "smu_kelvo";
    static constexpr const char* kCoolingInterfaceName = "nPXICOOLING_17_2_pxiCooling";
    // The notifier kind of the routing session.
    static constexpr uint32_t kRoutingNotifierKind = 0x80000000;
    static constexpr uint32_t kInitialCoolingMode = 16;
    static constexpr uint64_t kSessionCleanupCapacity = 20;

    static constexpr int32_t kIOIdleTimeoutCode = KELVO_STATUS_IO_IDLE_TIMEOUT;
    // Codes of the reservation and of the channel check (32-bit status words).
    static constexpr uint32_t kAlreadyReservedCode = static_cast<uint32_t>(KELVO_STATUS_RESERVED_BY_OTHER);
    static constexpr uint32_t kNotReservedCode = static_cast<uint32_t>(KELVO_STATUS_CHANNEL_NOT_RESERVED);
    static constexpr uint32_t kInvalidChannelCode = static_cast<uint32_t>(KELVO_STATUS_INVALID_CHANNEL);
    static constexpr uint32_t kNotOfferedCode = static_cast<uint32_t>(KELVO_STATUS_NOT_OFFERED);
    static constexpr uint64_t kAvailableResources = 1;

    // A failed mutex or list allocation leaves -52000; the caller destroys the object.
    KelvoDevice(const nVOAPAL200_tDeviceInfo& deviceInfo, nVOAPALS100::tStatus& status);
    // The KelvoHelper must be gone (runTeardown).
    ~KelvoDevice() override;

    // ---- slots of the platform device core --------------------------------
    void createIONotifier(const tEventDescriptor& descriptor, uint32_t kind,
                          nVOAPAL000::tIONotifierParams& params, tStatus& status) override;
    void destroyIONotifier(const tEventDescriptor& descriptor, uint32_t kind) override;

    // ---- slots of the device template -------------------------------------
    void runSetup(const tEventDescriptor& descriptor, CustomResetParameters* parameters,
                  Tracker& tracker) override;
    void onStarted() override;
    void onSetUpAgain() override;
    void runTeardown() override;
    tSession* createSession(const tEventDescriptor& descriptor, tDeviceInterface* deviceInterface,
                            tStatus& status) override;
    void destroySession(const tEventDescriptor& descriptor, tSession* session) override;
    void initializeDeviceProperties(tStatus& status) override;
    // Withdraws the routing resources; never vetoes.
    bool onSuspendIOProcessing(const tEventDescriptor& descriptor, tSuspendReason reason,
                               bool vetoable) override;
    void onResumeIOProcessing(const tEventDescriptor& descriptor) override;
    // Ends the pending DMA waits (0xBFFA9179) while a reset, a stop, a power-down or a removal waits
    // for the requests inside.
    void cancelPendingWaits() override;

    // ---- operations of the I/O-control interface ----------------------------
    // The module has one channel, number 0; any other is 0xBFFA4303.
    void validateChannel(uint32_t channel, tStatus& status) const;
    // A level of 20 or more is -52005; otherwise the template's reset.
    void kdut_reset(const tEventDescriptor& descriptor, uint32_t level, uint64_t customResetParameters,
                    tStatus& status);
    // Operations this product does not offer: each sets its fixed code and
    // nothing else, without a gate, at every setup level.
    void corran_fetchChargeBalanceOffsetRawData(tStatus& status) const;
    void corran_configureMeasureUnit(tStatus& status) const;
    void corran_getMeasurement(tStatus& status) const;
    uint32_t corran_readDAC(tStatus& status) const;
    void corran_writeCmccDigipot(tStatus& status) const;
    uint32_t corran_getAlarmRaised(tStatus& status) const;
    void corran_clearAlarm(tStatus& status) const;
    void corran_maskAlarm(tStatus& status) const;
    void corran_unmaskAlarm(tStatus& status) const;
    void wexmoor_downloadSubroutines(tStatus& status) const;
    void wexmoor_executeSubroutine(tStatus& status) const;
    void triggersAndEvents_clearAllEventLatches(tStatus& status) const;
    void hwCondition_checkMeasureFIFOOverflowStatus(tStatus& status) const;

    // ---- state ----------------------------------------------------------------
    KelvoHelper* getKelvoHelper() const { return helper_.get(); }
    kdut::ResourceReservationManager& getReservationManager() { return reservationManager_; }
    const CoolingModeState& getCoolingModeState() const { return coolingModeState_; }
    // The connected-accessory word (it survives resets): read, and replaced
    // atomically (the word it replaced is returned).
    uint32_t getConnectedAccessory() const { return nVOAPAL000::atomicLoad(connectedAccessory_); }
    uint32_t exchangeConnectedAccessory(uint32_t value) {
        return nVOAPAL000::atomicExchange(connectedAccessory_, value);
    }
    nVOAPAL000::tDeviceInterface& getInstrumentInterface() { return instrumentInterface_; }
    nVOAPAL000::tDeviceInterface& getCoolingInterface() { return coolingInterface_; }

private:
    uint32_t currentLevel() const { return getSetupTracker().getCurrentLevel(); }
    // Whether the routing objects (level 16) are set up.
    bool routingBuilt() const;
    // The serial number as "%X" into the 9-byte buffer.
    void formatSerialNumber(uint32_t serialNumber);

    tInterfaceTemplate_kelvo<KelvoDevice, fenwicksharedsource::KernelSession> instrumentInterface_;
    tInterfaceTemplate_pxiCooling<KelvoDevice, fenwicksharedsource::KernelSession> coolingInterface_;
    uint32_t connectedAccessory_;
    kdut::ResourceReservationManager reservationManager_;
    CoolingModeState coolingModeState_;
    nVOAPAL000::tOwned<KelvoHelper> helper_;

    char serialNumberText_[9];
    nVOAPAL000::tProperty serialNumberProperty_;
    nVOAPAL000::tProperty modelNameProperty_;
    nVOAPAL000::tProperty manufacturerNameProperty_;
    nVOAPAL000::tProperty geographicAddressProperty_;
};

} // namespace kelvo_driver
