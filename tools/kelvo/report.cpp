#include "report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "codes.h"
#include "controllers_report.h"
#include "kelvo/ioctl.h"
#include "kelvo/product_ids.h"
#include "host/kelvo_host.h"
#include "request.h"
#include "storage_maps.h"

namespace kelvo_tool {

namespace {

std::string propertyValue(unsigned device, const char* interfaceName, const char* name) {
    std::vector<char> value(256, 0);
    const int length = kelvo_property_read(device, interfaceName, name, value.data(), value.size());
    if (length < 0) {
        return "(unreadable)";
    }
    value.resize(static_cast<std::size_t>(length) < value.size() ? static_cast<std::size_t>(length)
                                                                 : value.size());
    const bool text =
        !value.empty() && value.back() == '\0' &&
        std::all_of(value.begin(), value.end() - 1, [](char c) { return c >= 0x20 && c < 0x7F; });
    if (text) {
        std::string quoted(1, '"');
        quoted.append(value.data());
        quoted.push_back('"');
        return quoted;
    }
    if (value.size() == 4 || value.size() == 8) {
        std::uint64_t number = 0;
        std::memcpy(&number, value.data(), value.size());
        char hex[24];
        std::snprintf(hex, sizeof(hex), " (0x%llX)", static_cast<unsigned long long>(number));
        if (value.size() == 4) {
            return std::to_string(static_cast<std::int32_t>(number)) + hex;
        }
        return std::to_string(number) + hex;
    }
    return toHex({value.begin(), value.end()});
}

// What a property's number means, where the number alone says little: the
// bus types as the four letters they spell, the link's speed code, no NUMA
// node.
std::string propertyMeaning(const std::string& name, const std::string& value) {
    const auto number = [&value]() -> std::optional<long long> {
        try {
            return std::stoll(value);
        } catch (...) {
            return std::nullopt;
        }
    }();
    if (!number) {
        return {};
    }
    if (name == "busType" || name == "busSubType") {
        std::string letters;
        for (int i = 3; i >= 0; --i) {
            const char c = static_cast<char>((static_cast<unsigned long long>(*number) >> (8 * i)) & 0xFF);
            letters += (c >= 0x20 && c < 0x7F) ? c : '.';
        }
        const auto first = letters.find_first_not_of(' ');
        const auto last = letters.find_last_not_of(' ');
        return first == std::string::npos ? std::string()
                                          : " \"" + letters.substr(first, last - first + 1) + "\"";
    }
    if (name == "pcieMaxTransferRate" || name == "pcieTransferRate") {
        static const char* const kRates[] = {"unknown", "2.5 GT/s", "5 GT/s", "8 GT/s", "16 GT/s", "32 GT/s"};
        return *number >= 0 && *number < 6 ? std::string(" ") + kRates[*number] : std::string();
    }
    if (name == "numaNode" && *number == -1) {
        return " no NUMA node";
    }
    return {};
}

void reportProperties(unsigned device, const char* interfaceName, const char* indent) {
    static const char* const kKinds[] = {"device", "bus", "interface"};
    char name[128];
    unsigned kind = 0;
    for (unsigned i = 0; kelvo_property_name(device, interfaceName, i, name, sizeof(name), &kind) >= 0; ++i) {
        const std::string value = propertyValue(device, interfaceName, name);
        std::cout << indent << name << " = " << value << propertyMeaning(name, value);
        if (interfaceName == nullptr && kind < 3) {
            std::cout << "  [" << kKinds[kind] << "]";
        }
        std::cout << "\n";
    }
}

// The count of one registry; nullopt (printed) when the request failed.
std::optional<std::uint64_t> registrationCount(int handle, const char* what, std::uint32_t countCode) {
    const Reply count = sendDefault(handle, countCode);
    const auto status = outputStatus(countCode, count.output);
    if (count.transport != 0 || !status || *status < 0) {
        std::cout << "  " << what << ": " << channels(countCode, count) << "\n";
        return std::nullopt;
    }
    std::uint64_t n = 0;
    std::memcpy(&n, count.output.data(), sizeof(n));
    return n;
}

// The names of one registry on one line, from its 64-byte name slots.
void reportNames(int handle, const char* what, std::uint32_t countCode, std::uint32_t namesCode) {
    const auto n = registrationCount(handle, what, countCode);
    if (!n) {
        return;
    }
    std::cout << "  " << what << " (" << *n << ")";
    if (*n == 0 || *n > 4096) {
        std::cout << "\n";
        return;
    }
    std::vector<char> slots(*n * KELVO_NAME_SLOT_SIZE, 0);
    const auto names = call<kelvo_status_record>(
        handle, namesCode, kelvo_arm_getRegistrationNames_in{address(slots.data()), 0, 0});
    if (!names.ok()) {
        std::cout << ": names: " << channels(names.transport, names.out.status) << "\n";
        return;
    }
    std::cout << ":";
    for (std::uint64_t i = 0; i < *n; ++i) {
        const char* slot = slots.data() + i * KELVO_NAME_SLOT_SIZE;
        std::cout << " " << std::string(slot, strnlen(slot, KELVO_NAME_SLOT_SIZE));
    }
    std::cout << "\n";
}

// The register maps' names one per line, whole: the registration list has no
// 64-character limit (the name slots cut the longer names).
void reportRegisterMaps(int handle, bool listNames) {
    const auto n = registrationCount(handle, "register maps", KELVO_IOCTL_arm_getNumberOfRegistrations);
    if (!n) {
        return;
    }
    if (!listNames) {
        std::cout << "  register maps (" << *n << "; --names lists them)\n";
        return;
    }
    const auto size = call<kelvo_arm_getSizeOfRegistrationList_out>(
        handle, KELVO_IOCTL_arm_getSizeOfRegistrationList, kelvo_status_record{0});
    std::cout << "  register maps (" << *n << ")";
    if (!size.ok() || size.out.size > (1u << 24)) {
        std::cout << ": list size: " << channels(size.transport, size.out.status) << "\n";
        return;
    }
    std::vector<char> list(size.out.size, 0);
    const auto names = call<kelvo_status_record>(
        handle, KELVO_IOCTL_arm_getRegistrationList,
        kelvo_arm_getRegistrationList_in{address(list.empty() ? nullptr : list.data()), 0, 0});
    if (!names.ok()) {
        std::cout << ": list: " << channels(names.transport, names.out.status) << "\n";
        return;
    }
    // The size counts a terminating NUL that the list does not carry.
    list.resize(strnlen(list.data(), list.size()));
    std::cout << ":\n";
    for (auto begin = list.begin(); begin != list.end();) {
        const auto end = std::find(begin, list.end(), '\t');
        std::cout << "    " << std::string(begin, end) << "\n";
        begin = end == list.end() ? end : end + 1;
    }
}

// The firmware an FPGA holds, as its board signature says: read through the
// FPGA's window at its board block's signature register.
void reportFirmware(int handle, const std::string& board) {
    const bool duskmere = board.rfind("duskmere", 0) == 0;
    struct Fpga {
        const char* what;
        const char* window;
        std::uint64_t signature;
    };
    const Fpga fpgas[] = {{"non-isolated FPGA", "NisoFpgaWindow", duskmere ? 0x8020u : 0x20u},
                          {"isolated FPGA", "IsoFpgaWindow", 0x20}};
    std::cout << "loaded firmware:\n";
    for (const Fpga& fpga : fpgas) {
        std::uint32_t word = 0;
        const auto read = call<kelvo_deviceWindow_read_out>(
            handle, KELVO_IOCTL_deviceWindow_read,
            kelvo_deviceWindow_read_in{address(fpga.window), std::strlen(fpga.window), fpga.signature,
                                       sizeof(word), address(&word), 0, 0});
        std::cout << "  " << fpga.what << ": ";
        if (!read.ok()) {
            std::cout << "not reachable " << channels(fpga.window, read) << "\n";
            continue;
        }
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08X", word);
        const char* image = word == KELVO_SOLSTRA_BOARD_SIGNATURE    ? "a Solstra image"
                            : word == KELVO_DUSKMERE_BOARD_SIGNATURE ? "a Duskmere image"
                                                                     : "no image of this family";
        std::cout << "signature " << hex << " (" << image << ")\n";
    }
}

} // namespace

void report(unsigned device, int handle, const std::string& board, bool names) {
    std::cout << "device properties:\n";
    reportProperties(device, nullptr, "  ");
    std::cout << "interfaces:\n";
    char name[128];
    for (unsigned i = 0; kelvo_interface_name(device, i, name, sizeof(name)) >= 0; ++i) {
        std::cout << "  " << name << "\n";
        reportProperties(device, name, "    ");
    }

    const auto level = call<kelvo_kelvo_getSetupLevel_out>(handle, KELVO_IOCTL_kelvo_getSetupLevel,
                                                           kelvo_kelvo_getSetupLevel_in{0});
    std::cout << "setup level: ";
    if (level.transport == 0) {
        std::cout << level.out.setupLevel;
    } else {
        std::cout << "(none)";
    }
    std::cout << failedOnly("kelvo_getSetupLevel", level) << "\n";

    const auto hardware = call<kelvo_kdut_checkHardwareState_out>(handle, KELVO_IOCTL_kdut_checkHardwareState,
                                                                  kelvo_kdut_checkHardwareState_in{0, 0, 0});
    std::cout << "hardware state: "
              << (hardware.ok() ? "good" : channels(hardware.transport, hardware.out.status)) << "\n";
    const auto routing = call<kelvo_routing_queryVersion_out>(handle, KELVO_IOCTL_routing_queryVersion,
                                                              kelvo_status_record{0});
    std::cout << "routing interface version: " << routing.out.version
              << failedOnly("routing_queryVersion", routing) << "\n";

    std::cout << "registered names:\n";
    reportRegisterMaps(handle, names);
    reportNames(handle, "device windows", KELVO_IOCTL_deviceWindow_getNumberOfRegistrations,
                KELVO_IOCTL_deviceWindow_getRegistrationNames);
    reportNames(handle, "storage maps", KELVO_IOCTL_storageMap_getNumberOfRegistrations,
                KELVO_IOCTL_storageMap_getRegistrationNames);
    reportFirmware(handle, board);
    showStorageMaps(handle);
    reportControllers(device);
}

} // namespace kelvo_tool
