// kelvo_tool, the main job: loads the driver on a simulated module through the
// host, reports on the module at level 19, runs the data-path demonstration,
// storage-map reads and writes and raw I/O-control requests (see --help).
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "codes.h"
#include "demo.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"
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
constexpr int kExitBelowLevel = 4;

// The level the tool sets the module up to.
constexpr std::uint32_t kTargetLevel = 19;

// The module's serial flash, as kelvo_host_save_flash writes it.
constexpr std::uintmax_t kFlashSize = 1u << 20;

struct Board {
    const char* name;
    std::uintmax_t nisoImageSize; // the non-isolated FPGA image the board's driver accepts
};
constexpr Board kBoards[] = {{"solstra", 2192012}, {"duskmere-a", 3825788}, {"duskmere-b", 3825788}};

const Board* findBoard(const std::string& name) {
    for (const Board& board : kBoards) {
        if (name == board.name) {
            return &board;
        }
    }
    return nullptr;
}

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
  --quiet               no report and no progress lines (the other options still run)
  --maps                with --quiet: the report's storage-map section alone
  --names               the report lists every register map's name, one per line (else their count)
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

Paths are taken relative to the folder the tool is started in.

Order: the --niso-image reset, the report, --maps, every --set, every --get,
--demo, the raw requests, then --flash-out.

Values: --set takes a number, a version text (1.0.0d1), a string or hex bytes,
by the field's kind. A raw request without HEX gets a zero record of its
code's size (caller's status word 0); HEX is byte by byte in memory order,
spaces allowed. Every option and file is checked before the driver is
loaded: --flash-in must be a file of exactly 1048576 bytes, --niso-image a
file of the board's non-isolated image size (solstra 2192012 bytes,
duskmere-a and duskmere-b 3825788 bytes), --flash-out a file name in an
existing folder.

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
             (0 success, positive a warning, negative an error), printed
             with its name and meaning from the status-code catalogue
             (kelvo/status_codes.h); driver codes in hex (0xBFFAxxxx) too.
The output record of a raw request is printed in hex and, for the codes the
user-mode header knows, field by field.

Exit status (the first that applies, in this order):
  2  a usage error: an unknown option, a bad value, a file that is missing,
     unreadable, a folder or of the wrong size (nothing is loaded);
  3  the driver did not load or the device could not be added or opened;
  4  the module did not reach setup level 19 (after it was added, or after
     the --niso-image reset): the report still runs, and says why;
  1  a request asked for failed: a raw request (in transport or with an
     error in its status word), the --niso-image reset, a --get, --set or
     --maps request, the demonstration, or saving the flash;
  0  everything ran and succeeded.
Every error goes to standard error, naming the option or file it is about.
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
    bool names = false;
    bool demo = false;
    struct Set {
        kelvo_tool::FieldRef ref;
        std::string text;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Set> sets;
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

// Checks an input file before anything is loaded: it exists, is a regular
// file, can be read and (when size is not 0) has exactly size bytes. False
// with a message on standard error naming the option and the file.
bool checkFile(const char* option, const std::string& path, std::uintmax_t size,
               const char* board = nullptr) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    const auto fail = [&](const std::string& what) {
        std::cerr << "kelvo_tool: " << option << " " << path << ": " << what << "\n";
        return false;
    };
    if (!fs::exists(status)) {
        return fail("no such file");
    }
    if (fs::is_directory(status)) {
        return fail("is a folder, not a file");
    }
    if (!fs::is_regular_file(status)) {
        return fail("not a regular file");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return fail(std::string("cannot be read: ") + std::strerror(errno));
    }
    const std::uintmax_t actual = fs::file_size(path, error);
    if (error) {
        return fail("cannot be read: " + error.message());
    }
    if (size != 0 && actual != size) {
        std::string expected = std::to_string(size) + " bytes";
        expected += board != nullptr
                        ? std::string(", the non-isolated FPGA image size of a ") + board + " module"
                        : std::string(", the module's serial flash as --flash-out writes it");
        return fail(std::to_string(actual) + " bytes; expected " + expected);
    }
    return true;
}

// Checks a file to be written at the end: a name in an existing folder, not a
// folder itself.
bool checkOutputFile(const char* option, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const auto fail = [&](const std::string& what) {
        std::cerr << "kelvo_tool: " << option << " " << path << ": " << what << "\n";
        return false;
    };
    if (fs::is_directory(path, error)) {
        return fail("is a folder; give a file name");
    }
    const fs::path parent = fs::absolute(fs::path(path), error).parent_path();
    if (error || !fs::is_directory(parent, error)) {
        return fail("folder " + parent.string() + " does not exist");
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
            if (i + 1 >= args.size() || args[i + 1].empty()) {
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
            if (findBoard(options.board) == nullptr) {
                std::cerr << "kelvo_tool: unknown board \"" << options.board
                          << "\" (solstra, duskmere-a, duskmere-b)\n";
                return kExitUsage;
            }
        } else if (a == "--interface") {
            if (!value(options.interfaceName)) {
                return kExitUsage;
            }
            if (options.interfaceName != "smu_kelvo" &&
                options.interfaceName != "nPXICOOLING_17_2_pxiCooling") {
                std::cerr << "kelvo_tool: --interface: unknown interface \"" << options.interfaceName
                          << "\" (smu_kelvo, nPXICOOLING_17_2_pxiCooling)\n";
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
        } else if (a == "--names") {
            options.names = true;
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
                std::cerr << "kelvo_tool: " << a << " " << text << ": " << error << "\n";
                return kExitUsage;
            }
            if (a == "--set") {
                std::vector<std::uint8_t> bytes;
                if (!kelvo_tool::parseFieldValue(*ref, assigned, bytes, error)) {
                    std::cerr << "kelvo_tool: --set " << text << ": " << error << "\n";
                    return kExitUsage;
                }
                options.sets.push_back({*ref, assigned, bytes});
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
        if (!checkFile("--file", path, 0) || !readFile(path, options.requests)) {
            return kExitUsage;
        }
    }
    const Board& board = *findBoard(options.board);
    const bool filesGood =
        (options.flashIn.empty() || checkFile("--flash-in", options.flashIn, kFlashSize)) &&
        (options.nisoImage.empty() ||
         checkFile("--niso-image", options.nisoImage, board.nisoImageSize, board.name)) &&
        (options.flashOut.empty() || checkOutputFile("--flash-out", options.flashOut));
    return filesGood ? kExitOk : kExitUsage;
}

// Resets the device to level 19 with a custom non-isolated FPGA image from a
// file (reset parameter words 0 and 1); false when the file cannot be read
// or the reset's request failed in transport.
bool resetWithNisoImage(unsigned device, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file && !file.eof()) {
        std::cerr << "kelvo_tool: --niso-image " << path << ": cannot be read\n";
        return false;
    }
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
    if (!reset.ok()) {
        std::cerr << "kelvo_tool: --niso-image " << path
                  << ": the reset was refused: " << kelvo_tool::channels(reset.transport, reset.out.status)
                  << "\n";
        return false;
    }
    return true;
}

// The module's setup level, 0 when it cannot be read. Below the target it
// says why on standard error.
bool reachedTarget(int handle, const char* when) {
    const auto level = kelvo_tool::call<kelvo_kelvo_getSetupLevel_out>(
        handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_kelvo_getSetupLevel_in{});
    if (level.transport == 0 && level.out.setupLevel >= kTargetLevel) {
        return true;
    }
    // A request that needs the whole setup answers with what stopped it.
    const auto why = kelvo_tool::call<kelvo_kdut_checkHardwareState_out>(
        handle, KELVO_IOCTL_kdut_checkHardwareState, kelvo_kdut_checkHardwareState_in{0, 0, 0});
    std::cerr << "kelvo_tool: " << when << ", the module is at setup level " << level.out.setupLevel
              << ", not " << kTargetLevel << "; setup stopped with "
              << (why.transport != 0 ? kelvo_tool::describeTransport(why.transport)
                                     : kelvo_tool::describeStatus(why.out.status))
              << "\n";
    return false;
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
        std::cerr << "kelvo_tool: request " << codeName(request.code) << " from " << request.origin
                  << " failed in transport: " << kelvo_tool::describeTransport(reply.transport) << "\n";
        return false;
    }
    std::cout << "  output (" << reply.output.size() << " bytes): " << kelvo_tool::toHex(reply.output)
              << "\n";
    const std::string decoded = kelvo_tool::decodeOutput(request.code, reply.output);
    if (!decoded.empty()) {
        std::cout << "  decoded: " << decoded << "\n";
    }
    const std::optional<std::int32_t> status = kelvo_tool::outputStatus(request.code, reply.output);
    if (status && *status < 0) {
        std::cerr << "kelvo_tool: request " << codeName(request.code) << " from " << request.origin
                  << " failed: status " << kelvo_tool::describeStatus(*status) << "\n";
        return false;
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
    if (!options.quiet) {
        std::cout << "driver loaded; board " << options.board << "\n";
    }
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
    if (!options.quiet) {
        std::cout << "device " << device << " added (" << secondsSince(start) << ")\n";
    }
    int exitCode = kExitOk;
    // A failed request is exit status 1 unless something worse happened.
    const auto failed = [&exitCode] {
        if (exitCode == kExitOk) {
            exitCode = kExitRequestFailed;
        }
    };
    if (!options.nisoImage.empty() && !resetWithNisoImage(device, options.nisoImage)) {
        failed();
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
    if (!reachedTarget(kelvo,
                       options.nisoImage.empty() ? "after it was added" : "after the --niso-image reset")) {
        exitCode = kExitBelowLevel;
    }

    if (!options.quiet) {
        kelvo_tool::report(device, kelvo, options.board, options.names);
    } else if (options.maps && !kelvo_tool::showStorageMaps(kelvo)) {
        failed();
    }
    for (const auto& set : options.sets) {
        if (!kelvo_tool::setField(kelvo, set.ref, set.text, set.bytes)) {
            failed();
        }
    }
    for (const auto& ref : options.gets) {
        if (!kelvo_tool::getField(kelvo, ref)) {
            failed();
        }
    }
    if (options.demo && !kelvo_tool::runDemo(device)) {
        failed();
    }
    for (const Request& request : options.requests) {
        if (!run(handle, request)) {
            failed();
        }
    }
    if (!options.flashOut.empty()) {
        const int saved = kelvo_host_save_flash(device, options.flashOut.c_str());
        if (saved == 0) {
            std::cout << "flash saved to " << options.flashOut << "\n";
        } else {
            std::cerr << "kelvo_tool: --flash-out " << options.flashOut
                      << ": the flash could not be written there: " << kelvo_tool::describeTransport(saved)
                      << "\n";
            failed();
        }
    }
    if (handle != kelvo) {
        kelvo_close(handle);
    }
    kelvo_close(kelvo);
    kelvo_host_stop();
    if (!options.quiet) {
        std::cout << "done (" << secondsSince(start) << " of real time)\n";
    }
    return exitCode;
}
