// The serial-flash images of the simulated module, generated at build time
// by tools/flashimage from tools/flashimage/default_flash.toml:
//   "default"                   valid maps, serial number, board revision,
//                               a header and four calibration maps
//   "erased"                    all 0xFF
//   "bit-flipped"               "Manufacturing" with a bit flipped after its checksum
//   "version-out-of-range"      "Manufacturing" at versions 1.0.0d2 to 1.0.0d3
//   "oldest-above-version"      "SelfCalibrationChannel0" oldest compatible above its version
//   "default-calibration-only"  the other three calibration maps erased
//   "unsafe-firmware-refused"   "Manufacturing" with allowUnsafeFirmware 0
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr std::size_t kFlashImageSize = 0x100000;

std::vector<std::string> flashImageNames();
// The 1 MiB image of that name, or none.
std::optional<std::vector<std::uint8_t>> flashImage(std::string_view name);

} // namespace sim
