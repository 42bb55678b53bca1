/* Kernel-layer interface: PCI functions, bus enumeration, DMA mask, physical
 * mappings and device memory access.
 *
 * A PCI function is known by its PCI handle (an opaque nVOKAL_tHandle that the
 * kernel layer hands to add device inside the nVOKAL_tPCIDevice record).
 * Configuration-space access, the DMA mask, the PCI domain and the NUMA node
 * take that handle.
 *
 * Device memory (the memory windows, BARs) is reached only through kernel
 * addresses returned by nVOKAL230_mapPhysicalToKernel and the memory
 * read/write operations below: never dereference such an address.
 *
 * Kernel-layer codes returned here (0 is success):
 *   NVOKAL_PCI_E_INVALID   (-51009) bad argument (misaligned or out-of-range offset, unknown handle)
 *   NVOKAL_PCI_E_REFUSED   (-51101) the request was refused (mask not supported, no MSI vector)
 *   NVOKAL_PCI_E_FAILED    (-51202) the access failed (configuration cycle failed, function gone)
 */
#ifndef NVOKAL_PCI_H
#define NVOKAL_PCI_H

#include "nVOKAL/base.h"

#define NVOKAL_PCI_E_INVALID (-51009)
#define NVOKAL_PCI_E_REFUSED (-51101)
#define NVOKAL_PCI_E_FAILED (-51202)

/* Flags of a resource of nVOKAL_tPCIDevice. */
#define NVOKAL_PCI_RESOURCE_IO 0x1u
#define NVOKAL_PCI_RESOURCE_MEMORY 0x2u

/* One resource (base address register) of a PCI function. */
typedef struct nVOKAL_tPCIResource {
    uint64_t start; /* physical (memory) or port (I/O) address */
    uint64_t size;  /* bytes; 0 when the BAR is not implemented */
    uint32_t flags; /* NVOKAL_PCI_RESOURCE_* */
    uint32_t reserved;
} nVOKAL_tPCIResource;

/* The kernel layer's PCI device record, handed to add device. Words not
 * named here are the kernel layer's own. */
typedef struct nVOKAL_tPCIDevice {
    nVOKAL_tHandle pciHandle;         /* 0x00 */
    uint64_t reserved08;              /* 0x08 */
    uint16_t busNumber;               /* 0x10 (low 8 bits used) */
    uint16_t deviceNumber;            /* 0x12 */
    uint16_t functionNumber;          /* 0x14 */
    uint16_t vendorID;                /* 0x16 */
    uint16_t deviceID;                /* 0x18 */
    uint16_t subsystemVendorID;       /* 0x1A */
    uint16_t subsystemID;             /* 0x1C */
    uint16_t revision;                /* 0x1E (low 8 bits used) */
    uint32_t lineInterrupt;           /* 0x20: non-zero when a line interrupt is assigned */
    uint32_t interruptNumber;         /* 0x24: after a granted MSI request, the MSI vector */
    uint64_t reserved28;              /* 0x28 */
    nVOKAL_tPCIResource resources[6]; /* 0x30 */
} nVOKAL_tPCIDevice;

#ifdef __cplusplus
static_assert(offsetof(nVOKAL_tPCIDevice, busNumber) == 0x10, "record layout");
static_assert(offsetof(nVOKAL_tPCIDevice, revision) == 0x1E, "record layout");
static_assert(offsetof(nVOKAL_tPCIDevice, interruptNumber) == 0x24, "record layout");
static_assert(offsetof(nVOKAL_tPCIDevice, resources) == 0x30, "record layout");
static_assert(sizeof(nVOKAL_tPCIResource) == 24, "record layout");
#endif

/* One PCI-to-PCI bridge reported by nVOKAL100_enumeratePCIBuses. */
typedef struct nVOKAL_tPCIBridgeRecord {
    uint16_t busNumber; /* the bus the bridge itself sits on */
    uint8_t deviceNumber;
    uint8_t functionNumber;
    uint16_t secondaryBus;
    uint16_t subordinateBus;
    uint16_t domain;
} nVOKAL_tPCIBridgeRecord;

/* Called once per bridge, in order of (domain, bus, device, function). */
typedef void (*nVOKAL_tPCIBridgeCallback)(void* context, const nVOKAL_tPCIBridgeRecord* bridge);

NVOKAL_BEGIN_DECLS

/* Asks for vectorCount MSI vectors for the function of record. On success (0)
 * the first granted vector is written into record->interruptNumber. */
nVOKAL_tStatus nVOKAL230_pciRequestMSI(nVOKAL_tPCIDevice* record, uint32_t vectorCount) NVOKAL_NOEXCEPT;

/* Reports every PCI-to-PCI bridge of the system to callback (context passed
 * through). Returns 0, or a code when the buses cannot be walked. */
nVOKAL_tStatus nVOKAL100_enumeratePCIBuses(nVOKAL_tPCIBridgeCallback callback, void* context) NVOKAL_NOEXCEPT;

/* The PCI domain (segment) of the function; negative when unknown. */
int32_t nVOKAL240_getPCIDomain(nVOKAL_tHandle pciHandle) NVOKAL_NOEXCEPT;

/* The NUMA node of the function; negative when it has none. */
int32_t nVOKAL1_getDeviceNUMANode(nVOKAL_tHandle pciHandle) NVOKAL_NOEXCEPT;

/* Sets the function's DMA addressing mask (the highest bus address bits the
 * device can drive). NVOKAL_PCI_E_REFUSED when the system cannot honour it. */
nVOKAL_tStatus nVOKAL220_pciSetDMAMask(nVOKAL_tHandle pciHandle, uint64_t mask) NVOKAL_NOEXCEPT;

/* Configuration-space reads and writes. The offset must lie below 4096 and be
 * a multiple of the width; the value is little-endian as the register holds it. */
nVOKAL_tStatus nVOKAL100_pciConfigRead8(nVOKAL_tHandle pciHandle, uint32_t offset,
                                        uint8_t* value) NVOKAL_NOEXCEPT;
nVOKAL_tStatus nVOKAL100_pciConfigRead16(nVOKAL_tHandle pciHandle, uint32_t offset,
                                         uint16_t* value) NVOKAL_NOEXCEPT;
nVOKAL_tStatus nVOKAL100_pciConfigRead32(nVOKAL_tHandle pciHandle, uint32_t offset,
                                         uint32_t* value) NVOKAL_NOEXCEPT;
nVOKAL_tStatus nVOKAL100_pciConfigWrite8(nVOKAL_tHandle pciHandle, uint32_t offset,
                                         uint8_t value) NVOKAL_NOEXCEPT;
nVOKAL_tStatus nVOKAL100_pciConfigWrite16(nVOKAL_tHandle pciHandle, uint32_t offset,
                                          uint16_t value) NVOKAL_NOEXCEPT;
nVOKAL_tStatus nVOKAL100_pciConfigWrite32(nVOKAL_tHandle pciHandle, uint32_t offset,
                                          uint32_t value) NVOKAL_NOEXCEPT;

/* Maps size bytes of device memory at a physical address into kernel address
 * space; null when the range cannot be mapped. cachingMode is passed as the
 * caller gives it (0 uncached; 1 and 2 are the kernel layer's other modes).
 * One range may be mapped several times at once; each mapping is undone by
 * its own unmap. */
void* nVOKAL230_mapPhysicalToKernel(uint64_t physicalAddress, uint64_t size,
                                    uint32_t cachingMode) NVOKAL_NOEXCEPT;
/* Undoes one mapping (address as returned by the map; null is ignored). */
void nVOKAL230_unmapPhysicalFromKernel(void* address, uint32_t cachingMode) NVOKAL_NOEXCEPT;

/* One uncached device access of that width at a mapped kernel address. */
uint8_t nVOKAL100_memoryRead8(const volatile void* address) NVOKAL_NOEXCEPT;
uint16_t nVOKAL100_memoryRead16(const volatile void* address) NVOKAL_NOEXCEPT;
uint32_t nVOKAL100_memoryRead32(const volatile void* address) NVOKAL_NOEXCEPT;
void nVOKAL100_memoryWrite8(volatile void* address, uint8_t value) NVOKAL_NOEXCEPT;
void nVOKAL100_memoryWrite16(volatile void* address, uint16_t value) NVOKAL_NOEXCEPT;
void nVOKAL100_memoryWrite32(volatile void* address, uint32_t value) NVOKAL_NOEXCEPT;

/* This project's own addition to the kernel layer (not one of its original
 * operations): one 64-bit device access. The driver's 64-bit register stores
 * go through it so that they reach the device like every other access. */
uint64_t nVOKAL100_memoryRead64(const volatile void* address) NVOKAL_NOEXCEPT;
void nVOKAL100_memoryWrite64(volatile void* address, uint64_t value) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
