#include "bridge/io_port.h"

#include "framework/poller.h"
#include "platform/time.h"
#include "reglayouts/brixel_io_port2.h"
#include "regs/sized_register_map.h"

namespace brixeltools {

using nVOAPALS100::tStatus;

namespace {

using tControl = layout::IOPort2RegMapWithOffset::IoPort2ControlStatusRegister;
using tSerializer = layout::IOPort2RegMapWithOffset::IoPort2SerializerControlReg;
using tSetup = layout::IOPort2RegMapWithOffset::IoPort2SetupReg;
constexpr uint32_t kSetupValue = 2;

// The value in the field of mask and shift.
constexpr uint64_t inField(uint32_t value, uint32_t mask, uint32_t shift) {
    return (uint64_t{value} << shift) & mask;
}

// Sleeps between reads on the efficient clock: a tick between looks is soon enough for the port.
using tPoller =
    orut::Poller<kelvo_driver::nVOAPAL000::tTimeout<kelvo_driver::nVOAPAL000::tTimeWasterSleep,
                                                    kelvo_driver::nVOAPAL000::tTimebaseEfficient>>;

} // namespace

void IOPort2::reset(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    {
        const arm::tRegMapHold tree(map_);
        auto& control = map_.IoPort2ControlStatusRegister;
        arm::insertIntoSizedRecord(control, tControl::kReset, tControl::kReset);
        control.flush(status, true);
    }
    waitFor(tControl::kReset, status);
}

void IOPort2::configure(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    configureRegisters(status);
    waitFor(tControl::kReady, status);
}

void IOPort2::configureRegisters(tStatus& status) {
    const arm::tRegMapHold tree(map_);
    auto& setup = map_.IoPort2SetupReg;
    arm::insertIntoSizedRecord(setup, tSetup::kSetup, kSetupValue);
    setup.flush(status, true);

    auto& serializer = map_.IoPort2SerializerControlReg;
    arm::insertIntoSizedRecord(
        serializer, tSerializer::kSerializerA,
        inField(serializerA_, tSerializer::kSerializerA, tSerializer::kSerializerAShift));
    arm::insertIntoSizedRecord(
        serializer, tSerializer::kSerializerB,
        inField(serializerB_, tSerializer::kSerializerB, tSerializer::kSerializerBShift));
    arm::insertIntoSizedRecord(
        serializer, tSerializer::kSerializerC,
        inField(serializerC_, tSerializer::kSerializerC, tSerializer::kSerializerCShift));
    arm::insertIntoSizedRecord(serializer, tSerializer::kPllRange,
                               inField(pllRange_, tSerializer::kPllRange, tSerializer::kPllRangeShift));
    arm::insertIntoSizedRecord(
        serializer, tSerializer::kSerializerLow,
        inField(serializerLow_, tSerializer::kSerializerLow, tSerializer::kSerializerLowShift));
    serializer.flush(status, false);

    auto& control = map_.IoPort2ControlStatusRegister;
    arm::insertIntoSizedRecord(control, tControl::kControl2, control2_ ? tControl::kControl2 : 0);
    arm::insertIntoSizedRecord(control, tControl::kControl1, control1_ ? tControl::kControl1 : 0);
    arm::insertIntoSizedRecord(control, tControl::kReset, 0);
    control.flush(status, false);
}

bool IOPort2::isReady(tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    const uint32_t value = readControlStatus(status);
    return status.isNotFatal() && (value & tControl::kReady) != 0;
}

void IOPort2::waitFor(uint32_t expected, tStatus& status) {
    const tPoller poller(kPollIntervalMicroseconds, kPollIntervalMicroseconds,
                         static_cast<int32_t>(kNotReady));
    poller.poll(*this, &IOPort2::readControlStatus, expected, kStatusMask, kTimeoutMicroseconds, true,
                tPoller::kEqual, status);
}

} // namespace brixeltools
