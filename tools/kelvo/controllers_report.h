// The report's lines on the non-isolated controllers: cooling mode,
// temperature and power allocation, each with its request's status channels.
#pragma once

namespace kelvo_tool {

// Opens a session of its own on "smu_kelvo" (the power allocation needs the
// channel's reservation, which it must not leave on the caller's session),
// asks and prints; nothing is changed on the module.
void reportControllers(unsigned device);

} // namespace kelvo_tool
