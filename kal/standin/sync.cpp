// Stand-in for the kernel layer's locks.
#include <mutex>

#include "exec_level.h"
#include "nVOKAL.h"

extern "C" nVOKAL_tHandle nVOKAL150_createMutex(void) noexcept { return new (std::nothrow) std::mutex; }

extern "C" void nVOKAL150_destroyMutex(nVOKAL_tHandle mutex) noexcept { delete static_cast<std::mutex*>(mutex); }

extern "C" void nVOKAL150_acquireMutex(nVOKAL_tHandle mutex) noexcept {
    kal::exec::assertMayBlock("nVOKAL150_acquireMutex");
    static_cast<std::mutex*>(mutex)->lock();
}

extern "C" void nVOKAL150_releaseMutex(nVOKAL_tHandle mutex) noexcept { static_cast<std::mutex*>(mutex)->unlock(); }
