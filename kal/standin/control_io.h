// Control surface of the stand-in for the traffic between the driver and user
// processes: the memory a requester owns (what the I/O-control buffer copies
// may touch), kernel socket messages, user memory maps, page lists and the
// device side of DMA.
// Pulled in by control.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kal {

// ---- requester memory ---------------------------------------------------
// The I/O-control buffer copies move bytes between the driver and memory that
// the current request's caller owns; anything else is refused with the kernel
// layer's bad-address code and touches no memory. A request runs on the thread
// that entered the driver, so what the caller owns is kept per thread, in two
// ways:
//  - registered ranges: a Scope registers ranges for the calling thread while
//    it lives. Scopes nest; a copy is allowed when its whole range lies inside
//    one range of any scope open on the calling thread and that range grants
//    the access. Registered ranges are exact: a copy that touches one without
//    lying inside one that grants its access is refused, in either mode.
//  - process mode: while a ProcessMode lives on the calling thread (the host
//    opens one for each client call), a copy that touches no registered range
//    is allowed when its range is no kernel-layer memory (live
//    nVOKAL100_malloc blocks, the pages of page lists the kernel layer
//    allocated, device mappings, the upper half of the address space).
// Either way the user side is reached fault-safely: a page that is not there
// or does not allow the access (read-only for a write) refuses the copy
// before any byte moves, with the bad-address code. (Only a page that goes
// away while the copy runs can leave it part done, as in a kernel.)
namespace usermem {

enum Access : unsigned { kRead = 1, kWrite = 2, kReadWrite = 3 };

// How a range lies to the calling thread's registered ranges: inside one that
// grants the access, touching some without that, or apart from all (an empty
// or wrapping range too).
enum class Registered { outside, inside, straddles };

class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    // Registers [address, address + size) with the given access. An empty or
    // wrapping range is ignored. Returns the user address of the range.
    std::uint64_t add(const void* address, std::size_t size, Access access = kReadWrite);
    std::uint64_t add(std::uint64_t address, std::uint64_t size, Access access = kReadWrite);
    // Unregisters every range of this scope that starts at address.
    void remove(std::uint64_t address);
    void clear();

private:
    struct Range {
        std::uint64_t address;
        std::uint64_t size;
        Access access;
    };
    friend Registered registered(std::uint64_t address, std::uint64_t size, Access access);
    std::vector<Range> ranges_;
    Scope* outer_;
};

// The user address of a pointer of this process, as a requester hands it in.
inline std::uint64_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}
// Where the range lies for the calling thread (see Registered).
Registered registered(std::uint64_t address, std::uint64_t size, Access access);
// True when the calling thread's scopes grant the access to the whole range
// (registered ranges only; an empty range is not).
bool owned(std::uint64_t address, std::uint64_t size, Access access);
// True when the calling thread may lock the range's pages for the access:
// the rule of the copies (a registered range, or in process mode memory of
// this process that is no kernel-layer memory), every page there and
// allowing the access.
bool lockable(std::uint64_t address, std::uint64_t size, Access access);

// The process mode for the calling thread while one lives (they nest).
class ProcessMode {
public:
    ProcessMode();
    ~ProcessMode();
    ProcessMode(const ProcessMode&) = delete;
    ProcessMode& operator=(const ProcessMode&) = delete;
    // Whether the calling thread is in process mode.
    static bool active();
};

// While one lives, the calling thread's user copies (of a byte or more) call
// its function with their range and access first, before any check; the
// function may block, so that a test can pause a request at a copy. They
// nest: the innermost is called.
class CopyHook {
public:
    using Call = std::function<void(std::uint64_t address, std::uint64_t size, Access access)>;
    explicit CopyHook(Call call);
    ~CopyHook();
    CopyHook(const CopyHook&) = delete;
    CopyHook& operator=(const CopyHook&) = delete;
    const Call call;

private:
    CopyHook* outer_;
};

// Copies refused so far (any thread).
std::uint64_t refusedCopies();
// Faults of the user side that copies recovered from so far (any thread):
// pages found missing or read-only by touching them.
std::uint64_t recoveredFaults();
} // namespace usermem

// ---- kernel sockets -----------------------------------------------------
// Every successful send is delivered to the queue of its destination, where
// the host and tests read it. Queues exist from the first message on.
namespace sockets {

struct Message {
    std::uint32_t type;
    std::vector<std::uint8_t> bytes;
};

// Messages waiting for destination, oldest first (they stay queued).
std::vector<Message> read(std::uint32_t destination);
// Takes the oldest message of destination; false when there is none.
bool pop(std::uint32_t destination, Message& message);
// Messages waiting for destination.
std::size_t count(std::uint32_t destination);
// Messages sent so far to any destination (since the last reset).
std::uint64_t sent();
// Socket buffers created and neither sent nor released.
std::size_t liveBuffers();
// Fails exactly the nth buffer creation from now (1 = the next one). 0 disables.
void failCreateNth(std::uint64_t n);
// Fails exactly the nth send from now with the given kernel-layer code. 0 disables.
void failSendNth(std::uint64_t n, std::int32_t code);
// Empties every queue and removes the faults and counters (not live buffers).
void reset();
} // namespace sockets

// ---- user memory maps ---------------------------------------------------
// The host makes one map per memory-map request of a client and hands its
// handle to the driver's memory-map callback.
namespace usermaps {

struct Mapping {
    enum Kind { kPageList, kPhysical } kind;
    void* pageList;                // kPageList
    std::uint64_t firstPage;       // kPageList
    std::uint64_t physicalAddress; // kPhysical
    std::uint64_t pageCount;
    std::uint32_t cached; // kPhysical
};

// accessMode: bit 0 read, bit 1 write.
void* create(std::uint64_t size, std::uint32_t accessMode, std::uint64_t virtualAddress);
void destroy(void* map);
// What the driver mapped into the map so far, in order.
std::vector<Mapping> mappings(void* map);
} // namespace usermaps

// ---- page lists ---------------------------------------------------------
// Every page of a page list has a fake physical address. By default a new
// list lies in one physically contiguous run below 4 GB; the knobs below move
// new pages above 4 GB, give each page its own frame (no two adjacent), or
// place pages exactly. Allocations that ask for memory below 4 GB always get
// it (and take no planned frames).
namespace pagelists {
// Page lists created and not destroyed.
std::size_t live();
// Pages of a live page list (0 for anything else).
std::uint64_t pageCount(void* pageList);
// Whether the machine has memory above 4 GB (nVOKAL200_isAddressableMemOver4G); true by default.
void setMemoryAbove4G(bool present);
enum class Placement { below4G, above4G };
// Where the pages of new lists go (below4G by default).
void setPlacement(Placement placement);
// One frame per page, none adjacent to another (off by default).
void setFragmented(bool fragmented);
// The next pages made (any list, in order) get these page-aligned physical
// addresses, one each, before the placement applies. A frame in use halts.
void planFrames(std::vector<std::uint64_t> frames);
// Back to the defaults (memory above 4 GB present, below4G, not fragmented, no plan).
void resetPlacement();
// Physical address of a page of a live list (0 for anything else).
std::uint64_t physicalAddress(void* pageList, std::uint64_t pageIndex);
// The pages of a live list as this process sees them (null for anything else).
std::uint8_t* memory(void* pageList);
// The creation flags of a live list.
std::uint32_t flags(void* pageList);
// Kernel mappings of page lists not yet undone.
std::size_t kernelMappings();
} // namespace pagelists

// ---- DMA ------------------------------------------------------------------
// Device access to host memory by bus address, as a simulated DMA engine does
// it: an address is valid while it is the physical address of a page of a live
// page list, or a bus address of a mapped scatter-gather list of the same
// function; the whole access must also lie within the function's DMA mask.
// Anything else is refused, touches no memory and is recorded as a fault.
namespace dma {
bool read(void* pciHandle, std::uint64_t busAddress, void* destination, std::size_t size);
bool write(void* pciHandle, std::uint64_t busAddress, const void* source, std::size_t size);
// A gathering access, as an engine moves one burst over several descriptors:
// the runs in order, each as the single access above, to (read) or from
// (write) consecutive bytes of the host buffer. The first refused run ends
// it: the runs before it are moved, it and those after are not, and it is
// recorded as its own access would be. Returns the runs moved (count when
// none is refused). Host memory that lies contiguous is copied at once.
struct Run {
    std::uint64_t busAddress;
    std::size_t size;
};
std::size_t read(void* pciHandle, const Run* runs, std::size_t count, void* destination);
std::size_t write(void* pciHandle, const Run* runs, std::size_t count, const void* source);
// Refused accesses so far, one text each; cleared by clearFaults.
std::vector<std::string> faults();
void clearFaults();
// Scatter-gather lists created and not destroyed; of them, those mapped.
std::size_t liveSGLs();
std::size_t mappedSGLs();
// nVOKAL220_tSGL_prepareForDMA and nVOKAL220_tSGL_completeDMA calls so far.
std::uint64_t prepareCalls();
std::uint64_t completeCalls();
} // namespace dma

} // namespace kal
