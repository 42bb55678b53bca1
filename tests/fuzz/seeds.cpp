// The seed corpus: for every code of the table and every board, an input of
// valid requests at the top level (a registered name, channel 0 and its mask,
// the route of the board's topography, the harness's own buffers), after the
// reservation of channel 0 on the same handle where the operation needs it;
// and the platform's requests and the rare events.
//
// A table request in the engine's input language: the action byte 0, the
// board, the handle slot, the code's index (u16), the sizes byte, the whole
// input record, no tweaks, then per address field either a name (by its index
// among the registered names, and its version) or a valid buffer (an offset in
// the harness's buffer area and the bytes filling it), and the places byte 0.
#include "ioctl_fuzz.h"
#include "requests.h"

namespace kelvo_fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kVersionText[] = "0123456789.dfx_";
constexpr std::uint8_t kLastRoute = 0x80; // the sizes byte's flag: the last route calculated

// A name field's registered name, or a buffer's offset and first bytes.
struct Choice {
    std::string name;
    std::uint16_t offset = 0;
    Bytes fill;
};

Choice registered(const std::string& name) {
    return Choice{name, 0, {}};
}
Choice buffer(std::uint16_t offset, Bytes fill = {}) {
    return Choice{"", offset, std::move(fill)};
}
template <class T> Bytes bytesOf(const T& value) {
    Bytes out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

unsigned indexOf(std::uint32_t code) {
    unsigned index = 0;
    while (index + 1 < codeCount() && kelvo_fuzz::code(index) != code) {
        ++index;
    }
    return index;
}

// Appends a table request of a code with the given input record.
template <class In>
void append(Bytes& seed, unsigned board, std::uint32_t code, const In& record,
            std::vector<Choice> choices = {}, std::uint8_t sizes = 0) {
    const unsigned index = indexOf(code);
    seed.insert(seed.end(), {0, static_cast<std::uint8_t>(board), 0, static_cast<std::uint8_t>(index),
                             static_cast<std::uint8_t>(index >> 8), sizes});
    const Bytes body = bytesOf(record);
    seed.insert(seed.end(), body.begin(), body.end());
    seed.push_back(0); // no tweaks
    const std::vector<AddressFieldAt>& fields = addressFields(index);
    for (std::size_t at = 0; at < fields.size(); ++at) {
        const Choice choice =
            at < choices.size() ? choices[at] : buffer(static_cast<std::uint16_t>(at * 0x400));
        if (!fields[at].name) {
            seed.insert(seed.end(), {0, static_cast<std::uint8_t>(choice.offset),
                                     static_cast<std::uint8_t>(choice.offset >> 8),
                                     static_cast<std::uint8_t>(choice.fill.size())});
            seed.insert(seed.end(), choice.fill.begin(), choice.fill.end());
            continue;
        }
        const std::size_t cut = choice.name.find("_Ver");
        const std::vector<std::string>& names = registeredNames();
        const auto found = std::find(names.begin(), names.end(), choice.name.substr(0, cut));
        const auto which = static_cast<std::uint8_t>(found == names.end() ? 0 : found - names.begin());
        if (cut == std::string::npos) {
            seed.insert(seed.end(), {0, which}); // the name as it stands
        } else {
            const std::string version = choice.name.substr(cut + 4);
            seed.insert(seed.end(), {1, which, static_cast<std::uint8_t>(version.size())});
            for (char c : version) {
                seed.push_back(static_cast<std::uint8_t>(std::string(kVersionText).find(c)));
            }
        }
    }
    seed.push_back(0); // the records and the header at home
}

void reserve(Bytes& seed, unsigned board) {
    append(seed, board, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0});
}

// A route from terminal 3 to terminal 2 of the board's topography.
void calculateRoute(Bytes& seed, unsigned board) {
    kelvo_routing_calculateRoute_in in{};
    in.routeOwner = 1;
    in.seedCount = 1;
    in.destinationCount = 1;
    in.possibilitiesCapacity = 4;
    append(seed, board, KELVO_IOCTL_routing_calculateRoute, in,
           {buffer(0, bytesOf(kelvo_route_seed{3, 0, 0, {}})), buffer(0x400, bytesOf(std::uint32_t{2})),
            buffer(0x800)});
}

Bytes seedOf(unsigned board, std::uint32_t code) {
    Bytes seed;
    const auto request = [&](const auto& record, std::vector<Choice> choices = {}) {
        append(seed, board, code, record, std::move(choices));
    };
    const auto reserved = [&](const auto& record) {
        reserve(seed, board);
        request(record);
    };
    const auto route = [&](const auto& record, bool reserveRoute) {
        calculateRoute(seed, board);
        if (reserveRoute) {
            append(seed, board, KELVO_IOCTL_routing_reserveRoute,
                   kelvo_routing_reserveRoute_in{0, 0, 0, 0, 0}, {}, kLastRoute);
        }
        append(seed, board, code, record, {buffer(0)}, kLastRoute);
    };
    // A register of every map by name: the bridge's signature, the serial number.
    const Choice bridge = registered("Brixel_Ver2.3.0f7");
    constexpr std::uint32_t kSignature = 0x40000000u;
    const char* const storage = kManufacturing;
    const Choice window = registered("NisoFpgaWindow");
    switch (code) {
    case KELVO_IOCTL_voquantaPXICooling_overrideCoolingMode:
        request(kelvo_voquantaPXICooling_overrideCoolingMode_in{1, 0});
        break;
    case KELVO_IOCTL_pxiCooling_setCoolingMode:
        request(kelvo_pxiCooling_setCoolingMode_in{1, 0});
        break;
    case KELVO_IOCTL_hwCondition_clearChannelBasedHardwareErrors:
    case KELVO_IOCTL_hwCondition_checkBoardAndChannelBasedHardwareErrors:
    case KELVO_IOCTL_wexmoor_resetSequenceEngine:
    case KELVO_IOCTL_wexmoor_isSequenceEngineRunning:
    case KELVO_IOCTL_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy:
        reserved(kelvo_wexmoor_resetSequenceEngine_in{1, 0, 0});
        break;
    case KELVO_IOCTL_measureUnit_arm:
    case KELVO_IOCTL_measureUnit_reset:
    case KELVO_IOCTL_corran_readTemperatureSensor:
        reserved(kelvo_measureUnit_arm_in{0, 0});
        break;
    case KELVO_IOCTL_wexmoor_startSequenceEngine:
        reserved(kelvo_wexmoor_startSequenceEngine_in{1, 0, 0});
        break;
    case KELVO_IOCTL_wexmoor_getSubroutines:
        request(kelvo_wexmoor_getSubroutines_in{0, 0, 1, 0}, {buffer(0), buffer(0x400)});
        break;
    case KELVO_IOCTL_triggersAndEvents_overrideTrigger:
        reserved(kelvo_triggersAndEvents_overrideTrigger_in{0, 0x40C, 0});
        break;
    case KELVO_IOCTL_triggersAndEvents_checkEventLatch:
    case KELVO_IOCTL_triggersAndEvents_clearEventLatch:
        reserved(kelvo_triggersAndEvents_checkEventLatch_in{1, 0x129, 0, 0});
        break;
    case KELVO_IOCTL_corran_queryInCompliance:
    case KELVO_IOCTL_corran_commitPowerAllocation:
    case KELVO_IOCTL_corran_discardPowerAllocation:
    case KELVO_IOCTL_corran_getActualPowerAllocation:
        reserved(kelvo_corran_queryInCompliance_in{0, {}, 0});
        break;
    case KELVO_IOCTL_corran_calculateChargeBalanceOffset:
        reserved(kelvo_corran_calculateChargeBalanceOffset_in{0, 0, 0, 0});
        break;
    case KELVO_IOCTL_corran_configureChargeBalanceOffset:
        reserved(kelvo_corran_configureChargeBalanceOffset_in{0, 0, 0x800, 0});
        break;
    case KELVO_IOCTL_corran_stagePowerAllocation:
        reserved(kelvo_corran_stagePowerAllocation_in{0, {}, 1000000, 0});
        break;
    case KELVO_IOCTL_corran_setConnectedAccessory:
        request(kelvo_corran_setConnectedAccessory_in{7, 0});
        break;
    case KELVO_IOCTL_routing_calculateRoute:
        calculateRoute(seed, board);
        break;
    case KELVO_IOCTL_routing_destroyRoute:
    case KELVO_IOCTL_routing_reserveRoute:
    case KELVO_IOCTL_routing_unreserveRoute:
        route(kelvo_routing_reserveRoute_in{0, 0, 0, 4, 0}, code != KELVO_IOCTL_routing_reserveRoute);
        break;
    case KELVO_IOCTL_routing_programRoute:
    case KELVO_IOCTL_routing_unprogramRoute:
        route(kelvo_routing_programRoute_in{0, 0}, true);
        break;
    case KELVO_IOCTL_routing_getRouteTerminalPath:
        route(kelvo_routing_getRouteTerminalPath_in{0, 0, 0, 4, 0}, false);
        break;
    case KELVO_IOCTL_routing_getTopographyName:
        request(kelvo_routing_getTopographyName_in{0, 64, 0});
        break;
    case KELVO_IOCTL_routing_resetTerminal:
        request(kelvo_routing_resetTerminal_in{1, 0, 0});
        break;
    case KELVO_IOCTL_routing_calculateResetTerminal:
        request(kelvo_routing_calculateResetTerminal_in{1, 1, 0, 0, 0});
        break;
    case KELVO_IOCTL_arm_read:
    case KELVO_IOCTL_arm_refreshRegister:
    case KELVO_IOCTL_arm_get:
        request(kelvo_arm_read_in{0, 0, kSignature, 0}, {bridge});
        break;
    case KELVO_IOCTL_arm_write:
    case KELVO_IOCTL_arm_set:
        request(kelvo_arm_write_in{0, 0, kSignature, 0, 0, {}, 0}, {bridge});
        break;
    case KELVO_IOCTL_arm_flushRegister:
        request(kelvo_arm_flushRegister_in{0, 0, kSignature, 0, {}, 0, 0}, {bridge});
        break;
    case KELVO_IOCTL_arm_flushRegMap:
        request(kelvo_arm_flushRegMap_in{0, 0, 0, {}, 0}, {bridge});
        break;
    case KELVO_IOCTL_arm_writeEx:
    case KELVO_IOCTL_arm_setEx:
        request(kelvo_arm_writeEx_in{0, 0, kSignature, 0, 0, 0, 0, {}, 0}, {bridge});
        break;
    case KELVO_IOCTL_arm_readEx:
    case KELVO_IOCTL_arm_getEx:
    case KELVO_IOCTL_arm_refreshRegisterEx:
    case KELVO_IOCTL_arm_flushRegisterEx:
        request(kelvo_arm_readEx_in{0, 0, kSignature, 0, 0, 0, 0}, {bridge});
        break;
    case KELVO_IOCTL_arm_getRegisterFormat:
        request(kelvo_arm_getRegisterFormat_in{0, 0, 0x80000000u, 64, 0, 0, 0, 0},
                {bridge, buffer(0), buffer(0x400)});
        break;
    case KELVO_IOCTL_deviceWindow_flush:
    case KELVO_IOCTL_deviceWindow_refresh:
        request(kelvo_deviceWindow_refresh_in{0, 0, 0x100, 4, 0, 0}, {window});
        break;
    case KELVO_IOCTL_deviceWindow_getSizeInBytes:
        request(kelvo_deviceWindow_getSizeInBytes_in{0, 0, 0, 0}, {window});
        break;
    case KELVO_IOCTL_deviceWindow_write:
    case KELVO_IOCTL_deviceWindow_set:
        request(kelvo_deviceWindow_write_in{0, 0, 0, 0x100, 4, 0, {}, 0}, {window, buffer(0, {1, 2, 3, 4})});
        break;
    case KELVO_IOCTL_deviceWindow_read:
    case KELVO_IOCTL_deviceWindow_get:
        request(kelvo_deviceWindow_read_in{0, 0, 0x100, 4, 0, 0, 0}, {window, buffer(0)});
        break;
    case KELVO_IOCTL_storageMap_flush:
        request(kelvo_storageMap_flush_in{0, 0, 0, {}, 0}, {registered(storage)});
        break;
    case KELVO_IOCTL_storageMap_getElementCount:
    case KELVO_IOCTL_storageMap_getElementSize:
        request(kelvo_storageMap_getElementCount_in{0, 0, kSerialField, 0}, {registered(storage)});
        break;
    case KELVO_IOCTL_storageMap_refresh:
    case KELVO_IOCTL_storageMap_isChecksumValid:
        request(kelvo_storageMap_refresh_in{0, 0, 0, 0}, {registered(storage)});
        break;
    case KELVO_IOCTL_storageMap_setRaw:
    case KELVO_IOCTL_storageMap_getRaw: { // the serial number as the module holds it: the write changes
                                          // nothing
        std::uint32_t serial = 0;
        rawElement(firstHandle(board), KELVO_IOCTL_storageMap_getRaw, storage, kSerialField, 0, &serial, 4);
        request(kelvo_storageMap_setRaw_in{0, 0, kSerialField, 0, 0, 1, 0, 4, 0, 0},
                {registered(storage), buffer(0, bytesOf(serial))});
        break;
    }
    case KELVO_IOCTL_brixelTools_startDMA:
        reserve(seed, board);
        append(seed, board, KELVO_IOCTL_brixelTools_addTransferFromDevice,
               kelvo_brixelTools_addTransferFromDevice_in{0, 0, 0, 64, 0, 0});
        request(kelvo_brixelTools_startDMA_in{0, 0, {}, 0});
        break;
    case KELVO_IOCTL_brixelTools_addTransferToDevice:
        reserved(kelvo_brixelTools_addTransferToDevice_in{1, 0, 0, 64, 1, 0});
        break;
    case KELVO_IOCTL_brixelTools_addTransferFromDevice:
        reserved(kelvo_brixelTools_addTransferFromDevice_in{0, 0, 0, 64, 0, 0});
        break;
    case KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount:
        reserved(kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, 64, 0});
        break;
    case KELVO_IOCTL_brixelTools_waitUntilBytesTransferred:
        reserved(kelvo_brixelTools_waitUntilBytesTransferred_in{0, 0, 0, 16, 1, 0, 0});
        break;
    case KELVO_IOCTL_brixelTools_stopDMA:
    case KELVO_IOCTL_brixelTools_getTransferCount:
    case KELVO_IOCTL_brixelTools_clearTransfers:
    case KELVO_IOCTL_brixelTools_clearApplicationFIFO:
    case KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred:
        reserved(kelvo_brixelTools_stopDMA_in{0, 0});
        break;
    case KELVO_IOCTL_kdut_checkChannelHardwareState:
        reserved(kelvo_kdut_checkChannelHardwareState_in{1, 0, 0, 0});
        break;
    case KELVO_IOCTL_kdut_reserveResources:
        reserve(seed, board);
        break;
    case KELVO_IOCTL_arm_getRegistrationNames:
    case KELVO_IOCTL_deviceWindow_getRegistrationNames:
    case KELVO_IOCTL_storageMap_getRegistrationNames:
    case KELVO_IOCTL_arm_getRegistrationList:
        request(kelvo_arm_getRegistrationNames_in{0, 0, 0}, {buffer(0)});
        break;
    default: {
        // A status record alone, or a code answered without an operation:
        // zeros are its valid record (the reader answers zeros past the end).
        const unsigned index = indexOf(code);
        seed = {0, static_cast<std::uint8_t>(board), 0, static_cast<std::uint8_t>(index),
                static_cast<std::uint8_t>(index >> 8)};
        break;
    }
    }
    return seed;
}

} // namespace

std::vector<Seed> seedsOf(unsigned board) {
    std::vector<Seed> all;
    for (unsigned index = 0; index < codeCount(); ++index) {
        if (code(index) != KELVO_IOCTL_kdut_reset) { // its seed is the reset event
            all.push_back({codeName(index), static_cast<int>(index), seedOf(board, code(index))});
        }
    }
    const auto b = static_cast<std::uint8_t>(board);
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
        for (Seed& seed : seedsOf(board)) {
            all.push_back(std::move(seed.bytes));
        }
        const auto b = static_cast<std::uint8_t>(board);
        all.insert(all.end(),
                   {{15, b, 0, 0, 19}, {15, b, 0, 2}, {15, b, 0, 3}}); // reset to 19, re-open, re-add
    }
    return all;
}

} // namespace kelvo_fuzz
