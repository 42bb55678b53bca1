// The host's test device: a small device class on the device core, so the
// host can add devices before the product's device exists. Its add-device
// callback is kelvo_host::addTestDevice (host.h).
//
// Interfaces: "kelvo_test" (interface property "role" = "main") and
// "kelvo_test_aux". Device properties: "serialNumber" = "TEST-0001",
// "modelName" = "test device"; bus property "busType" = 0x20706369.
// I/O-control codes (every one passes the I/O gate):
#pragma once

#include <cstdint>

namespace kelvo_host::test_device {

// Copies min(input size, output size) bytes from input to output; result 0.
constexpr std::uint32_t kEcho = 0x00EE0001;
// Returns the input's first u32 as the result word.
constexpr std::uint32_t kResult = 0x00EE0002;
// Sets the input's first i32 as the request's status code.
constexpr std::uint32_t kStatus = 0x00EE0003;
// Sends the input (at most 32 bytes) through the session's notifier.
constexpr std::uint32_t kNotify = 0x00EE0004;
// Any other code answers -52005.

} // namespace kelvo_host::test_device
