// kelvo_tool, the main job: loads the driver on a simulated module through the
// host, reports on the module at level 19, runs the data-path demonstration,
// storage-map reads and writes and raw I/O-control requests (see --help).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "codes.h"
#include "demo.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"
#include "report.h"
#include "request.h"
#include "storage_maps.h"

namespace {

using kelvo_tool::CodeInfo;
using kelvo_tool::Reply;

constexpr int kExitOk = 0;
constexpr int kExitRequestFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;

const char* const kBoards[] = {"solstra", "duskmere-a", "duskmere-b"};

void printHelp() {
    std::cout <<
        R"(Usage: kelvo_tool [options]

Starts the host with the kernel-layer stand-in, loads the driver, plugs in a
simulated module, lets the driver set it up to level 19 and reports on it:
its properties and interfaces, setup level, hardware state
(kdut_checkHardwareState), the names registered as register maps, device
windows and storage maps, the firmware each FPGA holds, the storage maps
(fields with element counts and sizes, checksums, versions, serial number,
revision, part number), cooling mode, temperature and power allocation.
Then it runs what the options ask for, in this order, and unloads everything.

Options:
  --board NAME          the simulated module: solstra (default), duskmere-a, duskmere-b
  --quiet               no report (the other options still run)
  --maps                with --quiet: the report's storage-map section alone
  --set MAP.FIELD[I]=V  writes element I (default 0) of a storage-map field and flushes the map
  --get MAP.FIELD[I]    reads element I (default 0) of a storage-map field, e.g. Manufacturing.boardSerialNumber
  --demo                data-path demonstration: a program over DMA to the sequencer, run, packets back over DMA
  --ioctl CODE [HEX]    one raw request: a code number or name, its input record as hex bytes
  --out N               the output size of the --ioctl request just before it (default: the code's)
  --file PATH           raw requests from a file, one per line: CODE [HEX] [out=N]; '#' comments
  --interface NAME      the interface of the raw requests: smu_kelvo (default), nPXICOOLING_17_2_pxiCooling
  --flash-in PATH       starts the module with its serial flash read from PATH (1 MiB, as --flash-out writes)
  --flash-out PATH      saves the module's serial flash to PATH at the end
  --niso-image PATH     first resets the device to level 19 with a custom non-isolated FPGA image from PATH
  --real-time           the module's waits and the driver's polls in real time (default: 1000 times faster)
  --help, -h            this text

Order: the --niso-image reset, the report, --maps, every --set, every --get,
--demo, the raw requests, then --flash-out.

Values: --set takes a number, a version text (1.0.0d1), a string or hex bytes,
by the field's kind. A raw request without HEX gets a zero record of its
code's size (caller's status word 0); HEX is byte by byte in memory order,
spaces allowed. The driver refuses a --niso-image whose size is not the FPGA's.

The demonstration reserves channel 0, sends a sequencer program (a call of
the package's longest subroutine, eight general-use register writes, a
marker) over DMA channel 1, runs it on the sequence engine, and receives two
measure-unit packets over DMA channel 0 (before and after the program, each
the marker and the 64 general-use registers); it prints the bytes, transfer
counts, checksums and first words, and compares what came back with what the
program wrote.

Every request prints two status channels:
  transport  what kelvo_ioctl returned: 0 when the request reached its operation;
             -51009 for a record size other than the code's, -51256 for a code
             the interface does not know, -51101 for an input not readable;
  status     the operation's status word, the last field of the output record
             (0 success, positive a warning, negative an error; driver codes
             are printed as 0xBFFAxxxx too).
The output record of a raw request is printed in hex and, for the codes the
user-mode header knows, field by field.

Exit status: 0 when everything ran, every raw request reached its operation
and the demonstration passed; 1 when a raw request failed in transport, a
--get, --set or --maps request failed or the demonstration failed; 2 for a
usage error; 3 when the driver or the device could not be brought up.
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
    bool demo = false;
    std::vector<std::pair<kelvo_tool::FieldRef, std::string>> sets;
    std::vector<kelvo_tool::FieldRef> gets;
    std::string flashIn;
    std::string flashOut;
    std::string nisoImage;
    bool realTime = false;
};

std::string codeName(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", code);
    const CodeInfo* info = kelvo_tool::findCode(code);
    return info != nullptr ? std::string(info->name) + " (" + text + ")"
                           : std::string(text) + " (unknown code)";
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
        } else if (a == "--real-time") {
            options.realTime = true;
        } else if (a == "--quiet") {
            options.quiet = true;
        } else if (a == "--maps") {
            options.maps = true;
        } else if (a == "--demo") {
            options.demo = true;
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
    parameters.nonIsolatedFirmwarePtr = kelvo_tool::address(image.data());
    parameters.nonIsolatedFirmwareSize = image.size();
    // The reset invalidates every open handle, its own too: one of its own.
    const int handle = kelvo_open("smu_kelvo", device);
    if (handle < 0) {
        std::cerr << "kelvo_tool: cannot open smu_kelvo: " << kelvo_tool::describeTransport(handle) << "\n";
        return false;
    }
    const auto reset = kelvo_tool::call<kelvo_kdut_reset_out>(
        handle, KELVO_IOCTL_kdut_reset, kelvo_kdut_reset_in{19, 0, kelvo_tool::address(&parameters), 0, 0});
    kelvo_close(handle);
    std::cout << "reset with the non-isolated image " << path << " (" << image.size()
              << " bytes): " << kelvo_tool::channels("kdut_reset", reset) << "\n";
    return reset.transport == 0;
}

// Runs one raw request; false when its transport failed.
bool run(int handle, const Request& request) {
    std::cout << "request " << codeName(request.code) << " from " << request.origin << "\n";
    std::cout << "  input (" << request.input.size() << " bytes): " << kelvo_tool::toHex(request.input)
              << "\n";
    const Reply reply =
        kelvo_tool::send(handle, request.code, request.input, static_cast<std::size_t>(request.outSize));
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

// Seconds of real time since start, as text.
std::string secondsSince(std::chrono::steady_clock::time_point start) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << elapsed.count() << " s";
    return text.str();
}

} // namespace

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
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
    if (!options.realTime) {
        kelvo_host_set_clock_scale(1000.0); // the one-second settles and every poll in milliseconds
    }
    const int added = addDevice(options);
    if (added < 0) {
        std::cerr << "kelvo_tool: add device failed: " << kelvo_tool::describeTransport(added) << "\n";
        kelvo_host_stop();
        return kExitNoDevice;
    }
    const auto device = static_cast<unsigned>(added);
    std::cout << "device " << device << " added (" << secondsSince(start) << ")\n";
    int exitCode = kExitOk;
    if (!options.nisoImage.empty() && !resetWithNisoImage(device, options.nisoImage)) {
        exitCode = kExitRequestFailed;
    }
    // The report, the storage maps and the demonstration use "smu_kelvo"; the
    // raw requests the interface given.
    const int kelvo = kelvo_open("smu_kelvo", device);
    const int handle =
        options.interfaceName == "smu_kelvo" ? kelvo : kelvo_open(options.interfaceName.c_str(), device);
    if (kelvo < 0 || handle < 0) {
        std::cerr << "kelvo_tool: cannot open " << (kelvo < 0 ? "smu_kelvo" : options.interfaceName) << ": "
                  << kelvo_tool::describeTransport(kelvo < 0 ? kelvo : handle) << "\n";
        kelvo_host_stop();
        return kExitNoDevice;
    }

    if (!options.quiet) {
        kelvo_tool::report(device, kelvo, options.board);
    } else if (options.maps && !kelvo_tool::showStorageMaps(kelvo)) {
        exitCode = kExitRequestFailed;
    }
    for (const auto& [ref, assigned] : options.sets) {
        if (!kelvo_tool::setField(kelvo, ref, assigned)) {
            exitCode = kExitRequestFailed;
        }
    }
    for (const auto& ref : options.gets) {
        if (!kelvo_tool::getField(kelvo, ref)) {
            exitCode = kExitRequestFailed;
        }
    }
    if (options.demo && !kelvo_tool::runDemo(device)) {
        exitCode = kExitRequestFailed;
    }
    for (const Request& request : options.requests) {
        if (!run(handle, request)) {
            exitCode = kExitRequestFailed;
        }
    }
    if (!options.flashOut.empty()) {
        const int saved = kelvo_host_save_flash(device, options.flashOut.c_str());
        std::cout << "flash saved to " << options.flashOut << ": " << kelvo_tool::describeTransport(saved)
                  << "\n";
        if (saved != 0) {
            exitCode = kExitRequestFailed;
        }
    }
    if (handle != kelvo) {
        kelvo_close(handle);
    }
    kelvo_close(kelvo);
    kelvo_host_stop();
    std::cout << "done (" << secondsSince(start) << " of real time)\n";
    return exitCode;
}
