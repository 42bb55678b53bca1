#include "bridge/port_accessor.h"

#include "nVOKAL.h"
#include "platform/time.h"
#include "platform/vosdbg.h"

namespace brixeltools {

using nVOAPALS100::tStatus;

namespace {
constexpr uint32_t kNoData = 0xFFFFFFFF;
constexpr uint32_t kCompletionBit = 1u << 2;
} // namespace

TYMOPortAccessor::TYMOPortAccessor(tSwitchedMap& map, int32_t port, uint32_t setting, tStatus& status)
    : map_(map), port_(port), setting_(setting) {
    VOSDBG_ASSERT(setting <= 0xFF);
    nVOAPAL200_createMutex(&mutex_, &status);
}

void TYMOPortAccessor::unsupportedOperation(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    KELVO_SET_STATUS(status, kUnsupportedOperation);
}

bool TYMOPortAccessor::lock(tStatus& status) {
    if (mutex_.mutex == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return false;
    }
    nVOAPAL200_acquireMutex(&mutex_);
    if (mutex_.count == 1) {
        mapLock_ = map_.lockSlot().acquire();
    }
    return true;
}

void TYMOPortAccessor::unlock() {
    if (mutex_.count == 1 && mapLock_ != nullptr) {
        mapLock_->release();
        mapLock_ = nullptr;
    }
    nVOAPAL200_releaseMutex(&mutex_);
}

void TYMOPortAccessor::write(uint32_t address, uint32_t value, tStatus& status) {
    if (status.isFatal() || !lock(status)) {
        return;
    }
    map_.PortDataReg.setRegister(value, status);
    map_.PortDataReg.flush(status, false);
    setTransaction(kDirectionWrite, address, status);
    unlock();
}

uint32_t TYMOPortAccessor::read(uint32_t address, tStatus& status) {
    if (status.isFatal() || !lock(status)) {
        return kNoData;
    }
    setTransaction(kDirectionRead, address, status);
    if (status.isFatal()) {
        unlock();
        return kNoData;
    }
    pollCompletion(status);
    // After a time-out the refresh does nothing: the old soft copy comes back.
    const uint32_t value = map_.PortDataReg.readRegister(status);
    unlock();
    return value;
}

void TYMOPortAccessor::setTransaction(tDirection direction, uint32_t address, tStatus& status) {
    VOSDBG_ASSERT(address <= 0xFF);
    tSwitchedMap::tConfigControlReg& command = map_.ConfigControlReg;
    if (command.softCopy != 0) {
        command.softCopy = 0;
        command.dirty = 1;
    }
    command.setPortWrite(direction == kDirectionWrite, status);
    command.setPortRead(direction == kDirectionRead, status);
    command.setPortSetting(static_cast<uint8_t>(setting_), status);
    command.setPortNumber(static_cast<uint8_t>(port_), status);
    command.setPortAddress(static_cast<uint8_t>(address), status);
    command.flush(status, false);
}

void TYMOPortAccessor::pollCompletion(tStatus& status) {
    using kelvo_driver::nVOAPAL000::tTimebasePrecise;
    using kelvo_driver::nVOAPAL000::tTimeout;
    using kelvo_driver::nVOAPAL000::tTimeWasterSpin;
    tTimeout<tTimeWasterSpin, tTimebasePrecise> deadline(kCompletionTimeoutMicroseconds,
                                                         nVOAPAL200_kMicroseconds);
    uint32_t interval = kFirstPollIntervalMicroseconds;
    for (;;) {
        // Sampled before the read: a read made after the deadline still counts.
        const bool expired = deadline.hasExpired();
        const uint32_t command = map_.ConfigControlReg.readRegister(status);
        if (status.isFatal() || (command & kCompletionBit) != 0) {
            return;
        }
        if (expired) {
            KELVO_SET_STATUS(status, kCompletionTimeout);
            return;
        }
        nVOKAL250_sleepTimeout(interval);
        interval = interval >= kMaximumPollIntervalMicroseconds / 2 ? kMaximumPollIntervalMicroseconds
                                                                    : interval * 2;
    }
}

} // namespace brixeltools
