#include "platform/cxxruntime.h"

#include "platform/trace.h"
#include "platform/vosdbg.h"

extern "C" void __cxa_pure_virtual() {
    VOSDBG_FAIL("pure virtual function called");
}

namespace {

constexpr uint32_t kMaxFinalizers = 64;
nVOAPAL200_tFinalizer gFinalizers[kMaxFinalizers];
uint32_t gFinalizerCount = 0;
uint32_t gUseCount = 0;

} // namespace

extern "C" void nVOAPAL200_initializeTrace() {
    kelvo_driver::nVOAPAL000::tTrace::createInstance();
    nVOAPAL200_registerFinalizer(kelvo_driver::nVOAPAL000::tTrace::destroyInstance);
}

extern "C" void nVOAPAL200_registerFinalizer(nVOAPAL200_tFinalizer finalizer) {
    VOSDBG_ASSERT(gFinalizerCount < kMaxFinalizers);
    gFinalizers[gFinalizerCount++] = finalizer;
}

extern "C" void nVOAPAL200_initializeCPPRunTime(const nVOAPAL200_tInitializer* table, uint32_t count) {
    if (gUseCount++ != 0) {
        return;
    }
    for (uint32_t i = count; i > 0; --i) {
        table[i - 1]();
    }
}

extern "C" void nVOAPAL200_finalizeCPPRunTime() {
    if (gUseCount == 0 || --gUseCount != 0) {
        return;
    }
    while (gFinalizerCount > 0) {
        gFinalizers[--gFinalizerCount]();
    }
}

extern "C" uint32_t nVOAPAL200_cppRunTimeUseCount() {
    return gUseCount;
}
