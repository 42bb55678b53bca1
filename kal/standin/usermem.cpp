// Stand-in for the kernel layer's I/O-control buffer copies: they touch only
// memory that the current request's caller registered (kal::usermem::Scope).
#include <atomic>
#include <cstring>

#include "control.h"
#include "exec_level.h"
#include "nVOKAL.h"

namespace {

thread_local kal::usermem::Scope* tInnermost = nullptr;
std::atomic<std::uint64_t> gRefused{0};

// [address, address + size) without wrapping past the top of the address space.
bool validRange(std::uint64_t address, std::uint64_t size) {
    return size <= UINT64_MAX - address;
}

} // namespace

namespace kal::usermem {

Scope::Scope() : outer_(tInnermost) {
    tInnermost = this;
}

Scope::~Scope() {
    if (tInnermost != this) {
        nVOKAL250_halt("kal", __FILE__, __LINE__, "kal::usermem::Scope closed out of order");
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

bool owned(std::uint64_t address, std::uint64_t size, Access access) {
    if (!validRange(address, size)) {
        return false;
    }
    for (const Scope* scope = tInnermost; scope != nullptr; scope = scope->outer_) {
        for (const Scope::Range& range : scope->ranges_) {
            if ((range.access & access) == access && address >= range.address &&
                address - range.address <= range.size && size <= range.size - (address - range.address)) {
                return true;
            }
        }
    }
    return false;
}

std::uint64_t refusedCopies() {
    return gRefused.load();
}

} // namespace kal::usermem

namespace {

nVOKAL_tStatus copy(void* to, const void* from, std::uint64_t userAddress, std::uint32_t size,
                    kal::usermem::Access access, const void* kernelPointer, const char* what) {
    kal::exec::assertMayBlock(what);
    if (size == 0) {
        return nVOKAL_kSuccess;
    }
    if (kernelPointer == nullptr) {
        nVOKAL250_halt("kal", __FILE__, __LINE__, "I/O-control buffer copy with a null kernel pointer");
    }
    if (!kal::usermem::owned(userAddress, size, access)) {
        gRefused.fetch_add(1);
        return nVOKAL_kStatusBadAddress;
    }
    std::memmove(to, from, size);
    return nVOKAL_kSuccess;
}

} // namespace

extern "C" nVOKAL_tStatus nVOKAL100_replicateInboundIOControlBuffer(void* destination, uint64_t userAddress,
                                                                    uint32_t size) noexcept {
    return copy(destination, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(userAddress)),
                userAddress, size, kal::usermem::kRead, destination,
                "nVOKAL100_replicateInboundIOControlBuffer");
}

extern "C" nVOKAL_tStatus nVOKAL100_replicateOutboundIOControlBuffer(uint64_t userAddress, const void* source,
                                                                     uint32_t size) noexcept {
    return copy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(userAddress)), source, userAddress, size,
                kal::usermem::kWrite, source, "nVOKAL100_replicateOutboundIOControlBuffer");
}
