// Stand-in for the kernel layer's I/O-control buffer copies. They touch the
// memory that the current request's caller registered (kal::usermem::Scope)
// and, while the host runs a client call (kal::usermem::ProcessMode), any
// memory of this process that is not the kernel layer's. The user side is
// always reached by the fault-safe routine of user_access.h, so a page that
// is not there or does not allow the access is an error code and never a
// crash.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "standin/kernel_memory.h"
#include "nVOKAL.h"
#include "standin/user_access.h"

namespace {

thread_local kal::usermem::Scope* tInnermost = nullptr;
thread_local unsigned tProcessMode = 0;
thread_local kal::usermem::CopyHook* tCopyHook = nullptr;
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

ProcessMode::ProcessMode() {
    ++tProcessMode;
}

ProcessMode::~ProcessMode() {
    --tProcessMode;
}

bool ProcessMode::active() {
    return tProcessMode != 0;
}

CopyHook::CopyHook(Call call) : call(std::move(call)), outer_(tCopyHook) {
    tCopyHook = this;
}

CopyHook::~CopyHook() {
    if (tCopyHook != this) {
        KAL_FAIL("kal::usermem::CopyHook closed out of order");
    }
    tCopyHook = outer_;
}

std::uint64_t refusedCopies() {
    return gRefused.load();
}

} // namespace kal::usermem

namespace {

using kal::detail::kSanitized;

constexpr std::uint64_t kPage = kal::kernelmem::kGranule;
// Under a sanitizer the kernel side goes through a buffer of the caller's
// stack, read and written by ordinary (instrumented) copies, so that the
// sanitizer checks it; only the user side is reached by the routine, which
// no sanitizer sees. Small enough that the buffer costs no stack probing.
constexpr std::size_t kChunk = 512;

// Whether every page of the user range allows the access, the last page
// first (where a range that runs into a page it may not touch usually ends).
bool accessible(std::uint64_t address, std::uint64_t size, bool write) {
    const std::uint64_t firstPage = address / kPage;
    const std::uint64_t lastPage = (address + size - 1) / kPage;
    auto probe = [&](std::uint64_t page) {
        const std::uint64_t at = std::max(address, page * kPage);
        return write ? kal::useraccess::probeWrite(at) : kal::useraccess::probeRead(at);
    };
    if (!probe(lastPage)) {
        return false;
    }
    for (std::uint64_t page = firstPage; page < lastPage; ++page) {
        if (!probe(page)) {
            return false;
        }
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
            if (!kal::useraccess::write(user + offset, buffer, bytes)) {
                return false;
            }
        } else {
            if (!kal::useraccess::read(buffer, user + offset, bytes)) {
                return false;
            }
            std::memcpy(kernel + offset, buffer, bytes);
        }
    }
    return true;
}

// The copy itself: without a sanitizer and when the two sides do not
// overlap, straight between them in one go (a fault on the kernel side is
// outside the window and is nobody's to recover: it crashes with a report).
bool copyBytes(std::uint8_t* kernel, std::uint64_t user, std::size_t size, bool toUser) {
    const auto kernelAddress = reinterpret_cast<std::uintptr_t>(kernel);
    if (kSanitized || (kernelAddress < user + size && user < kernelAddress + size)) {
        return copyChunks(kernel, user, size, toUser);
    }
    return toUser ? kal::useraccess::write(user, kernel, size) : kal::useraccess::read(kernel, user, size);
}

// Moves the bytes, all or none. Within one page a fault comes at the first
// access to the page, before any byte moved; a longer range is probed page
// by page first. (A page that goes away during the copy itself fails it part
// way, as a kernel's copy does.)
bool moveUser(std::uint8_t* kernel, std::uint64_t user, std::size_t size, bool toUser) {
    const kal::useraccess::Window window(user, size);
    const bool onePage = user / kPage == (user + size - 1) / kPage;
    return (onePage || accessible(user, size, toUser)) && copyBytes(kernel, user, size, toUser);
}

// Whether the calling thread's request may reach the range: a registered
// range grants its own access; in process mode memory that is no kernel
// layer's is the process's own.
bool reachable(std::uint64_t userAddress, std::uint64_t size, kal::usermem::Access access) {
    if (!validRange(userAddress, size)) {
        return false;
    }
    switch (kal::usermem::registered(userAddress, size, access)) {
    case kal::usermem::Registered::inside:
        // Registered ranges are the test's to choose; the upper half stays
        // out of reach (the routine could not tell its faults apart).
        return userAddress + size <= kal::kernelmem::kUserTop;
    case kal::usermem::Registered::straddles:
        return false;
    case kal::usermem::Registered::outside:
        return kal::usermem::ProcessMode::active() && !kal::kernelmem::overlaps(userAddress, size);
    }
    return false;
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
    if (tCopyHook != nullptr) {
        tCopyHook->call(userAddress, size, access);
    }
    if (!reachable(userAddress, size, access) ||
        !moveUser(static_cast<std::uint8_t*>(kernel), userAddress, size, toUser)) {
        gRefused.fetch_add(1);
        return nVOKAL_kStatusBadAddress;
    }
    return nVOKAL_kSuccess;
}

} // namespace

namespace kal::usermem {

bool owned(std::uint64_t address, std::uint64_t size, Access access) {
    return registered(address, size, access) == Registered::inside;
}

bool lockable(std::uint64_t address, std::uint64_t size, Access access) {
    if (size == 0 || !reachable(address, size, access)) {
        return false;
    }
    const kal::useraccess::Window window(address, size);
    return accessible(address, size, (access & kWrite) != 0);
}

} // namespace kal::usermem

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
