// The I/O-control fuzzing engine (see ioctl_fuzz.h).
//
// An input is a sequence of requests. Each begins with an action byte; the
// bytes after it choose the device, the handle and the request's details. A
// reader that runs out answers zeros, so a short input is a valid request of
// the defaults: the seeds are a handful of bytes each.
//
// User addresses are never taken from the input: every address field the
// records declare receives one of the harness's own places (a valid buffer,
// null, an inaccessible page, a read-only page, or a range running into an
// inaccessible page), and any other 8-byte word of a record or buffer that
// happens to point into mapped memory is moved out of the address space.
#include "ioctl_fuzz.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control.h"
#include "core/setup_levels.h"
#include "host.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"
#include "sim.h"

namespace kelvo_fuzz {
namespace {

// ---- the code table -----------------------------------------------------------

struct CodeInfo {
    std::uint32_t code;
    std::uint32_t inSize;
    std::uint32_t outSize;
    const char* name;
};

#define KELVO_FUZZ_CODE(op, in, out, level) {KELVO_IOCTL_##op, in, out, #op},
constexpr CodeInfo kCodes[] = {KELVO_IOCTL_TABLE(KELVO_FUZZ_CODE)};
#undef KELVO_FUZZ_CODE
constexpr unsigned kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
static_assert(kCodeCount == KELVO_IOCTL_CODE_COUNT);

// The address fields of the records: a registration name (its length is the
// u64 after it), a buffer, or the custom reset parameters.
enum class Field : std::uint8_t { Name, Buffer };
struct AddressField {
    std::uint32_t code;
    std::uint32_t offset;
    Field kind;
};

#define NAME(op)                                                                                             \
    { KELVO_IOCTL_##op, offsetof(kelvo_##op##_in, nameAddress), Field::Name }
#define BUF(op, field)                                                                                       \
    { KELVO_IOCTL_##op, offsetof(kelvo_##op##_in, field), Field::Buffer }
constexpr AddressField kAddressFields[] = {
    BUF(wexmoor_getSubroutines, idBuffer),
    BUF(wexmoor_getSubroutines, addressBuffer),
    BUF(routing_calculateRoute, seedBuffer),
    BUF(routing_calculateRoute, destinationBuffer),
    BUF(routing_calculateRoute, possibilitiesBuffer),
    BUF(routing_reserveRoute, conflictsBuffer),
    BUF(routing_getRouteTerminalPath, pathBuffer),
    BUF(routing_getTopographyName, nameBuffer),
    NAME(arm_write),
    NAME(arm_read),
    NAME(arm_flushRegister),
    NAME(arm_refreshRegister),
    BUF(arm_getRegistrationNames, buffer),
    NAME(arm_flushRegMap),
    NAME(arm_set),
    NAME(arm_get),
    NAME(arm_writeEx),
    NAME(arm_readEx),
    NAME(arm_setEx),
    NAME(arm_getEx),
    NAME(arm_flushRegisterEx),
    NAME(arm_refreshRegisterEx),
    NAME(arm_getRegisterFormat),
    BUF(arm_getRegisterFormat, fieldTypeBuffer),
    BUF(arm_getRegisterFormat, maskBuffer),
    BUF(arm_getRegistrationList, buffer),
    NAME(deviceWindow_flush),
    BUF(deviceWindow_getRegistrationNames, buffer),
    NAME(deviceWindow_getSizeInBytes),
    NAME(deviceWindow_write),
    BUF(deviceWindow_write, buffer),
    NAME(deviceWindow_read),
    BUF(deviceWindow_read, buffer),
    NAME(deviceWindow_set),
    BUF(deviceWindow_set, buffer),
    NAME(deviceWindow_get),
    BUF(deviceWindow_get, buffer),
    NAME(deviceWindow_refresh),
    NAME(storageMap_flush),
    BUF(storageMap_getRegistrationNames, buffer),
    NAME(storageMap_getElementCount),
    NAME(storageMap_getElementSize),
    NAME(storageMap_refresh),
    NAME(storageMap_setRaw),
    BUF(storageMap_setRaw, buffer),
    NAME(storageMap_getRaw),
    BUF(storageMap_getRaw, buffer),
    NAME(storageMap_isChecksumValid),
    BUF(brixelTools_addTransferToDevice, bufferAddress),
    BUF(brixelTools_addTransferFromDevice, bufferAddress),
};
#undef NAME
#undef BUF

// Values worth trying in a 32-bit slot: channels, masks, levels, limits.
constexpr std::uint32_t kInteresting32[] = {
    0,          1,          2,          3,          4,          7,         8,        15,
    16,         18,         19,         20,         31,         32,        63,       64,
    0x7F,       0x80,       0xFF,       0x100,      0xFFFF,     0x10000,   0xFFFFFF, 0x1000000,
    0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0xBFFA4308, 0xFFFF34DE};
// And in a 64-bit slot: lengths and counts up to 2^64-1.
constexpr std::uint64_t kInteresting64[] = {0,
                                            1,
                                            4,
                                            63,
                                            64,
                                            65,
                                            4096,
                                            0xFFFFFF,
                                            0x1000000,
                                            0xFFFFFFFF,
                                            0x100000000ull,
                                            0x7FFFFFFFFFFFFFFFull,
                                            0x8000000000000000ull,
                                            0xFFFFFFFFFFFFFFF0ull,
                                            0xFFFFFFFFFFFFFFFFull};

// The characters of a name's version suffix ("_Ver2.3.0f7"), and a few others.
constexpr char kVersionCharacters[] = "0123456789.dfx_";

// ---- the input ------------------------------------------------------------------

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
    std::uint64_t u64() { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }
    void bytes(std::uint8_t* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = u8();
        }
    }
    // A length: from the interesting values, or any value.
    std::uint64_t length() {
        const std::uint8_t how = u8();
        if (how < 0xF0) {
            return kInteresting64[how % (sizeof(kInteresting64) / sizeof(kInteresting64[0]))];
        }
        return u64();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// ---- the harness's own memory ----------------------------------------------------

// [rw: kRwPages][guard][read-only][guard]; the guards are inaccessible.
constexpr std::size_t kPage = 4096;
constexpr std::size_t kRwPages = 4;
constexpr std::size_t kRwSize = kRwPages * kPage;
// Records and the header sit at the start of the read-write pages.
constexpr std::size_t kInputAt = 0;
constexpr std::size_t kOutputAt = 512;
constexpr std::size_t kHeaderAt = 1024;
constexpr std::size_t kPayloadAt = 1088;
constexpr std::size_t kParametersAt = 1152;
constexpr std::size_t kBuffersAt = 2048;
constexpr std::size_t kMaxRecord = 256;

struct Pool {
    std::uint8_t* base = nullptr;
    std::uint8_t* rw() const { return base; }
    std::uint8_t* rwEnd() const { return base + kRwSize; }
    std::uint8_t* guard() const { return base + kRwSize; }
    std::uint8_t* readOnly() const { return base + kRwSize + kPage; }
};
Pool pool;

void makePool() {
    void* area = mmap(nullptr, kRwSize + 3 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        std::abort();
    }
    pool.base = static_cast<std::uint8_t*>(area);
    mprotect(pool.base, kRwSize + 2 * kPage, PROT_READ | PROT_WRITE);
    std::memset(pool.readOnly(), 0xA5, kPage);
    mprotect(pool.guard(), kPage, PROT_NONE);
    mprotect(pool.readOnly(), kPage, PROT_READ);
}

// True when the word is an address inside mapped memory of this process.
bool mapped(std::uint64_t value) {
    if (value < 0x10000 || value >= (1ull << 47)) {
        return false;
    }
    unsigned char residency = 0;
    return mincore(reinterpret_cast<void*>(value & ~(kPage - 1)), 1, &residency) == 0;
}

// Moves every 8-byte word that points into mapped memory out of the address space.
void scrub(std::uint8_t* bytes, std::size_t size, std::size_t except = ~std::size_t{0},
           std::size_t except2 = ~std::size_t{0}) {
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
        if (at == except || at == except2) {
            continue;
        }
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        if (mapped(word)) {
            word |= 1ull << 63;
            std::memcpy(bytes + at, &word, 8);
        }
    }
}

std::uint64_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// One of the harness's places for a user address. Kinds 0 to 8 are a valid
// buffer; the rest are the refusals a driver must meet: unmapped (below
// every mapping or past user space), null, inaccessible, read-only, or a
// range running into an inaccessible page.
std::uint8_t* place(Reader& in, std::size_t need) {
    const std::uint8_t kind = in.u8();
    const std::uint16_t where = in.u16();
    switch (kind % 16) {
    case 9:
        return reinterpret_cast<std::uint8_t*>(std::uintptr_t{0x1000} +
                                               where % 0xE000); // below every mapping
    case 10:
        return reinterpret_cast<std::uint8_t*>((std::uintptr_t{1} << 47) + where); // past user space
    case 11:
        return nullptr;
    case 12:
        return pool.guard() + where % kPage; // inaccessible
    case 13:
        return pool.readOnly() + where % kPage;
    case 14: {
        // A range that runs past the end of the read-write pages.
        const std::size_t cut = 1 + where % (need ? need : 1);
        return pool.rwEnd() - (need > cut ? need - cut : 1);
    }
    case 15:
        return pool.readOnly() + kPage - (1 + where % 16); // read-only, running into the guard
    default: {
        // Valid: in the buffer area, whole when it fits.
        const std::size_t room = kRwSize - kBuffersAt;
        const std::size_t span = need < room ? room - need : 1;
        return pool.rw() + kBuffersAt + (where % span & ~std::size_t{7});
    }
    }
}

// Fills a valid buffer with input bytes (what the driver may read from it).
void fill(Reader& in, std::uint8_t* at) {
    if (at < pool.rw() + kBuffersAt || at >= pool.rwEnd()) {
        return;
    }
    const std::size_t count = std::min<std::size_t>(in.u8(), static_cast<std::size_t>(pool.rwEnd() - at));
    in.bytes(at, count);
    scrub(at, count);
}

// ---- the host ------------------------------------------------------------------------

constexpr std::size_t kMapsHeld = 16; // per handle; the oldest goes beyond
constexpr unsigned kSlots = 3;        // per device: "smu_kelvo" twice, the cooling interface
const char* const kInterfaces[kSlots] = {"smu_kelvo", "smu_kelvo", "nPXICOOLING_17_2_pxiCooling"};

struct Device {
    int index = -1;
    std::array<int, kSlots> handles{-1, -1, -1};
    std::vector<std::uint64_t> maps[kSlots];
};

std::vector<Device> devices;
std::vector<std::string> names; // the registered names of every registry, found at start
Options options;
Counters totals;
std::uint32_t top = 0;
bool running = false;
double previousScale = 1;
kal::live::Counts liveBefore; // the kernel-layer objects before the host started
Outcome last;

// KELVO_FUZZ_TRACE=1: the reports are checked after every request.
const bool tracing = std::getenv("KELVO_FUZZ_TRACE") != nullptr;
char lastRequest[96] = "";

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "kelvo_fuzz: %s (last request: %s)\n", what, lastRequest);
    for (const std::string& fault : kelvo_host::faults()) {
        std::fprintf(stderr, "  host fault: %s\n", fault.c_str());
    }
    std::abort();
}

void open(Device& device, unsigned slot) {
    device.handles[slot] = kelvo_open(kInterfaces[slot], static_cast<unsigned>(device.index));
    if (device.handles[slot] < 0) {
        std::fprintf(stderr, "kelvo_fuzz: open of %s on device %d answered %d\n", kInterfaces[slot],
                     device.index, device.handles[slot]);
        fail("a handle could not be opened");
    }
}

void close(Device& device, unsigned slot) {
    for (std::uint64_t map : device.maps[slot]) {
        kelvo_host::unmapMemory(device.handles[slot], map);
    }
    device.maps[slot].clear();
    if (device.handles[slot] >= 0 && kelvo_close(device.handles[slot]) != 0) {
        fail("a handle could not be closed");
    }
    device.handles[slot] = -1;
}

void addDevice(unsigned board) {
    Device& device = devices[board];
    device.index = kelvo_host_add_module(boards()[board].c_str());
    if (device.index < 0) {
        fail("a module could not be added");
    }
    for (unsigned slot = 0; slot < kSlots; ++slot) {
        open(device, slot);
    }
}

// The stand-in's and the simulated modules' fault reports: a DMA access the
// stand-in refused, an access a module could not take (a wrong width or
// alignment, outside every block).
void checkReports() {
    const std::vector<std::string> dma = kal::dma::faults();
    for (const std::string& fault : dma) {
        std::fprintf(stderr, "kelvo_fuzz: DMA fault: %s\n", fault.c_str());
    }
    bool deviceErrors = false;
    for (const Device& device : devices) {
        const std::shared_ptr<sim::Module> module =
            device.index >= 0 ? kelvo_host::module(static_cast<unsigned>(device.index)) : nullptr;
        if (module != nullptr && module->deviceErrorCount() != 0) {
            for (const std::string& error : module->deviceErrors()) {
                std::fprintf(stderr, "kelvo_fuzz: device error: %s\n", error.c_str());
            }
            deviceErrors = true;
        }
    }
    if (!dma.empty() || deviceErrors) {
        fail("the stand-in or a module reported a fault");
    }
}

void removeDevice(unsigned board) {
    checkReports();
    Device& device = devices[board];
    if (kelvo_host_remove_module(static_cast<unsigned>(device.index)) != 0) {
        fail("a module could not be removed");
    }
    for (unsigned slot = 0; slot < kSlots; ++slot) {
        device.maps[slot].clear(); // the removal unmapped them
        if (kelvo_close(device.handles[slot]) != 0) {
            fail("a removed device's handle could not be released");
        }
        device.handles[slot] = -1;
    }
    device.index = -1;
}

template <class Out, class In> int request(int handle, std::uint32_t code, const In& in, Out& out) {
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    return kelvo_ioctl(handle, code, &header);
}

// The names of one registry of a device.
void collectNames(int handle, std::uint32_t countCode, std::uint32_t namesCode) {
    kelvo_status_record none{};
    kelvo_arm_getNumberOfRegistrations_out count{};
    if (request(handle, countCode, none, count) != 0 || count.status < 0 || count.count == 0 ||
        count.count > 4096) {
        return;
    }
    std::vector<char> slots(count.count * KELVO_NAME_SLOT_SIZE, 0);
    kelvo_arm_getRegistrationNames_in in{address(slots.data()), 0, 0};
    kelvo_status_record out{};
    if (request(handle, namesCode, in, out) != 0 || out.status < 0) {
        return;
    }
    for (std::uint64_t i = 0; i < count.count; ++i) {
        const char* slot = slots.data() + i * KELVO_NAME_SLOT_SIZE;
        std::string name(slot, strnlen(slot, KELVO_NAME_SLOT_SIZE));
        bool known = false;
        for (const std::string& have : names) {
            known = known || have == name;
        }
        if (!known) {
            names.push_back(name);
        }
    }
}

// ---- the requests ------------------------------------------------------------------

// Every module's device errors, in device order.
std::vector<std::vector<std::string>> deviceErrors() {
    std::vector<std::vector<std::string>> all;
    for (const Device& device : devices) {
        const std::shared_ptr<sim::Module> module =
            device.index >= 0 ? kelvo_host::module(static_cast<unsigned>(device.index)) : nullptr;
        all.push_back(module != nullptr ? module->deviceErrors() : std::vector<std::string>{});
    }
    return all;
}

// A device window is the FPGA's register space as it stands: user mode may
// read a write-only register or write a read-only one through it, as on the
// hardware. What a module reports of that during a window's request is no
// fault of the driver; any other report stays (a width or an alignment the
// window must never use, an access outside every block). A write to the
// hardware may also command the isolation link's access registers, which then
// reach the isolated FPGA wherever the written address says: what that FPGA
// reports during a window's write is the user's command too.
void forgiveRawAccess(const std::vector<std::vector<std::string>>& before, bool written) {
    for (std::size_t at = 0; at < devices.size() && at < before.size(); ++at) {
        const std::shared_ptr<sim::Module> module =
            devices[at].index >= 0 ? kelvo_host::module(static_cast<unsigned>(devices[at].index)) : nullptr;
        if (module == nullptr || module->deviceErrorCount() == before[at].size()) {
            continue;
        }
        std::vector<std::string> kept = before[at];
        const std::vector<std::string> now = module->deviceErrors();
        for (std::size_t i = before[at].size(); i < now.size(); ++i) {
            const std::string& text = now[i];
            const bool rawAccess = text.find("read-only register") != std::string::npos ||
                                   text.find("write-only register") != std::string::npos ||
                                   text.find("where no register is readable") != std::string::npos ||
                                   (written && text.rfind("iso-fpga:", 0) == 0);
            if (!rawAccess) {
                kept.push_back(text);
            }
        }
        module->errors().clear();
        for (std::string& text : kept) {
            module->errors().report(std::move(text));
        }
    }
}

// Route IDs grow over a run: a request's sizes byte with this flag names the
// route last calculated (its route ID field, at offset 0 of the record).
constexpr std::uint8_t kLastRoute = 0x80;
std::uint32_t lastRoute = 0;

void routeIdInto(std::uint32_t code, std::uint8_t* input, std::uint64_t inSize) {
    switch (code) {
    case KELVO_IOCTL_routing_destroyRoute:
    case KELVO_IOCTL_routing_reserveRoute:
    case KELVO_IOCTL_routing_programRoute:
    case KELVO_IOCTL_routing_unreserveRoute:
    case KELVO_IOCTL_routing_unprogramRoute:
    case KELVO_IOCTL_routing_getRouteTerminalPath:
        if (inSize >= 4) {
            std::memcpy(input, &lastRoute, 4);
        }
        break;
    default:
        break;
    }
}

// Keeps the route a calculation answered (the first possibility's, read from
// the harness's own buffer).
void keepRouteId(std::uint32_t code, const std::uint8_t* input, const std::uint8_t* output) {
    if (code == KELVO_IOCTL_routing_calculateResetTerminal) {
        const auto* out = reinterpret_cast<const kelvo_routing_calculateResetTerminal_out*>(output);
        lastRoute = out->status >= 0 && out->result != 0 ? out->result : lastRoute;
    } else if (code == KELVO_IOCTL_routing_calculateRoute) {
        const auto* in = reinterpret_cast<const kelvo_routing_calculateRoute_in*>(input);
        const auto* out = reinterpret_cast<const kelvo_routing_calculateRoute_out*>(output);
        const auto* first = reinterpret_cast<const std::uint8_t*>(in->possibilitiesBuffer);
        if (out->status >= 0 && out->possibilitiesCount > 0 && first >= pool.rw() &&
            first + sizeof(kelvo_route_possibility) <= pool.rwEnd()) {
            std::memcpy(&lastRoute, first + offsetof(kelvo_route_possibility, routeID), 4);
        }
    }
}

// The code table's request: record sizes right or off, fields from the
// input with interesting values mixed in, addresses from the harness.
void tableRequest(Reader& in, int handle) {
    const unsigned index = in.u16() % kCodeCount;
    const CodeInfo& info = kCodes[index];
    if (info.code == KELVO_IOCTL_kdut_reset) {
        return; // a reset is a rare event
    }
    std::uint64_t inSize = info.inSize;
    std::uint64_t outSize = info.outSize;
    const std::uint8_t sizes = in.u8();
    if (sizes % 8 == 6) {
        inSize = (inSize + static_cast<std::int8_t>(in.u8())) % kMaxRecord;
    } else if (sizes % 8 == 7) {
        outSize = (outSize + static_cast<std::int8_t>(in.u8())) % kMaxRecord;
    }
    std::uint8_t* input = pool.rw() + kInputAt;
    std::uint8_t* output = pool.rw() + kOutputAt;
    std::memset(input, 0, kMaxRecord);
    std::memset(output, 0, kMaxRecord);
    in.bytes(input, inSize);
    // Interesting values in a few 32-bit slots, or 64-bit ones (lengths, counts).
    for (unsigned tweaks = in.u8() % 4; tweaks > 0 && inSize >= 4; --tweaks) {
        const std::uint8_t slot = in.u8();
        const std::uint8_t pick = in.u8();
        if (slot % 2 == 1 && inSize >= 8) {
            const std::size_t at = (slot / 2 * 8u) % (inSize & ~std::uint64_t{7});
            const std::uint64_t value =
                kInteresting64[pick % (sizeof(kInteresting64) / sizeof(kInteresting64[0]))];
            std::memcpy(input + at, &value, 8);
        } else {
            const std::size_t at = (slot / 2 * 4u) % (inSize & ~std::uint64_t{3});
            const std::uint32_t value =
                kInteresting32[pick % (sizeof(kInteresting32) / sizeof(kInteresting32[0]))];
            std::memcpy(input + at, &value, 4);
        }
    }
    scrub(input, inSize);
    // One thread issues every request: a DMA wait may block it a few
    // milliseconds of stand-in time at most (a longer one is the stress run's).
    constexpr std::size_t kWaitTimeoutAt = offsetof(kelvo_brixelTools_waitUntilBytesTransferred_in, timeout);
    if (info.code == KELVO_IOCTL_brixelTools_waitUntilBytesTransferred && inSize >= kWaitTimeoutAt + 4) {
        std::uint32_t timeout;
        std::memcpy(&timeout, input + kWaitTimeoutAt, 4);
        timeout %= 8;
        std::memcpy(input + kWaitTimeoutAt, &timeout, 4);
    }
    // The address fields of this code's record.
    for (const AddressField& field : kAddressFields) {
        if (field.code != info.code || field.offset + 8 > inSize) {
            continue;
        }
        std::uint64_t value = 0;
        if (field.kind == Field::Name) {
            // A registered name (with or without a version suffix), placed to
            // end at the read-write pages' end, or a place of the harness.
            const std::uint8_t how = in.u8();
            std::string name = names.empty() ? std::string("none") : names[in.u8() % names.size()];
            if (how % 4 == 1) {
                name += "_Ver";
                for (unsigned digits = in.u8() % 12; digits > 0; --digits) {
                    name += kVersionCharacters[in.u8() % (sizeof(kVersionCharacters) - 1)];
                }
            } else if (how % 4 == 2 && !name.empty()) {
                name.resize(in.u8() % name.size());
            }
            name = name.substr(0, 512);
            std::uint8_t* at = pool.rwEnd() - name.size();
            std::memcpy(at, name.data(), name.size());
            value = address(how % 8 == 3 ? place(in, name.size()) : at);
            std::uint64_t length = name.size();
            if (how / 8 % 4 == 1) {
                length = in.length(); // up to 2^64-1
            } else if (how / 8 % 4 == 2) {
                length += in.u8() % 8; // running into the guard
            }
            if (field.offset + 16 <= inSize) {
                std::memcpy(input + field.offset + 8, &length, 8);
            }
        } else {
            std::uint8_t* at = place(in, 64);
            fill(in, at);
            value = address(at);
        }
        std::memcpy(input + field.offset, &value, 8);
    }
    kelvo_ioctl_header* header = reinterpret_cast<kelvo_ioctl_header*>(pool.rw() + kHeaderAt);
    const std::uint8_t places = in.u8();
    // The DMA wait's record stays at home, where its timeout was cut.
    const bool placeInput =
        places % 16 == 1 && info.code != KELVO_IOCTL_brixelTools_waitUntilBytesTransferred;
    header->inputAddress = address(placeInput ? place(in, inSize) : input);
    header->outputAddress = address(places / 16 == 1 ? place(in, outSize) : output);
    header->inputSize = static_cast<std::uint32_t>(inSize);
    header->outputSize = static_cast<std::uint32_t>(outSize);
    header->result = 0;
    header->reserved = 0;
    void* argument = header;
    if (places == 0xFF) {
        argument = place(in, sizeof(*header));
    }
    if (sizes & kLastRoute) {
        routeIdInto(info.code, input, inSize);
    }
    const bool raw =
        info.code >= KELVO_IOCTL_deviceWindow_flush && info.code <= KELVO_IOCTL_deviceWindow_refresh;
    const std::vector<std::vector<std::string>> before =
        raw ? deviceErrors() : std::vector<std::vector<std::string>>{};
    last = Outcome{kelvo_ioctl(handle, info.code, argument), header->result, outSize, 0, info.code};
    if (raw) {
        forgiveRawAccess(before, info.code == KELVO_IOCTL_deviceWindow_write ||
                                     info.code == KELVO_IOCTL_deviceWindow_flush);
    }
    if (outSize == info.outSize) {
        // The status word: after a u64 result in the 16-byte records, else last.
        std::memcpy(&last.status, output + (outSize == 16 ? 8 : outSize - 4), 4);
    }
    if (last.transport == 0) {
        keepRouteId(info.code, input, output);
    }
}

// A code no interface knows (or any code at all), with a valid header.
void unknownRequest(Reader& in, int handle) {
    const std::uint32_t code = in.u32();
    kelvo_ioctl_header* header = reinterpret_cast<kelvo_ioctl_header*>(pool.rw() + kHeaderAt);
    std::uint8_t* input = pool.rw() + kInputAt;
    std::memset(input, 0, kMaxRecord);
    const std::uint32_t inSize = in.u8();
    in.bytes(input, inSize);
    scrub(input, inSize);
    *header = kelvo_ioctl_header{address(input), address(pool.rw() + kOutputAt), inSize, in.u8(), 0, 0};
    if (code == KELVO_IOCTL_CREATE_NOTIFIER || code == KELVO_IOCTL_DESTROY_NOTIFIER ||
        code == KELVO_IOCTL_kdut_reset || code == KELVO_IOCTL_brixelTools_waitUntilBytesTransferred) {
        return; // their own requests (the wait's timeout is cut there)
    }
    kelvo_ioctl(handle, code, header);
}

// The platform's notifier: open (its payload from the harness's places) or close.
void notifierRequest(Reader& in, const Device& device, int handle) {
    const std::uint8_t how = in.u8();
    const std::uint32_t kind = kInteresting32[in.u8() % (sizeof(kInteresting32) / sizeof(kInteresting32[0]))];
    if (how % 2 == 1) {
        kelvo_ioctl(
            handle, KELVO_IOCTL_DESTROY_NOTIFIER,
            reinterpret_cast<void*>(static_cast<std::uintptr_t>(kind | (std::uint64_t{in.u32()} << 32))));
        return;
    }
    auto* payload = reinterpret_cast<kelvo_notifier_payload*>(pool.rw() + kPayloadAt);
    payload->cookie = in.u64();
    payload->destination = kelvo_destination(device.handles[in.u8() % kSlots]);
    payload->kind = how % 4 == 2 ? in.u32() : kind;
    void* argument = how % 8 == 4 ? static_cast<void*>(place(in, sizeof(*payload))) : payload;
    kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, argument);
}

void readWriteRequest(Reader& in, int handle) {
    const std::uint8_t how = in.u8();
    const std::uint64_t size = in.length();
    std::uint8_t* buffer = place(in, size < kRwSize ? size : kRwSize);
    std::uint64_t count = 0;
    if (how % 2 == 0) {
        kelvo_host::read(handle, buffer, size, &count);
    } else {
        fill(in, buffer);
        kelvo_host::write(handle, buffer, size, &count);
    }
}

void mapRequest(Reader& in, Device& device, unsigned slot) {
    const std::uint8_t how = in.u8();
    std::vector<std::uint64_t>& maps = device.maps[slot];
    if (how % 4 == 3) {
        // Unmap one held, or one never handed out.
        if (!maps.empty() && how % 8 == 3) {
            const std::size_t which = in.u8() % maps.size();
            kelvo_host::unmapMemory(device.handles[slot], maps[which]);
            maps.erase(maps.begin() + static_cast<std::ptrdiff_t>(which));
        } else {
            kelvo_host::unmapMemory(device.handles[slot], in.u64());
        }
        return;
    }
    const std::uint16_t selector = in.u16();
    const std::uint64_t size = in.length();
    std::uint64_t map = 0;
    if (kelvo_host::mapMemory(device.handles[slot], selector, size, in.u8() % 4, &map) == 0 && map != 0) {
        maps.push_back(map);
        if (maps.size() > kMapsHeld) {
            kelvo_host::unmapMemory(device.handles[slot], maps.front());
            maps.erase(maps.begin());
        }
    }
}

// A reset of a device to a level (custom parameters from the harness's places).
void resetRequest(Reader& in, int handle) {
    kelvo_kdut_reset_in* reset = reinterpret_cast<kelvo_kdut_reset_in*>(pool.rw() + kInputAt);
    *reset = kelvo_kdut_reset_in{};
    const std::uint8_t level = in.u8();
    reset->setupLevel = level < 0xF0 ? level % 20 : kInteresting32[level % 16];
    const std::uint8_t how = in.u8();
    if (how % 4 == 1) {
        auto* parameters = reinterpret_cast<kelvo_custom_reset_parameters*>(pool.rw() + kParametersAt);
        in.bytes(reinterpret_cast<std::uint8_t*>(parameters), sizeof(*parameters));
        scrub(reinterpret_cast<std::uint8_t*>(parameters), sizeof(*parameters));
        for (std::uint64_t* pointer :
             {&parameters->nonIsolatedFirmwarePtr, &parameters->isolatedFirmwarePtr,
              &parameters->subroutineCommandsPtr, &parameters->subroutineIdsPtr,
              &parameters->subroutineAddressesPtr, &parameters->errorsToDisablePtr}) {
            std::uint8_t* at = place(in, 64);
            fill(in, at);
            *pointer = address(at);
        }
        reset->resetParametersAddress = address(parameters);
    } else if (how % 4 == 2) {
        reset->resetParametersAddress = address(place(in, sizeof(kelvo_custom_reset_parameters)));
    }
    kelvo_kdut_reset_out out{};
    kelvo_ioctl_header* header = reinterpret_cast<kelvo_ioctl_header*>(pool.rw() + kHeaderAt);
    *header = kelvo_ioctl_header{address(reset), address(&out), sizeof(*reset), sizeof(out), 0, 0};
    kelvo_ioctl(handle, KELVO_IOCTL_kdut_reset, header);
}

// The rare events: a reset, a close and re-open, a module's removal.
void event(Reader& in, unsigned board, unsigned slot) {
    Device& device = devices[board];
    const std::uint8_t what = in.u8();
    if (what % 4 == 0 || what % 4 == 1) {
        // A reset invalidates the device's sessions: they are opened anew,
        // but for the resetting one now and then.
        resetRequest(in, device.handles[slot]);
        for (unsigned other = 0; other < kSlots; ++other) {
            if (other != slot || what % 8 != 1) {
                close(device, other);
                open(device, other);
            }
        }
    } else if (what % 4 == 2) {
        close(device, slot);
        open(device, slot);
    } else {
        removeDevice(board);
        addDevice(board);
    }
}

void drainMessages() {
    kelvo_message message{};
    for (const Device& device : devices) {
        for (int handle : device.handles) {
            while (kelvo_read_message(kelvo_destination(handle), &message) == 1) {
            }
        }
    }
}

} // namespace

// ---- the engine's interface --------------------------------------------------------------

const std::vector<std::string>& boards() {
    static const std::vector<std::string> all{"solstra", "duskmere-a", "duskmere-b"};
    return all;
}

void start(const Options& chosen) {
    options = chosen;
    if (pool.base == nullptr) {
        makePool();
    }
    liveBefore = kal::live::now();
    previousScale = kal::clock::scale();
    if (options.clockScale > 0) {
        kal::clock::setScale(options.clockScale);
    }
    static kelvo_driver::SetupLevelTable levels{};
    levels = kelvo_driver::SetupLevelTable{};
    for (std::uint32_t level = 1; level <= options.topLevel && level <= kelvo_driver::kNumberOfSetupTasks;
         ++level) {
        levels.tasks[level - 1] = kelvo_driver::getProductSetupLevelTable().tasks[level - 1];
    }
    kelvo_driver::setSetupLevelTableForTests(options.topLevel >= KELVO_SETUP_LEVEL_COMPLETE ? nullptr
                                                                                            : &levels);
    if (kelvo_host_start() != 0) {
        fail("the host did not start");
    }
    devices.assign(boards().size(), Device{});
    top = 0xFFFFFFFFu;
    for (unsigned board = 0; board < boards().size(); ++board) {
        addDevice(board); // the addition sets the module up to the top level
        const std::int64_t level = setupLevel(board);
        top = level >= 0 && static_cast<std::uint32_t>(level) < top ? static_cast<std::uint32_t>(level) : top;
        const int handle = devices[board].handles[0];
        collectNames(handle, KELVO_IOCTL_arm_getNumberOfRegistrations, KELVO_IOCTL_arm_getRegistrationNames);
        collectNames(handle, KELVO_IOCTL_deviceWindow_getNumberOfRegistrations,
                     KELVO_IOCTL_deviceWindow_getRegistrationNames);
        collectNames(handle, KELVO_IOCTL_storageMap_getNumberOfRegistrations,
                     KELVO_IOCTL_storageMap_getRegistrationNames);
    }
    running = true;
}

void stop() {
    if (!running) {
        return;
    }
    for (Device& device : devices) {
        for (unsigned slot = 0; slot < kSlots; ++slot) {
            close(device, slot);
        }
    }
    drainMessages();
    kelvo_host_stop();
    kelvo_driver::setSetupLevelTableForTests(nullptr);
    kal::clock::setScale(previousScale);
    running = false;
    // What the driver allocates lives in the stand-in's own tables, out of
    // the leak checker's sight: the counts tell a leak.
    const kal::live::Counts after = kal::live::now();
    if (!(after == liveBefore)) {
        std::fprintf(stderr, "kelvo_fuzz: before the host: %s\nkelvo_fuzz: after it stopped: %s\n",
                     kal::live::describe(liveBefore).c_str(), kal::live::describe(after).c_str());
        fail("kernel-layer objects outlived the host");
    }
}

void runInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    while (!in.done()) {
        const std::uint8_t action = in.u8();
        const unsigned board = in.u8() % devices.size();
        const unsigned slot = in.u8() % kSlots;
        Device& device = devices[board];
        const int handle = device.handles[slot];
        ++totals.requests;
        switch (action % 16) {
        case 10:
            unknownRequest(in, handle);
            break;
        case 11:
            notifierRequest(in, device, handle);
            break;
        case 12:
            readWriteRequest(in, handle);
            break;
        case 13:
            mapRequest(in, device, slot);
            break;
        case 15:
            if (options.eventSpacing != 0 && (totals.events + 1) * options.eventSpacing <= totals.requests) {
                ++totals.events;
                event(in, board, slot);
            }
            break;
        default:
            tableRequest(in, handle);
            break;
        }
        if (tracing) {
            // Each request checked on its own: a report names its request.
            std::snprintf(lastRequest, sizeof(lastRequest), "action %u on board %u, code 0x%08x", action % 16,
                          board, last.code);
            checkReports();
        }
    }
    drainMessages();
    checkReports();
    if (!kelvo_host::faults().empty()) {
        fail("the host saw a driver fault");
    }
}

const Counters& counters() {
    return totals;
}
const std::vector<std::string>& registeredNames() {
    return names;
}
std::vector<AddressFieldAt> addressFields(unsigned codeIndex) {
    std::vector<AddressFieldAt> fields;
    for (const AddressField& field : kAddressFields) {
        if (field.code == kCodes[codeIndex].code) {
            fields.push_back({field.offset, field.kind == Field::Name});
        }
    }
    return fields;
}
Outcome lastOutcome() {
    return last;
}
std::uint32_t topLevel() {
    return top;
}

unsigned codeCount() {
    return kCodeCount;
}
std::uint32_t code(unsigned codeIndex) {
    return kCodes[codeIndex].code;
}
const char* codeName(unsigned codeIndex) {
    return kCodes[codeIndex].name;
}

std::vector<std::vector<std::uint8_t>> platformSeeds(unsigned board) {
    const auto b = static_cast<std::uint8_t>(board);
    return {
        {10, b, 0, 0x78, 0x56, 0x34, 0x12},          // an unknown code
        {11, b, 0},                                  // notifier open
        {11, b, 0, 1},                               // notifier close
        {11, b, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, // open on the second handle
        {12, b, 0, 0, 6},                            // read 4096 bytes
        {12, b, 0, 1, 6},                            // write 4096 bytes
        {13, b, 0, 0, 0, 0, 6, 1},                   // map 4096 bytes for reading
    };
}

std::vector<std::vector<std::uint8_t>> seeds() {
    std::vector<std::vector<std::uint8_t>> all;
    for (unsigned board = 0; board < boards().size(); ++board) {
        for (unsigned index = 0; index < kCodeCount; ++index) {
            if (kCodes[index].code != KELVO_IOCTL_kdut_reset) {
                all.push_back(seedForCode(board, index));
            }
        }
        for (std::vector<std::uint8_t>& seed : platformSeeds(board)) {
            all.push_back(std::move(seed));
        }
        const auto b = static_cast<std::uint8_t>(board);
        all.push_back({15, b, 0, 0, 19}); // reset to 19
        all.push_back({15, b, 0, 2});     // close and re-open
        all.push_back({15, b, 0, 3});     // remove and re-add
    }
    return all;
}

std::int32_t resetOnly(unsigned board, std::uint32_t level) {
    kelvo_kdut_reset_in in{};
    in.setupLevel = level;
    kelvo_kdut_reset_out out{};
    const int transport = request(devices[board].handles[0], KELVO_IOCTL_kdut_reset, in, out);
    return transport != 0 ? transport : out.status;
}

void reopen(unsigned board) {
    for (unsigned slot = 0; slot < kSlots; ++slot) {
        close(devices[board], slot);
        open(devices[board], slot);
    }
}

std::int32_t resetDevice(unsigned board, std::uint32_t level) {
    const std::int32_t status = resetOnly(board, level);
    reopen(board); // the reset invalidated their sessions
    return status;
}

int deviceIndex(unsigned board) {
    return devices[board].index;
}

int firstHandle(unsigned board) {
    return devices[board].handles[0];
}

std::int64_t setupLevel(unsigned board) {
    kelvo_status_record in{};
    kelvo_kelvo_getSetupLevel_out out{};
    const int transport = request(devices[board].handles[0], KELVO_IOCTL_kelvo_getSetupLevel, in, out);
    if (transport != 0) {
        return transport;
    }
    return out.status < 0 ? out.status : out.setupLevel;
}

} // namespace kelvo_fuzz
