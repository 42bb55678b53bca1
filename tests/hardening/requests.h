// Requests through the host's C API, as the hardening programs send them.
#pragma once

#include <cstdint>
#include <cstring>

#include "kelvo/ioctl.h"
#include "kelvo_host.h"

namespace {

inline std::uint64_t address(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// The transport's code when the request did not reach the driver, else the
// status word of the output record (out, when given, receives the record).
template <class Out = kelvo_status_record, class In>
std::int32_t ask(int handle, std::uint32_t requestCode, const In& in, Out&& out = Out{}) {
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    const int transport = kelvo_ioctl(handle, requestCode, &header);
    return transport != 0 ? transport : out.status;
}

// A request record naming a registration (a name of static storage).
template <class In> In named(const char* name) {
    In in{};
    in.nameAddress = address(name);
    in.nameLength = std::strlen(name);
    return in;
}

} // namespace
