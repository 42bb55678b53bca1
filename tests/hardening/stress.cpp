// The threaded stress run: two modules at level 19 (the product's levels 1
// to 3 and its routing task at 16; the stand-ins of the unit tests' level
// table in between), 16 threads issuing random valid requests (register
// access by name, storage maps and the flash window, routing, DMA waits,
// the setup level) while a thread per module resets it to random levels and
// another suspends its power and restores it. Every answer is checked
// against what that request may answer; what a read returns is checked
// against what the hardware holds.
//
//   kelvo_stress [--requests N] [--seconds S] [--seed X]
//
// Each worker stops after N requests (default 2000) or S seconds of real
// time, whichever comes first. The run prints the request rate.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "core/kelvo_device.h"
#include "core/routing_objects.h"
#include "core_test_levels.h"
#include "host.h"
#include "kelvo/ioctl.h"
#include "kelvo/product_ids.h"
#include "kelvo_host.h"
#include "platform/device_core.h"

namespace {

using kelvo_driver::nVOAPAL000::kPnPStateReady;
using kelvo_driver::nVOAPAL000::kPnPStateSleep;
using kelvo_driver::nVOAPAL000::kSuspendReasonReset;
using nVOAPALS100::tStatus;

constexpr unsigned kModules = 2;
constexpr unsigned kWorkers = 16;
constexpr std::int32_t kInvalidated = static_cast<std::int32_t>(0xBFFA9179u);
constexpr std::int32_t kNotReserved = static_cast<std::int32_t>(0xBFFA431Au);
constexpr std::int32_t kRouteConflict = -89137;
constexpr std::uint32_t kSerialNumber = 0x01F2A3B4u; // of the default flash image
constexpr const char* kManufacturing = "Manufacturing_Ver1.0.0d1";

// The product's levels 1 to 3 and 16 over the unit tests' stand-ins.
const kelvo_driver::SetupLevelTable& stressLevels() {
    static const kelvo_driver::SetupLevelTable table = [] {
        kelvo_driver::SetupLevelTable t = kelvo_test::testSetupLevelTableOverRealLevel3();
        t.tasks[15] = kelvo_driver::RoutingObjects::create;
        return t;
    }();
    return table;
}

std::atomic<unsigned> failures{0};
std::mutex reportLock;

void fail(const std::string& what) {
    std::lock_guard g(reportLock);
    if (failures.fetch_add(1) < 20) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

std::uint64_t address(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

template <class Out = kelvo_status_record, class In>
std::int32_t ask(int handle, std::uint32_t code, const In& in, Out&& out = Out{}) {
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    const int transport = kelvo_ioctl(handle, code, &header);
    return transport != 0 ? transport : out.status;
}

// A request record naming a registration (a name of static storage).
template <class In> In named(const char* name) {
    In in{};
    in.nameAddress = address(name);
    in.nameLength = std::strlen(name);
    return in;
}

// What any request may answer while other threads reset, suspend and
// resume: success, the session invalidated by a reset or power-down, the
// level not reached (a reset to a lower level), the gate's wait ended, or
// (a handle opened while power was down) the invalid state of a demoted
// routing session or a refused restore.
bool transient(std::int32_t status) {
    return status == 0 || status == kInvalidated || status == tStatus::kSetupTargetReached ||
           status == tStatus::kTimedOut || status == tStatus::kWaitInterrupted ||
           status == tStatus::kInvalidState;
}

struct Module {
    int index = -1;
    kelvo_driver::KelvoDevice* device = nullptr;
    std::vector<std::uint8_t> flashHead; // the first bytes of the flash window
};
Module modules[kModules];

std::atomic<bool> stopping{false};
std::atomic<std::uint64_t> requests{0};
std::atomic<std::uint64_t> resets{0};
std::atomic<std::uint64_t> powerCycles{0};

enum Kind {
    ReadSignature,
    ReadSerial,
    ChecksumValid,
    RefreshMap,
    ReadFlash,
    WritePosc,
    Route,
    DmaWait,
    Level,
    kKinds
};
const char* const kKindNames[kKinds] = {"arm_read", "storageMap_getRaw", "storageMap_isChecksumValid",
                                        "refresh",  "deviceWindow_read", "storageMap_setRaw",
                                        "routing",  "dma wait",          "getSetupLevel"};

// Raw access to one byte of "Posc" (field 0, bytes).
std::int32_t poscByte(int handle, bool write, std::uint64_t index, std::uint8_t& value) {
    auto in = named<kelvo_storageMap_setRaw_in>("Posc_Ver1.0.0d0");
    in.firstElement = index;
    in.elementCount = 1;
    in.buffer = address(&value);
    in.elementSize = 1;
    return ask(handle, write ? KELVO_IOCTL_storageMap_setRaw : KELVO_IOCTL_storageMap_getRaw, in);
}

// The board's route 3 to 2 (cost 1): calculated, then a random step of its
// life cycle, then destroyed.
std::int32_t route(int handle, std::mt19937_64& random, std::string& wrong) {
    kelvo_route_seed seed{3, 0, 0, {}};
    std::uint32_t destination = 2;
    kelvo_route_possibility found[4]{};
    kelvo_routing_calculateRoute_in in{};
    in.routeOwner = static_cast<std::uint64_t>(handle);
    in.seedBuffer = address(&seed);
    in.seedCount = 1;
    in.destinationBuffer = address(&destination);
    in.destinationCount = 1;
    in.possibilitiesBuffer = address(found);
    in.possibilitiesCapacity = 4;
    kelvo_routing_calculateRoute_out out{};
    const std::int32_t status = ask(handle, KELVO_IOCTL_routing_calculateRoute, in, out);
    if (status != 0) {
        return status;
    }
    if (out.possibilitiesCount != 1 || found[0].destinationTerminalID != 2 || found[0].cost != 1) {
        wrong = "route 3 to 2 not found with cost 1";
        return status;
    }
    const std::uint32_t id = found[0].routeID;
    std::int32_t step = 0;
    if (random() % 2 == 0) {
        kelvo_route_conflict conflicts[4]{};
        step = ask<kelvo_routing_reserveRoute_out>(
            handle, KELVO_IOCTL_routing_reserveRoute,
            kelvo_routing_reserveRoute_in{id, 0, address(conflicts), 4, 0});
        if (step == 0) {
            step = ask(handle, KELVO_IOCTL_routing_programRoute, kelvo_routing_programRoute_in{id, 0});
            const std::int32_t undo =
                ask(handle, KELVO_IOCTL_routing_unprogramRoute, kelvo_routing_unprogramRoute_in{id, 0});
            const std::int32_t release =
                ask(handle, KELVO_IOCTL_routing_unreserveRoute, kelvo_routing_unreserveRoute_in{id, 0});
            step = step != 0 ? step : undo != 0 ? undo : release;
        }
    }
    const std::int32_t destroyed =
        ask(handle, KELVO_IOCTL_routing_destroyRoute, kelvo_routing_destroyRoute_in{id, 0});
    // The route's edges reserved by another thread's route is the one answer
    // of the life cycle beyond the transient ones; the destroy answers only those.
    return step != 0 && !transient(step) && step != kRouteConflict ? step : destroyed;
}

// One request of a kind on a handle (worker id's): its status; wrong says
// what a successful answer got wrong.
std::int32_t issue(Kind kind, unsigned id, int handle, const Module& module, std::mt19937_64& random,
                   std::string& wrong) {
    std::int32_t status = 0;
    switch (kind) {
    case ReadSignature: {
        auto in = named<kelvo_arm_read_in>("Brixel_Ver2.3.0f7");
        in.fieldId = 0x40000000u; // the signature
        kelvo_arm_read_out out{};
        if ((status = ask(handle, KELVO_IOCTL_arm_read, in, out)) == 0 &&
            out.value != KELVO_BRIDGE_SIGNATURE) {
            wrong = "signature read " + std::to_string(out.value);
        }
        return status;
    }
    case ReadSerial: {
        std::uint32_t serial = 0;
        auto in = named<kelvo_storageMap_getRaw_in>(kManufacturing);
        in.fieldId = 12;
        in.elementCount = 1;
        in.buffer = address(&serial);
        in.elementSize = 4;
        if ((status = ask(handle, KELVO_IOCTL_storageMap_getRaw, in)) == 0 && serial != kSerialNumber) {
            wrong = "serial number read " + std::to_string(serial);
        }
        return status;
    }
    case RefreshMap:
        return ask(handle, KELVO_IOCTL_storageMap_refresh,
                   named<kelvo_storageMap_refresh_in>(kManufacturing));
    case ChecksumValid: {
        kelvo_storageMap_isChecksumValid_out out{};
        status = ask(handle, KELVO_IOCTL_storageMap_isChecksumValid,
                     named<kelvo_storageMap_isChecksumValid_in>(kManufacturing), out);
        if (status == 0 && out.valid == 0) {
            wrong = "the default image's checksum reads invalid";
        }
        return status;
    }
    case ReadFlash: {
        std::vector<std::uint8_t> bytes(module.flashHead.size(), 0xEE);
        auto in = named<kelvo_deviceWindow_read_in>("flashWindow");
        in.size = bytes.size();
        in.buffer = address(bytes.data());
        if ((status = ask(handle, KELVO_IOCTL_deviceWindow_read, in)) == 0 && bytes != module.flashHead) {
            wrong = "the flash window read other bytes";
        }
        return status;
    }
    case WritePosc: {
        // The worker's own byte of the map's shared copy: on the same session
        // (no reset between) the read answers what was written.
        std::uint8_t written = static_cast<std::uint8_t>(random()),
                     read = static_cast<std::uint8_t>(~written);
        if ((status = poscByte(handle, true, 1000 + id, written)) != 0) {
            return status;
        }
        if ((status = poscByte(handle, false, 1000 + id, read)) == 0 && read != written) {
            wrong = "wrote " + std::to_string(written) + ", read " + std::to_string(read);
        }
        return status;
    }
    case Route:
        return route(handle, random, wrong);
    case DmaWait: {
        kelvo_brixelTools_waitUntilBytesTransferred_in in{};
        in.channel = static_cast<std::uint32_t>(random() % 2);
        in.byteCount = 16;
        in.timeout = 1;
        status = ask<kelvo_brixelTools_waitUntilBytesTransferred_out>(
            handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, in);
        // A channel nobody reserved; until the DMA operation bodies are built, -52002.
        return status == kNotReserved || status == tStatus::kNotImplemented ? 0 : status;
    }
    case Level: {
        kelvo_kelvo_getSetupLevel_out out{};
        if ((status = ask(handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, out)) == 0 &&
            out.setupLevel > KELVO_SETUP_LEVEL_COMPLETE) {
            wrong = "setup level " + std::to_string(out.setupLevel);
        }
        return status;
    }
    case kKinds:
        break;
    }
    return 0;
}

// A kind of request. The two that read the flash over the SPI port (a map's
// refresh reads 4 KiB byte by byte) cost a thousand times the others: one
// request in fifty.
Kind pick(std::mt19937_64& random) {
    const std::uint64_t draw = random() % 100;
    if (draw < 2) {
        return draw == 0 ? RefreshMap : ReadFlash;
    }
    static constexpr Kind kCheap[] = {ReadSignature, ReadSerial, ChecksumValid, WritePosc,
                                      Route,         DmaWait,    Level};
    return kCheap[draw % (sizeof(kCheap) / sizeof(kCheap[0]))];
}

void worker(unsigned id, std::uint64_t count, std::uint64_t seed) {
    std::mt19937_64 random(seed * 1000003u + id);
    const Module& module = modules[id % kModules];
    int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(module.index));
    for (std::uint64_t n = 0; n < count && !stopping.load(); ++n) {
        const Kind kind = pick(random);
        std::string wrong;
        const std::int32_t status = issue(kind, id, handle, module, random, wrong);
        requests.fetch_add(1, std::memory_order_relaxed);
        if (!wrong.empty()) {
            fail(std::string(kKindNames[kind]) + ": " + wrong);
        } else if (!transient(status)) {
            fail(std::string(kKindNames[kind]) + " answered " + std::to_string(status));
        }
        if (status == kInvalidated) {
            kelvo_close(handle);
            handle = kelvo_open("smu_kelvo", static_cast<unsigned>(module.index));
        }
        if (handle < 0) {
            fail("a handle could not be opened again: " + std::to_string(handle));
            return;
        }
    }
    kelvo_close(handle);
}

// The disturbers act once per this many requests of the workers (each one
// waits for them), so that requests also run between resets and power cycles.
constexpr std::uint64_t kRequestsPerDisturbance = 100;

// False once the run stops.
bool pace(std::uint64_t& last) {
    while (!stopping.load() && requests.load() < last + kRequestsPerDisturbance) {
        std::this_thread::yield();
    }
    last = requests.load();
    return !stopping.load();
}

// Resets its module to a random level, mostly the complete one.
void resetter(unsigned module, std::uint64_t seed) {
    std::mt19937_64 random(seed ^ (0xA5A5u + module));
    const std::uint32_t levels[] = {19, 19, 19, 16, 3, 0};
    std::uint64_t last = 0;
    while (pace(last)) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(modules[module].index));
        const kelvo_kdut_reset_in in{static_cast<std::uint32_t>(levels[random() % 6]), 0, 0, 0, 0};
        const std::int32_t status = ask(handle, KELVO_IOCTL_kdut_reset, in);
        const std::int32_t expected = in.setupLevel == 19 ? 0 : tStatus::kSetupTargetReached;
        // Or a power cycle came between the open and the reset, or its gate wait ended.
        if (status != expected && status != kInvalidated && status != tStatus::kTimedOut &&
            status != tStatus::kWaitInterrupted) {
            fail("a reset to " + std::to_string(in.setupLevel) + " answered " + std::to_string(status));
        }
        kelvo_close(handle);
        resets.fetch_add(1);
    }
}

// Powers its module down and up again (the platform's sleep state).
void power(unsigned module) {
    kelvo_driver::KelvoDevice& device = *modules[module].device;
    std::uint64_t last = 0;
    while (pace(last)) {
        tStatus status;
        if (!device.commonChangePnPState(0, kPnPStateSleep, kSuspendReasonReset, false, status) ||
            !device.commonChangePnPState(0, kPnPStateReady, kSuspendReasonReset, false, status)) {
            fail("a power cycle did not complete: " + std::to_string(status.getCode()));
            return;
        }
        powerCycles.fetch_add(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t count = 2000;
    double seconds = 600;
    std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--requests") {
            count = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (option == "--seconds") {
            seconds = std::strtod(argv[i + 1], nullptr);
            count = ~std::uint64_t{0};
        } else if (option == "--seed") {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    std::printf("kelvo_stress: %u threads on %u modules, seed %llu\n", kWorkers, kModules,
                static_cast<unsigned long long>(seed));
    kelvo_test::standIns().reset();
    kelvo_driver::setSetupLevelTableForTests(&stressLevels());
    if (kelvo_host_start() != 0) {
        std::fprintf(stderr, "FAILED: the host did not start\n");
        return 1;
    }
    const char* const boards[kModules] = {"solstra", "duskmere-a"};
    for (unsigned m = 0; m < kModules; ++m) {
        modules[m].index = kelvo_host_add_module(boards[m]);
        if (modules[m].index < 0) {
            std::fprintf(stderr, "FAILED: module %s not added\n", boards[m]);
            return 1;
        }
        auto* pci = static_cast<kelvo_driver::nVOAPAL000::tPCIDevice*>(
            kelvo_host::device(static_cast<unsigned>(modules[m].index)));
        modules[m].device = static_cast<kelvo_driver::KelvoDevice*>(pci);
        const std::vector<std::uint8_t> flash = kelvo_host::module(modules[m].index)->flash().contents();
        modules[m].flashHead.assign(flash.begin(), flash.begin() + 256);
    }
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned id = 0; id < kWorkers; ++id) {
        threads.emplace_back(worker, id, count, seed);
    }
    std::vector<std::thread> disturbers;
    for (unsigned m = 0; m < kModules; ++m) {
        disturbers.emplace_back(resetter, m, seed);
        disturbers.emplace_back(power, m);
    }
    // The workers end by their count; the time bound stops everything.
    std::thread timer([&] {
        while (!stopping.load() &&
               std::chrono::steady_clock::now() - started < std::chrono::duration<double>(seconds)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stopping.store(true);
    });
    for (std::thread& t : threads) {
        t.join();
    }
    stopping.store(true);
    timer.join();
    for (std::thread& t : disturbers) {
        t.join();
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Afterwards: both modules reach the complete level, and nothing is left once they are gone.
    for (unsigned m = 0; m < kModules; ++m) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(modules[m].index));
        if (ask(handle, KELVO_IOCTL_kdut_reset,
                kelvo_kdut_reset_in{KELVO_SETUP_LEVEL_COMPLETE, 0, 0, 0, 0}) != 0) {
            fail("a module did not reach level 19 after the run");
        }
        kelvo_close(handle);
        if (kelvo_host_remove_module(static_cast<unsigned>(modules[m].index)) != 0) {
            fail("a module could not be removed");
        }
    }
    kelvo_host_stop();
    kelvo_driver::setSetupLevelTableForTests(nullptr);
    if (kal::memory::liveAllocations() != 0) {
        fail("allocations left after the host stopped: " + kal::live::describe(kal::live::now()));
    }
    if (!kelvo_host::faults().empty()) {
        fail("the host saw a driver fault: " + kelvo_host::faults().front());
    }
    std::printf(
        "kelvo_stress: %llu requests in %.2f s (%.0f per second), %llu resets, %llu power cycles: %s\n",
        static_cast<unsigned long long>(requests.load()), elapsed, requests.load() / elapsed,
        static_cast<unsigned long long>(resets.load()), static_cast<unsigned long long>(powerCycles.load()),
        failures.load() ? "FAILED" : "passed");
    return failures.load() ? 1 : 0;
}
