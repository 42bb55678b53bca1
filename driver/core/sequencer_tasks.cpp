#include "core/sequencer_tasks.h"

#include "bridge/firmware.h"
#include "core/kelvo_helper.h"
#include "kelvo/product_ids.h"
#include "platform/user_buffer.h"
#include "platform/vosdbg.h"
#include "regmaps/isolated_reg_maps.h"
#include "regmaps/non_isolated_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kSolstraIds[] = {0xDC5BD536, 0xB8AE1123, 0x956E9395, 0x3F968CBF, 0x59D5B10C, 0x8E1F5DA5,
                                    0x486DE645, 0xF03BDE11, 0x05422035, 0x92C375F2, 0xAC20E149, 0x26EC19A0,
                                    0x07BE16DD, 0x6F82CFD2, 0xFA893F09, 0x47782FBE, 0x21EFC0D8, 0xEE85CF84};
constexpr uint32_t kSolstraAddresses[] = {0,   1,   2,   22,  28,  46,  47,  48,  172,
                                          173, 190, 207, 227, 231, 263, 275, 291, 320};
constexpr uint32_t kDuskmereIds[] = {0xDC5BD536, 0xB8AE1123, 0x956E9395, 0x3F968CBF, 0x59D5B10C,
                                     0x8E1F5DA5, 0x486DE645, 0xD0AEF834, 0x76EFAEA6, 0xF03BDE11,
                                     0x05422035, 0x6AA9CCC6, 0x92C375F2, 0x2AE04187, 0xD49F9E98,
                                     0xAC20E149, 0x26EC19A0, 0x07BE16DD, 0x6F82CFD2, 0xFA893F09,
                                     0x757137E7, 0xBD78F1D7, 0xDC189D95, 0xAAA35421, 0xEE85CF84};
constexpr uint32_t kDuskmereAddresses[] = {0,    1,    2,    340,  346,  554,  555,  556,  671,
                                           687,  2141, 2142, 2570, 2692, 2704, 2709, 2824, 3034,
                                           3038, 3562, 3769, 3883, 3895, 3907, 4134};
static_assert(sizeof(kSolstraIds) == sizeof(kSolstraAddresses) &&
              sizeof(kDuskmereIds) == sizeof(kDuskmereAddresses));

const SubroutineTable kSolstraTable = {kSolstraIds, kSolstraAddresses,
                                       sizeof(kSolstraIds) / sizeof(uint32_t)};
const SubroutineTable kDuskmereTable = {kDuskmereIds, kDuskmereAddresses,
                                        sizeof(kDuskmereIds) / sizeof(uint32_t)};

// A zeroed kernel array of bytes copied in from a user address.
void* copyFromUser(const nVOAPAL000::tEventDescriptor& event, uint64_t address, uint64_t bytes,
                   tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    void* copy = nVOAPAL200_malloc(bytes, &status);
    if (copy == nullptr) {
        return nullptr;
    }
    __builtin_memset(copy, 0, bytes);
    const nVOAPAL000::tUserBuffer buffer(event, address, bytes);
    VOSDBG_ASSERT_MSG(buffer.getSize() == bytes,
                      " Size mismatch between the User Mode Buffer and Kernel Mode Vector!");
    buffer.read(0, copy, bytes, status);
    return copy;
}

const corran_caps::ProductCaps* capsOf(KelvoHelper& helper) {
    return helper.getCapsTask().capsPtr;
}

NonIsolatedRegMaps* nonIsolatedGroup(KelvoHelper& helper) {
    return &helper.getTaskAs<NonIsolatedRegMapsTaskInterface>().getNonIsolatedRegMaps();
}

IsolatedRegMaps* isolatedGroup(KelvoHelper& helper) {
    return &helper.getTaskAs<IsolatedRegMapsTaskInterface>().getIsolatedRegMaps();
}

} // namespace

const SubroutineTable& defaultSubroutineTable(bool solstra) {
    return solstra ? kSolstraTable : kDuskmereTable;
}

kelvo_regmaps::tKelvoSequencerChSeqRegMap* sequencerChannelMap(IsolatedRegMaps& isolated,
                                                               NonIsolatedRegMaps& nonIsolated,
                                                               const corran_caps::ProductCaps& caps) {
    if (corran_caps::isSolstraProduct(caps.subsystemID)) {
        return isolated.wrapper.getSequencerChSeqRegMap();
    }
    kelvo_regmaps::tDuskmereNisoTopRegMap* top =
        nonIsolated.wrapper.isDuskmere ? nonIsolated.wrapper.getDuskmereRegMap() : nullptr;
    return top != nullptr && top->SeqTop.Channels[0] != nullptr
               ? &top->SeqTop.Channels[0]->SeqChannel.KelvoSequencerSeq
               : nullptr;
}

// ---- level 10 ----------------------------------------------------------------------

SetupTask* SubroutinePackageRegister::create(KelvoHelper& helper, const SetupInputs& inputs,
                                             tStatus& status) {
    auto* task = new (status, false) SubroutinePackageRegister();
    if (task != nullptr) {
        task->setup(inputs.event, inputs.subroutineCommandsPtr, inputs.numberOfSubroutineCommands,
                    inputs.subroutineIdsPtr, inputs.subroutineAddressesPtr, inputs.numberOfSubroutines,
                    capsOf(helper), status);
    }
    return task;
}

void SubroutinePackageRegister::setup(const nVOAPAL000::tEventDescriptor& event, uint64_t commandsAddress,
                                      uint32_t commandCount, uint64_t idsAddress, uint64_t addressesAddress,
                                      uint32_t subroutineCount, const corran_caps::ProductCaps* caps,
                                      tStatus& status) {
    registrar_.reset();
    package_.reset();
    if (status.isFatal()) {
        return;
    }
    if (caps == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    if (commandsAddress == 0 && commandCount == 0 && idsAddress == 0 && addressesAddress == 0 &&
        subroutineCount == 0) {
        createDefault(*caps, status);
    } else {
        createFromUser(event, commandsAddress, commandCount, idsAddress, addressesAddress, subroutineCount,
                       status);
    }
    if (status.isFatal() || !package_) {
        return;
    }
    wexmoortools::SubroutineRegistrarFactory factory;
    registrar_ = vohtl::SharedPtr<wexmoortools::SubroutineRegistrarInterface>(
        factory.create(*package_, kUnknownSubroutine, status), status);
}

void SubroutinePackageRegister::createDefault(const corran_caps::ProductCaps& caps, tStatus& status) {
    tFirmwarePtr image = FirmwareFactory().createSubroutineFirmware(caps, status);
    if (status.isFatal() || !image) {
        return;
    }
    VOSDBG_ASSERT_MSG(
        image->size() % sizeof(wexmoortools::Command) == 0,
        "ASSERT(defaultLocalRAMFirmwarePtr->size() % sizeof(wexmoortools::Command)==0) The size of "
        "Default Local RAM should be a multiple of sizeof(wexmoortools::Command)");
    const SubroutineTable& table = defaultSubroutineTable(corran_caps::isSolstraProduct(caps.subsystemID));
    wexmoortools::SubroutinePackageFactory factory;
    package_ = vohtl::SharedPtr<wexmoortools::SubroutinePackageInterface>(
        factory.create(reinterpret_cast<const wexmoortools::Command*>(image->data()),
                       image->size() / sizeof(wexmoortools::Command), table.ids, table.addresses, table.count,
                       status),
        status);
}

void SubroutinePackageRegister::createFromUser(const nVOAPAL000::tEventDescriptor& event,
                                               uint64_t commandsAddress, uint32_t commandCount,
                                               uint64_t idsAddress, uint64_t addressesAddress,
                                               uint32_t subroutineCount, tStatus& status) {
    if (commandsAddress == 0 || commandCount == 0 || idsAddress == 0 || addressesAddress == 0 ||
        subroutineCount == 0 || commandCount > kSubroutineReservedSize ||
        subroutineCount > kSubroutineReservedSize) {
        KELVO_SET_STATUS(status, kInvalidSubroutinePackage);
        return;
    }
    const uint64_t commandBytes = uint64_t{commandCount} * sizeof(wexmoortools::Command);
    const uint64_t tableBytes = uint64_t{subroutineCount} * sizeof(uint32_t);
    void* commands = copyFromUser(event, commandsAddress, commandBytes, status);
    void* ids = copyFromUser(event, idsAddress, tableBytes, status);
    void* addresses = copyFromUser(event, addressesAddress, tableBytes, status);
    if (status.isNotFatal()) {
        wexmoortools::SubroutinePackageFactory factory;
        package_ = vohtl::SharedPtr<wexmoortools::SubroutinePackageInterface>(
            factory.create(static_cast<const wexmoortools::Command*>(commands), commandCount,
                           static_cast<const uint32_t*>(ids), static_cast<const uint32_t*>(addresses),
                           subroutineCount, status),
            status);
    }
    nVOKAL100_free(addresses);
    nVOKAL100_free(ids);
    nVOKAL100_free(commands);
}

// ---- level 11 ----------------------------------------------------------------------

SetupTask* IsolatedObjects::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    VOSDBG_ASSERT(inputs.checkers != nullptr);
    auto* task = new (status, false) IsolatedObjects(*inputs.checkers);
    if (task == nullptr) {
        return nullptr;
    }
    // The registrar of level 10 is handed to the isolated controllers, which do not use it.
    static_cast<void>(helper.getTaskAs<SubroutinePackageRegisterInterface>());
    IsolatedRegMaps* isolated = isolatedGroup(helper);
    NonIsolatedRegMaps* nonIsolated = nonIsolatedGroup(helper);
    const corran_caps::ProductCaps* caps = capsOf(helper);
    if (isolated == nullptr || nonIsolated == nullptr || caps == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return task;
    }
    task->setup(*isolated, *nonIsolated, *caps, status);
    return task;
}

void IsolatedObjects::setup(IsolatedRegMaps& isolated, NonIsolatedRegMaps& nonIsolated,
                            const corran_caps::ProductCaps& caps, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kelvo_regmaps::tKelvoRegAccessRegMap* link = isolated.getRegAccessRegMap();
    if (link == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    accessVerifier_ = undo().own(new (status, false) RegisterAccessVerifier(link->RegAccessStatus));
    if (accessVerifier_ != nullptr) {
        accessVerifier_->checkHardwareState(status);
    }
    if (status.isNotFatal()) {
        controllers_ = undo().own(new (status, false) IsolatedControllers(
            isolated.wrapper, nonIsolated.wrapper, checkers_, caps, status));
    }
    if (status.isNotFatal()) {
        dispatcher_ =
            undo().own(new (status, false) CalibrationDispatcher(controllers_->getCalibrationControllers()));
    }
    if (status.isFatal()) {
        return;
    }
    addChecker(checkers_, accessVerifier_, status);
    if (status.isFatal()) {
        return;
    }
    // From here on the link reads its error bit again before it fails an access, as the verifier does.
    WindowedFrontEndAccessor* accessor = isolated.getWindowedAccessor();
    accessor->setAccessVerifier(accessVerifier_);
    undo().push(
        [](void* link, void*) { static_cast<WindowedFrontEndAccessor*>(link)->setAccessVerifier(nullptr); },
        accessor);
    // The isolated board signature.
    kdut::HardwareStateCheckerInterface* verifier = nullptr;
    if (corran_caps::isSolstraProduct(caps.subsystemID) && isolated.wrapper.getSolstraRegMap() != nullptr) {
        verifier = new (status, false)
            kdut::SimpleSignatureVerifierTemplate<kelvo_regmaps::tSolstraStandardRegs::tSolstraSignatureReg,
                                                  KELVO_SOLSTRA_BOARD_SIGNATURE,
                                                  KELVO_STATUS_ISOLATED_SIGNATURE>(
                isolated.wrapper.getSolstraRegMap()->Board.StandardRegs.SolstraSignature);
    } else if (corran_caps::isDuskmereProduct(caps.subsystemID) &&
               isolated.wrapper.getDuskmereRegMap() != nullptr) {
        verifier = new (status, false)
            kdut::SimpleSignatureVerifierTemplate<kelvo_regmaps::tDuskmereStandardRegs::tDuskmereSignatureReg,
                                                  KELVO_DUSKMERE_BOARD_SIGNATURE,
                                                  KELVO_STATUS_ISOLATED_SIGNATURE>(
                isolated.wrapper.getDuskmereRegMap()->Board.StandardRegs.DuskmereSignature);
    } else {
        KELVO_SET_STATUS(status, kUnknownBoardGeneration);
    }
    if (verifier != nullptr) {
        verifier->checkHardwareState(status);
    }
    signatureVerifier_ = vohtl::SharedPtr<kdut::HardwareStateCheckerInterface>(verifier, status);
    addChecker(checkers_, signatureVerifier_.get(), status);
}

// ---- level 12 ----------------------------------------------------------------------

SetupTask* BoardRevisionProgrammer::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) BoardRevisionProgrammer();
    if (task == nullptr) {
        return nullptr;
    }
    IsolatedRegMaps* isolated = isolatedGroup(helper);
    NonIsolatedRegMaps* nonIsolated = nonIsolatedGroup(helper);
    const corran_caps::ProductCaps* caps = capsOf(helper);
    kelvo_regmaps::tKelvoSequencerChSeqRegMap* sequencer =
        isolated != nullptr && nonIsolated != nullptr && caps != nullptr
            ? sequencerChannelMap(*isolated, *nonIsolated, *caps)
            : nullptr;
    if (sequencer == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return task;
    }
    task->setup(helper.getTaskAs<TYMOObjectsInterface>().getStorageMaps().getManufacturingMap(), *sequencer,
                status);
    return task;
}

void BoardRevisionProgrammer::setup(kelvo_storagemaps::ManufacturingStorageMapInterface& manufacturing,
                                    kelvo_regmaps::tKelvoSequencerChSeqRegMap& sequencer, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint32_t revision = manufacturing.getBoardRevision(status);
    if (status.isFatal()) {
        return;
    }
    // Under the device mutex with no request inside the gate: no tree lock.
    auto& reg = sequencer.SoftwareGeneralUse[kRevisionRegister];
    arm::insertIntoRecord(reg, 0xFFFFFFFFu, revision);
    if (reg.dirty != 0) {
        reg.flush(status, false);
    }
}

// ---- level 13 ----------------------------------------------------------------------

SetupTask* ExternalPLLAndSensorsTask::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    IsolatedRegMaps* isolated = isolatedGroup(helper);
    kelvo_regmaps::tKelvoAdf4002InterfaceRegMap* map =
        isolated != nullptr ? isolated->wrapper.getAdf4002InterfaceRegMap() : nullptr;
    if (map == nullptr) {
        if (status.isNotFatal()) {
            KELVO_SET_STATUS(status, tStatus::kInvalidState);
        }
        return nullptr;
    }
    auto* task = new (status, false) ExternalPLLAndSensorsTask(*map);
    if (task != nullptr) {
        task->setup(status);
    }
    return task;
}

// ---- level 17 ----------------------------------------------------------------------

SetupTask* LocalRAMConfigure::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) LocalRAMConfigure();
    if (task == nullptr) {
        return nullptr;
    }
    auto& packageTask = helper.getTaskAs<SubroutinePackageRegisterInterface>();
    IsolatedControllers* controllers = helper.getTaskAs<IsolatedObjectsInterface>().getIsolatedControllers();
    if (controllers == nullptr || controllers->getLocalRAM() == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return task;
    }
    task->setup(packageTask.getSubroutinePackage(), *controllers->getLocalRAM(), status);
    return task;
}

void LocalRAMConfigure::setup(wexmoortools::SubroutinePackageInterface* package,
                              LocalRAMControllerType& localRAM, tStatus& status) {
    wexmoortools::SubroutineDownloader downloader(&localRAM, 0, kSubroutineReservedSize);
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_MSG(package != nullptr, " Failed - subroutinePackagePtr is NULL!");
    if (package == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    downloader.downloadSubroutineData(*package, status);
    if (status.isFatal()) {
        return;
    }
    vohtl::Vector<wexmoortools::Command> marker;
    if (marker.pushBack(wexmoortools::ControlCommand().setC(15).setG(5).getRaw(), status)) {
        localRAM.write(marker, kEndMarkerAddress, status);
    }
}

} // namespace kelvo_driver
