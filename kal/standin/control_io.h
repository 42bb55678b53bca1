// Control surface of the stand-in for the traffic between the driver and user
// processes: the memory a requester owns (what the I/O-control buffer copies
// may touch), kernel socket messages, user memory maps and page lists.
// Pulled in by control.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kal {

// ---- requester memory ---------------------------------------------------
// The I/O-control buffer copies succeed only inside ranges that the current
// request's caller really owns. A request runs on the thread that entered the
// driver, so the ranges are kept per thread: a Scope registers them for the
// calling thread while it lives. Scopes nest; a copy is allowed when its whole
// range lies inside one range of any scope open on the calling thread and that
// range grants the access. Anything else is refused with the kernel layer's
// bad-address code and touches no memory.
namespace usermem {

enum Access : unsigned { kRead = 1, kWrite = 2, kReadWrite = 3 };

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
    friend bool owned(std::uint64_t address, std::uint64_t size, Access access);
    std::vector<Range> ranges_;
    Scope* outer_;
};

// The user address of a pointer of this process, as a requester hands it in.
inline std::uint64_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}
// True when the calling thread's scopes grant the access to the whole range.
bool owned(std::uint64_t address, std::uint64_t size, Access access);
// Copies refused so far (any thread).
std::uint64_t refusedCopies();
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
// Minimal: allocation and release, enough for the user memory maps.
namespace pagelists {
// Page lists created and not destroyed.
std::size_t live();
// Pages of a live page list (0 for anything else).
std::uint64_t pageCount(void* pageList);
} // namespace pagelists

} // namespace kal
