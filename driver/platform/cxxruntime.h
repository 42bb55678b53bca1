// The driver's static initialisers and finalisers.
//
// The driver keeps no global object with a constructor or destructor that
// the compiler would run: everything that needs one is created by an entry of
// the initialiser table (cxxruntime.cpp), run by the driver entry at load, and
// destroyed by a finaliser registered while it ran, at unload.
#pragma once

#include <stdint.h>

extern "C" {
using nVOAPAL200_tFinalizer = void (*)();
// Use-counted: the first call runs the initialiser table, from its last entry to its first.
void nVOAPAL200_initializeCPPRunTime();
// The last matching call runs the registered finalisers, latest first.
void nVOAPAL200_finalizeCPPRunTime();
// Registers a finaliser (called by initialisers).
void nVOAPAL200_registerFinalizer(nVOAPAL200_tFinalizer finalizer);
// The use count (0 when not loaded).
uint32_t nVOAPAL200_cppRunTimeUseCount();
}
