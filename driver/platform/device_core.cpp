#include "platform/device_core.h"

#include "platform/io_notifier.h"
#include "platform/user_buffer.h"
#include "platform/user_memory_map.h"
#include "platform/voitl/containing.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {

using nVOAPALS100::tStatus;

// The device core's events: auto reset, created signalled.
void createEvent(nVOAPAL200_tEvent& event, tStatus& status) {
    nVOAPAL200_createEvent(&event, true, true, &status);
}
void destroyEvent(nVOAPAL200_tEvent& event) {
    nVOAPAL200_destroyEvent(&event);
}
bool waitEvent(nVOAPAL200_tEvent& event, uint32_t timeout, bool interruptible, tStatus& status) {
    return nVOAPAL200_waitSemaphore(&event, timeout, interruptible ? 1u : 0u, &status);
}
void setEvent(nVOAPAL200_tEvent& event) {
    nVOAPAL200_setEvent(&event);
}
bool hasWaiters(const nVOAPAL200_tEvent& event) {
    return event.waiterList.next != &event.waiterList;
}

} // namespace

// ---- tDeviceInterface ----------------------------------------------------

tDeviceInterface::tDeviceInterface(tDeviceCore* device, const char* name, tProperty* const* properties)
    : device_(device), properties_(properties), name_(name), kernelHandle_(nullptr) {}

tDeviceInterface::~tDeviceInterface() {}

uint64_t tDeviceInterface::decodeIOControl(const tEventDescriptor& descriptor, uint32_t code,
                                           uint64_t inputAddress, uint64_t inputSize, uint64_t outputAddress,
                                           uint64_t outputSize, tStatus& status) {
    tUserBuffer input(descriptor, inputAddress, inputSize);
    tUserBuffer output(descriptor, outputAddress, outputSize);
    return device_->decodeIOControl(descriptor, code, input, output, status);
}

// ---- tSession ------------------------------------------------------------

tSession::tSession(tDeviceInterface* deviceInterface, tStatus& status)
    : deviceInterface_(deviceInterface), sessionIOCount_(0), idleWaiters_(0), closing_(0) {
    createEvent(sessionIdleEvent_, status);
}

tSession::~tSession() {
    VOSDBG_ASSERT_F(atomicLoad(sessionIOCount_) == 0,
                    "session (%p) destructor called while sessionIOCount == %d, expected: %d",
                    static_cast<void*>(this), static_cast<int>(atomicLoad(sessionIOCount_)), 0);
    VOSDBG_ASSERT(!hasWaiters(sessionIdleEvent_));
    destroyEvent(sessionIdleEvent_);
    // asyncIOList_ reports itself if it is still attached.
}

// ---- tAsyncIO ------------------------------------------------------------

tAsyncIO::tAsyncIO() : device_(nullptr), session_(nullptr), state_(kStateUnused), completing_(0) {}

tAsyncIO::~tAsyncIO() {
    VOSDBG_ASSERT_F(state_ == kStateUnused, "IO (%p) destructor called while state == %d, expected: %d",
                    static_cast<void*>(this), static_cast<int>(state_), static_cast<int>(kStateUnused));
}

tAsyncIO* tAsyncIO::fromDeviceNode(tListNode* node) {
    return voitl::getContainingObject(node, &tAsyncIO::deviceNode_);
}

tAsyncIO* tAsyncIO::fromSessionNode(tListNode* node) {
    return voitl::getContainingObject(node, &tAsyncIO::sessionNode_);
}

void tAsyncIO::start(tDeviceCore& device, tAsyncIO& io, tSession* session, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (session != nullptr && session->isClosing()) {
        KELVO_SET_STATUS(status, tStatus::kSessionClosing);
        return;
    }
    if (!device.tryEnterIOGate(session, status)) {
        return;
    }
    device.acquireAsyncIOLock();
    // The session's cleanup may have run since the first look: its queue has
    // then been completed already, and a record queued now would keep the
    // session busy for good.
    if (session != nullptr && session->closing_ != 0) {
        device.releaseAsyncIOLock();
        device.exitIOGate(session);
        KELVO_SET_STATUS(status, tStatus::kSessionClosing);
        return;
    }
    VOSDBG_ASSERT_F(io.state_ == kStateUnused, "IO (%p) start() called while state == %d, expected: %d",
                    static_cast<void*>(&io), static_cast<int>(io.state_), static_cast<int>(kStateUnused));
    io.state_ = kStateBusy;
    io.device_ = &device;
    io.session_ = session;
    io.completing_ = 0;
    io.status_.clear();
    io.startCallback();
    nVOAPAL200_listNodeInsertBefore(&io.deviceNode_, &device.asyncIOQueue_);
    if (session != nullptr) {
        nVOAPAL200_listNodeInsertBefore(&io.sessionNode_, &session->asyncIOList_);
    }
    device.releaseAsyncIOLock();
}

void tAsyncIO::completeLocked(tAsyncIO& io, bool alreadyLeft) {
    if (io.state_ != kStateBusy) {
        return;
    }
    bool completeNow = alreadyLeft;
    if (io.completing_ == 0) {
        completeNow = io.cancel();
        io.completing_ = 1;
    }
    if (!completeNow || io.state_ != kStateBusy) {
        return;
    }
    tDeviceCore* device = io.device_;
    tSession* session = io.session_;
    if (session != nullptr) {
        nVOAPAL200_listNodeDetach(&io.sessionNode_);
    }
    nVOAPAL200_listNodeDetach(&io.deviceNode_);
    VOSDBG_ASSERT_F(io.state_ == kStateBusy, "IO (%p) complete() called while state == %d, expected: %d",
                    static_cast<void*>(&io), static_cast<int>(io.state_), static_cast<int>(kStateBusy));
    io.state_ = kStateUnused;
    io.completeCallback(nullptr);
    // Balances the entry made at start; the record may be gone by now.
    device->exitIOGate(session);
}

void tAsyncIO::complete(tDeviceCore& device, tAsyncIO& io) {
    device.acquireAsyncIOLock();
    // A record that a walk already asked (and that refused) finishes now.
    completeLocked(io, io.completing_ != 0);
    device.releaseAsyncIOLock();
}

// ---- tDeviceCore ---------------------------------------------------------

tDeviceCore::tDeviceCore(tStatus& status)
    : asyncIOLock_(nullptr), pnpState_(kPnPStateNotStarted), previousPnPState_(kPnPStateNotStarted),
      ioIdleWaiters_(0), sessionCount_(0), ioCount_(0), ioGateState_(kIOGateClosed), restoreFlag_(1) {
    asyncIOLock_ = nVOKAL100_createSpinLock();
    if (asyncIOLock_ == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
    }
    createEvent(ioIdleEvent_, status);
    createEvent(ioGateEvent_, status);
}

tDeviceCore::~tDeviceCore() {
    VOSDBG_ASSERT_F(atomicLoad(sessionCount_) == 0,
                    "~tDeviceCore(): device: %p but there's still %d sessions outstanding",
                    static_cast<void*>(this), static_cast<int>(atomicLoad(sessionCount_)));
    VOSDBG_ASSERT(!hasWaiters(ioIdleEvent_));
    VOSDBG_ASSERT(!hasWaiters(ioGateEvent_));
    VOSDBG_ASSERT(!nVOAPAL200_listNodeIsAttached(&asyncIOQueue_));
    destroyEvent(ioGateEvent_);
    destroyEvent(ioIdleEvent_);
    if (asyncIOLock_ != nullptr) {
        nVOKAL100_destroySpinLock(asyncIOLock_);
        asyncIOLock_ = nullptr;
    }
}

tSession* tDeviceCore::open(const tEventDescriptor&, tDeviceInterface*, tStatus& status) {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
    return nullptr;
}

void tDeviceCore::cleanup(const tEventDescriptor& descriptor) {
    tSession* session = sessionOf(descriptor);
    VOSDBG_ASSERT(session != nullptr);
    if (session == nullptr) {
        return;
    }
    acquireAsyncIOLock();
    __atomic_store_n(&session->closing_, static_cast<uint8_t>(1), __ATOMIC_SEQ_CST);
    releaseAsyncIOLock();
    completeSessionAsyncIO(session);
}

void tDeviceCore::closeAndFreeSession(const tEventDescriptor&, tSession*) {
    VOSDBG_FAIL(
        "You have implemented open() for your device but have not implemented closeAndFreeSession()\n");
}

uint64_t tDeviceCore::read(const tEventDescriptor&, tUserBuffer&, tStatus& status) {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
    return 0;
}

uint64_t tDeviceCore::write(const tEventDescriptor&, tUserBuffer&, tStatus& status) {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
    return 0;
}

uint32_t tDeviceCore::decodeIOControl(const tEventDescriptor&, uint32_t, tUserBuffer&, tUserBuffer&,
                                      tStatus& status) {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
    return 0;
}

void tDeviceCore::mapMemory(const tEventDescriptor&, tUserMemoryMap&, tStatus& status) {
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
}

void tDeviceCore::unmapMemory(const tEventDescriptor&, tUserMemoryMap&) {}

void tDeviceCore::start(const tEventDescriptor&, tStatus&) {}

void tDeviceCore::stop(const tEventDescriptor&) {}

void tDeviceCore::quiesceIO(const tEventDescriptor&) {}

bool tDeviceCore::suspendIOProcessing(const tEventDescriptor&, tSuspendReason reason, bool vetoable) {
    if (vetoable && atomicLoad(sessionCount_) != 0) {
        return false;
    }
    if (reason == kSuspendReasonStart || reason == kSuspendReasonRemove) {
        setIOGateState(kIOGateClosed);
        signalIOGate();
    } else {
        setIOGateState(kIOGatePaused);
    }
    completeQueuedAsyncIO();
    return true;
}

void tDeviceCore::resumeIOProcessing(const tEventDescriptor&) {
    setIOGateState(kIOGateOpen);
    signalIOGate();
}

void tDeviceCore::suspendPower(const tEventDescriptor&) {}

void tDeviceCore::restorePower(const tEventDescriptor&) {}

void tDeviceCore::closeIOGate(const tEventDescriptor&) {
    setIOGateState(kIOGateClosed);
    signalIOGate();
}

void tDeviceCore::createIONotifier(const tEventDescriptor&, uint32_t, tIONotifierParams&, tStatus& status) {
    VOSDBG_FAIL("Please implement createIONotifier() for your tDevice subclass.\n");
    KELVO_SET_STATUS(status, tStatus::kNotImplemented);
}

void tDeviceCore::destroyIONotifier(const tEventDescriptor&, uint32_t) {
    VOSDBG_FAIL("Please implement destroyIONotifier() for your tDevice subclass.\n");
}

void tDeviceCore::configureDMA(tDMAConfiguration::tDMAType type, tStatus&) {
    dmaConfiguration_.type = type;
    dmaConfiguration_.deviceInfo = nullptr;
}

bool tDeviceCore::enterIOGate(tSession* session, tStatus& status, uint32_t timeout) {
    for (;;) {
        if (status.isFatal()) {
            return false;
        }
        uint32_t state = atomicLoad(ioGateState_);
        while (state == kIOGateOpen) {
            atomicIncrement(ioCount_);
            nVOAPAL200_ioGateCounted(this);
            const uint32_t again = atomicLoad(ioGateState_);
            if (again == kIOGateOpen) {
                if (session != nullptr) {
                    atomicIncrement(session->sessionIOCount_);
                }
                return true;
            }
            // A suspend came in between: back out, waking it when it waits for idle.
            leaveIOGate(nullptr);
            state = again;
        }
        if (state != kIOGatePaused) {
            KELVO_SET_STATUS(status, tStatus::kIOGateClosed);
            return false;
        }
        if (!waitEvent(ioGateEvent_, timeout, true, status)) {
            return false;
        }
        if (atomicLoad(ioGateState_) != kIOGatePaused) {
            // Pass the wake-up on to the next waiter.
            signalIOGate();
        }
    }
}

void tDeviceCore::exitIOGate(tSession* session) {
    leaveIOGate(session);
}

void tDeviceCore::leaveIOGate(tSession* session) {
    if (session != nullptr && atomicDecrement(session->sessionIOCount_) == 0 &&
        atomicLoad(session->idleWaiters_) != 0) {
        setEvent(session->sessionIdleEvent_);
    }
    if (atomicDecrement(ioCount_) == 0 && atomicLoad(ioIdleWaiters_) != 0) {
        setEvent(ioIdleEvent_);
    }
}

void tDeviceCore::acquireAsyncIOLock() {
    nVOKAL100_acquireSpinLockDPC(asyncIOLock_);
}

void tDeviceCore::releaseAsyncIOLock() {
    nVOKAL100_releaseSpinLockDPC(asyncIOLock_);
}

void tDeviceCore::signalIOGate() {
    setEvent(ioGateEvent_);
}

bool tDeviceCore::tryEnterIOGate(tSession* session, tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    if (atomicLoad(ioGateState_) != kIOGateOpen) {
        KELVO_SET_STATUS(status, tStatus::kIOGateClosed);
        return false;
    }
    atomicIncrement(ioCount_);
    nVOAPAL200_ioGateCounted(this);
    if (atomicLoad(ioGateState_) != kIOGateOpen) {
        leaveIOGate(nullptr); // as enterIOGate backs out
        KELVO_SET_STATUS(status, tStatus::kIOGateClosed);
        return false;
    }
    if (session != nullptr) {
        atomicIncrement(session->sessionIOCount_);
    }
    return true;
}

void tDeviceCore::waitForIOIdle(bool interruptible, tStatus& status, uint32_t timeout) {
    atomicIncrement(ioIdleWaiters_);
    for (;;) {
        if (!waitEvent(ioIdleEvent_, timeout, interruptible, status)) {
            break;
        }
        if (atomicLoad(ioCount_) == 0) {
            // Let another waiter see the idle state too.
            setEvent(ioIdleEvent_);
            break;
        }
    }
    atomicDecrement(ioIdleWaiters_);
}

bool tDeviceCore::commonChangePnPState(const tEventDescriptor& descriptor, tPnPState target,
                                       tSuspendReason reason, bool vetoable, tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    for (;;) {
        const tPnPState current = getPnPState();
        if (current == target) {
            return true;
        }
        tPnPState next = current;
        switch (current) {
        case kPnPStateNotStarted:
            if (target == kPnPStateNotPresent) {
                // An entrant that read the open state before the gate closed
                // may still be backing out: its count is transient, so wait
                // for it rather than take it for outstanding I/O.
                closeIOGate(descriptor);
                waitForIOIdle(false, status, kWaitForever);
                VOSDBG_ASSERT_F(
                    getIOCount() == 0,
                    "commonChangePnPState(): switching to kPnPStateNotPresent on device: %p but there's "
                    "still %d IO outstanding",
                    static_cast<void*>(this), static_cast<int>(getIOCount()));
                next = kPnPStateNotPresent;
            } else {
                start(descriptor, status);
                if (status.isFatal()) {
                    return false;
                }
                next = kPnPStateReady;
            }
            break;
        case kPnPStateReady:
            if (!suspendIOProcessing(descriptor, reason, vetoable)) {
                VOSDBG_ASSERT_F(
                    vetoable,
                    "commonChangePnPState(): suspendIOProcessing() on device: %p returned false although "
                    "it's not vetoable",
                    static_cast<void*>(this));
                return false;
            }
            next = kPnPStateIOSuspended;
            break;
        case kPnPStateIOSuspended:
            if (target == kPnPStateReady) {
                resumeIOProcessing(descriptor);
                next = kPnPStateReady;
            } else if (target == kPnPStateSleep) {
                quiesceIO(descriptor);
                waitForIOIdle(false, status, kWaitForever);
                suspendPower(descriptor);
                next = kPnPStateSleep;
            } else {
                quiesceIO(descriptor);
                waitForIOIdle(false, status, kWaitForever);
                stop(descriptor);
                next = kPnPStateNotStarted;
            }
            break;
        case kPnPStateSleep:
            restorePower(descriptor);
            next = kPnPStateIOSuspended;
            break;
        default:
            VOSDBG_ASSERT_F(false, "commonChangePnPState() for device: %p called while current state is %d",
                            static_cast<void*>(this), static_cast<int>(current));
            return false;
        }
        __atomic_store_n(&previousPnPState_, current, __ATOMIC_SEQ_CST);
        __atomic_store_n(&pnpState_, next, __ATOMIC_SEQ_CST);
    }
}

tSession* tDeviceCore::openSession(const tEventDescriptor& descriptor, tDeviceInterface* deviceInterface,
                                   tStatus& status) {
    tSession* session = open(descriptor, deviceInterface, status);
    if (status.isNotFatal()) {
        VOSDBG_ASSERT_MSG(session != nullptr, "device->open() succeed but returned NULL session.");
        atomicIncrement(sessionCount_);
    }
    return session;
}

void tDeviceCore::closeSession(const tEventDescriptor& descriptor, tSession* session) {
    atomicIncrement(session->idleWaiters_);
    for (;;) {
        tStatus local;
        waitEvent(session->sessionIdleEvent_, kWaitForever, false, local);
        if (atomicLoad(session->sessionIOCount_) == 0) {
            break;
        }
    }
    setEvent(session->sessionIdleEvent_);
    atomicDecrement(session->idleWaiters_);
    atomicDecrement(sessionCount_);
    closeAndFreeSession(descriptor, session);
}

void tDeviceCore::completeList(tListNode& head, bool sessionList) {
    acquireAsyncIOLock();
    tListNode* node = head.next;
    while (node != &head) {
        tListNode* next = node->next;
        tAsyncIO* io = sessionList ? tAsyncIO::fromSessionNode(node) : tAsyncIO::fromDeviceNode(node);
        if (io->completing_ == 0) {
            tAsyncIO::completeLocked(*io, false);
        }
        node = next;
    }
    releaseAsyncIOLock();
}

void tDeviceCore::completeQueuedAsyncIO() {
    completeList(asyncIOQueue_, false);
}

void tDeviceCore::completeSessionAsyncIO(tSession* session) {
    completeList(session->asyncIOList_, true);
}

const char* tDeviceCore::getPnPStateName(tPnPState state) {
    switch (state) {
    case kPnPStateNotStarted:
        return "kPnPStateNotStarted";
    case kPnPStateReady:
        return "kPnPStateReady";
    case kPnPStateIOSuspended:
        return "kPnPStateIOSuspended";
    case kPnPStateSleep:
        return "kPnPStateSleep";
    case kPnPStateNotPresent:
        return "kPnPStateNotPresent";
    default:
        return "invalid";
    }
}

} // namespace kelvo_driver::nVOAPAL000
