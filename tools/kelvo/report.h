// The module report: everything a user checks first on a module that the
// host has just added, each request with its status channels.
#pragma once

#include <string>

namespace kelvo_tool {

// Prints the report of device on the open "smu_kelvo" handle: properties,
// interfaces, setup level, hardware state, registered names, the firmware
// each FPGA holds, storage maps, power allocation, cooling and temperature.
// A request that fails shows its status channels in its line.
// The report; names: every register map's name, one per line (else the count).
void report(unsigned device, int handle, const std::string& board, bool names);

} // namespace kelvo_tool
