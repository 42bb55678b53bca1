#include "bridge/io_port.h"

#include "framework/poller.h"
#include "platform/time.h"
#include "regs/sized_register_map.h"

namespace brixeltools {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kResetBit = 0x01;
constexpr uint32_t kControl1Bit = 0x02;
constexpr uint32_t kControl2Bit = 0x04;
constexpr uint32_t kReadyBit = 0x80;
constexpr uint32_t kSetupMask = 0x3;
constexpr uint32_t kSetupValue = 2;

using tPoller = orut::Poller<kelvo_driver::nVOAPAL000::tTimeout<kelvo_driver::nVOAPAL000::tTimeWasterSleep,
                                                                kelvo_driver::nVOAPAL000::tTimebasePrecise>>;

} // namespace

void IOPort2::reset(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    auto& control = map_.IoPort2ControlStatusRegister;
    arm::insertIntoSizedRecord(control, kResetBit, kResetBit);
    control.flush(status, true);
    waitFor(kResetBit, status);
}

void IOPort2::configure(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    auto& setup = map_.IoPort2SetupReg;
    arm::insertIntoSizedRecord(setup, kSetupMask, kSetupValue);
    setup.flush(status, true);

    auto& serializer = map_.IoPort2SerializerControlReg;
    arm::insertIntoSizedRecord(serializer, 0x7Fu << 8, uint64_t{serializerA_ & 0x7Fu} << 8);
    arm::insertIntoSizedRecord(serializer, 0x7Fu << 16, uint64_t{serializerB_ & 0x7Fu} << 16);
    arm::insertIntoSizedRecord(serializer, 0x3Fu << 24, uint64_t{serializerC_ & 0x3Fu} << 24);
    arm::insertIntoSizedRecord(serializer, 0x7u << 4, uint64_t{pllRange_ & 0x7u} << 4);
    arm::insertIntoSizedRecord(serializer, 0x3u, serializerLow_ & 0x3u);
    serializer.flush(status, false);

    auto& control = map_.IoPort2ControlStatusRegister;
    arm::insertIntoSizedRecord(control, kControl2Bit, control2_ ? kControl2Bit : 0);
    arm::insertIntoSizedRecord(control, kControl1Bit, control1_ ? kControl1Bit : 0);
    arm::insertIntoSizedRecord(control, kResetBit, 0);
    control.flush(status, false);
    waitFor(kReadyBit, status);
}

bool IOPort2::isReady(tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    const uint32_t value = readControlStatus(status);
    return status.isNotFatal() && (value & kReadyBit) != 0;
}

void IOPort2::waitFor(uint32_t expected, tStatus& status) {
    const tPoller poller(kPollIntervalMicroseconds, kPollIntervalMicroseconds,
                         static_cast<int32_t>(kNotReady));
    poller.poll(*this, &IOPort2::readControlStatus, expected, kStatusMask, kTimeoutMicroseconds, true,
                tPoller::kEqual, status);
}

} // namespace brixeltools
