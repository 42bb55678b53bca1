#include "core/board_startup.h"

#include "bridge/dma_controllers.h"
#include "bridge/tymo_reg_maps.h"
#include "core/kelvo_helper.h"
#include "core/sequencer_tasks.h"
#include "framework/poller.h"
#include "platform/time.h"
#include "platform/user_buffer.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kLevelTYMOObjects = 3;
constexpr uint32_t kLevelSubroutinePackage = 10;
constexpr uint32_t kLevelIsolatedObjects = 11;
constexpr uint32_t kLevelDMAObjects = 14;
constexpr uint32_t kProgramWords = 2;

using SleepPoller =
    orut::Poller<nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise>>;

// Reads the caller's error list and drops it: nothing in it is used yet.
// Its last entry is read first, so a list that is not all there fails at
// once; then the whole list, a chunk at a time through one buffer of at most
// kErrorListChunkBytes. However long the list, nothing larger is allocated.
void readErrorList(const nVOAPAL000::tEventDescriptor& event, uint64_t address, uint64_t count,
                   tStatus& status) {
    if (status.isFatal() || count == 0) {
        return;
    }
    // Both refusals come before anything is allocated or read.
    if (address == 0 || count > kMaximumErrorsToDisable) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    const uint64_t bytes = count * sizeof(uint64_t);
    const nVOAPAL000::tUserBuffer buffer(event, address, bytes);
    uint64_t last = 0;
    buffer.read(bytes - sizeof last, &last, sizeof last, status);
    if (status.isFatal()) {
        return;
    }
    const uint64_t chunkBytes = bytes < kErrorListChunkBytes ? bytes : kErrorListChunkBytes;
    void* chunk = nVOAPAL200_malloc(chunkBytes, &status);
    if (chunk == nullptr) {
        return;
    }
    for (uint64_t offset = 0; offset < bytes && status.isNotFatal(); offset += chunkBytes) {
        const uint64_t left = bytes - offset;
        buffer.read(offset, chunk, left < chunkBytes ? left : chunkBytes, status);
    }
    nVOKAL100_free(chunk);
}

} // namespace

SetupTask* BoardStartup::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    auto* task = new (status, false) BoardStartup();
    if (task == nullptr) {
        return nullptr;
    }
    auto& isolated = static_cast<IsolatedObjectsInterface&>(helper.getTask(kLevelIsolatedObjects));
    auto& tymo = static_cast<TYMOObjectsInterface&>(helper.getTask(kLevelTYMOObjects));
    auto& dma = static_cast<DMAObjectsInterface&>(helper.getTask(kLevelDMAObjects));
    auto& package = static_cast<SubroutinePackageRegisterInterface&>(helper.getTask(kLevelSubroutinePackage));
    VOSDBG_ASSERT_MSG(inputs.device != nullptr, "ASSERT(devicePtr != nullptr)");
    task->setup(isolated, tymo.getTYMORegMaps(), dma.getDMAControllers(),
                inputs.device->getDMAConfiguration(), package.getSubroutineRegistrar(), inputs.event,
                inputs.errorsToDisablePtr, inputs.numberOfErrorsToDisable, inputs.ignoreStartupErrors,
                status);
    return task;
}

void BoardStartup::setup(IsolatedObjectsInterface& isolated, TYMORegMaps& tymo, BrixelDMAControllers* dma,
                         const nVOAPAL000::tDMAConfiguration& configuration,
                         wexmoortools::SubroutineRegistrarInterface* registrar,
                         const nVOAPAL000::tEventDescriptor& event, uint64_t errorsAddress,
                         uint64_t errorCount, bool ignoreErrors, tStatus& status) {
    isolated_ = &isolated;
    ran_ = 0;
    if (status.isFatal()) {
        return;
    }
    readErrorList(event, errorsAddress, errorCount, status);
    if (status.isFatal()) {
        ran_ = 1;
        return;
    }
    if (dma == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
    } else {
        run(isolated, tymo, *dma, configuration, registrar, status);
    }
    if (ignoreErrors && status.isFatal()) {
        status.clear();
    }
    ran_ = 1;
}

void BoardStartup::run(IsolatedObjectsInterface& isolated, TYMORegMaps& tymo, BrixelDMAControllers& dma,
                       const nVOAPAL000::tDMAConfiguration& configuration,
                       wexmoortools::SubroutineRegistrarInterface* registrar, tStatus& status) {
    const uint32_t core = tymo.brixelRegMap.COREDR.readRegister(status);
    if (status.isFatal()) {
        return;
    }
    const uint32_t linkSize = 1u << ((core >> 12) & 15);
    brixeltools::BrixelDMAStreamController& stream = dma.getStreamController(kStartupChannel);
    qeldma::StreamCreditControllerInterface* credits = dma.getStreamCreditController(kStartupChannel, status);
    buffer_ = new (status, false) DMABuffer<uint64_t>(stream, credits, configuration, linkSize,
                                                      kProgramWords * sizeof(uint64_t), status);
    if (buffer_ == nullptr) {
        return;
    }
    uint32_t address = 0;
    if (registrar == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
    } else {
        address = registrar->getSubroutineAddress(kStartupSubroutineId, status);
    }
    if (buffer_->data() != nullptr) {
        buffer_->data()[0] = kExecuteSubroutineWord | address;
        buffer_->data()[1] = kReturnWord;
    }
    SequenceEngineControllerInterface& engine = isolated.getSequenceEngineController();
    if (status.isNotFatal()) {
        stream.start(buffer_->getSGL(), true, status);
        if (credits != nullptr) {
            credits->start(status);
        }
        stream.writeStreamAdditiveTransferCount(static_cast<uint32_t>(buffer_->size()), status);
        engine.start(kProgramWords, status);
        const SleepPoller poller(1, 100, kStartupTimedOut);
        poller.poll(engine, &SequenceEngineControllerInterface::isRunning, 0, 0xFFFFFFFFu,
                    kStartupTimeoutMicroseconds, true, SleepPoller::kEqual, status);
    }
    tStatus resetStatus;
    engine.reset(resetStatus);
    status.merge(resetStatus);
    tStatus stopStatus;
    if (credits != nullptr) {
        credits->stop(stopStatus);
    }
    stream.stop(stopStatus);
    status.merge(stopStatus);
    // A stream that would not stop may still read the buffer: it stays until
    // the teardown has reset the channel.
    if (!stream.isTransferInProgress()) {
        delete buffer_;
        buffer_ = nullptr;
    }
}

void BoardStartup::teardown() {
    VOSDBG_ASSERT_MSG(ran_ == 0 || isolated_ != nullptr, "ASSERT(isolatedObjectsPtr != nullptr)");
    if (buffer_ == nullptr) {
        return;
    }
    brixeltools::BrixelDMAStreamController& stream = buffer_->streamController();
    if (stream.isTransferInProgress()) {
        stream.reset();
    }
    delete buffer_;
    buffer_ = nullptr;
}

} // namespace kelvo_driver
