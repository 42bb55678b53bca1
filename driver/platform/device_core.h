// The platform's device base: the fixed set of virtual device operations the
// kernel layer's requests turn into, the plug-and-play (PnP) state machine,
// session and I/O counting, the I/O gate, and asynchronous I/O records.
//
// Derived classes (tDevice, tPCIDevice, the device template, the product's
// device) override the slots; callers always go through the slots, never the
// defaults directly.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/dma_configuration.h" // tDMAConfiguration: the device's DMA settings
#include "platform/event_descriptor.h"
#include "platform/list.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"

namespace kelvo_driver::nVOAPAL000 {

class tDeviceCore;
class tDeviceInterface;
class tSession;
class tUserBuffer;
class tUserMemoryMap;
struct tIONotifierParams;
struct tProperty;

// PnP states.
using tPnPState = uint32_t;
constexpr tPnPState kPnPStateNotStarted = 0;
constexpr tPnPState kPnPStateReady = 1;
constexpr tPnPState kPnPStateIOSuspended = 2;
constexpr tPnPState kPnPStateSleep = 3;
constexpr tPnPState kPnPStateNotPresent = 4;

// Why I/O is suspended: on the way to ready (0) and to removal (1) the gate
// closes for good; a reset (2) and above only hold it.
using tSuspendReason = uint32_t;
constexpr tSuspendReason kSuspendReasonStart = 0;
constexpr tSuspendReason kSuspendReasonRemove = 1;
constexpr tSuspendReason kSuspendReasonReset = 2;

// I/O gate states.
constexpr uint32_t kIOGateClosed = 0; // entry fails with -52022
constexpr uint32_t kIOGatePaused = 1; // entry waits
constexpr uint32_t kIOGateOpen = 2;   // entry admitted

// Wait timeouts (in the kernel layer's unit of timed waits): 0 only tries.
constexpr uint32_t kWaitTryOnly = 0;
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

// Atomic 32-bit counters (the kernel's atomic operations).
inline uint32_t atomicIncrement(uint32_t& word) {
    return __atomic_add_fetch(&word, 1u, __ATOMIC_SEQ_CST);
}
inline uint32_t atomicDecrement(uint32_t& word) {
    return __atomic_sub_fetch(&word, 1u, __ATOMIC_SEQ_CST);
}
inline uint32_t atomicLoad(const uint32_t& word) {
    return __atomic_load_n(&word, __ATOMIC_SEQ_CST);
}
inline void atomicStore(uint32_t& word, uint32_t value) {
    __atomic_store_n(&word, value, __ATOMIC_SEQ_CST);
}
// Stores value and returns the word it replaced.
inline uint32_t atomicExchange(uint32_t& word, uint32_t value) {
    return __atomic_exchange_n(&word, value, __ATOMIC_SEQ_CST);
}

// The session of a request's event descriptor (null for 0).
inline tSession* sessionOf(const tEventDescriptor& descriptor) {
    return reinterpret_cast<tSession*>(static_cast<uintptr_t>(descriptor));
}
inline tEventDescriptor descriptorOf(const tSession* session) {
    return static_cast<tEventDescriptor>(reinterpret_cast<uintptr_t>(session));
}

// One named I/O-control endpoint of a device, registered with the kernel
// layer under its name. Its property list is registered as the interface's
// properties.
class tDeviceInterface : public tObject {
public:
    // name must outlive the interface; properties is a null-terminated list or null.
    tDeviceInterface(tDeviceCore* device, const char* name, tProperty* const* properties = nullptr);
    virtual ~tDeviceInterface();

    // Decodes one I/O-control request whose input and output are user ranges.
    // The default wraps both ranges as user buffers and hands the code to the
    // device's decodeIOControl. The low 32 bits of the result are the
    // request's result word.
    virtual uint64_t decodeIOControl(const tEventDescriptor& descriptor, uint32_t code, uint64_t inputAddress,
                                     uint64_t inputSize, uint64_t outputAddress, uint64_t outputSize,
                                     nVOAPALS100::tStatus& status);

    tDeviceCore* getDevice() const { return device_; }
    tProperty* const* getProperties() const { return properties_; }
    const char* getName() const { return name_; }
    nVOKAL_tHandle getKernelHandle() const { return kernelHandle_; }
    void setKernelHandle(nVOKAL_tHandle handle) { kernelHandle_ = handle; }

private:
    tDeviceCore* device_;
    tProperty* const* properties_;
    const char* name_;
    nVOKAL_tHandle kernelHandle_; // 0 until registered
};

// One open handle of a device interface. The device's open makes it, the
// device core counts it, and the device's closeAndFreeSession frees it once
// it is idle.
class tSession : public tObject {
public:
    // A failed event creation sets -52000 (the session can still be destroyed).
    tSession(tDeviceInterface* deviceInterface, nVOAPALS100::tStatus& status);
    // Requires an idle session with no queued asynchronous I/O.
    virtual ~tSession();

    tDeviceInterface* getDeviceInterface() const { return deviceInterface_; }
    tDeviceCore* getDevice() const { return deviceInterface_->getDevice(); }
    // Operations of this session inside the I/O gate.
    uint32_t getIOCount() const { return atomicLoad(sessionIOCount_); }
    // Set by cleanup when the handle is being closed.
    bool isClosing() const { return __atomic_load_n(&closing_, __ATOMIC_SEQ_CST) != 0; }

private:
    friend class tDeviceCore;
    friend class tAsyncIO;

    tListNode asyncIOList_;
    tDeviceInterface* deviceInterface_;
    uint32_t sessionIOCount_;
    nVOAPAL200_tEvent sessionIdleEvent_;
    uint32_t idleWaiters_; // threads in closeSession's wait: only they need the idle event
    uint8_t closing_;
};

// An operation that finishes later than the request that started it: queued
// on the device and on its session while busy, and completed in bulk when
// the session closes or the device suspends I/O. The callbacks run under the
// device's asynchronous-I/O lock (a DPC spin lock) and must not sleep.
class tAsyncIO : public tObject {
public:
    static constexpr uint32_t kStateUnused = 0;
    static constexpr uint32_t kStateBusy = 1;

    tAsyncIO();
    // Requires an unused, unqueued record.
    virtual ~tAsyncIO();
    // Called when the record starts.
    virtual void startCallback() {}
    // Asked once when the record is to be completed: true when it may be
    // completed now; false leaves it queued until it completes itself.
    virtual bool cancel() { return true; }
    // Called when the record completes.
    virtual void completeCallback(void* argument) { (void)argument; }

    // Starts the record for session (or for the device alone when null): it
    // enters the I/O gate without waiting and is queued. Nothing on a fatal
    // status; a closing session is -52009; a gate that is not open -52022.
    static void start(tDeviceCore& device, tAsyncIO& io, tSession* session, nVOAPALS100::tStatus& status);
    // Completes one record: a busy record not yet asked is asked cancel; it
    // completes when cancel agrees or when an earlier walk left it to finish
    // by itself (this call is that finish).
    static void complete(tDeviceCore& device, tAsyncIO& io);

    uint32_t getState() const { return state_; }
    tSession* getSession() const { return session_; }
    const nVOAPALS100::tStatus& getStatus() const { return status_; }

private:
    friend class tDeviceCore;

    static tAsyncIO* fromDeviceNode(tListNode* node);
    static tAsyncIO* fromSessionNode(tListNode* node);
    // Completion rule for one record; called under the lock.
    static void completeLocked(tAsyncIO& io, bool alreadyLeft);

    tListNode deviceNode_;
    tListNode sessionNode_;
    nVOAPALS100::tStatus status_;
    tDeviceCore* device_;
    tSession* session_;
    uint32_t state_;
    uint8_t completing_;
};

class tDeviceCore : public tObject {
public:
    // Creates the three spin locks (-52000 when one cannot be had; the object
    // can still be destroyed). The gate starts closed, the state NotStarted.
    explicit tDeviceCore(nVOAPALS100::tStatus& status);
    // Requires no open session, no waiter and no queued asynchronous I/O.
    virtual ~tDeviceCore();

    // ---- virtual device operations, in slot order ----------------------
    // Null-terminated list of the device's interfaces; null for none.
    virtual tDeviceInterface* const* getDeviceInterfaces() { return nullptr; }
    // Null-terminated list of the device's own properties; null for none.
    virtual tProperty* const* getDeviceProperties() { return nullptr; }
    // Makes the session of a new handle. Default: -52002, null.
    virtual tSession* open(const tEventDescriptor& descriptor, tDeviceInterface* deviceInterface,
                           nVOAPALS100::tStatus& status);
    // Before close: marks the descriptor's session closing and completes its
    // queued asynchronous I/O.
    virtual void cleanup(const tEventDescriptor& descriptor);
    // Frees a session made by open. A device that overrides open overrides this too.
    virtual void closeAndFreeSession(const tEventDescriptor& descriptor, tSession* session);
    // Default: -52002, 0 bytes.
    virtual uint64_t read(const tEventDescriptor& descriptor, tUserBuffer& buffer,
                          nVOAPALS100::tStatus& status);
    virtual uint64_t write(const tEventDescriptor& descriptor, tUserBuffer& buffer,
                           nVOAPALS100::tStatus& status);
    // Default: -52002, 0.
    virtual uint32_t decodeIOControl(const tEventDescriptor& descriptor, uint32_t code, tUserBuffer& input,
                                     tUserBuffer& output, nVOAPALS100::tStatus& status);
    // Default: -52002.
    virtual void mapMemory(const tEventDescriptor& descriptor, tUserMemoryMap& map,
                           nVOAPALS100::tStatus& status);
    virtual void unmapMemory(const tEventDescriptor& descriptor, tUserMemoryMap& map);
    virtual void start(const tEventDescriptor& descriptor, nVOAPALS100::tStatus& status);
    virtual void stop(const tEventDescriptor& descriptor);
    // Default: vetoes (false) when vetoable with sessions open; otherwise
    // closes (reasons 0, 1) or pauses (2 and above) the gate, completes the
    // queued asynchronous I/O and returns true.
    virtual bool suspendIOProcessing(const tEventDescriptor& descriptor, tSuspendReason reason,
                                     bool vetoable);
    // Default: opens the gate and wakes its waiters.
    virtual void resumeIOProcessing(const tEventDescriptor& descriptor);
    virtual void suspendPower(const tEventDescriptor& descriptor);
    virtual void restorePower(const tEventDescriptor& descriptor);
    // Closes the gate and wakes its waiters (they fail with -52022).
    virtual void closeIOGate(const tEventDescriptor& descriptor);
    // Defaults report a missing override (assertion); create also sets -52002.
    virtual void createIONotifier(const tEventDescriptor& descriptor, uint32_t notifierId,
                                  tIONotifierParams& params, nVOAPALS100::tStatus& status);
    virtual void destroyIONotifier(const tEventDescriptor& descriptor, uint32_t notifierId);
    virtual void initialize(const tEventDescriptor& descriptor, nVOAPALS100::tStatus& status) = 0;
    virtual void deinitialize() = 0;
    virtual void configureDMA(tDMAConfiguration::tDMAType type, nVOAPALS100::tStatus& status);
    // Admits one operation (session may be null). Waits while the gate is
    // paused (interruptible, with timeout); -52022 when closed, -52007 or
    // -52025 when the wait ends without entry. Every true is matched by
    // exactly one exitIOGate.
    virtual bool enterIOGate(tSession* session, nVOAPALS100::tStatus& status, uint32_t timeout);
    virtual void exitIOGate(tSession* session);
    virtual void acquireAsyncIOLock();
    virtual void releaseAsyncIOLock();
    // Runs on the way from I/O suspended to a stop or a power-down, right
    // before the engine waits (without limit) for the operations inside the
    // gate to leave: a device whose operations can wait without limit ends
    // those waits here. Default: nothing.
    virtual void quiesceIO(const tEventDescriptor& descriptor);

    // ---- machinery -------------------------------------------------------
    // Steps the PnP state one state at a time to target; true when reached.
    // Callers must not step one device from two threads at once.
    bool commonChangePnPState(const tEventDescriptor& descriptor, tPnPState target, tSuspendReason reason,
                              bool vetoable, nVOAPALS100::tStatus& status);
    // Waits until no operation is inside the gate (or the status turns fatal).
    void waitForIOIdle(bool interruptible, nVOAPALS100::tStatus& status, uint32_t timeout);
    // Gate entry that never waits: any state but open is -52022.
    bool tryEnterIOGate(tSession* session, nVOAPALS100::tStatus& status);
    // Opens a session through open and counts it.
    tSession* openSession(const tEventDescriptor& descriptor, tDeviceInterface* deviceInterface,
                          nVOAPALS100::tStatus& status);
    // Waits until the session is idle, uncounts it and has it freed.
    void closeSession(const tEventDescriptor& descriptor, tSession* session);
    // Completes the device's queued asynchronous I/O.
    void completeQueuedAsyncIO();
    // Completes one session's queued asynchronous I/O.
    void completeSessionAsyncIO(tSession* session);

    static const char* getPnPStateName(tPnPState state);

    tPnPState getPnPState() const { return __atomic_load_n(&pnpState_, __ATOMIC_SEQ_CST); }
    tPnPState getPreviousPnPState() const { return __atomic_load_n(&previousPnPState_, __ATOMIC_SEQ_CST); }
    uint32_t getSessionCount() const { return atomicLoad(sessionCount_); }
    uint32_t getIOCount() const { return atomicLoad(ioCount_); }
    uint32_t getIOGateState() const { return atomicLoad(ioGateState_); }
    uint32_t getRestoreFlag() const { return restoreFlag_; }
    void setRestoreFlag(uint32_t flag) { restoreFlag_ = flag; }
    const tDMAConfiguration& getDMAConfiguration() const { return dmaConfiguration_; }

protected:
    void setIOGateState(uint32_t state) { atomicStore(ioGateState_, state); }
    // Signals the gate event (its waiters re-read the gate state).
    void signalIOGate();
    tDMAConfiguration& dmaConfiguration() { return dmaConfiguration_; }

private:
    friend class tAsyncIO;

    // Releases one exit's counts (device and session) and signals the idle
    // events that a thread waits on. A waiter counts itself before it looks
    // at the I/O count and a leaver looks at the waiters after it dropped the
    // count (all sequentially consistent), so either the waiter sees the
    // count at zero or the leaver sees the waiter; an event nobody waits on
    // stays signalled from its creation or its last waiter.
    void leaveIOGate(tSession* session);
    // The completion walk over a list of device nodes (device queue) or session nodes.
    void completeList(tListNode& head, bool sessionList);

    nVOKAL_tHandle asyncIOLock_;
    tPnPState pnpState_;
    tPnPState previousPnPState_;
    nVOAPAL200_tEvent ioIdleEvent_;
    uint32_t ioIdleWaiters_; // threads in waitForIOIdle: only they need the idle event
    uint32_t sessionCount_;
    uint32_t ioCount_;
    tListNode asyncIOQueue_;
    nVOAPAL200_tEvent ioGateEvent_;
    uint32_t ioGateState_;
    uint32_t restoreFlag_;
    tDMAConfiguration dmaConfiguration_;
};

// Called by an entrant of the I/O gate between counting itself in and its
// second look at the gate's state. The driver's does nothing
// (io_gate_window.cpp, alone in its file); a test program that defines its
// own forces a suspension into that window.
extern "C" void nVOAPAL200_ioGateCounted(tDeviceCore* device);

} // namespace kelvo_driver::nVOAPAL000
