// The I/O-control fuzzing engine: an input is a sequence of requests (an action byte, the device, the
// handle, the details; a reader that runs out answers zeros). Address fields get the harness's own places,
// never the input's; any other word pointing into mapped memory is moved out of the address space.
#include "ioctl_fuzz.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <utility>

#include "requests.h"
#include "valid_requests.h"

namespace kelvo_fuzz {
namespace {

// An input record's address field: a name (its length follows it) or a buffer.
struct AddressFieldAt {
    std::uint32_t offset;
    bool name;
};

// A code of the table: its records' sizes, its name, its input's address fields (by offset), and whether
// its input names a route (the first word, the route ID).
struct CodeInfo {
    std::uint32_t code;
    std::uint32_t inSize;
    std::uint32_t outSize;
    const char* name;
    std::vector<AddressFieldAt> fields;
    bool namesRoute;
};

template <class In, class Out> CodeInfo codeOf(std::uint32_t code, const char* name) {
    CodeInfo info{code, sizeof(In), sizeof(Out), name, {}, false};
    if constexpr (requires { &In::routeID; }) {
        info.namesRoute = true;
    }
#define KELVO_FUZZ_FIELD(member, isName)                                                                     \
    if constexpr (requires { &In::member; }) {                                                               \
        info.fields.push_back({static_cast<std::uint32_t>(offsetof(In, member)), isName});                   \
    }
    KELVO_FUZZ_FIELD(nameAddress, true)
    KELVO_FUZZ_FIELD(buffer, false)
    KELVO_FUZZ_FIELD(bufferAddress, false)
    KELVO_FUZZ_FIELD(idBuffer, false)
    KELVO_FUZZ_FIELD(addressBuffer, false)
    KELVO_FUZZ_FIELD(seedBuffer, false)
    KELVO_FUZZ_FIELD(destinationBuffer, false)
    KELVO_FUZZ_FIELD(possibilitiesBuffer, false)
    KELVO_FUZZ_FIELD(conflictsBuffer, false)
    KELVO_FUZZ_FIELD(pathBuffer, false)
    KELVO_FUZZ_FIELD(nameBuffer, false)
    KELVO_FUZZ_FIELD(fieldTypeBuffer, false)
    KELVO_FUZZ_FIELD(maskBuffer, false)
#undef KELVO_FUZZ_FIELD
    std::ranges::sort(info.fields, {}, &AddressFieldAt::offset);
    return info;
}
#define KELVO_FUZZ_CODE(op, in, out) codeOf<kelvo_##op##_in, kelvo_##op##_out>(KELVO_IOCTL_##op, #op),
const CodeInfo kCodes[] = {KELVO_IOCTL_TABLE(KELVO_FUZZ_CODE)};
#undef KELVO_FUZZ_CODE

// Values worth trying: channels, masks, levels, limits, lengths, counts, status words.
constexpr std::uint32_t kNotOfferedWord = static_cast<std::uint32_t>(KELVO_STATUS_NOT_OFFERED);
constexpr std::uint32_t kNotImplementedWord = static_cast<std::uint32_t>(KELVO_STATUS_NOT_IMPLEMENTED);
// clang-format off
constexpr std::uint32_t kInteresting32[] = {
    0,          1,          2,          3,          4,          7,         8,        15,
    16,         18,         19,         20,         31,         32,        63,       64,
    0x7F,       0x80,       0xFF,       0x100,      0xFFFF,     0x10000,   0xFFFFFF, 0x1000000,
    0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, kNotOfferedWord, kNotImplementedWord};
// clang-format on
constexpr std::uint64_t kInteresting64[] = {0,          1,          4,          63,         64,
                                            65,         4096,       0xFFFFFF,   0x1000000,  0xFFFFFFFF,
                                            1ull << 32, ~0ull >> 1, 1ull << 63, ~0ull - 15, ~0ull};
// The characters of a name's version suffix ("_Ver2.3.0f7"), and a few others.
constexpr char kVersionCharacters[] = "0123456789.dfx_";

template <class T, std::size_t N> T pick(const T (&values)[N], unsigned byte) {
    return values[byte % N];
}

[[noreturn]] void abortWith(const char* what) {
    std::fprintf(stderr, "kelvo_fuzz: %s\n", what);
    for (const std::string& fault : kelvo_host::faults()) {
        std::fprintf(stderr, "  host fault: %s\n", fault.c_str());
    }
    std::abort();
}
void require(bool ok, const char* what) {
    if (!ok) {
        abortWith(what);
    }
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    // The low byte first.
    template <class T> T next() {
        T value = 0;
        for (unsigned at = 0; at < sizeof(T); ++at) {
            value = static_cast<T>(value | T{u8()} << 8 * at);
        }
        return value;
    }
    std::uint16_t u16() { return next<std::uint16_t>(); }
    std::uint32_t u32() { return next<std::uint32_t>(); }
    std::uint64_t u64() { return next<std::uint64_t>(); }
    void bytes(std::uint8_t* out, std::size_t count) {
        std::generate_n(out, count, [this] { return u8(); });
    }
    std::uint64_t length() {
        const std::uint8_t how = u8();
        return how < 0xF0 ? pick(kInteresting64, how) : u64();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// ---- the harness's own memory: [read-write pages][guard][read-only][guard] ----

constexpr std::size_t kPage = 4096;
constexpr std::size_t kRwSize = 4 * kPage;
constexpr std::size_t kInputAt = 0;
constexpr std::size_t kOutputAt = 512;
constexpr std::size_t kHeaderAt = 1024;
constexpr std::size_t kPayloadAt = 1088;
constexpr std::size_t kParametersAt = 1152;
constexpr std::size_t kBuffersAt = 2048;
constexpr std::size_t kMaxRecord = 256;

std::uint8_t* rw = nullptr;
std::uint8_t* rwEnd = nullptr; // the first guard
std::uint8_t* readOnly = nullptr;
kelvo_ioctl_header* header = nullptr;

std::uint8_t* reserveArea(std::size_t size) {
    void* area = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    require(area != MAP_FAILED, "no room for the harness's pages");
    return static_cast<std::uint8_t*>(area);
}

bool mapped(std::uint64_t value) {
    unsigned char residency = 0;
    return value >= 0x10000 && value < (1ull << 47) &&
           mincore(reinterpret_cast<void*>(value & ~(kPage - 1)), 1, &residency) == 0;
}

// Moves every 8-byte word that points into mapped memory out of the address space.
void scrub(std::uint8_t* bytes, std::size_t size) {
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        if (mapped(word)) {
            word |= 1ull << 63;
            std::memcpy(bytes + at, &word, 8);
        }
    }
}

// ---- the handles' DMA pages, each before a guard page: a closed handle's page loses all access (a
// transfer the close left is a crash) and is taken again only once every other page was used.

constexpr unsigned kDmaPages = 64;
std::uint8_t* dmaArea = nullptr;
enum class PageState : std::uint8_t { kFree, kOpen, kClosed };
PageState pageStates[kDmaPages];

std::uint8_t* dmaPage(int page) {
    return page < 0 ? nullptr : dmaArea + 2 * kPage * static_cast<unsigned>(page);
}

int takeDmaPage() {
    PageState* page = std::ranges::find(pageStates, PageState::kFree);
    if (page == std::end(pageStates)) { // every page taken once: the closed ones are free again
        std::ranges::replace(pageStates, PageState::kClosed, PageState::kFree);
        page = std::ranges::find(pageStates, PageState::kFree);
    }
    require(page != std::end(pageStates), "more handles open than pages");
    *page = PageState::kOpen;
    mprotect(dmaPage(static_cast<int>(page - pageStates)), kPage, PROT_READ | PROT_WRITE);
    return static_cast<int>(page - pageStates);
}

void releaseDmaPage(int page) {
    if (page >= 0) {
        mprotect(dmaPage(page), kPage, PROT_NONE);
        pageStates[page] = PageState::kClosed;
    }
}

// A place for a user address: kinds 0 to 8 a valid buffer (in own, when given), the rest refusals.
std::uint8_t* place(Reader& in, std::size_t need, std::uint8_t* own = nullptr) {
    const std::uint8_t kind = in.u8();
    const std::uint16_t where = in.u16();
    if (own != nullptr && kind % 16 < 9) {
        return own + (where % kPage & ~std::size_t{7});
    }
    switch (kind % 16) {
    case 9: // below every mapping
        return reinterpret_cast<std::uint8_t*>(std::uintptr_t{0x1000} + where % 0xE000);
    case 10:
        return reinterpret_cast<std::uint8_t*>((std::uintptr_t{1} << 47) + where); // past user space
    case 11:
        return nullptr;
    case 12:
        return rwEnd + where % kPage;
    case 13:
        return readOnly + where % kPage;
    case 14: { // running past the end of the read-write pages
        const std::size_t cut = 1 + where % (need ? need : 1);
        return rwEnd - (need > cut ? need - cut : 1);
    }
    case 15:
        return readOnly + kPage - (1 + where % 16); // read-only, running into the guard
    default: // in the buffers' pages, with room for need after it when it fits
        return rw + kBuffersAt +
               (where % (need < kRwSize - kBuffersAt ? kRwSize - kBuffersAt - need : 1) & ~std::size_t{7});
    }
}

// Fills a valid buffer (of the pool, or an open handle's DMA page) with the input bytes the driver may read.
void fill(Reader& in, std::uint8_t* at) {
    const std::size_t offset =
        reinterpret_cast<std::uintptr_t>(at) - reinterpret_cast<std::uintptr_t>(dmaArea);
    const std::size_t page = offset / (2 * kPage);
    const bool pool = at >= rw + kBuffersAt && at < rwEnd;
    if (pool || (dmaArea != nullptr && page < kDmaPages && offset % (2 * kPage) < kPage &&
                 pageStates[page] == PageState::kOpen)) {
        const std::uint8_t* end = pool ? rwEnd : dmaPage(static_cast<int>(page)) + kPage;
        const std::size_t count = std::min<std::size_t>(in.u8(), static_cast<std::size_t>(end - at));
        in.bytes(at, count);
        scrub(at, count);
    }
}

std::uint64_t filledPlace(Reader& in, std::uint8_t* own = nullptr) {
    std::uint8_t* at = place(in, 64, own);
    fill(in, at);
    return address(at);
}

// ---- the host ----

constexpr std::size_t kMapsHeld = 16; // per handle; the oldest goes beyond
constexpr unsigned kSlots = 3;
const char* const kInterfaces[kSlots] = {"smu_kelvo", "smu_kelvo", "nPXICOOLING_17_2_pxiCooling"};

struct Device {
    int index = -1;
    std::array<int, kSlots> handles{-1, -1, -1};
    std::array<int, kSlots> dmaPages{-1, -1, -1};
    std::uint64_t fifoResetsSeen = 0; // by hardwareSteps
    std::vector<std::uint64_t> maps[kSlots];
};

std::vector<Device> devices;
std::vector<std::string> names;
Options options;
Counters totals;
std::uint32_t top = 0;
bool running = false;
double previousScale = 1;
kal::live::Counts liveBefore, liveAtTop; // the latter with every board at the top level, its handles fresh
Outcome last;
// The last table request, for the repeats: its code and the argument.
std::uint32_t lastCode = 0;
void* lastArgument = nullptr;

std::shared_ptr<sim::Module> moduleOf(const Device& device) {
    return device.index >= 0 ? kelvo_host::module(static_cast<unsigned>(device.index)) : nullptr;
}

void close(Device& device, unsigned slot) {
    for (std::uint64_t map : device.maps[slot]) {
        kelvo_host::unmapMemory(device.handles[slot], map);
    }
    device.maps[slot].clear();
    const int handle = std::exchange(device.handles[slot], -1);
    require(handle < 0 || kelvo_close(handle) == 0, "a handle could not be closed");
    releaseDmaPage(std::exchange(device.dmaPages[slot], -1));
}

void reopen(Device& device, unsigned slot) {
    close(device, slot);
    device.handles[slot] = kelvo_open(kInterfaces[slot], static_cast<unsigned>(device.index));
    require(device.handles[slot] >= 0, "a handle could not be opened");
    device.dmaPages[slot] = takeDmaPage();
}

void addDevice(unsigned board) {
    devices[board].index = kelvo_host_add_module(boards()[board].c_str());
    require(devices[board].index >= 0, "a module could not be added");
    kelvo_fuzz::reopen(board);
}

// The stand-in's refused DMA accesses and the accesses a module could not take.
void checkReports() {
    std::vector<std::string> reports = kal::dma::faults();
    for (const Device& device : devices) {
        if (const std::shared_ptr<sim::Module> module = moduleOf(device)) {
            std::ranges::copy(module->deviceErrors(), std::back_inserter(reports));
        }
    }
    for (const std::string& report : reports) {
        std::fprintf(stderr, "kelvo_fuzz: reported: %s\n", report.c_str());
    }
    require(reports.empty(), "the stand-in or a module reported a fault");
}

void removeDevice(unsigned board) {
    checkReports();
    Device& device = devices[board];
    require(kelvo_host_remove_module(static_cast<unsigned>(device.index)) == 0,
            "a module could not be removed");
    for (unsigned slot = 0; slot < kSlots; ++slot) {
        device.maps[slot].clear(); // the removal unmapped them
        close(device, slot);
    }
    device.index = -1;
}

void collectNames(int handle, std::uint32_t countCode, std::uint32_t namesCode) {
    kelvo_arm_getNumberOfRegistrations_out count{};
    if (ask(handle, countCode, kelvo_status_record{}, count) < 0 || count.count == 0 || count.count > 4096) {
        return;
    }
    std::vector<char> slots(count.count * KELVO_NAME_SLOT_SIZE, 0);
    if (ask(handle, namesCode, kelvo_arm_getRegistrationNames_in{address(slots.data()), 0, 0}) < 0) {
        return;
    }
    for (std::uint64_t i = 0; i < count.count; ++i) {
        const char* slot = slots.data() + i * KELVO_NAME_SLOT_SIZE;
        std::string name(slot, strnlen(slot, KELVO_NAME_SLOT_SIZE));
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
}

// ---- the requests ----

// One request. A device window's read of a write-only register, write of a read-only one and what the
// isolated FPGA reports during a window's write are the user's own accesses, as on the hardware: forgiven.
std::int32_t windowAwareRequest(int handle, std::uint32_t code, void* argument) {
    if (code < KELVO_IOCTL_deviceWindow_flush || code > KELVO_IOCTL_deviceWindow_refresh) {
        return kelvo_ioctl(handle, code, argument);
    }
    std::vector<std::size_t> before;
    for (const Device& device : devices) {
        const std::shared_ptr<sim::Module> module = moduleOf(device);
        before.push_back(module ? module->deviceErrorCount() : 0);
    }
    const std::int32_t status = kelvo_ioctl(handle, code, argument);
    const bool written = code == KELVO_IOCTL_deviceWindow_write || code == KELVO_IOCTL_deviceWindow_flush;
    for (std::size_t at = 0; at < devices.size(); ++at) {
        const std::shared_ptr<sim::Module> module = moduleOf(devices[at]);
        if (module == nullptr || module->deviceErrorCount() == before[at]) {
            continue;
        }
        const std::vector<std::string> now = module->deviceErrors();
        module->errors().clear();
        for (std::size_t i = 0; i < now.size(); ++i) {
            const auto has = [&](const char* what) { return now[i].find(what) != std::string::npos; };
            if (i < before[at] ||
                !(has("read-only register") || has("write-only register") ||
                  has("where no register is readable") || (written && now[i].starts_with("iso-fpga:")))) {
                module->errors().report(now[i]);
            }
        }
    }
    return status;
}

// Route IDs grow over a run: a sizes byte with this flag names the route last calculated (at offset 0).
constexpr std::uint8_t kLastRoute = 0x80;
std::uint32_t lastRoute = 0;

// Keeps the route a calculation answered (the first possibility's).
void keepRouteId(std::uint32_t code, const std::uint8_t* input, const std::uint8_t* output) {
    if (code == KELVO_IOCTL_routing_calculateResetTerminal) {
        const auto* out = reinterpret_cast<const kelvo_routing_calculateResetTerminal_out*>(output);
        lastRoute = out->status >= 0 && out->result != 0 ? out->result : lastRoute;
    } else if (code == KELVO_IOCTL_routing_calculateRoute) {
        const auto* in = reinterpret_cast<const kelvo_routing_calculateRoute_in*>(input);
        const auto* out = reinterpret_cast<const kelvo_routing_calculateRoute_out*>(output);
        const auto* first = reinterpret_cast<const std::uint8_t*>(in->possibilitiesBuffer);
        if (out->status >= 0 && out->possibilitiesCount > 0 && first >= rw &&
            first + sizeof(kelvo_route_possibility) <= rwEnd) {
            std::memcpy(&lastRoute, first + offsetof(kelvo_route_possibility, routeID), 4);
        }
    }
}

// A name field: a registered name (with a version suffix, or cut short) ending at the read-write pages'
// end, or a place of the harness; its length right, up to 2^64-1, or running into the guard.
std::uint64_t nameField(Reader& in, std::uint8_t* input, std::uint32_t offset, std::uint64_t inSize) {
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
    std::uint8_t* at = rwEnd - name.size();
    std::memcpy(at, name.data(), name.size());
    const std::uint64_t value = address(how % 8 == 3 ? place(in, name.size()) : at);
    const std::uint64_t length =
        how / 8 % 4 == 1 ? in.length() : name.size() + (how / 8 % 4 == 2 ? in.u8() % 8 : 0);
    if (offset + 16 <= inSize) {
        std::memcpy(input + offset + 8, &length, 8);
    }
    return value;
}

// The code table's request: record sizes right or off, fields from the input with interesting values.
void tableRequest(Reader& in, int handle, std::uint8_t* dmaBuffer) {
    const unsigned index = in.u16() % std::size(kCodes);
    const CodeInfo& info = kCodes[index];
    if (info.code == KELVO_IOCTL_kdut_reset) {
        return; // a reset is a rare event
    }
    // A sizes byte 6 or 7 (of 8) moves the input or the output record's size by a signed byte.
    const std::uint8_t sizes = in.u8();
    const auto moved = [&](std::uint64_t size, unsigned which) {
        return sizes % 8 == which ? (size + static_cast<std::int8_t>(in.u8())) % kMaxRecord : size;
    };
    const std::uint64_t inSize = moved(info.inSize, 6);
    const std::uint64_t outSize = moved(info.outSize, 7);
    std::uint8_t* input = rw + kInputAt;
    std::uint8_t* output = rw + kOutputAt;
    std::memset(input, 0, kMaxRecord);
    std::memset(output, 0, kMaxRecord);
    in.bytes(input, inSize);
    for (unsigned tweaks = in.u8() % 4; tweaks > 0 && inSize >= 4; --tweaks) {
        const std::uint8_t slot = in.u8();
        const std::uint8_t choice = in.u8();
        const std::size_t width = slot % 2 == 1 && inSize >= 8 ? 8 : 4; // the value's low bytes
        const std::uint64_t value = width == 8 ? pick(kInteresting64, choice) : pick(kInteresting32, choice);
        std::memcpy(input + (slot / 2 * width) % (inSize & ~(width - 1)), &value, width);
    }
    scrub(input, inSize);
    // One thread issues every request: a DMA wait blocks it a few milliseconds of stand-in time at most.
    const bool wait = info.code == KELVO_IOCTL_brixelTools_waitUntilBytesTransferred;
    constexpr std::size_t kTimeoutAt = offsetof(kelvo_brixelTools_waitUntilBytesTransferred_in, timeout);
    if (wait && inSize >= kTimeoutAt + 4) {
        input[kTimeoutAt] %= 8;
        std::memset(input + kTimeoutAt + 1, 0, 3);
    }
    // A credit of gibibytes would take the simulated engine seconds inside the write: under 16 MiB.
    constexpr std::size_t kCountAt = offsetof(kelvo_brixelTools_writeStreamAdditiveTransferCount_in, count);
    if (info.code == KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount && inSize >= kCountAt + 4) {
        input[kCountAt + 3] = 0;
    }
    // A transfer's buffer is the handle's DMA page (or a refused place).
    const bool transfer = info.code == KELVO_IOCTL_brixelTools_addTransferToDevice ||
                          info.code == KELVO_IOCTL_brixelTools_addTransferFromDevice;
    for (const AddressFieldAt& field : info.fields) {
        if (field.offset + 8 <= inSize) {
            const std::uint64_t value = field.name ? nameField(in, input, field.offset, inSize)
                                                   : filledPlace(in, transfer ? dmaBuffer : nullptr);
            std::memcpy(input + field.offset, &value, 8);
        }
    }
    const std::uint8_t places = in.u8();
    // The DMA wait's record stays at home, where its timeout was cut.
    const std::uint64_t inputAt = address(places % 16 == 1 && !wait ? place(in, inSize) : input);
    const std::uint64_t outputAt = address(places / 16 == 1 ? place(in, outSize) : output);
    *header = kelvo_ioctl_header{
        inputAt, outputAt, static_cast<std::uint32_t>(inSize), static_cast<std::uint32_t>(outSize), 0, 0};
    void* argument = places == 0xFF ? static_cast<void*>(place(in, sizeof(*header))) : header;
    if ((sizes & kLastRoute) && inSize >= 4 && info.namesRoute) {
        std::memcpy(input, &lastRoute, 4);
    }
    lastCode = info.code;
    lastArgument = argument;
    last = Outcome{windowAwareRequest(handle, info.code, argument), header->result, outSize, 0};
    if (outSize == info.outSize) {
        // The status word: after a u64 result in the 16-byte records, else last.
        std::memcpy(&last.status, output + (outSize == 16 ? 8 : outSize - 4), 4);
    }
    if (last.transport == 0) {
        keepRouteId(info.code, input, output);
    }
}

// A code no interface knows (or any code but those with requests of their own).
void unknownRequest(Reader& in, int handle) {
    const std::uint32_t code = in.u32();
    std::uint8_t* input = rw + kInputAt;
    std::memset(input, 0, kMaxRecord);
    const std::uint32_t inSize = in.u8();
    in.bytes(input, inSize);
    scrub(input, inSize);
    *header = kelvo_ioctl_header{address(input), address(rw + kOutputAt), inSize, in.u8(), 0, 0};
    if (code != KELVO_IOCTL_CREATE_NOTIFIER && code != KELVO_IOCTL_DESTROY_NOTIFIER &&
        code != KELVO_IOCTL_kdut_reset && code != KELVO_IOCTL_brixelTools_waitUntilBytesTransferred) {
        kelvo_ioctl(handle, code, header);
    }
}

// The platform's notifier: open (its payload from the harness's places) or close.
void notifierRequest(Reader& in, const Device& device, int handle) {
    const std::uint8_t how = in.u8();
    const std::uint32_t kind = pick(kInteresting32, in.u8());
    if (how % 2 == 1) {
        const std::uintptr_t word = kind | (std::uint64_t{in.u32()} << 32);
        kelvo_ioctl(handle, KELVO_IOCTL_DESTROY_NOTIFIER, reinterpret_cast<void*>(word));
        return;
    }
    auto* payload = reinterpret_cast<kelvo_notifier_payload*>(rw + kPayloadAt);
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
    if (how % 4 == 3) { // unmap one held, or one never handed out
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

// A reset to a level, custom parameters from the harness's places now and then.
void resetRequest(Reader& in, int handle) {
    auto* reset = reinterpret_cast<kelvo_kdut_reset_in*>(rw + kInputAt);
    *reset = kelvo_kdut_reset_in{};
    const std::uint8_t level = in.u8();
    reset->setupLevel = level < 0xF0 ? level % 20 : kInteresting32[level % 16];
    const std::uint8_t how = in.u8();
    if (how % 4 == 1) {
        auto* parameters = reinterpret_cast<kelvo_custom_reset_parameters*>(rw + kParametersAt);
        in.bytes(reinterpret_cast<std::uint8_t*>(parameters), sizeof(*parameters));
        scrub(reinterpret_cast<std::uint8_t*>(parameters), sizeof(*parameters));
        for (std::uint64_t* pointer :
             {&parameters->nonIsolatedFirmwarePtr, &parameters->isolatedFirmwarePtr,
              &parameters->subroutineCommandsPtr, &parameters->subroutineIdsPtr,
              &parameters->subroutineAddressesPtr, &parameters->errorsToDisablePtr}) {
            *pointer = filledPlace(in);
        }
        reset->resetParametersAddress = address(parameters);
    } else if (how % 4 == 2) {
        reset->resetParametersAddress = address(place(in, sizeof(kelvo_custom_reset_parameters)));
    }
    kelvo_kdut_reset_out out{};
    *header = kelvo_ioctl_header{address(reset), address(&out), sizeof(*reset), sizeof(out), 0, 0};
    kelvo_ioctl(handle, KELVO_IOCTL_kdut_reset, header);
}

// The rare events: a reset (sessions opened anew, now and then but the resetting one), a re-open, a removal.
void event(Reader& in, unsigned board, unsigned slot) {
    Device& device = devices[board];
    const std::uint8_t what = in.u8();
    if (what % 4 <= 1) {
        resetRequest(in, device.handles[slot]);
        for (unsigned other = 0; other < kSlots; ++other) {
            if (other != slot || what % 8 != 1) {
                reopen(device, other);
            }
        }
    } else if (what % 4 == 2) {
        reopen(device, slot);
    } else {
        removeDevice(board);
        addDevice(board);
    }
}

// A module's FIFO resets of its DMA channels and stops of its measure unit since the last call.
std::uint64_t hardwareSteps(Device& device) {
    const std::shared_ptr<sim::Module> module = moduleOf(device);
    if (module == nullptr) {
        return 0;
    }
    const std::uint64_t fifoResets = module->dma(0).fifoResets() + module->dma(1).fifoResets();
    std::uint64_t steps = fifoResets - device.fifoResetsSeen;
    device.fifoResetsSeen = fifoResets;
    sim::Block& measureUnit = module->sequencerSide()->measureUnitBlock();
    for (const sim::Access& a : measureUnit.trace()) {
        steps += a.write && (a.value & sim::MeasureUnit::kStopStrobe) != 0 ? 1 : 0;
    }
    measureUnit.clearTrace();
    return steps;
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

// Every handle closed and opened anew: what sessions locked or sent for user mode is that of the start
// (once every board is at the top level again), and no channel has a transfer left to start.
void closeEveryHandle() {
    drainMessages();
    for (unsigned board = 0; board < devices.size(); ++board) {
        kelvo_fuzz::reopen(board);
    }
    for (unsigned board = 0; board < devices.size(); ++board) {
        if (devices[board].index < 0 || setupLevel(board) != top) {
            return; // a lower level holds fewer objects
        }
    }
    // The devices' own caches (the storage maps' copies read on demand) may grow and stay.
    const auto userSide = [](const kal::live::Counts& c) {
        return std::array<std::size_t, 4>{c.pageLists, c.pageListMappings, c.sgls, c.socketBuffers};
    };
    const kal::live::Counts now = kal::live::now();
    if (userSide(now) != userSide(liveAtTop)) {
        std::fprintf(stderr, "kelvo_fuzz: at the start: %s\nkelvo_fuzz: every handle closed: %s\n",
                     kal::live::describe(liveAtTop).c_str(), kal::live::describe(now).c_str());
        abortWith("kernel-layer objects outlived every handle");
    }
    for (const Device& device : devices) {
        for (std::uint32_t channel : {0u, 1u}) {
            const std::int32_t status = ask(device.handles[0], KELVO_IOCTL_brixelTools_startDMA,
                                            kelvo_brixelTools_startDMA_in{channel, 0, {}, 0});
            if (status != KELVO_STATUS_INVALID_PARAMETER) {
                std::fprintf(stderr, "kelvo_fuzz: a start on DMA channel %u answered %d\n", channel, status);
                abortWith("a closed handle's transfers are left on a channel");
            }
        }
    }
}

// The last table request repeated 1 to 64 times, then the cleanup: its hardware steps stay those of one.
void repeatRequest(Reader& in, Device& device, int handle) {
    const unsigned times = 1 + in.u8() % 64;
    // No repeats of the flash over the SPI port: it costs a thousand times the others.
    if (lastArgument == nullptr || lastCode == KELVO_IOCTL_storageMap_flush ||
        lastCode == KELVO_IOCTL_storageMap_refresh || lastCode == KELVO_IOCTL_deviceWindow_flush ||
        lastCode == KELVO_IOCTL_deviceWindow_refresh ||
        lastCode == KELVO_IOCTL_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy) {
        return;
    }
    for (unsigned n = 0; n < times; ++n, ++totals.requests) {
        windowAwareRequest(handle, lastCode, lastArgument);
    }
    hardwareSteps(device);
    ask(handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
    const std::uint64_t steps = hardwareSteps(device);
    if (steps > 16) { // each of a session's operations once, a few steps each
        std::fprintf(stderr,
                     "kelvo_fuzz: the cleanup after %u repeats of code 0x%08x took %llu hardware steps\n",
                     times, lastCode, static_cast<unsigned long long>(steps));
        abortWith("a cleanup's work grew with repeated requests");
    }
}

// The shapes between handles: the last request repeated, a cleanup, a close and re-open, every handle's.
void handleShape(Reader& in, Device& device, unsigned slot) {
    const std::uint8_t what = in.u8() % 4;
    if (what == 0) {
        repeatRequest(in, device, device.handles[slot]);
    } else if (what == 1) {
        ask(device.handles[slot], KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
    } else if (what == 2) {
        reopen(device, slot);
    } else {
        closeEveryHandle();
    }
}

// ---- the seeds: each code's valid request of the catalogue, after the reservation of channel 0 and what
// it needs. A table request: action 0, board, slot, code index (u16), sizes byte, record, no tweaks; per
// address field a name (its index, its version) or a buffer (its offset, its first bytes); places byte 0.

using Bytes = std::vector<std::uint8_t>;

// A name field's registered name, or a buffer's offset (by default 0x400 times its index) and first bytes.
struct Choice {
    std::string name;
    int offset = -1;
    Bytes fill;
};

template <class T> std::uint8_t byte(T value) {
    return static_cast<std::uint8_t>(value);
}
template <class T> Bytes bytesOf(const T& value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    return Bytes(bytes, bytes + sizeof(T));
}

unsigned indexOf(std::uint32_t code) {
    return static_cast<unsigned>(std::ranges::find(kCodes, code, &CodeInfo::code) - std::begin(kCodes));
}

// A table request of the code at index; an address field without a choice gets a buffer of its own.
Bytes requestAt(unsigned board, unsigned index, const Bytes& record, const std::vector<Choice>& choices,
                std::uint8_t sizes, std::uint8_t slot) {
    Bytes seed;
    seed.insert(seed.end(), {0, byte(board), slot, byte(index), byte(index >> 8), sizes});
    seed.insert(seed.end(), record.begin(), record.end());
    seed.push_back(0); // no tweaks
    const std::vector<AddressFieldAt>& fields = kCodes[index].fields;
    for (std::size_t at = 0; at < fields.size(); ++at) {
        const Choice choice = at < choices.size() ? choices[at] : Choice{};
        if (!fields[at].name) {
            const auto offset = static_cast<std::uint16_t>(choice.offset < 0 ? at * 0x400 : choice.offset);
            seed.insert(seed.end(), {0, byte(offset), byte(offset >> 8), byte(choice.fill.size())});
            seed.insert(seed.end(), choice.fill.begin(), choice.fill.end());
            continue;
        }
        const std::size_t cut = choice.name.find("_Ver");
        const auto found = std::find(names.begin(), names.end(), choice.name.substr(0, cut));
        const std::uint8_t which = byte(found == names.end() ? 0 : found - names.begin());
        if (cut == std::string::npos) {
            seed.insert(seed.end(), {0, which}); // the name as it stands
        } else {
            const std::string version = choice.name.substr(cut + 4);
            seed.insert(seed.end(), {1, which, byte(version.size())});
            for (char c : version) {
                seed.push_back(byte(std::string(kVersionCharacters).find(c)));
            }
        }
    }
    seed.push_back(0); // the records and the header at home
    return seed;
}

template <class In>
Bytes request(unsigned board, std::uint32_t code, const In& record, std::vector<Choice> choices = {},
              std::uint8_t slot = 0) {
    return requestAt(board, indexOf(code), bytesOf(record), choices, 0, slot);
}

// A request of the catalogue, its places the harness's. The required registers' map's name is longer
// than a name slot, so not listed: its requests name the bridge's signature instead.
Bytes request(unsigned board, const kelvo_test::ValidRequest& request, const Bytes& data = {}) {
    using namespace kelvo_test;
    const unsigned index = indexOf(request.code);
    const std::vector<AddressFieldAt>& fields = kCodes[index].fields;
    Bytes record(request.inSize, 0);
    std::vector<Choice> choices(fields.size());
    std::uint8_t sizes = 0;
    for (const Put& put : request.valid) {
        std::uint64_t value = put.value == kScratchField ? 0x40000000u : put.value;
        const auto field = std::ranges::find(fields, put.at, &AddressFieldAt::offset);
        Choice* choice = field == fields.end() ? nullptr : &choices[field - fields.begin()];
        if (put.value == kMap || put.value == kWindow || put.value == kStorage) {
            choice->name =
                put.value == kMap ? "Brixel_Ver2.3.0f7" : placeName(Place(put.value), boards()[board]);
        } else if (put.value == kSeeds || put.value == kDestination || put.value == kData) {
            choice->fill = put.value == kSeeds         ? bytesOf(kelvo_route_seed{3, 0, 0, {}})
                           : put.value == kDestination ? bytesOf(std::uint32_t{2})
                                                       : data;
        } else if (put.value == kRoute) {
            sizes = kLastRoute;
        } else if (put.value == kSubroutines) {
            kelvo_wexmoor_getNumSubroutines_out count{};
            ask(firstHandle(board), KELVO_IOCTL_wexmoor_getNumSubroutines, kelvo_status_record{}, count);
            value = count.subroutineCount;
        }
        value = value >= kMap ? 0 : value;
        std::memcpy(record.data() + put.at, &value, put.width == 16 ? 8 : put.width);
    }
    return requestAt(board, index, record, choices, sizes, 0);
}

Bytes reserve(unsigned board) {
    return request(board, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0});
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes seedOf(unsigned board, std::uint32_t code) {
    using kelvo_test::Needs;
    const std::vector<kelvo_test::ValidRequest> all = kelvo_test::validRequests(boards()[board]);
    const auto of = [&](std::uint32_t wanted) -> const kelvo_test::ValidRequest& {
        return *std::find_if(all.begin(), all.end(), [&](auto& r) { return r.code == wanted; });
    };
    const Needs needs = of(code).needs;
    std::uint32_t serial = 0;
    if (needs == Needs::kStoredSerial) {
        rawElement(firstHandle(board), KELVO_IOCTL_storageMap_getRaw, kManufacturing, kSerialField, 0,
                   &serial, 4);
    }
    return cat({code != KELVO_IOCTL_kdut_reserveResources ? reserve(board) : Bytes{},
                needs == Needs::kRoute || needs == Needs::kReservedRoute
                    ? request(board, of(KELVO_IOCTL_routing_calculateRoute))
                    : Bytes{},
                needs == Needs::kReservedRoute ? request(board, of(KELVO_IOCTL_routing_reserveRoute))
                : needs == Needs::kTransfer
                    ? request(board, of(KELVO_IOCTL_brixelTools_addTransferFromDevice))
                    : Bytes{},
                request(board, of(code), needs == Needs::kStoredSerial ? bytesOf(serial) : Bytes{})});
}

// The rare events (a reset to 19, a re-open, a re-add), then the shapes between a board's two handles
// (slots 0 and 1) on one DMA channel.
std::vector<Bytes> shapesOf(unsigned board) {
    const auto add = [&](std::uint8_t slot, std::uint16_t at) {
        return request(board, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                       kelvo_brixelTools_addTransferFromDevice_in{0, 0, 0, 64, 0, 0}, {{"", at, {}}}, slot);
    };
    const auto start = [&](std::uint8_t slot, std::uint32_t channel = 0) {
        return request(board, KELVO_IOCTL_brixelTools_startDMA,
                       kelvo_brixelTools_startDMA_in{channel, 0, {}, 0}, {}, slot);
    };
    // To the device: the device reads the transfers as far as the count allows, at once.
    const auto send = [&](std::uint8_t slot, std::uint16_t at) {
        return request(board, KELVO_IOCTL_brixelTools_addTransferToDevice,
                       kelvo_brixelTools_addTransferToDevice_in{1, 0, 0, 64, 1, 0}, {{"", at, {}}}, slot);
    };
    const Bytes sendAll =
        cat({start(0, 1), request(board, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                                  kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, 128, 0})});
    // Action 14 (a shape), slot 0 or 1: a cleanup, a close, every handle closed, a repeat 36 times.
    const std::uint8_t b = byte(board);
    const Bytes cleanup1{14, b, 1, 1}, close0{14, b, 0, 2}, closeAll{14, b, 0, 3}, repeat36{14, b, 0, 0, 99};
    return {
        {15, b, 0, 0, 19},
        {15, b, 0, 2},
        {15, b, 0, 3},
        // The holder's transfer, the other's refused; the holder closes, the other starts.
        cat({reserve(board), add(0, 0), add(1, 0x400), start(0), close0, start(1), closeAll}),
        // A start with nothing to run, an empty reservation, an arm: each repeated 36 times.
        cat({start(0), repeat36,
             request(board, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{0, 0, 0}),
             repeat36, request(board, KELVO_IOCTL_measureUnit_arm, kelvo_measureUnit_arm_in{0, 0}),
             repeat36}),
        // The holder's transfer running, then the other handle resets the device (a rare event).
        cat({reserve(board), add(0, 0), start(0), {15, b, 1, 0, 19}}),
        // No reservation: both add, the second cleans up, the first sends (the device must not read the
        // second's page) and closes.
        cat({send(0, 0), send(1, 0x400), cleanup1, sendAll, close0, closeAll}),
    };
}

} // namespace

const std::vector<std::string>& boards() {
    static const std::vector<std::string> all{"solstra", "duskmere-a", "duskmere-b"};
    return all;
}

void start(const Options& chosen) {
    options = chosen;
    if (rw == nullptr) { // the harness's own memory, once
        rw = reserveArea(kRwSize + 3 * kPage);
        rwEnd = rw + kRwSize;
        readOnly = rwEnd + kPage;
        header = reinterpret_cast<kelvo_ioctl_header*>(rw + kHeaderAt);
        dmaArea = reserveArea(2 * kPage * kDmaPages);
        mprotect(rw, kRwSize + 2 * kPage, PROT_READ | PROT_WRITE);
        std::memset(readOnly, 0xA5, kPage);
        mprotect(rwEnd, kPage, PROT_NONE);
        mprotect(readOnly, kPage, PROT_READ);
    }
    liveBefore = kal::live::now();
    previousScale = kal::clock::scale();
    kal::clock::setScale(options.clockScale);
    require(kelvo_host_start() == 0, "the host did not start");
    devices.assign(boards().size(), Device{});
    top = KELVO_SETUP_LEVEL_COMPLETE;
    for (unsigned board = 0; board < boards().size(); ++board) {
        addDevice(board); // the addition sets the module up
        top = static_cast<std::uint32_t>(std::clamp<std::int64_t>(setupLevel(board), 0, top));
        const int handle = devices[board].handles[0];
        collectNames(handle, KELVO_IOCTL_arm_getNumberOfRegistrations, KELVO_IOCTL_arm_getRegistrationNames);
        collectNames(handle, KELVO_IOCTL_deviceWindow_getNumberOfRegistrations,
                     KELVO_IOCTL_deviceWindow_getRegistrationNames);
        collectNames(handle, KELVO_IOCTL_storageMap_getNumberOfRegistrations,
                     KELVO_IOCTL_storageMap_getRegistrationNames);
    }
    liveAtTop = kal::live::now();
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
    kal::clock::setScale(previousScale);
    running = false;
    // The driver's allocations live in the stand-in's tables, out of the leak checker's sight.
    const kal::live::Counts after = kal::live::now();
    if (!(after == liveBefore)) {
        std::fprintf(stderr, "kelvo_fuzz: before the host: %s\nkelvo_fuzz: after it stopped: %s\n",
                     kal::live::describe(liveBefore).c_str(), kal::live::describe(after).c_str());
        abortWith("kernel-layer objects outlived the host");
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
        const unsigned kind = action % 16;
        if (kind < 10) {
            tableRequest(in, handle, dmaPage(device.dmaPages[slot]));
        } else if (kind == 10) {
            unknownRequest(in, handle);
        } else if (kind == 11) {
            notifierRequest(in, device, handle);
        } else if (kind == 12) {
            readWriteRequest(in, handle);
        } else if (kind == 13) {
            mapRequest(in, device, slot);
        } else if (kind == 14) {
            handleShape(in, device, slot);
        } else if (options.eventSpacing != 0 &&
                   (totals.events + 1) * options.eventSpacing <= totals.requests) {
            ++totals.events;
            event(in, board, slot);
        }
    }
    drainMessages();
    checkReports();
    require(kelvo_host::faults().empty(), "the host saw a driver fault");
}

const Counters& counters() {
    return totals;
}
Outcome lastOutcome() {
    return last;
}
std::uint32_t topLevel() {
    return top;
}

std::int32_t resetOnly(unsigned board, std::uint32_t level) {
    return ask<kelvo_kdut_reset_out>(firstHandle(board), KELVO_IOCTL_kdut_reset,
                                     kelvo_kdut_reset_in{level, 0, 0, 0, 0});
}

void reopen(unsigned board) {
    for (unsigned slot = 0; slot < kSlots; ++slot) {
        reopen(devices[board], slot);
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
    kelvo_kelvo_getSetupLevel_out out{};
    const std::int32_t status =
        ask(firstHandle(board), KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, out);
    return status < 0 ? status : out.setupLevel;
}

std::vector<Seed> seedsOf(unsigned board) {
    std::vector<Seed> all;
    for (unsigned index = 0; index < std::size(kCodes); ++index) {
        if (kCodes[index].code != KELVO_IOCTL_kdut_reset) { // its seed is the reset event
            all.push_back({kCodes[index].name, static_cast<int>(index), seedOf(board, kCodes[index].code)});
        }
    }
    const std::uint8_t b = byte(board);
    const Bytes platform[] = {
        {10, b, 0, 0x78, 0x56, 0x34, 0x12},          // an unknown code
        {11, b, 0},                                  // notifier open
        {11, b, 0, 1},                               // notifier close
        {11, b, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, // open on the second handle
        {12, b, 0, 0, 6},                            // read 4096 bytes
        {12, b, 0, 1, 6},                            // write 4096 bytes
        {13, b, 0, 0, 0, 0, 6, 1},                   // map 4096 bytes for reading
    };
    for (const Bytes& bytes : platform) {
        all.push_back({"platform request " + std::to_string(&bytes - platform), -1, bytes});
    }
    return all;
}

std::vector<std::vector<std::uint8_t>> seeds() {
    std::vector<Bytes> all;
    for (unsigned board = 0; board < boards().size(); ++board) {
        std::ranges::transform(seedsOf(board), std::back_inserter(all), &Seed::bytes);
        std::ranges::move(shapesOf(board), std::back_inserter(all));
    }
    return all;
}

} // namespace kelvo_fuzz
