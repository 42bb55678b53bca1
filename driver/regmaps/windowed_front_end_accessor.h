// The accessor of the isolated FPGA: every 32-bit access is a handshake over a
// register-access window of the non-isolated FPGA (write the data, write the
// address with a direction bit, poll the status flags).
//
// One recursive mutex serialises whole accesses, from before the first status
// poll until after the last register of the access; the polls sleep, so
// callers must be allowed to sleep. It is the only lock taken during a
// handshake (the link's lock, last in the lock order: register_map.h), and an
// access runs under the isolated tree's lock, so the device's checks (which
// take storage-map and flash locks, and read the isolated FPGA through this
// very link) are never asked from inside an access. When a poll sees the
// status register's error bit (bit 31), the answer is made in two steps:
// - under the mutex: once the register-access verifier is among the device's
//   checks (setAccessVerifier), the bit is read again, as that verifier
//   reads it; still set, the access fails with the link's error; clear, the
//   poll goes on. Before that, the poll goes on to its time-out.
// - the access marks its thread, and when the request is back from the
//   register layer holding no lock, explainLinkError asks the device's
//   checks as the checker composite would have at the bit's first sight;
//   one that fails replaces the request's answer. The marks are entries of
//   a list with no limit, one per thread (made when first needed, reused
//   once taken, freed with the accessor), counted in a word that the caller
//   owns: while it reads 0, no thread has a mark and a request can leave
//   the accessor alone.
#pragma once

#include <stdint.h>

#include "framework/hardware_state_checker_composite.h"
#include "framework/poller.h"
#include "nVOKAL.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "regmaps/kelvo_reg_access_reg_map.h"
#include "reglayouts/kelvo_reg_access_reg_map.h"
#include "regs/front_end_accessor.h"
#include "regs/register_map.h"

namespace kelvo_driver {

// Timing and codes of the handshake. Intervals and time-outs in microseconds.
struct tWindowedAccessTiming {
    static constexpr uint64_t kReadyInterval = 1000;        // ready poll: every millisecond
    static constexpr uint64_t kResponseInitialInterval = 5; // response poll: from 5 us, doubling
    static constexpr uint64_t kResponseMaximumInterval = 100000;
    static constexpr uint64_t kTimeout = 500000;
    // The address and status registers' fields.
    using tAddress = kelvo_regmaps::layout::KelvoRegAccessRegMap::RegAccessAddr;
    using tStatusBits = kelvo_regmaps::layout::KelvoRegAccessRegMap::RegAccessStatus;
};

constexpr int64_t kNotReadyForNewAccess = KELVO_STATUS_ISOLATION_LINK_NOT_READY;
constexpr int64_t kNoReadResponse = KELVO_STATUS_ISOLATION_LINK_NO_RESPONSE;
constexpr int64_t kRegAccessStatusError = KELVO_STATUS_REGISTER_ACCESS_FAILED;

// RegMap: the register-access map class; Direction: its direction enumeration
// with the values of a read and of a write.
template <typename RegMap, typename Direction, Direction kRead, Direction kWrite>
class TempWindowedFrontEndAccessor : public voquantasharedsource::FrontEndAccessorInterface {
public:
    using tTiming = tWindowedAccessTiming;

    // Keeps pointers to four registers of the map, which must outlive the
    // accessor; checks: the device's checker composite (not owned; null: no
    // explanation, and no thread is marked); marks: the count of the marks
    // not taken yet, kept up to date here (not owned, must outlive the
    // accessor; null: not counted). -52000 when the kernel mutex cannot be
    // had (every access then reports -52020 and touches nothing).
    TempWindowedFrontEndAccessor(RegMap& map, kdut::HardwareStateCheckerComposite* checks, uint32_t* marks,
                                 nVOAPALS100::tStatus& status)
        : writeDataReg(&map.RegAccessWriteData), readDataReg(&map.RegAccessReadData),
          addressReg(&map.RegAccessAddr), statusReg(&map.RegAccessStatus), checks_(checks),
          outstanding_(marks) {
        nVOAPAL200_createMutex(&mutex, &status);
    }
    // No access or takeMark runs any more: the marks still held leave the
    // count, and their entries are freed.
    ~TempWindowedFrontEndAccessor() override {
        for (tMark* entry = marks_; entry != nullptr;) {
            tMark* next = entry->next;
            if (entry->thread != nullptr) {
                count(-1);
            }
            delete entry;
            entry = next;
        }
    }
    TempWindowedFrontEndAccessor(const TempWindowedFrontEndAccessor&) = delete;
    TempWindowedFrontEndAccessor& operator=(const TempWindowedFrontEndAccessor&) = delete;

    void write32(uint32_t offset, uint32_t value, nVOAPALS100::tStatus& status) override {
        if (status.isFatal() || !usable(status)) {
            return;
        }
        nVOAPALS100::tStatus access;
        nVOAPAL200_acquireMutex(&mutex);
        pollReady(access);
        if (access.isNotFatal()) {
            arm::insertIntoRecord(*writeDataReg, 0xFFFFFFFFu, value);
            arm::flushRecord(*writeDataReg, RegMap::tRegAccessWriteDataReg::kClearedAfterWrite, access, true);
        }
        if (access.isNotFatal()) {
            writeAddress(offset, kWrite, access);
        }
        nVOAPAL200_releaseMutex(&mutex);
        status.merge(access);
    }

    // On any failure: the read-data register's soft copy, which holds the
    // value of the last successful read (0 after construction).
    uint32_t read32(uint32_t offset, nVOAPALS100::tStatus& status) override {
        if (status.isFatal()) {
            return 0xFFFFFFFFu;
        }
        if (!usable(status)) {
            return readDataReg->softCopy;
        }
        nVOAPALS100::tStatus access;
        nVOAPAL200_acquireMutex(&mutex);
        pollReady(access);
        if (access.isNotFatal()) {
            writeAddress(offset, kRead, access);
        }
        if (access.isNotFatal()) {
            poll(&TempWindowedFrontEndAccessor::pollIsoRegAccessStatusNewIsoRegReadResponse,
                 tTiming::kResponseInitialInterval, tTiming::kResponseMaximumInterval, kNoReadResponse,
                 access);
        }
        if (access.isNotFatal()) {
            arm::refreshRecord(*readDataReg, access);
        }
        // Taken before the release: afterwards another thread's read may replace it.
        const uint32_t value = readDataReg->softCopy;
        nVOAPAL200_releaseMutex(&mutex);
        status.merge(access);
        return value;
    }

    // The poll predicates: refresh the status register (unless the status
    // already holds an error), then answer from its soft copy; on the error
    // bit, false after the steps above (the header).
    bool pollIsoRegAccessStatusReadyForNewAccess(nVOAPALS100::tStatus& status) {
        return statusBit(tTiming::tStatusBits::kReadyForNewAccess, status);
    }
    bool pollIsoRegAccessStatusNewIsoRegReadResponse(nVOAPALS100::tStatus& status) {
        return statusBit(tTiming::tStatusBits::kNewRegReadResponse, status);
    }

    // The register-access verifier has joined the device's checks (null: it
    // has left them). Set by setup, while no request runs.
    void setAccessVerifier(const kdut::HardwareStateCheckerInterface* verifier) {
        accessVerifier_ = verifier;
    }

    // With no lock held, at the end of a request: when an access of the
    // calling thread saw the error bit since it began, asks the device's
    // checks that the composite would have asked, the verifier left out:
    // those before it when the bit stayed (the access failed), every other
    // one when the poll went on (the isolated signature too, a read through
    // the link whose own mark is dropped). One that fails replaces the
    // status.
    void explainLinkError(nVOAPALS100::tStatus& status) {
        const uint32_t kind = takeMark();
        if (kind == kNoMark || checks_ == nullptr) {
            return;
        }
        nVOAPALS100::tStatus found;
        checks_->checkHardwareStateWithout(accessVerifier_, kind == kAccessFailed, found);
        takeMark();
        if (found.isFatal()) {
            status.clear();
            status.merge(found);
        }
    }

    // As a request begins, and as a handle's close ends: drops the calling
    // thread's mark, left by an access outside a request (setup, a session's
    // cleanup).
    void forgetLinkError() { takeMark(); }

    // Recursion depth of the current owner (0 when free), for diagnostics.
    uint32_t lockCount() const { return mutex.count; }
    // Lets a caller hold the accessor across several accesses (recursive).
    void lock() { nVOAPAL200_acquireMutex(&mutex); }
    void unlock() { nVOAPAL200_releaseMutex(&mutex); }

    typename RegMap::tRegAccessWriteDataReg* writeDataReg;
    typename RegMap::tRegAccessReadDataReg* readDataReg;
    typename RegMap::tRegAccessAddrReg* addressReg;
    typename RegMap::tRegAccessStatusReg* statusReg;
    nVOAPAL000::tMutex mutex; // kernel mutex, owner thread, count

private:
    using tPredicate = bool (TempWindowedFrontEndAccessor::*)(nVOAPALS100::tStatus&);
    using tSleepTimeout = nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise>;

    // A thread's mark: the larger kind its accesses left.
    static constexpr uint32_t kNoMark = 0;
    static constexpr uint32_t kPollWentOn = 1;   // no verifier yet, or the bit cleared
    static constexpr uint32_t kAccessFailed = 2; // the bit stayed: the link's error

    // An entry of the list: held by one thread (its mark) or free (null).
    // Entries are only ever added at the head, and go with the accessor, so
    // the list can be walked with no lock while marks are made.
    struct tMark : nVOAPAL000::tObject {
        nVOKAL_tHandle thread = nullptr; // claimed under the mutex, freed by its own thread
        uint32_t kind = kNoMark;         // read and written by the thread that holds the entry
        tMark* next = nullptr;           // set before the entry is published
    };

    void count(int32_t step) {
        if (outstanding_ != nullptr) {
            __atomic_add_fetch(outstanding_, static_cast<uint32_t>(step), __ATOMIC_RELAXED);
        }
    }

    // Under the mutex (so no other thread claims or adds an entry meanwhile):
    // the calling thread's entry, else a free one, else a new one at the head.
    // A mark that cannot be kept for want of memory ends the access with
    // -52000: its request cannot be answered as the checks would.
    void mark(uint32_t kind, nVOAPALS100::tStatus& status) {
        if (checks_ == nullptr) {
            return;
        }
        nVOKAL_tHandle self = nVOKAL100_getThreadHandle();
        tMark* free = nullptr;
        for (tMark* entry = __atomic_load_n(&marks_, __ATOMIC_ACQUIRE); entry != nullptr;
             entry = entry->next) {
            nVOKAL_tHandle holder = __atomic_load_n(&entry->thread, __ATOMIC_ACQUIRE);
            if (holder == self) {
                entry->kind = entry->kind > kind ? entry->kind : kind;
                return;
            }
            if (holder == nullptr && free == nullptr) {
                free = entry;
            }
        }
        if (free == nullptr) {
            free = new (status, false) tMark;
            if (free == nullptr) {
                return;
            }
            free->next = marks_;
            __atomic_store_n(&marks_, free, __ATOMIC_RELEASE);
        }
        free->kind = kind;
        __atomic_store_n(&free->thread, self, __ATOMIC_RELEASE);
        count(1);
    }

    // Any thread, no lock: the calling thread's mark, its entry freed.
    uint32_t takeMark() {
        nVOKAL_tHandle self = nVOKAL100_getThreadHandle();
        for (tMark* entry = __atomic_load_n(&marks_, __ATOMIC_ACQUIRE); entry != nullptr;
             entry = entry->next) {
            if (__atomic_load_n(&entry->thread, __ATOMIC_RELAXED) == self) {
                const uint32_t kind = entry->kind;
                __atomic_store_n(&entry->thread, nullptr, __ATOMIC_RELEASE);
                count(-1);
                return kind;
            }
        }
        return kNoMark;
    }

    bool usable(nVOAPALS100::tStatus& status) {
        if (mutex.mutex == nullptr) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
            return false;
        }
        return true;
    }

    void pollReady(nVOAPALS100::tStatus& status) {
        poll(&TempWindowedFrontEndAccessor::pollIsoRegAccessStatusReadyForNewAccess, tTiming::kReadyInterval,
             tTiming::kReadyInterval, kNotReadyForNewAccess, status);
    }

    // Offset cut to the address field, direction in bit 31, bits 18-30 of the
    // soft copy kept; written whether or not the soft copy changed.
    void writeAddress(uint32_t offset, Direction direction, nVOAPALS100::tStatus& status) {
        using tAddress = tTiming::tAddress;
        const uint32_t mask = tAddress::kRegOffset | tAddress::kRegAccessType;
        const uint32_t bits = (offset & tAddress::kRegOffset) |
                              ((static_cast<uint32_t>(direction) & 1u) != 0 ? tAddress::kRegAccessType : 0u);
        arm::insertIntoRecord(*addressReg, mask, bits);
        arm::flushRecord(*addressReg, RegMap::tRegAccessAddrReg::kClearedAfterWrite, status, true);
    }

    // The status bit of mask; the error bit is checked first.
    bool statusBit(uint32_t mask, nVOAPALS100::tStatus& status) {
        using tBits = tTiming::tStatusBits;
        if (status.isNotFatal()) {
            arm::refreshRecord(*statusReg, status);
        }
        if ((statusReg->softCopy & tBits::kRegAccessError) == 0) {
            return (statusReg->softCopy & mask) != 0;
        }
        if (accessVerifier_ != nullptr && status.isNotFatal()) {
            arm::refreshRecord(*statusReg, status);
        }
        const bool stays = accessVerifier_ != nullptr && (statusReg->softCopy & tBits::kRegAccessError) != 0;
        mark(stays ? kAccessFailed : kPollWentOn, status);
        if (stays) {
            KELVO_SET_STATUS(status, kRegAccessStatusError);
        }
        return false;
    }

    // One poll of the predicate for the value 1 (condition: masked value equal
    // to the expected one), no time-out handler: the code on time-out.
    void poll(tPredicate predicate, uint64_t interval, uint64_t maximumInterval, int64_t code,
              nVOAPALS100::tStatus& status) {
        const orut::Poller<tSleepTimeout> poller(interval, maximumInterval, static_cast<int32_t>(code));
        poller.poll(*this, predicate, 1u, 0xFFFFFFFFu, tTiming::kTimeout, true,
                    orut::Poller<tSleepTimeout>::kEqual, status);
    }

    kdut::HardwareStateCheckerComposite* checks_;
    const kdut::HardwareStateCheckerInterface* accessVerifier_ = nullptr;
    uint32_t* outstanding_;  // the entries held, counted for the caller
    tMark* marks_ = nullptr; // the list's head, written under the mutex
};

using tKelvoWindowedFrontEndAccessorBase =
    TempWindowedFrontEndAccessor<kelvo_regmaps::tKelvoRegAccessRegMap,
                                 kelvo_regmaps::nKelvoRegAccessRegMap::RegAccessTypeEnum,
                                 kelvo_regmaps::nKelvoRegAccessRegMap::kRegAccessRead,
                                 kelvo_regmaps::nKelvoRegAccessRegMap::kRegAccessWrite>;

// The one instance the driver uses.
class WindowedFrontEndAccessor : public tKelvoWindowedFrontEndAccessorBase {
public:
    WindowedFrontEndAccessor(kelvo_regmaps::tKelvoRegAccessRegMap& map,
                             kdut::HardwareStateCheckerComposite* checks, uint32_t* marks,
                             nVOAPALS100::tStatus& status);
    ~WindowedFrontEndAccessor() override;
};

} // namespace kelvo_driver
