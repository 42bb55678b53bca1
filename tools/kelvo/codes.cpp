#include "codes.h"

#include <cctype>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "kelvo/ioctl.h"

namespace kelvo_tool {

namespace {

constexpr CodeInfo kCodes[] = {
#define KELVO_TOOL_ROW(op, in, out) {KELVO_IOCTL_##op, #op, in, out},
    KELVO_IOCTL_TABLE(KELVO_TOOL_ROW)
#undef KELVO_TOOL_ROW
};

// One result field of an output record.
struct Field {
    std::uint32_t code;
    const char* name;
    std::size_t offset;
    std::size_t width;
};

#define KELVO_FIELD(op, field)                                                                               \
    Field {                                                                                                  \
        KELVO_IOCTL_##op, #field, offsetof(kelvo_##op##_out, field), sizeof(kelvo_##op##_out::field)         \
    }

constexpr Field kFields[] = {
    KELVO_FIELD(voquantaPXICooling_getCoolingMode, coolingMode),
    KELVO_FIELD(pxiCooling_getRequestedCoolingMode, coolingMode),
    KELVO_FIELD(wexmoor_isSequenceEngineRunning, running),
    KELVO_FIELD(wexmoor_getNumSubroutines, subroutineCount),
    KELVO_FIELD(kelvo_getSetupLevel, setupLevel),
    KELVO_FIELD(triggersAndEvents_overrideTrigger, result),
    KELVO_FIELD(triggersAndEvents_checkEventLatch, latched),
    KELVO_FIELD(corran_readTemperatureSensor, temperature),
    KELVO_FIELD(corran_queryInCompliance, inCompliance),
    KELVO_FIELD(corran_areStorageMapChecksumsValid, allValid),
    KELVO_FIELD(corran_areStorageMapVersionsValid, allValid),
    KELVO_FIELD(corran_getAlarmRaised, result),
    KELVO_FIELD(corran_calculateChargeBalanceOffset, offset),
    KELVO_FIELD(corran_stagePowerAllocation, result),
    KELVO_FIELD(corran_getActualPowerAllocation, powerMicrowatts),
    KELVO_FIELD(corran_readDAC, result),
    KELVO_FIELD(corran_getConnectedAccessory, accessory),
    KELVO_FIELD(routing_queryVersion, version),
    KELVO_FIELD(routing_calculateRoute, result),
    KELVO_FIELD(routing_calculateRoute, possibilitiesCount),
    KELVO_FIELD(routing_reserveRoute, conflictsCount),
    KELVO_FIELD(routing_getRouteTerminalPath, pathLength),
    KELVO_FIELD(routing_calculateResetTerminal, result),
    KELVO_FIELD(arm_read, value),
    KELVO_FIELD(arm_getNumberOfRegistrations, count),
    KELVO_FIELD(arm_get, value),
    KELVO_FIELD(arm_readEx, value),
    KELVO_FIELD(arm_getEx, value),
    KELVO_FIELD(arm_getRegisterFormat, fieldCount),
    KELVO_FIELD(arm_getSizeOfRegistrationList, size),
    KELVO_FIELD(deviceWindow_getNumberOfRegistrations, count),
    KELVO_FIELD(deviceWindow_getSizeInBytes, size),
    KELVO_FIELD(storageMap_getNumberOfRegistrations, count),
    KELVO_FIELD(storageMap_getElementCount, count),
    KELVO_FIELD(storageMap_getElementSize, size),
    KELVO_FIELD(storageMap_isChecksumValid, valid),
    KELVO_FIELD(brixelTools_getTransferCount, transferCount),
    KELVO_FIELD(brixelTools_waitUntilBytesTransferred, timedOut),
};
#undef KELVO_FIELD

// Where the status word of each output record is.
std::size_t statusOffset(std::uint32_t code) {
    switch (code) {
#define KELVO_TOOL_CASE(op, in, out)                                                                         \
    case KELVO_IOCTL_##op:                                                                                   \
        return offsetof(kelvo_##op##_out, status);
        KELVO_IOCTL_TABLE(KELVO_TOOL_CASE)
#undef KELVO_TOOL_CASE
    }
    return 0;
}

std::uint64_t readLittleEndian(const std::vector<std::uint8_t>& bytes, std::size_t offset,
                               std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

// The value of a hexadecimal digit, or -1.
int hexDigit(char c) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
        return -1;
    }
    return std::isdigit(static_cast<unsigned char>(c))
               ? c - '0'
               : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// Every status code of the catalogue (kelvo/status_codes.h), by its C name.
struct StatusInfo {
    std::int64_t code;
    const char* name;
    const char* meaning;
};

constexpr StatusInfo kStatuses[] = {
#define KELVO_TOOL_STATUS(name, value, meaning) {KELVO_STATUS_##name, "KELVO_STATUS_" #name, meaning},
    KELVO_STATUS_TABLE(KELVO_TOOL_STATUS)
#undef KELVO_TOOL_STATUS
};

struct NamedCode {
    std::int64_t code;
    const char* name;
};

constexpr NamedCode kTransportNames[] = {
    {0, "ok"},
    {-51009, "invalid parameter: a record size other than the code's, or an output the caller may not write"},
    {-51256, "not implemented: unknown code"},
    {-51101, "bad address: an input the caller does not own"},
    {-51300, "invalid state"},
    {-51001, "unknown error"},
};

} // namespace

const CodeInfo* findCode(std::uint32_t code) {
    for (const CodeInfo& info : kCodes) {
        if (info.code == code) {
            return &info;
        }
    }
    return nullptr;
}

const CodeInfo* findCode(std::string_view name) {
    for (const CodeInfo& info : kCodes) {
        if (name == info.name) {
            return &info;
        }
    }
    return nullptr;
}

std::optional<std::uint32_t> parseCode(std::string_view text) {
    if (const CodeInfo* info = findCode(text)) {
        return info->code;
    }
    if (text.empty()) {
        return std::nullopt;
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0 || digit >= base) {
            return std::nullopt;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '_' || c == ':' || c == '\t') {
            continue;
        }
        const int digit = hexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return bytes;
}

std::string toHex(const std::vector<std::uint8_t>& bytes) {
    std::ostringstream text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && i % 4 == 0) {
            text << ' ';
        }
        text << std::hex << std::setw(2) << std::setfill('0') << static_cast<unsigned>(bytes[i]);
    }
    return text.str();
}

std::optional<std::int32_t> outputStatus(std::uint32_t code, const std::vector<std::uint8_t>& output) {
    const CodeInfo* info = findCode(code);
    if (info == nullptr || output.size() != info->outSize) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(readLittleEndian(output, statusOffset(code), 4));
}

std::string decodeOutput(std::uint32_t code, const std::vector<std::uint8_t>& output) {
    const std::optional<std::int32_t> status = outputStatus(code, output);
    if (!status) {
        return {};
    }
    std::ostringstream text;
    for (const Field& field : kFields) {
        if (field.code == code) {
            text << field.name << '=' << readLittleEndian(output, field.offset, field.width) << ' ';
        }
    }
    text << "status=" << describeStatus(*status);
    return text.str();
}

std::string describeStatus(std::int64_t code) {
    std::ostringstream text;
    text << code;
    const StatusInfo* info = nullptr;
    for (const StatusInfo& status : kStatuses) {
        if (status.code == code) {
            info = &status;
        }
    }
    const bool driverCode = code >= INT32_MIN && code <= INT32_MAX && KELVO_STATUS_IS_DRIVER_CODE(code);
    if (!driverCode && info == nullptr) {
        text << (code > 0 ? " (warning)" : "");
        return text.str();
    }
    text << " (";
    if (driverCode) {
        text << "0x" << std::hex << std::uppercase << static_cast<std::uint32_t>(code) << std::dec
             << (info != nullptr ? ", " : "");
    }
    if (info != nullptr) {
        text << info->name << ": " << info->meaning;
    }
    text << ")";
    return text.str();
}

std::string describeTransport(std::int32_t code) {
    std::ostringstream text;
    text << code;
    for (const NamedCode& named : kTransportNames) {
        if (named.code == code) {
            text << " (" << named.name << ")";
        }
    }
    return text.str();
}

} // namespace kelvo_tool
