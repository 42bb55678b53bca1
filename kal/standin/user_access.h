// Internals of the stand-in: fault-safe access to the user side of a copy,
// the way a kernel does it. The accesses are made by a short assembly
// routine; a fault inside it on the user range of the access in progress is
// taken by a SIGSEGV/SIGBUS handler, which resumes the routine at its fix-up,
// and the access reports failure. Any other fault goes on to the handler that
// was installed before (a sanitizer's report, or the default action).
//
// The handler is installed when the program loads, before any thread starts
// (SA_SIGINFO | SA_ONSTACK: it runs on a thread's alternate stack when the
// thread has one, which the sanitizers set up for their own handlers). It
// keeps its state in the faulting thread only and leaves errno as it was.
// With the sanitizers' default options the handler is ours to install; the
// options must not make theirs exclusive (AddressSanitizer: no
// allow_user_segv_handler=0, no handle_segv=2 or handle_sigbus=2).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The routines (user_access.cpp): 0, or 1 when the access faulted.
extern "C" {
__attribute__((visibility("hidden"))) int kal_user_copy(void* destination, const void* source,
                                                        std::size_t size);
__attribute__((visibility("hidden"))) int kal_user_probe_read(const void* address);
__attribute__((visibility("hidden"))) int kal_user_probe_write(void* address);
}

namespace kal::useraccess {

// The user range of the calling thread's window; empty when it has none.
// Read by the fault handler on the thread that faulted.
extern __thread std::uintptr_t tWindowStart __attribute__((tls_model("initial-exec")));
extern __thread std::uintptr_t tWindowEnd __attribute__((tls_model("initial-exec")));

inline void* pointer(std::uint64_t user) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(user));
}

// While it lives, faults of the routine on [address, address + size) are
// recoverable on the calling thread; every access below must lie inside it.
// The range is non-empty and below the upper half of the address space.
class Window {
public:
    Window(std::uint64_t address, std::uint64_t size) {
        tWindowStart = static_cast<std::uintptr_t>(address);
        tWindowEnd = static_cast<std::uintptr_t>(address + size);
        // The handler reads the window on this thread: no store may move past the routine.
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~Window() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tWindowStart = 0;
        tWindowEnd = 0;
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
};

// Copies size bytes of user memory at user into local memory; false when a
// user page is not there or not readable (part of local may then be written).
inline bool read(void* local, std::uint64_t user, std::size_t size) {
    return kal_user_copy(local, pointer(user), size) == 0;
}
// Copies size bytes of local memory into user memory at user; false when a
// user page is not there or not writable (part of the bytes may then have
// moved: bytes before the fault of a page that allows the write).
inline bool write(std::uint64_t user, const void* local, std::size_t size) {
    return kal_user_copy(pointer(user), local, size) == 0;
}
// Whether the byte at user can be read; or written, which rewrites its value
// with one atomic read-modify-write that changes nothing.
inline bool probeRead(std::uint64_t user) {
    return kal_user_probe_read(pointer(user)) == 0;
}
inline bool probeWrite(std::uint64_t user) {
    return kal_user_probe_write(pointer(user)) == 0;
}

} // namespace kal::useraccess
