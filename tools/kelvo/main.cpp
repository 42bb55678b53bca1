// kelvo_tool: loads the driver on a simulated module through the host and
// reports what a user checks first; issues raw I/O-control requests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "codes.h"
#include "kelvo/ioctl.h"
#include "kelvo/product_ids.h"
#include "storage_maps.h"
#include "kelvo_host.h"

namespace {

using kelvo_tool::CodeInfo;

constexpr int kExitOk = 0;
constexpr int kExitRequestFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;

const char* const kBoards[] = {"solstra", "duskmere-a", "duskmere-b"};

void printHelp() {
    std::cout <<
        R"(Usage: kelvo_tool [options]

Starts the host with the kernel-layer stand-in, loads the driver, plugs in a
simulated module and reports what a user checks first:
  - the device's properties and its interfaces (with their properties),
  - its setup level (kelvo_getSetupLevel),
  - the answer of a level-19 request (kdut_checkHardwareState),
  - the firmware each FPGA holds: its board signature, read through its
    window ("NisoFpgaWindow", "IsoFpgaWindow") once the driver built it,
  - the names registered in the register-map, device-window and storage-map
    registries.
Then it runs the raw requests given, in one session, and unloads everything.

Options:
  --board NAME          the simulated module: solstra (default), duskmere-a, duskmere-b
  --interface NAME      the interface that raw requests go to (default smu_kelvo;
                        the other is nPXICOOLING_17_2_pxiCooling)
  --ioctl CODE [HEX]    one raw request: CODE is a number (0x... or decimal) or an
                        operation name (kelvo_getSetupLevel, arm_read, ...); HEX is
                        the input record, byte by byte in memory order (spaces
                        allowed: "00000000"). Without HEX a known code gets a zero
                        record of its size (caller's status word 0).
  --out N               the output size of the --ioctl request (default: the
                        code's output record size)
  --file PATH           runs the requests of a file in the same session, one per
                        line: CODE [HEX] [out=N]; empty lines and '#' comments skipped
  --quiet               only the raw requests, no report
  --maps                shows every storage map (checksum and versions) and the
                        serial number
  --get MAP.FIELD[I]    reads element I (default 0) of a storage-map field by
                        name, e.g. Manufacturing.boardSerialNumber
  --set MAP.FIELD[I]=V  writes it and flushes the map: a number, a version
                        text (1.0.0d1), a string, or hex bytes by field
  --flash-in PATH       starts the module with its serial flash read from PATH
                        (1 MiB, as --flash-out writes it)
  --flash-out PATH      saves the module's serial flash to PATH at the end
  --niso-image PATH     after the module is added, resets the device (to level
                        19) with a custom non-isolated FPGA image read from
                        PATH (reset parameter words 0 and 1); the driver
                        refuses an image whose size is not the FPGA's
  --help                this text

Order: the --niso-image reset, the report, --maps, every --set, every --get, the raw requests, then
--flash-out. A failed --get or --set counts as a failed request (exit 1).

Every request prints two status channels:
  transport  what kelvo_ioctl returned: 0 when the request reached its operation;
             -51009 for a record size other than the code's, -51256 for a code
             the interface does not know, -51101 for an input not readable;
  status     the operation's status word, the last field of the output record
             (0 success, positive a warning, negative an error; driver codes
             are printed as 0xBFFAxxxx too).
The output record is printed in hex and, for the codes the user-mode header
knows, field by field.

Exit status: 0 when everything ran and every raw request reached its
operation, 1 when a raw request failed in transport, 2 for a usage error,
3 when the driver or the device could not be brought up.
)";
}

struct Request {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> input;
    bool inputGiven = false;
    std::int64_t outSize = -1; // -1: the code's
    std::string origin;        // where it came from, for messages
};

struct Options {
    std::string board = "solstra";
    std::string interfaceName = "smu_kelvo";
    std::vector<Request> requests;
    std::vector<std::string> files;
    bool quiet = false;
    bool maps = false;
    std::vector<std::pair<kelvo_tool::FieldRef, std::string>> sets;
    std::vector<kelvo_tool::FieldRef> gets;
    std::string flashIn;
    std::string flashOut;
    std::string nisoImage;
};

std::string codeName(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", code);
    const CodeInfo* info = kelvo_tool::findCode(code);
    return info != nullptr ? std::string(info->name) + " (" + text + ")"
                           : std::string(text) + " (unknown code)";
}

// One request on handle: the transport code, the output record.
struct Reply {
    int transport = 0;
    std::uint32_t result = 0;
    std::vector<std::uint8_t> output;
};

Reply send(int handle, std::uint32_t code, std::vector<std::uint8_t> input, std::size_t outSize) {
    Reply reply;
    reply.output.assign(outSize, 0);
    kelvo_ioctl_header header{};
    header.inputAddress = reinterpret_cast<std::uintptr_t>(input.empty() ? nullptr : input.data());
    header.inputSize = static_cast<std::uint32_t>(input.size());
    header.outputAddress =
        reinterpret_cast<std::uintptr_t>(reply.output.empty() ? nullptr : reply.output.data());
    header.outputSize = static_cast<std::uint32_t>(outSize);
    reply.transport = kelvo_ioctl(handle, code, &header);
    reply.result = header.result;
    return reply;
}

// A request of a known code with a zero record and the caller's word 0.
Reply sendDefault(int handle, std::uint32_t code) {
    const CodeInfo* info = kelvo_tool::findCode(code);
    return send(handle, code, std::vector<std::uint8_t>(info->inSize, 0), info->outSize);
}

std::string channels(std::uint32_t code, const Reply& reply) {
    std::string text = "transport " + kelvo_tool::describeTransport(reply.transport);
    if (reply.transport == 0) {
        if (auto status = kelvo_tool::outputStatus(code, reply.output)) {
            text += ", status " + kelvo_tool::describeStatus(*status);
        }
    }
    return text;
}

bool parseRequest(const std::vector<std::string>& words, Request& request, std::string& error) {
    if (words.empty()) {
        error = "a request needs a code";
        return false;
    }
    const auto code = kelvo_tool::parseCode(words[0]);
    if (!code) {
        error = "not a code: " + words[0];
        return false;
    }
    request.code = *code;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i].rfind("out=", 0) == 0) {
            const auto size = kelvo_tool::parseCode(words[i].substr(4));
            if (!size || *size > 0x10000) {
                error = "not an output size: " + words[i];
                return false;
            }
            request.outSize = *size;
            continue;
        }
        const auto bytes = kelvo_tool::parseHex(words[i]);
        if (!bytes) {
            error = "not hex bytes: " + words[i];
            return false;
        }
        request.input.insert(request.input.end(), bytes->begin(), bytes->end());
        request.inputGiven = true;
    }
    const CodeInfo* info = kelvo_tool::findCode(request.code);
    if (!request.inputGiven && info != nullptr) {
        request.input.assign(info->inSize, 0);
    }
    if (request.outSize < 0) {
        if (info == nullptr) {
            error = "unknown code " + words[0] + ": give its output size (out=N / --out N)";
            return false;
        }
        request.outSize = info->outSize;
    }
    return true;
}

bool readFile(const std::string& path, std::vector<Request>& requests) {
    std::ifstream file(path);
    if (!file) {
        std::cerr << "kelvo_tool: cannot read " << path << "\n";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::vector<std::string> list;
        for (std::string word; words >> word;) {
            list.push_back(word);
        }
        if (list.empty()) {
            continue;
        }
        // Hex may be split by spaces: join the words between the code and out=.
        std::vector<std::string> joined{list[0]};
        std::string hex;
        for (std::size_t i = 1; i < list.size(); ++i) {
            if (list[i].rfind("out=", 0) == 0) {
                joined.push_back(list[i]);
            } else {
                hex += list[i];
            }
        }
        if (!hex.empty()) {
            joined.insert(joined.begin() + 1, hex);
        }
        Request request;
        request.origin = path + ":" + std::to_string(number);
        std::string error;
        if (!parseRequest(joined, request, error)) {
            std::cerr << "kelvo_tool: " << request.origin << ": " << error << "\n";
            return false;
        }
        requests.push_back(request);
    }
    return true;
}

int parseArguments(int argc, char** argv, Options& options) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                std::cerr << "kelvo_tool: " << a << " needs a value\n";
                return false;
            }
            into = args[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            printHelp();
            return -1;
        } else if (a == "--board") {
            if (!value(options.board)) {
                return kExitUsage;
            }
            bool known = false;
            for (const char* board : kBoards) {
                known = known || options.board == board;
            }
            if (!known) {
                std::cerr << "kelvo_tool: unknown board \"" << options.board
                          << "\" (solstra, duskmere-a, duskmere-b)\n";
                return kExitUsage;
            }
        } else if (a == "--interface") {
            if (!value(options.interfaceName)) {
                return kExitUsage;
            }
        } else if (a == "--ioctl") {
            std::vector<std::string> words;
            if (!value(words.emplace_back())) {
                return kExitUsage;
            }
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
                words.push_back(args[++i]);
            }
            if (i + 2 < args.size() && args[i + 1] == "--out") {
                words.push_back("out=" + args[i + 2]);
                i += 2;
            }
            Request request;
            request.origin = "--ioctl";
            std::string error;
            if (!parseRequest(words, request, error)) {
                std::cerr << "kelvo_tool: " << error << "\n";
                return kExitUsage;
            }
            options.requests.push_back(request);
        } else if (a == "--file") {
            if (!value(options.files.emplace_back())) {
                return kExitUsage;
            }
        } else if (a == "--quiet") {
            options.quiet = true;
        } else if (a == "--maps") {
            options.maps = true;
        } else if (a == "--get" || a == "--set") {
            std::string text;
            if (!value(text)) {
                return kExitUsage;
            }
            std::string assigned;
            if (a == "--set") {
                const auto equals = text.find('=');
                if (equals == std::string::npos) {
                    std::cerr << "kelvo_tool: --set needs MAP.FIELD=VALUE\n";
                    return kExitUsage;
                }
                assigned = text.substr(equals + 1);
                text.erase(equals);
            }
            std::string error;
            const auto ref = kelvo_tool::findField(text, error);
            if (!ref) {
                std::cerr << "kelvo_tool: " << error << "\n";
                return kExitUsage;
            }
            if (a == "--set") {
                options.sets.emplace_back(*ref, assigned);
            } else {
                options.gets.push_back(*ref);
            }
        } else if (a == "--flash-in") {
            if (!value(options.flashIn)) {
                return kExitUsage;
            }
        } else if (a == "--flash-out") {
            if (!value(options.flashOut)) {
                return kExitUsage;
            }
        } else if (a == "--niso-image") {
            if (!value(options.nisoImage)) {
                return kExitUsage;
            }
        } else {
            std::cerr << "kelvo_tool: unknown argument " << a << " (see --help)\n";
            return kExitUsage;
        }
    }
    for (const std::string& path : options.files) {
        if (!readFile(path, options.requests)) {
            return kExitUsage;
        }
    }
    return kExitOk;
}

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
    return kelvo_tool::toHex({value.begin(), value.end()});
}

void reportProperties(unsigned device, const char* interfaceName, const char* indent) {
    static const char* const kKinds[] = {"device", "bus", "interface"};
    char name[128];
    unsigned kind = 0;
    for (unsigned i = 0; kelvo_property_name(device, interfaceName, i, name, sizeof(name), &kind) >= 0; ++i) {
        std::cout << indent << name << " = " << propertyValue(device, interfaceName, name);
        if (interfaceName == nullptr && kind < 3) {
            std::cout << "  [" << kKinds[kind] << "]";
        }
        std::cout << "\n";
    }
}

// The count and the names of one registry.
void reportNames(int handle, const char* what, std::uint32_t countCode, std::uint32_t namesCode) {
    const Reply count = sendDefault(handle, countCode);
    const auto status = kelvo_tool::outputStatus(countCode, count.output);
    if (count.transport != 0 || !status || *status < 0) {
        std::cout << "  " << what << ": " << channels(countCode, count) << "\n";
        return;
    }
    std::uint64_t n = 0;
    std::memcpy(&n, count.output.data(), sizeof(n));
    std::cout << "  " << what << " (" << n << ")";
    if (n == 0 || n > 4096) {
        std::cout << "\n";
        return;
    }
    std::vector<char> slots(n * KELVO_NAME_SLOT_SIZE, 0);
    kelvo_arm_getRegistrationNames_in in{reinterpret_cast<std::uintptr_t>(slots.data()), 0, 0};
    std::vector<std::uint8_t> input(sizeof(in));
    std::memcpy(input.data(), &in, sizeof(in));
    const Reply names = send(handle, namesCode, input, sizeof(kelvo_status_record));
    const auto namesStatus = kelvo_tool::outputStatus(namesCode, names.output);
    if (names.transport != 0 || !namesStatus || *namesStatus < 0) {
        std::cout << ": names: " << channels(namesCode, names) << "\n";
        return;
    }
    std::cout << ":";
    for (std::uint64_t i = 0; i < n; ++i) {
        std::cout << " "
                  << std::string(slots.data() + i * KELVO_NAME_SLOT_SIZE,
                                 strnlen(slots.data() + i * KELVO_NAME_SLOT_SIZE, KELVO_NAME_SLOT_SIZE));
    }
    std::cout << "\n";
}

void report(unsigned device, int handle) {
    std::cout << "device properties:\n";
    reportProperties(device, nullptr, "  ");
    std::cout << "interfaces:\n";
    char name[128];
    for (unsigned i = 0; kelvo_interface_name(device, i, name, sizeof(name)) >= 0; ++i) {
        std::cout << "  " << name << "\n";
        reportProperties(device, name, "    ");
    }

    const Reply level = sendDefault(handle, KELVO_IOCTL_kelvo_getSetupLevel);
    std::cout << "setup level: ";
    if (level.transport == 0) {
        kelvo_kelvo_getSetupLevel_out out{};
        std::memcpy(&out, level.output.data(), sizeof(out));
        std::cout << out.setupLevel;
    } else {
        std::cout << "(none)";
    }
    std::cout << "  [kelvo_getSetupLevel: " << channels(KELVO_IOCTL_kelvo_getSetupLevel, level) << "]\n";

    const Reply hardware = sendDefault(handle, KELVO_IOCTL_kdut_checkHardwareState);
    std::cout << "hardware state (level-19 request): [kdut_checkHardwareState: "
              << channels(KELVO_IOCTL_kdut_checkHardwareState, hardware) << "]\n";

    std::cout << "registered names:\n";
    reportNames(handle, "register maps", KELVO_IOCTL_arm_getNumberOfRegistrations,
                KELVO_IOCTL_arm_getRegistrationNames);
    reportNames(handle, "device windows", KELVO_IOCTL_deviceWindow_getNumberOfRegistrations,
                KELVO_IOCTL_deviceWindow_getRegistrationNames);
    reportNames(handle, "storage maps", KELVO_IOCTL_storageMap_getNumberOfRegistrations,
                KELVO_IOCTL_storageMap_getRegistrationNames);
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
        kelvo_deviceWindow_read_in in{reinterpret_cast<std::uintptr_t>(fpga.window),
                                      std::strlen(fpga.window),
                                      fpga.signature,
                                      sizeof(word),
                                      reinterpret_cast<std::uintptr_t>(&word),
                                      0,
                                      0};
        std::vector<std::uint8_t> input(sizeof(in));
        std::memcpy(input.data(), &in, sizeof(in));
        const Reply reply = send(handle, KELVO_IOCTL_deviceWindow_read, input, sizeof(kelvo_status_record));
        const auto status = kelvo_tool::outputStatus(KELVO_IOCTL_deviceWindow_read, reply.output);
        std::cout << "  " << fpga.what << ": ";
        if (reply.transport != 0 || !status || *status < 0) {
            std::cout << "not reachable (" << fpga.window << ": "
                      << channels(KELVO_IOCTL_deviceWindow_read, reply) << ")\n";
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

// Resets the device to level 19 with a custom non-isolated FPGA image from a
// file (reset parameter words 0 and 1); false when the file cannot be read
// or the reset's request failed in transport.
bool resetWithNisoImage(unsigned device, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::cerr << "kelvo_tool: cannot read " << path << "\n";
        return false;
    }
    const std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    kelvo_custom_reset_parameters parameters{};
    parameters.nonIsolatedFirmwarePtr = reinterpret_cast<std::uintptr_t>(image.data());
    parameters.nonIsolatedFirmwareSize = image.size();
    kelvo_kdut_reset_in in{19, 0, reinterpret_cast<std::uintptr_t>(&parameters), 0, 0};
    std::vector<std::uint8_t> input(sizeof(in));
    std::memcpy(input.data(), &in, sizeof(in));
    // The reset invalidates every open handle, its own too: one of its own.
    const int handle = kelvo_open("smu_kelvo", device);
    if (handle < 0) {
        std::cerr << "kelvo_tool: cannot open smu_kelvo: " << kelvo_tool::describeTransport(handle) << "\n";
        return false;
    }
    const Reply reply = send(handle, KELVO_IOCTL_kdut_reset, input, sizeof(kelvo_status_record));
    kelvo_close(handle);
    std::cout << "reset with the non-isolated image " << path << " (" << image.size()
              << " bytes): [kdut_reset: " << channels(KELVO_IOCTL_kdut_reset, reply) << "]\n";
    return reply.transport == 0;
}

// Runs one raw request; false when its transport failed.
bool run(int handle, const Request& request) {
    std::cout << "request " << codeName(request.code) << " from " << request.origin << "\n";
    std::cout << "  input (" << request.input.size() << " bytes): " << kelvo_tool::toHex(request.input)
              << "\n";
    const Reply reply = send(handle, request.code, request.input, static_cast<std::size_t>(request.outSize));
    std::cout << "  transport: " << kelvo_tool::describeTransport(reply.transport) << "\n";
    if (reply.transport != 0) {
        return false;
    }
    std::cout << "  output (" << reply.output.size() << " bytes): " << kelvo_tool::toHex(reply.output)
              << "\n";
    const std::string decoded = kelvo_tool::decodeOutput(request.code, reply.output);
    if (!decoded.empty()) {
        std::cout << "  decoded: " << decoded << "\n";
    }
    return true;
}

// Plugs in the simulated module of the board (with a flash file's content when
// one is given) and adds it.
int addDevice(const Options& options) {
    if (!options.flashIn.empty()) {
        return kelvo_host_add_module_with_flash(options.board.c_str(), options.flashIn.c_str());
    }
    return kelvo_host_add_module(options.board.c_str());
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = parseArguments(argc, argv, options);
    if (parsed != kExitOk) {
        return parsed < 0 ? kExitOk : parsed;
    }

    const int started = kelvo_host_start();
    if (started != 0) {
        std::cerr << "kelvo_tool: the driver did not load: " << kelvo_tool::describeTransport(started)
                  << "\n";
        return kExitNoDevice;
    }
    std::cout << "driver loaded; board " << options.board << "\n";
    const int device = addDevice(options);
    if (device < 0) {
        std::cerr << "kelvo_tool: add device failed: " << kelvo_tool::describeTransport(device) << "\n";
        kelvo_host_stop();
        return kExitNoDevice;
    }
    std::cout << "device " << device << " added\n";
    int exitCode = kExitOk;
    if (!options.nisoImage.empty() && !resetWithNisoImage(static_cast<unsigned>(device), options.nisoImage)) {
        exitCode = kExitRequestFailed;
    }
    const int handle = kelvo_open(options.interfaceName.c_str(), static_cast<unsigned>(device));
    if (handle < 0) {
        std::cerr << "kelvo_tool: cannot open " << options.interfaceName << ": "
                  << kelvo_tool::describeTransport(handle) << "\n";
        kelvo_host_stop();
        return kExitNoDevice;
    }

    if (!options.quiet) {
        // The report's requests are those of "smu_kelvo".
        int reportHandle = handle;
        if (options.interfaceName != "smu_kelvo") {
            reportHandle = kelvo_open("smu_kelvo", static_cast<unsigned>(device));
        }
        if (reportHandle >= 0) {
            report(static_cast<unsigned>(device), reportHandle);
            reportFirmware(reportHandle, options.board);
        }
        if (reportHandle >= 0 && reportHandle != handle) {
            kelvo_close(reportHandle);
        }
    }
    const int mapHandle = options.interfaceName == "smu_kelvo"
                              ? handle
                              : kelvo_open("smu_kelvo", static_cast<unsigned>(device));
    if (options.maps && !kelvo_tool::showStorageMaps(mapHandle)) {
        exitCode = kExitRequestFailed;
    }
    for (const auto& [ref, assigned] : options.sets) {
        if (!kelvo_tool::setField(mapHandle, ref, assigned)) {
            exitCode = kExitRequestFailed;
        }
    }
    for (const auto& ref : options.gets) {
        if (!kelvo_tool::getField(mapHandle, ref)) {
            exitCode = kExitRequestFailed;
        }
    }
    if (mapHandle >= 0 && mapHandle != handle) {
        kelvo_close(mapHandle);
    }
    for (const Request& request : options.requests) {
        if (!run(handle, request)) {
            exitCode = kExitRequestFailed;
        }
    }
    if (!options.flashOut.empty()) {
        const int saved = kelvo_host_save_flash(static_cast<unsigned>(device), options.flashOut.c_str());
        std::cout << "flash saved to " << options.flashOut << ": " << kelvo_tool::describeTransport(saved)
                  << "\n";
        if (saved != 0) {
            exitCode = kExitRequestFailed;
        }
    }
    kelvo_close(handle);
    kelvo_host_stop();
    return exitCode;
}
