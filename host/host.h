// The host's internal interface, for tests and tools: what kelvo_host.h
// offers plus the kernel's side of the requests the C API does not expose
// (read, write, memory map and unmap), the per-open contexts, and a record of
// the driver faults the host saw.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/kelvo_host.h"
#include "nVOKAL.h"
#include "sim/sim.h"

namespace kelvo_host {

// ---- loader -----------------------------------------------------------------
// The driver's descriptor while it is loaded, null otherwise.
const nVOKAL_tDriverDescriptor* descriptor();
bool started();

// ---- devices ----------------------------------------------------------------
// Adds a device: makes its kernel device, then calls addDevice (the driver's
// add-device callback from the descriptor, or a test's) with record. Returns
// the device index or the callback's negative code (the kernel device is
// forgotten again then).
int addDevice(nVOKAL_tAddDeviceCallback addDevice, nVOKAL_tPCIDevice* record);
// The add-device callback of the host's test device class.
nVOKAL_tStatus addTestDevice(nVOKAL_tPCIDevice* record, void** deviceContext);
// Plugs a simulated module with any identity (a foreign one too), lets
// prepare adjust it (fault knobs) before it is added, then adds it through
// the driver's add-device callback as kelvo_host_add_module does (with its
// codes: KELVO_E_FULL when the bus has no room). prepare runs while the host
// holds its add-and-remove lock: it must not call the host.
int addModule(const sim::Identity& identity, const std::function<void(sim::Module&)>& prepare = {});
int addModule(std::string_view board, const std::function<void(sim::Module&)>& prepare = {});
// Whether the modules the host plugs from now on hold their non-isolated and
// isolated FPGA images already (for tests whose setup stands in for the
// downloads). Off by default: a module is plugged as at power-up and the
// driver loads its FPGAs.
void setFpgasLoadedAtPlugging(bool nonIsolated, bool isolated);
// The simulated module of a device added with a module; null otherwise.
std::shared_ptr<sim::Module> module(unsigned deviceIndex);
// The driver's device (per-device context) and the kernel device handle of an
// index; null when there is no such device.
void* device(unsigned deviceIndex);
void* kernelDevice(unsigned deviceIndex);

// ---- handles ----------------------------------------------------------------
// The per-open context of a handle (the driver's session), null when none.
void* context(int handle);
// Open handles (not yet closed by kelvo_close, revoked ones included).
std::size_t openHandles();
// The read and write callbacks over the caller's buffer, in the stand-in's
// process mode like kelvo_ioctl; count receives the byte count.
std::int32_t read(int handle, void* buffer, std::uint64_t size, std::uint64_t* count);
std::int32_t write(int handle, const void* buffer, std::uint64_t size, std::uint64_t* count);
// The memory-map callback for a user map of size bytes (accessMode bit 0
// read, bit 1 write). On success *map receives the host's map id (> 0),
// to be handed to unmapMemory; maps still held are unmapped at close.
std::int32_t mapMemory(int handle, std::uint16_t selector, std::uint64_t size, std::uint32_t accessMode,
                       std::uint64_t* map);
// The unmap callback; KELVO_E_INVALID for an unknown map.
std::int32_t unmapMemory(int handle, std::uint64_t map);

// ---- faults -----------------------------------------------------------------
// Driver faults the host noticed since start (registrations a device left
// behind, a driver still registered after unload, DPCs left alive).
std::vector<std::string> faults();

} // namespace kelvo_host
