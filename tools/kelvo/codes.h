// What the tool knows of the I/O-control codes: names, record sizes, the
// fields of the output records, and the status codes it prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo_tool {

struct CodeInfo {
    std::uint32_t code;
    const char* name;
    std::uint32_t inSize;
    std::uint32_t outSize;
};

// The code of "smu_kelvo" with this number or name; nullopt when unknown.
const CodeInfo* findCode(std::uint32_t code);
const CodeInfo* findCode(std::string_view name);
// Parses a code: a number (0x... hex, else decimal) or an operation name.
std::optional<std::uint32_t> parseCode(std::string_view text);

// Hex bytes ("0a1b...", spaces, '_' and ':' ignored, an optional 0x); nullopt
// for anything else or an odd count of digits.
std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text);
std::string toHex(const std::vector<std::uint8_t>& bytes);

// The output record of code decoded field by field ("setupLevel=19 status=0"),
// empty when the record is not known or its size differs.
std::string decodeOutput(std::uint32_t code, const std::vector<std::uint8_t>& output);
// The operation's status word of an output record of code (its last field).
std::optional<std::int32_t> outputStatus(std::uint32_t code, const std::vector<std::uint8_t>& output);

// A status code with its catalogue name and meaning (kelvo/status_codes.h),
// and a driver code (0xBFFAxxxx) in hex too:
// "-52002 (KELVO_STATUS_NOT_IMPLEMENTED: the operation is not offered ...)".
std::string describeStatus(std::int64_t code);
// A kernel-layer code of kelvo_ioctl with its name: "-51009 (invalid parameter)".
std::string describeTransport(std::int32_t code);

} // namespace kelvo_tool
