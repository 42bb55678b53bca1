// What the driver core uses of the instrument controllers. The controllers
// subsystem implements these interfaces.
#pragma once

#include <stdint.h>

#include "framework/cleanup_operation.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/vector.h"

namespace kelvo_driver {

// The device's cooling mode and its override state (1 set by an override
// request, 2 by the cooling service, anything else: no override): kept by
// the device, so that it survives every teardown and setup.
struct CoolingModeState {
    uint32_t mode;
    uint32_t override;
};

// The charge-balance controller of one physical channel. Its register work is
// serialised by its own recursive mutex.
class ChargeBalanceControllerInterface : public nVOAPAL000::tObject {
public:
    virtual ~ChargeBalanceControllerInterface() = default;
    // Strobes the loop's balance, polls for the result and returns the loop's
    // 14-bit offset. A loop at or above getLoopCount is -52005.
    virtual uint32_t calculateOffset(uint8_t loop, nVOAPALS100::tStatus& status) = 0;
    // Writes the low 14 bits of value into the loop's offset register. A loop
    // at or above getLoopCount is -52005.
    virtual void setOffset(uint8_t loop, uint16_t value, nVOAPALS100::tStatus& status) = 0;
    virtual uint32_t getLoopCount() const = 0;
};

// The calibration controllers of the isolated side.
class CalibrationControllersInterface : public nVOAPAL000::tObject {
public:
    static constexpr uint32_t kNumberOfPhysicalChannels = 1;

    virtual ~CalibrationControllersInterface() = default;
    // The controller of a physical channel below kNumberOfPhysicalChannels (an invariant).
    virtual ChargeBalanceControllerInterface& getChargeBalanceController(uint32_t physicalChannel) = 0;
};

// The chassis-cooling controller over the device's cooling-mode state.
class PXICoolingController : public nVOAPAL000::tObject {
public:
    virtual ~PXICoolingController() = default;
    virtual void setCoolingMode(uint32_t mode, uint32_t override, nVOAPALS100::tStatus& status) = 0;
    virtual uint32_t getCoolingMode() = 0;
    virtual uint32_t getRequestedCoolingMode() = 0;
};

// The board temperature sensor of the non-isolated side.
class TemperatureSensorController : public nVOAPAL000::tObject {
public:
    virtual ~TemperatureSensorController() = default;
    virtual int16_t readTemperature(nVOAPALS100::tStatus& status) = 0;
};

// The main measure unit; as a cleanup operation it resets the unit.
class MeasureUnitControllerInterface : public kdut::CleanupOperationInterface {
public:
    virtual void arm(nVOAPALS100::tStatus& status) = 0;
    virtual void reset(nVOAPALS100::tStatus& status) = 0;
    // The trigger override of the main unit, when it is armed (0xBFFA4019 when not).
    virtual bool overrideTrigger(nVOAPALS100::tStatus& status) = 0;
    // Whether the main unit's event is latched.
    virtual bool isEventLatched(nVOAPALS100::tStatus& status) = 0;
};

// The sequence engine of the isolated side; as a cleanup operation it resets the engine.
class SequenceEngineControllerInterface : public kdut::CleanupOperationInterface {
public:
    // Running: 0xBFFA4315; a count above the FIFO depth (1024): 0xBFFA4326.
    virtual void start(uint32_t commandCount, nVOAPALS100::tStatus& status) = 0;
    // Waits until the engine has stopped.
    virtual void reset(nVOAPALS100::tStatus& status) = 0;
    virtual bool isRunning(nVOAPALS100::tStatus& status) = 0;
};

} // namespace kelvo_driver

namespace corran_shared {

// The power-allocation pool of the non-isolated controllers.
class PowerAllocationController : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~PowerAllocationController() = default;
    virtual uint32_t stagePowerAllocation(uint32_t channel, uint32_t power, nVOAPALS100::tStatus& status) = 0;
    virtual void commitPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) = 0;
    virtual void discardPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) = 0;
    virtual uint32_t getActualPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) = 0;
};

} // namespace corran_shared

namespace wexmoortools {

using SubroutineId = uint32_t;

// The registered subroutines: identifiers and local-RAM addresses, u32 each.
// Every operation does nothing (and answers 0) on a fatal status.
class SubroutineRegistrarInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~SubroutineRegistrarInterface() = default;
    // Replaces the contents of both vectors with the identifier list and the
    // address list, in package order (-52000 when a vector cannot grow).
    virtual void getSubroutines(vohtl::Vector<SubroutineId>& ids, vohtl::Vector<uint32_t>& addresses,
                                nVOAPALS100::tStatus& status) = 0;
    virtual uint32_t getNumSubroutines(nVOAPALS100::tStatus& status) = 0;
    // The address of the first subroutine with this identifier; an unknown
    // one sets the registrar's error code and answers 0.
    virtual uint32_t getSubroutineAddress(SubroutineId id, nVOAPALS100::tStatus& status) = 0;
};

} // namespace wexmoortools
