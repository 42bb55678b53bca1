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

#include <cstddef>
#include <cstdint>

namespace kal::useraccess {

// While it lives, faults of the routine on [address, address + size) are
// recoverable on the calling thread; every access below must lie inside it.
// The range is non-empty and below the upper half of the address space.
class Window {
public:
    Window(std::uint64_t address, std::uint64_t size);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
};

// Copies size bytes of user memory at user into local memory; false when a
// user page is not there or not readable (part of local may then be written).
bool read(void* local, std::uint64_t user, std::size_t size);
// Copies size bytes of local memory into user memory at user; false when a
// user page is not there or not writable (part of the bytes may then have
// moved: bytes before the fault of a page that allows the write).
bool write(std::uint64_t user, const void* local, std::size_t size);
// Whether the byte at user can be read; or written, which rewrites its value
// with one atomic read-modify-write that changes nothing.
bool probeRead(std::uint64_t user);
bool probeWrite(std::uint64_t user);

} // namespace kal::useraccess
