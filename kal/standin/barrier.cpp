#include "standin/barrier.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "standin/detail.h"

namespace kal::barrier {

std::atomic<bool> gProcessWide{false};

namespace {

long membarrier(int command) {
    return syscall(SYS_membarrier, command, 0, 0);
}

bool registerProcessWide() {
    // ThreadSanitizer does not model the system's barrier: there both sides
    // fence in full, which it sees.
#if defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return false;
#endif
#endif
    const long offered = membarrier(MEMBARRIER_CMD_QUERY);
    if (offered < 0 || (offered & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0 ||
        membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0) {
        return false;
    }
    gProcessWide.store(true, std::memory_order_relaxed);
    return true;
}

// At load, before main and any thread of the program.
[[maybe_unused]] const bool gRegistered = registerProcessWide();

} // namespace

void heavyFence() {
    fullFence();
    if (gProcessWide.load(std::memory_order_relaxed) && membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) {
        KAL_FAIL("the process-wide memory barrier failed once registered");
    }
}

} // namespace kal::barrier
