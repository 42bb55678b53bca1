#include "core/kelvo_device.h"

#include "bridge/brixel.h"
#include "core/add_device.h"
#include "core/ioctl/kelvo_access.h"
#include "framework/io_gate.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPAL000::tEventDescriptor;
using nVOAPAL000::tSession;
using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kRoutingLevel = 16;
constexpr uint32_t kFullLevel = kelvo_shared::kSetupLevelComplete;

uint64_t textValue(const char* text) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(text));
}

// A word of the caller's parameters that is passed on as u32: a larger value
// is -52003 and passes as 0.
uint32_t checkedNarrow(uint64_t word, tStatus& status) {
    if (word > 0xFFFFFFFFull) {
        KELVO_SET_STATUS(status, tStatus::kUnsupportedValue);
        return 0;
    }
    return static_cast<uint32_t>(word);
}

fenwicksharedsource::KernelSession* kernelSessionOf(const tEventDescriptor& descriptor) {
    return static_cast<fenwicksharedsource::KernelSession*>(nVOAPAL000::sessionOf(descriptor));
}

} // namespace

KelvoDevice::KelvoDevice(const nVOAPAL200_tDeviceInfo& deviceInfo, tStatus& status)
    : KelvoDeviceBase(deviceInfo, status), instrumentInterface_(this), coolingInterface_(this),
      connectedAccessory_(0), reservationManager_(kAlreadyReservedCode, kNotReservedCode, kAvailableResources,
                                                  kInvalidChannelCode, status),
      coolingModeState_{kInitialCoolingMode, 0},
      helper_(nullptr), serialNumberText_{}, serialNumberProperty_{"serialNumber",
                                                                   nVOAPAL000::kPropertyTypeString, 0, 0},
      modelNameProperty_{"modelName", nVOAPAL000::kPropertyTypeString, 0, 0},
      manufacturerNameProperty_{"manufacturerName", nVOAPAL000::kPropertyTypeString, 0, 0},
      geographicAddressProperty_{"pxiGeographicAddress", nVOAPAL000::kPropertyTypeUInt32, 0, 0} {
    setIOIdleTimeoutCode(kIOIdleTimeoutCode);
    appendDeviceInterface(&instrumentInterface_, status);
    appendDeviceInterface(&coolingInterface_, status);
}

KelvoDevice::~KelvoDevice() {
    VOSDBG_ASSERT_MSG(helper_ == nullptr,
                      " Failed - the KelvoHelper must be torn down before the device goes!");
}

// ---- setup and teardown -------------------------------------------------------

void KelvoDevice::runSetup(const tEventDescriptor& descriptor, CustomResetParameters* parameters,
                           Tracker& tracker) {
    VOSDBG_ASSERT_MSG(helper_ == nullptr, " Failed - runTeardown must run before a further runSetup!");
    CustomResetParameters none = {};
    const CustomResetParameters& words = parameters != nullptr ? *parameters : none;
    tStatus& status = tracker.getStatus();
    const uint32_t numberOfSubroutineCommands = checkedNarrow(words.numberOfSubroutineCommands, status);
    const uint32_t numberOfSubroutines = checkedNarrow(words.numberOfSubroutines, status);
    // Nothing is allocated on a failed status: no KelvoHelper, level 0.
    helper_.reset(new (status, false) KelvoHelper(
        *this, descriptor, words.nonIsolatedFirmwarePtr, words.nonIsolatedFirmwareSize,
        words.isolatedFirmwarePtr, words.isolatedFirmwareSize, words.subroutineCommandsPtr,
        numberOfSubroutineCommands, words.subroutineIdsPtr, words.subroutineAddressesPtr, numberOfSubroutines,
        words.errorsToDisablePtr, words.numberOfErrorsToDisable, &coolingModeState_,
        words.ignoreStartupErrors != 0, &reservationManager_, tracker, getDeviceSetupLevelTable()));
}

void KelvoDevice::runTeardown() {
    helper_.reset();
}

bool KelvoDevice::routingBuilt() const {
    return helper_ != nullptr && currentLevel() >= kRoutingLevel;
}

void KelvoDevice::onStarted() {
    if (routingBuilt()) {
        helper_->setRoutingResources();
    }
    onSetUpAgain();
}

void KelvoDevice::onSetUpAgain() {
    if (helper_ != nullptr) {
        // Setup ran outside a request (a reset's too: its own gate, and every handle it found invalidated):
        // what its accesses marked on the isolation link is dropped here, so that the link's count of marks
        // goes back to 0 and requests leave the link alone.
        helper_->forgetIsolationLinkError();
    }
}

void KelvoDevice::onResumeIOProcessing(const tEventDescriptor&) {
    if (routingBuilt()) {
        helper_->setRoutingResources();
    }
}

bool KelvoDevice::onSuspendIOProcessing(const tEventDescriptor&, tSuspendReason, bool) {
    if (routingBuilt()) {
        helper_->clearRoutingResources();
    }
    return false;
}

void KelvoDevice::cancelPendingWaits() {
    if (helper_ != nullptr) {
        helper_->cancelAllWaitsUntilBytesTransferred();
    }
}

// ---- sessions -------------------------------------------------------------------

tSession* KelvoDevice::createSession(const tEventDescriptor&, tDeviceInterface* deviceInterface,
                                     tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    voark::RoutingResourcesManagerInterface* routingManager = nullptr;
    if (routingBuilt()) {
        routingManager = helper_->getRoutingResourcesManager();
    }
    nVOAPAL000::tOwned<fenwicksharedsource::KernelSession> session(new (
        status, false) fenwicksharedsource::KernelSession(deviceInterface, getResetCounter(),
                                                          kNotReservedCode, &reservationManager_,
                                                          routingManager, kSessionCleanupCapacity, status));
    if (session == nullptr) {
        return nullptr;
    }
    // A helper whose setup failed on building its composite cleans nothing
    // up: the session opens without it, so that a reset can still be asked.
    if (status.isNotFatal() && helper_ != nullptr && helper_->getCleanupOperationComposite().usable()) {
        helper_->getCleanupOperationComposite().add(&session->getCleanupOperationComposite(), status);
    }
    if (status.isFatal()) {
        // Returned as a failure, the session would be lost while its routing
        // session stays registered with the manager: it goes now.
        return nullptr;
    }
    return session.release();
}

void KelvoDevice::destroySession(const tEventDescriptor&, tSession* session) {
    if (session == nullptr) {
        return;
    }
    auto* kernelSession = static_cast<fenwicksharedsource::KernelSession*>(session);
    if (helper_ != nullptr) {
        // A composite that is not there (the session predates this helper) is no error here.
        tStatus local;
        helper_->getCleanupOperationComposite().remove(&kernelSession->getCleanupOperationComposite(), local);
    }
    delete kernelSession;
    if (helper_ != nullptr) {
        // The session's cleanup may have reached the isolation link; the closing thread may make no request
        // afterwards to drop what it marked, so the close drops it.
        helper_->forgetIsolationLinkError();
    }
}

// ---- notifier -------------------------------------------------------------------

void KelvoDevice::createIONotifier(const tEventDescriptor& descriptor, uint32_t kind,
                                   nVOAPAL000::tIONotifierParams& params, tStatus& status) {
    fenwicksharedsource::KernelSession* session = kernelSessionOf(descriptor);
    Gate gate(*this, session, getSetupTracker(), kFullLevel, status);
    if (status.isFatal() || kind != kRoutingNotifierKind) {
        return;
    }
    // The reference keeps the routing session alive beside a cleanup of
    // the handle on another thread; open and close are under its lock.
    const vohtl::SharedPtr<voark::RoutingSession> routing = session->getRoutingSession();
    if (!routing) {
        // A session whose routing was cleaned up has no notifier to open.
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    routing->openIONotifier(params, status);
}

void KelvoDevice::destroyIONotifier(const tEventDescriptor& descriptor, uint32_t kind) {
    fenwicksharedsource::KernelSession* session = kernelSessionOf(descriptor);
    tStatus local;
    Gate gate(*this, session, getSetupTracker(), kFullLevel, local);
    if (local.isFatal() || kind != kRoutingNotifierKind) {
        return;
    }
    if (const vohtl::SharedPtr<voark::RoutingSession> routing = session->getRoutingSession()) {
        routing->closeIONotifier();
    }
}

// ---- properties -------------------------------------------------------------------

void KelvoDevice::formatSerialNumber(uint32_t serialNumber) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char reversed[8];
    uint32_t count = 0;
    do {
        reversed[count++] = kDigits[serialNumber & 0xF];
        serialNumber >>= 4;
    } while (serialNumber != 0);
    for (uint32_t i = 0; i < count; ++i) {
        serialNumberText_[i] = reversed[count - 1 - i];
    }
    serialNumberText_[count] = '\0';
}

void KelvoDevice::initializeDeviceProperties(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    uint32_t serialNumber = 0;
    if (helper_ != nullptr && currentLevel() > 2) {
        tStatus fresh;
        serialNumber = helper_->getSerialNumber(fresh);
        status.merge(fresh);
    }
    const char* modelName = nullptr;
    if (helper_ != nullptr && currentLevel() > 1) {
        modelName = helper_->getModelName();
    }
    {
        tStatus local;
        formatSerialNumber(serialNumber);
        serialNumberProperty_.value = textValue(serialNumberText_);
        appendDeviceProperty(&serialNumberProperty_, local);
        modelNameProperty_.value = textValue(modelName);
        appendDeviceProperty(&modelNameProperty_, local);
        manufacturerNameProperty_.value = textValue("Quillon");
        appendDeviceProperty(&manufacturerNameProperty_, local);
        status.merge(local);
    }
    {
        tStatus local;
        uint32_t geographicAddress = 0;
        void* window = mapMemoryWindow(0, local, 0);
        if (window != nullptr) {
            nVOAPAL000::tBrixel brixel(*this, window);
            nVOAPAL000::tVOCapabilityBrixelAccessor accessor(brixel, local);
            nVOAPAL000::tGeographicAddress capability;
            accessor.getCapability(capability, local);
            geographicAddress = local.isNotFatal() ? capability.value() : 0;
            unmapMemoryWindow(0, window, 0);
        }
        geographicAddressProperty_.value = geographicAddress;
        appendDeviceProperty(&geographicAddressProperty_, local);
        status.merge(local);
    }
}

// ---- operations -------------------------------------------------------------------

void KelvoDevice::validateChannel(uint32_t channel, tStatus& status) const {
    if (status.isNotFatal() && channel != 0) {
        KELVO_SET_STATUS(status, kelvoDriverCode(kInvalidChannelCode));
    }
}

void KelvoDevice::kdut_reset(const tEventDescriptor& descriptor, uint32_t level,
                             uint64_t customResetParameters, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (level >= kelvo_shared::kSetupLevelCount) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    reset(descriptor, level, customResetParameters, status);
}

void KelvoDevice::corran_fetchChargeBalanceOffsetRawData(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
}
void KelvoDevice::corran_configureMeasureUnit(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
}
void KelvoDevice::corran_getMeasurement(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
}
uint32_t KelvoDevice::corran_readDAC(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
    return 0;
}
void KelvoDevice::corran_writeCmccDigipot(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
}
uint32_t KelvoDevice::corran_getAlarmRaised(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
    return 0;
}
void KelvoDevice::corran_clearAlarm(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
}
void KelvoDevice::corran_maskAlarm(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
}
void KelvoDevice::corran_unmaskAlarm(tStatus& status) const {
    KELVO_SET_STATUS(status, kelvoDriverCode(kNotOfferedCode));
}
void KelvoDevice::wexmoor_downloadSubroutines(tStatus& status) const {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
}
void KelvoDevice::wexmoor_executeSubroutine(tStatus& status) const {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
}
void KelvoDevice::triggersAndEvents_clearAllEventLatches(tStatus& status) const {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
}
void KelvoDevice::hwCondition_checkMeasureFIFOOverflowStatus(tStatus&) const {}

} // namespace kelvo_driver

extern "C" kelvo_driver::nVOAPAL000::tPCIDevice* nVOAPAL200_createDevice(const nVOAPAL200_tDeviceInfo& info,
                                                                         nVOAPALS100::tStatus& status) {
    kelvo_driver::nVOAPAL000::tOwned<kelvo_driver::KelvoDevice> device(
        new (status, false) kelvo_driver::KelvoDevice(info, status));
    if (device == nullptr) {
        return nullptr;
    }
    if (status.isNotFatal()) {
        device->initialize(kelvo_driver::nVOAPAL000::tEventDescriptor(0), status);
    }
    if (status.isFatal()) {
        return nullptr;
    }
    return device.release();
}
