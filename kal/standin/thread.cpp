// Stand-in for the kernel layer's thread operations.
#include <atomic>

#include "nVOKAL.h"

namespace {
std::atomic<uint64_t> gNextThreadId{1};
thread_local uint64_t tThreadId = 0;
} // namespace

extern "C" uint64_t nVOKAL100_getThreadID(void) noexcept {
    if (tThreadId == 0) {
        tThreadId = gNextThreadId.fetch_add(1);
    }
    return tThreadId;
}
