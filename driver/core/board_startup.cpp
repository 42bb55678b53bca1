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
    auto& isolated = helper.getTaskAs<IsolatedObjectsInterface>();
    auto& tymo = helper.getTaskAs<TYMOObjectsInterface>();
    auto& dma = helper.getTaskAs<DMAObjectsInterface>();
    auto& package = helper.getTaskAs<SubroutinePackageRegisterInterface>();
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
    // The stream and its credits are taken first: whatever fails below, the
    // engine's reset and the stream's stop at the end still run.
    brixeltools::BrixelDMAStreamController& stream = dma.getStreamController(kStartupChannel);
    qeldma::StreamCreditControllerInterface* credits = dma.getStreamCreditController(kStartupChannel, status);
    SequenceEngineControllerInterface& engine = isolated.getSequenceEngineController();
    uint32_t core = 0;
    {
        const arm::tRegMapHold tree(tymo.brixelRegMap);
        core = tymo.brixelRegMap.COREDR.readRegister(status);
    }
    const uint32_t linkSize = 1u << ((core >> 12) & 15);
    if (status.isNotFatal()) {
        buffer_.reset(new (status, false) DMABuffer<uint64_t>(stream, credits, configuration, linkSize,
                                                              kProgramWords * sizeof(uint64_t), status));
    }
    if (buffer_) {
        undo().call<&BoardStartup::releaseBuffer>(*this);
    }
    uint32_t address = 0;
    if (registrar == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
    } else {
        address = registrar->getSubroutineAddress(kStartupSubroutineId, status);
    }
    if (buffer_ && buffer_->data() != nullptr) {
        buffer_->data()[0] = kExecuteSubroutineWord | address;
        buffer_->data()[1] = kReturnWord;
    }
    if (status.isNotFatal() && buffer_) {
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
        buffer_.reset();
    }
}

void BoardStartup::releaseBuffer() {
    if (buffer_ && buffer_->streamController().isTransferInProgress()) {
        buffer_->streamController().reset();
    }
    buffer_.reset();
}

} // namespace kelvo_driver
