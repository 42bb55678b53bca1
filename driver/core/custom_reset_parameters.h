// The caller's parameters of a reset: twelve 64-bit words, copied whole from
// user memory by the device template and handed to the setup sequence.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "controllers/controllers.h" // CoolingModeState

namespace kelvo_driver {

struct CustomResetParameters {
    uint64_t nonIsolatedFirmwarePtr;     // 0: user address of a custom non-isolated FPGA image
    uint64_t nonIsolatedFirmwareSize;    // 1
    uint64_t isolatedFirmwarePtr;        // 2: user address of a custom isolated FPGA image
    uint64_t isolatedFirmwareSize;       // 3
    uint64_t subroutineCommandsPtr;      // 4: user address of the custom package's 64-bit commands
    uint64_t numberOfSubroutineCommands; // 5: passed on as u32
    uint64_t subroutineIdsPtr;           // 6: user address of the u32 subroutine identifiers
    uint64_t subroutineAddressesPtr;     // 7: user address of the u32 local-RAM addresses
    uint64_t numberOfSubroutines;        // 8: passed on as u32
    uint64_t errorsToDisablePtr;         // 9: user address of 64-bit entries
    uint64_t numberOfErrorsToDisable;    // 10
    uint64_t ignoreStartupErrors;        // 11: passed on as bool (non-zero is true)
};
static_assert(sizeof(CustomResetParameters) == 96);
static_assert(offsetof(CustomResetParameters, numberOfSubroutineCommands) == 5 * sizeof(uint64_t));
static_assert(offsetof(CustomResetParameters, ignoreStartupErrors) == 11 * sizeof(uint64_t));

} // namespace kelvo_driver
