// Stand-in for the kernel layer's I/O-control buffer copies. They touch the
// memory that the current request's caller registered (kal::usermem::Scope)
// and, while the host runs a client call (kal::usermem::ProcessMode), any
// memory of this process that is not the kernel layer's. The user side is
// always reached through process_vm_readv / process_vm_writev, which fail
// with EFAULT on a page that is not there or does not allow the access, so a
// bad address is an error code and never a crash.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "control.h"
#include "detail.h"
#include "exec_level.h"
#include "kernel_memory.h"
#include "nVOKAL.h"

namespace {

thread_local kal::usermem::Scope* tInnermost = nullptr;
thread_local unsigned tProcessMode = 0;
std::atomic<std::uint64_t> gRefused{0};

// [address, address + size) without wrapping past the top of the address space.
bool validRange(std::uint64_t address, std::uint64_t size) {
    return size <= UINT64_MAX - address;
}

// Both ranges valid and not empty.
bool overlap(std::uint64_t a, std::uint64_t aSize, std::uint64_t b, std::uint64_t bSize) {
    return a < b + bSize && b < a + aSize;
}

} // namespace

namespace kal::usermem {

Scope::Scope() : outer_(tInnermost) {
    tInnermost = this;
}

Scope::~Scope() {
    if (tInnermost != this) {
        KAL_FAIL("kal::usermem::Scope closed out of order");
    }
    tInnermost = outer_;
}

std::uint64_t Scope::add(const void* address, std::size_t size, Access access) {
    return add(usermem::address(address), static_cast<std::uint64_t>(size), access);
}

std::uint64_t Scope::add(std::uint64_t address, std::uint64_t size, Access access) {
    if (size != 0 && validRange(address, size)) {
        ranges_.push_back(Range{address, size, access});
    }
    return address;
}

void Scope::remove(std::uint64_t address) {
    std::erase_if(ranges_, [address](const Range& range) { return range.address == address; });
}

void Scope::clear() {
    ranges_.clear();
}

Registered registered(std::uint64_t address, std::uint64_t size, Access access) {
    if (size == 0 || !validRange(address, size)) {
        return Registered::outside;
    }
    bool touched = false;
    for (const Scope* scope = tInnermost; scope != nullptr; scope = scope->outer_) {
        for (const Scope::Range& range : scope->ranges_) {
            if (!overlap(address, size, range.address, range.size)) {
                continue;
            }
            if ((range.access & access) == access && address >= range.address &&
                size <= range.size - (address - range.address)) {
                return Registered::inside;
            }
            touched = true;
        }
    }
    return touched ? Registered::straddles : Registered::outside;
}

bool owned(std::uint64_t address, std::uint64_t size, Access access) {
    return registered(address, size, access) == Registered::inside;
}

ProcessMode::ProcessMode() {
    ++tProcessMode;
}

ProcessMode::~ProcessMode() {
    --tProcessMode;
}

bool ProcessMode::active() {
    return tProcessMode != 0;
}

std::uint64_t refusedCopies() {
    return gRefused.load();
}

} // namespace kal::usermem

namespace {

const std::uint64_t kPage = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
// The user side goes through a buffer of the caller's stack, so that the
// kernel side is read and written by ordinary (instrumented) copies.
constexpr std::size_t kChunk = 4096;
constexpr std::size_t kProbesPerCall = 256;

// True for EFAULT; any other failure means the calls cannot work here at all.
bool faulted(const char* what) {
    if (errno == EFAULT) {
        return true;
    }
    const std::string message = std::string(what) + " failed: " + std::strerror(errno);
    KAL_FAIL(message);
}

// Moves exactly size bytes between this process's memory at local and the
// user range at remote; false when any of it faults.
bool transfer(void* local, std::uint64_t remote, std::size_t size, bool toUser) {
    iovec near{local, size};
    iovec far{reinterpret_cast<void*>(static_cast<std::uintptr_t>(remote)), size};
    const ssize_t moved = toUser ? process_vm_writev(getpid(), &near, 1, &far, 1, 0)
                                 : process_vm_readv(getpid(), &near, 1, &far, 1, 0);
    if (moved < 0) {
        return !faulted(toUser ? "process_vm_writev" : "process_vm_readv");
    }
    return static_cast<std::size_t>(moved) == size;
}

// Whether every page of the user range allows the access: one byte of each is
// read (and, for a write, put back as it was), so a copy that starts never
// stops half way on a page that is not there.
bool accessible(std::uint64_t address, std::uint64_t size, bool write) {
    const std::uint64_t firstPage = address / kPage;
    const std::uint64_t lastPage = (address + size - 1) / kPage;
    iovec remote[kProbesPerCall];
    std::uint8_t bytes[kProbesPerCall];
    for (std::uint64_t page = firstPage; page <= lastPage;) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(kProbesPerCall, lastPage - page + 1));
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t at = std::max(address, (page + i) * kPage);
            remote[i] = iovec{reinterpret_cast<void*>(static_cast<std::uintptr_t>(at)), 1};
        }
        iovec local{bytes, count};
        ssize_t moved = process_vm_readv(getpid(), &local, 1, remote, count, 0);
        if (moved < 0 && faulted("process_vm_readv")) {
            return false;
        }
        if (static_cast<std::size_t>(moved) != count) {
            return false;
        }
        if (write) {
            moved = process_vm_writev(getpid(), &local, 1, remote, count, 0);
            if (moved < 0 && faulted("process_vm_writev")) {
                return false;
            }
            if (static_cast<std::size_t>(moved) != count) {
                return false;
            }
        }
        page += count;
    }
    return true;
}

// Copies between kernel memory at kernel and the user range, chunk by chunk
// through a stack buffer; with memmove's result when the two overlap.
bool copyChunks(std::uint8_t* kernel, std::uint64_t user, std::size_t size, bool toUser) {
    std::uint8_t buffer[kChunk];
    const auto kernelAddress = reinterpret_cast<std::uintptr_t>(kernel);
    // Moving up over an overlap: the last chunk first.
    const bool backwards = toUser ? user > kernelAddress : kernelAddress > user;
    const std::size_t chunks = (size + kChunk - 1) / kChunk;
    for (std::size_t n = 0; n < chunks; ++n) {
        const std::size_t index = backwards ? chunks - 1 - n : n;
        const std::size_t offset = index * kChunk;
        const std::size_t bytes = std::min(kChunk, size - offset);
        if (toUser) {
            std::memcpy(buffer, kernel + offset, bytes);
            if (!transfer(buffer, user + offset, bytes, true)) {
                return false;
            }
        } else {
            if (!transfer(buffer, user + offset, bytes, false)) {
                return false;
            }
            std::memcpy(kernel + offset, buffer, bytes);
        }
    }
    return true;
}

nVOKAL_tStatus copy(void* kernel, std::uint64_t userAddress, std::uint32_t size, bool toUser,
                    const char* what) {
    kal::exec::assertMayBlock(what);
    if (size == 0) {
        return nVOKAL_kSuccess;
    }
    if (kernel == nullptr) {
        KAL_FAIL("I/O-control buffer copy with a null kernel pointer");
    }
    const auto access = toUser ? kal::usermem::kWrite : kal::usermem::kRead;
    bool user = false;
    if (validRange(userAddress, size)) {
        switch (kal::usermem::registered(userAddress, size, access)) {
        case kal::usermem::Registered::inside:
            user = true;
            break;
        case kal::usermem::Registered::straddles:
            break;
        case kal::usermem::Registered::outside:
            user = kal::usermem::ProcessMode::active() && !kal::kernelmem::overlaps(userAddress, size);
            break;
        }
    }
    // A range within one page needs no probe: the kernel pins the page before
    // it moves a byte, so the copy itself either moves everything or nothing.
    const bool onePage = user && userAddress / kPage == (userAddress + size - 1) / kPage && size <= kChunk;
    if (!user || (!onePage && !accessible(userAddress, size, toUser)) ||
        !copyChunks(static_cast<std::uint8_t*>(kernel), userAddress, size, toUser)) {
        gRefused.fetch_add(1);
        return nVOKAL_kStatusBadAddress;
    }
    return nVOKAL_kSuccess;
}

} // namespace

extern "C" nVOKAL_tStatus nVOKAL100_replicateInboundIOControlBuffer(void* destination, uint64_t userAddress,
                                                                    uint32_t size) noexcept {
    return copy(destination, userAddress, size, false, "nVOKAL100_replicateInboundIOControlBuffer");
}

extern "C" nVOKAL_tStatus nVOKAL100_replicateOutboundIOControlBuffer(uint64_t userAddress, const void* source,
                                                                     uint32_t size) noexcept {
    // The source is only read: the copy writes user memory alone.
    return copy(const_cast<void*>(source), userAddress, size, true,
                "nVOKAL100_replicateOutboundIOControlBuffer");
}
