// The header of a raw I/O-control request (kelvo_ioctl_header) over an input
// and an output record, for the benchmarks that send requests by hand.
#pragma once

#include <cstdint>

#include "host/kelvo_host.h"

namespace kelvo_bench {

template <typename In, typename Out> kelvo_ioctl_header headerOf(const In& in, Out& out) {
    return {reinterpret_cast<std::uintptr_t>(&in),
            reinterpret_cast<std::uintptr_t>(&out),
            sizeof(In),
            sizeof(Out),
            0,
            0};
}

} // namespace kelvo_bench
