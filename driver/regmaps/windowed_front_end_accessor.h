// The accessor of the isolated FPGA: every 32-bit access is a handshake over a
// register-access window of the non-isolated FPGA (write the data, write the
// address with a direction bit, poll the status flags).
//
// One recursive mutex serialises whole accesses, from before the first status
// poll until after the last register of the access; the polls sleep, so
// callers must be allowed to sleep. It is the only lock taken during a
// handshake (the link's lock, last in the lock order: register_map.h): when
// the status register reports an error the access ends, the mutex is
// released, and only then is the hardware-state checker asked (its
// verifiers take tree locks of their own); the access reports what the
// checker found, or the link's error when it found nothing.
#pragma once

#include <stdint.h>

#include "framework/hardware_state_checker.h"
#include "framework/poller.h"
#include "nVOKAL.h"
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
    // accessor; the checker is not owned. -52000 when the kernel mutex cannot
    // be had (every access then reports -52020 and touches nothing).
    TempWindowedFrontEndAccessor(RegMap& map, kdut::HardwareStateCheckerInterface* checker,
                                 nVOAPALS100::tStatus& status)
        : writeDataReg(&map.RegAccessWriteData), readDataReg(&map.RegAccessReadData),
          addressReg(&map.RegAccessAddr), statusReg(&map.RegAccessStatus), checker(checker) {
        nVOAPAL200_createMutex(&mutex, &status);
    }
    ~TempWindowedFrontEndAccessor() override = default;
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
        const bool linkError = takeLinkError();
        nVOAPAL200_releaseMutex(&mutex);
        finish(linkError, access, status);
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
        const bool linkError = takeLinkError();
        nVOAPAL200_releaseMutex(&mutex);
        finish(linkError, access, status);
        return value;
    }

    // The poll predicates: refresh the status register (unless the status
    // already holds an error), then answer from its soft copy. With the error
    // bit set they fail the status with the link's error (the checker is
    // asked once the access has let the mutex go) and answer false.
    bool pollIsoRegAccessStatusReadyForNewAccess(nVOAPALS100::tStatus& status) {
        return statusBit(tTiming::tStatusBits::kReadyForNewAccess, status);
    }
    bool pollIsoRegAccessStatusNewIsoRegReadResponse(nVOAPALS100::tStatus& status) {
        return statusBit(tTiming::tStatusBits::kNewRegReadResponse, status);
    }

    // Recursion depth of the current owner (0 when free), for diagnostics.
    uint32_t lockCount() const { return mutex.count; }
    // Lets a caller hold the accessor across several accesses (recursive).
    void lock() { nVOAPAL200_acquireMutex(&mutex); }
    void unlock() { nVOAPAL200_releaseMutex(&mutex); }

    typename RegMap::tRegAccessWriteDataReg* writeDataReg;
    typename RegMap::tRegAccessReadDataReg* readDataReg;
    typename RegMap::tRegAccessAddrReg* addressReg;
    typename RegMap::tRegAccessStatusReg* statusReg;
    kdut::HardwareStateCheckerInterface* checker;
    nVOAPAL000::tMutex mutex; // kernel mutex, owner thread, count

private:
    bool linkError_ = false; // under the mutex
    using tPredicate = bool (TempWindowedFrontEndAccessor::*)(nVOAPALS100::tStatus&);
    using tSleepTimeout = nVOAPAL000::tTimeout<nVOAPAL000::tTimeWasterSleep, nVOAPAL000::tTimebasePrecise>;

    // Under the mutex: whether a predicate saw the error bit during this access.
    bool takeLinkError() {
        const bool seen = linkError_;
        linkError_ = false;
        return seen;
    }

    // With the mutex released: the access's status into the caller's; after
    // the error bit, what the checker finds replaces the link's error.
    void finish(bool linkError, const nVOAPALS100::tStatus& access, nVOAPALS100::tStatus& status) {
        if (linkError && checker != nullptr) {
            nVOAPALS100::tStatus checked;
            checker->checkHardwareState(checked);
            if (checked.isFatal()) {
                status.merge(checked);
                return;
            }
        }
        status.merge(access);
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
        if (status.isNotFatal()) {
            arm::refreshRecord(*statusReg, status);
        }
        if ((statusReg->softCopy & tTiming::tStatusBits::kRegAccessError) != 0) {
            linkError_ = true;
            KELVO_SET_STATUS(status, kRegAccessStatusError);
            return false;
        }
        return (statusReg->softCopy & mask) != 0;
    }

    // One poll of the predicate for the value 1 (condition: masked value equal
    // to the expected one), no time-out handler: the code on time-out.
    void poll(tPredicate predicate, uint64_t interval, uint64_t maximumInterval, int64_t code,
              nVOAPALS100::tStatus& status) {
        const orut::Poller<tSleepTimeout> poller(interval, maximumInterval, static_cast<int32_t>(code));
        poller.poll(*this, predicate, 1u, 0xFFFFFFFFu, tTiming::kTimeout, true,
                    orut::Poller<tSleepTimeout>::kEqual, status);
    }
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
                             kdut::HardwareStateCheckerInterface* checker, nVOAPALS100::tStatus& status);
    ~WindowedFrontEndAccessor() override;
};

} // namespace kelvo_driver
