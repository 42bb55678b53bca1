// The bridge's IO port 2 on the non-isolated FPGA's side: reset before that
// FPGA is loaded, configured after it. Its registers sit behind the bridge
// port (the IO port 2 map over the bridge-port accessor).
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "reglayouts/brixel_io_port2.h"
#include "regmaps/brixel_io_port2.h"

namespace brixeltools {

class IOPort2 : public kelvo_driver::nVOAPAL000::tObject {
public:
    using tMap = tIOPort2RegMapWithOffset<0u>;

    // The IO port status did not reach the expected value in time.
    static constexpr int64_t kNotReady = KELVO_STATUS_IO_PORT_NOT_READY;
    static constexpr uint32_t kTimeoutMicroseconds = 500000;
    static constexpr uint32_t kPollIntervalMicroseconds = 1;
    // Status polls look at the Reset and Ready bits.
    static constexpr uint32_t kStatusMask =
        layout::IOPort2RegMapWithOffset::IoPort2ControlStatusRegister::kReset |
        layout::IOPort2RegMapWithOffset::IoPort2ControlStatusRegister::kReady;

    // The map is not owned. serializerA, B, C: bits 8-14, 16-22, 24-29 of the
    // serializer control; pllRange: bits 4-6; serializerLow: bits 0-1;
    // control2 and control1: bits 2 and 1 of the control/status register.
    IOPort2(tMap& map, uint8_t serializerA, uint8_t serializerB, uint8_t serializerC, uint32_t pllRange,
            uint8_t serializerLow, bool control2, bool control1)
        : map_(map), serializerA_(serializerA), serializerB_(serializerB), serializerC_(serializerC),
          pllRange_(pllRange), serializerLow_(serializerLow), control2_(control2), control1_(control1) {}
    virtual ~IOPort2() {}
    IOPort2(const IOPort2&) = delete;
    IOPort2& operator=(const IOPort2&) = delete;

    // Setup bits 0-1 := 2 (always written), the serializer fields and the
    // control bits (each written when changed), then waits for ready with
    // reset clear (kNotReady after kTimeoutMicroseconds).
    virtual void configure(nVOAPALS100::tStatus& status);
    // Sets the reset bit (always written), then waits for reset set with
    // ready clear (kNotReady after kTimeoutMicroseconds).
    virtual void reset(nVOAPALS100::tStatus& status);
    // The ready bit as read now; false when the status holds an error.
    virtual bool isReady(nVOAPALS100::tStatus& status);

private:
    void waitFor(uint32_t expected, nVOAPALS100::tStatus& status);
    // Under the map's tree lock: each poll read; the registers of a configuration.
    uint32_t readControlStatus(nVOAPALS100::tStatus& status) {
        const arm::tRegMapHold tree(map_);
        return map_.IoPort2ControlStatusRegister.readRegister(status);
    }
    void configureRegisters(nVOAPALS100::tStatus& status);

    tMap& map_;
    uint8_t serializerA_;
    uint8_t serializerB_;
    uint8_t serializerC_;
    uint32_t pllRange_;
    uint8_t serializerLow_;
    bool control2_;
    bool control1_;
};

// The settings bound at compile time.
template <uint8_t A, uint8_t B, uint8_t C, uint32_t PllRange, uint8_t Low, bool Control2, bool Control1>
class IOPort2Template : public IOPort2 {
public:
    explicit IOPort2Template(tMap& map) : IOPort2(map, A, B, C, PllRange, Low, Control2, Control1) {}
    ~IOPort2Template() override {}
};

// The one instance the non-isolated FPGA's download uses.
using tNonIsolatedIOPort2 = IOPort2Template<0, 1, 3, 7, 0, false, true>;

} // namespace brixeltools
