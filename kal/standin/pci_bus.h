// The stand-in's PCI bus: the device side of the kernel layer's PCI operations.
//
// A device model (the simulated module) implements kal::pci::Function and plugs
// it in at a bus location; the stand-in gives it a PCI handle, assigns the
// physical addresses of its memory BARs, and dispatches the kernel layer's
// configuration-space accesses and the memory reads and writes at mapped
// kernel addresses to it. Bridges are plain records that bus enumeration
// reports; whoever builds the topology adds them.
//
// Kernel addresses handed out by nVOKAL230_mapPhysicalToKernel are tokens in
// an address range no process can touch: a driver that dereferenced one
// instead of going through the memory operations would fault at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "nVOKAL.h"

namespace kal::pci {

// A PCI function as the kernel layer sees it. Calls may come from any thread;
// the implementation serialises them itself.
class Function {
public:
    virtual ~Function() = default;
    // Configuration space: width 1, 2 or 4; offset below 4096 and a multiple
    // of the width (the stand-in checks both). False when the cycle fails.
    virtual bool configRead(std::uint32_t offset, std::uint32_t width, std::uint32_t& value) = 0;
    virtual bool configWrite(std::uint32_t offset, std::uint32_t width, std::uint32_t value) = 0;
    // Size in bytes of memory BAR bar (0 to 5); 0 when not implemented.
    virtual std::uint64_t barSize(std::uint32_t bar) const = 0;
    // Memory access inside BAR bar: width 1, 2, 4 or 8; offset + width <= barSize(bar).
    virtual std::uint64_t memoryRead(std::uint32_t bar, std::uint64_t offset, std::uint32_t width) = 0;
    virtual void memoryWrite(std::uint32_t bar, std::uint64_t offset, std::uint32_t width,
                             std::uint64_t value) = 0;
};

struct Location {
    std::uint16_t domain = 0;
    std::uint8_t bus = 0;
    std::uint8_t device = 0;
    std::uint8_t function = 0;
    bool operator==(const Location&) const = default;
};

// What the stand-in does for one function beyond the device's own behaviour.
struct Knobs {
    bool refuseMSI = false;      // nVOKAL230_pciRequestMSI answers NVOKAL_PCI_E_REFUSED
    bool refuse64BitDMA = false; // masks wider than 32 bits are refused
    bool refuseDMA = false;      // every mask is refused
    bool refuseMapping = false;  // nVOKAL230_mapPhysicalToKernel answers null
    bool unknownDomain = false;  // nVOKAL240_getPCIDomain answers -1
    bool lineInterrupt = true;   // the record reports a line interrupt
    std::int32_t numaNode = -1;
};

// Plugs a function in; null when the location is taken or function is null.
// BAR physical addresses are assigned at once and stay until unplug.
nVOKAL_tHandle plug(std::shared_ptr<Function> function, const Location& where);
// Removes it. Mappings made meanwhile stay valid: their reads answer all ones
// and their writes are dropped (a surprise removal). Configuration accesses
// through the old handle fail. Returns once no other thread's access reaches
// the function any more (not to be called from inside one of its accesses).
void unplug(nVOKAL_tHandle handle);
// Whether a function sits at the location.
bool occupied(const Location& where);
Location locationOf(nVOKAL_tHandle handle);

// Bridges reported by bus enumeration.
void addBridge(const nVOKAL_tPCIBridgeRecord& bridge);
void removeBridge(const nVOKAL_tPCIBridgeRecord& bridge); // matched by domain, bus, device, function
std::vector<nVOKAL_tPCIBridgeRecord> bridges();

// Physical address of a memory BAR (0 when none).
std::uint64_t barAddress(nVOKAL_tHandle handle, std::uint32_t bar);
// The kernel layer's PCI device record of the function, as add device receives it.
// False for an unknown handle.
bool describe(nVOKAL_tHandle handle, nVOKAL_tPCIDevice& record);

void setKnobs(nVOKAL_tHandle handle, const Knobs& knobs);
Knobs knobs(nVOKAL_tHandle handle);
// The DMA mask last accepted (0 when none); whether an MSI vector was granted.
std::uint64_t dmaMask(nVOKAL_tHandle handle);
bool msiGranted(nVOKAL_tHandle handle);

// Live kernel mappings of device memory (for leak checks).
std::size_t liveMappings();
// The caching mode a live mapping was made with (none for anything else).
// Unmapping with another mode halts.
std::optional<std::uint32_t> cachingMode(const void* address);

// ---- interrupts -------------------------------------------------------------
// The function's interrupt number: its MSI vector once one was granted, else
// its line interrupt (0 for an unknown handle or a function without either).
std::uint32_t interruptNumber(nVOKAL_tHandle handle);
// The device raises its interrupt. The handlers reserved on its number run on
// the stand-in's interrupt thread of that number (one per reserved number),
// at interrupt level and never on the caller's thread, so the caller may hold
// locks of its own. Raising again before the handlers ran counts once; raising
// while they run makes them run once more. With no handler reserved the
// interrupt is dropped (counted).
void raiseInterrupt(nVOKAL_tHandle handle);
struct InterruptCounts {
    std::uint64_t raised = 0;    // raiseInterrupt calls
    std::uint64_t dropped = 0;   // raised with no handler reserved
    std::uint64_t rounds = 0;    // runs of the handlers
    std::uint64_t unclaimed = 0; // runs in which no handler claimed the interrupt
};
InterruptCounts interruptCounts(std::uint32_t number);
// Reservations held (nVOKAL1400_reserveInterrupt not yet relinquished).
std::size_t reservedInterrupts();
// Waits until no raised interrupt waits for or is in its handlers.
void drainInterrupts();

} // namespace kal::pci
