// The driver's static initialisers and finalisers.
//
// The driver keeps no global object with a constructor or destructor that
// the compiler would run: everything that needs one is created by an entry of
// the initialiser table, run by the driver entry at load, and destroyed by a
// finaliser registered while it ran, at unload. The table belongs to the
// driver above the platform (the core's driver entry hands it in); the
// platform's own entry in it is nVOAPAL200_initializeTrace.
#pragma once

#include <stdint.h>

extern "C" {
using nVOAPAL200_tInitializer = void (*)();
using nVOAPAL200_tFinalizer = void (*)();
// Use-counted: the first call runs the count entries of the initialiser
// table, from its last entry to its first; later calls only count.
void nVOAPAL200_initializeCPPRunTime(const nVOAPAL200_tInitializer* table, uint32_t count);
// The last matching call runs the registered finalisers, latest first.
void nVOAPAL200_finalizeCPPRunTime();
// Registers a finaliser (called by initialisers).
void nVOAPAL200_registerFinalizer(nVOAPAL200_tFinalizer finalizer);
// The use count (0 when not loaded).
uint32_t nVOAPAL200_cppRunTimeUseCount();
// The platform's initialiser: creates the trace stream and registers its destruction.
void nVOAPAL200_initializeTrace();
}
