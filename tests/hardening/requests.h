// Requests through the host's C API, options and the verdict of the hardening programs.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host.h"
#include "kelvo/ioctl.h"

namespace {

inline std::uint64_t address(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// The transport's code when the request did not reach the driver, else the output record's status word.
template <class Out = kelvo_status_record, class In>
std::int32_t ask(int handle, std::uint32_t requestCode, const In& in, Out&& out = Out{}) {
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    const int transport = kelvo_ioctl(handle, requestCode, &header);
    return transport != 0 ? transport : out.status;
}

constexpr const char* kManufacturing = "Manufacturing_Ver1.0.0d1";
constexpr std::uint32_t kSerialField = 12; // of "Manufacturing", 4 bytes

// One element of a storage map's field, set (setRaw) or got (getRaw).
inline std::int32_t rawElement(int handle, std::uint32_t requestCode, const char* map, std::uint32_t field,
                               std::uint64_t element, void* value, std::uint32_t size) {
    return ask(handle, requestCode,
               kelvo_storageMap_setRaw_in{address(map), std::strlen(map), field, 0, element, 1,
                                          address(value), size, 0, 0});
}

// A register's value by name, and the status as ask() answers it.
inline kelvo_arm_read_out readRegister(int handle, const char* map, std::uint32_t field) {
    kelvo_arm_read_out out{};
    out.status =
        ask(handle, KELVO_IOCTL_arm_read, kelvo_arm_read_in{address(map), std::strlen(map), field, 0}, out);
    return out;
}

// The first bytes of a device window.
inline std::int32_t readWindow(int handle, const char* window, std::vector<std::uint8_t>& bytes) {
    return ask(handle, KELVO_IOCTL_deviceWindow_read,
               kelvo_deviceWindow_read_in{address(window), std::strlen(window), 0, bytes.size(),
                                          address(bytes.data()), 0, 0});
}

// The value of "--name VALUE" among the arguments, or otherwise.
inline const char* option(int argc, char** argv, const char* name, const char* otherwise = nullptr) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return otherwise;
}

inline std::uint64_t number(const char* text, std::uint64_t otherwise) {
    return text != nullptr ? std::strtoull(text, nullptr, 10) : otherwise;
}

// A sample's seed: the option's value, else KELVO_SWEEP_SEED (a mutation run repeats it), else the clock's.
inline std::uint64_t sampleSeed(const char* given) {
    return number(given != nullptr ? given : std::getenv("KELVO_SWEEP_SEED"),
                  std::chrono::system_clock::now().time_since_epoch().count() % 1000003);
}

inline std::atomic<unsigned> failures{0};

inline void fail(const std::string& what) {
    static std::mutex lock;
    std::lock_guard g(lock);
    if (failures.fetch_add(1) < 50) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

inline bool check(bool ok, const std::string& what) {
    return ok || (fail(what), false);
}

// Once the host stopped: nothing left allocated, no driver fault; the verdict.
inline int verdict(const char* program) {
    check(kal::memory::liveAllocations() == 0,
          "allocations left after the host stopped: " + kal::live::describe(kal::live::now()));
    for (const std::string& fault : kelvo_host::faults()) {
        fail("the host saw a driver fault: " + fault);
    }
    std::printf("%s: %s\n", program, failures.load() ? "FAILED" : "passed");
    return failures.load() ? 1 : 0;
}

} // namespace
