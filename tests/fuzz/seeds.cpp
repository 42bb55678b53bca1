// The seed corpus: for every code of the table and every board, an input of
// valid requests at the top level (a registered name, channel 0 and its mask,
// the route of the board's topography, the harness's own buffers), preceded
// where the operation needs it by the reservation of channel 0 on the same
// handle; and the platform's requests and the rare events.
//
// A seed is written in the engine's input language (ioctl_fuzz.cpp): a table
// request is the action byte 0, the board, the handle slot, the code's index
// (u16), the sizes byte, the whole input record, no tweaks, then per address
// field of the record either a name (kept as is, by its index among the
// registered names) or a valid buffer (an offset in the harness's buffer area
// and the bytes to fill it with), and the places byte 0 (the records at home).
#include <cstring>
#include <string>

#include "ioctl_fuzz.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"

namespace kelvo_fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The characters of a version suffix, as the engine reads them.
constexpr char kVersionText[] = "0123456789.dfx_";

// The sizes byte's flag: the route ID fields name the last route calculated.
constexpr std::uint8_t kLastRoute = 0x80;

// A choice for one address field: a registered name, or a buffer at an offset
// of the buffer area with the bytes it starts with.
struct Choice {
    std::string name;
    std::uint16_t offset = 0;
    Bytes fill;
};

Choice named(const std::string& name) {
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
    for (unsigned index = 0; index < codeCount(); ++index) {
        if (kelvo_fuzz::code(index) == code) {
            return index;
        }
    }
    return 0;
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
    const std::vector<AddressFieldAt> fields = addressFields(index);
    for (std::size_t at = 0; at < fields.size(); ++at) {
        const Choice choice =
            at < choices.size() ? choices[at] : buffer(static_cast<std::uint16_t>(at * 0x400));
        if (fields[at].name) {
            unsigned which = 0;
            const std::vector<std::string>& names = registeredNames();
            const std::string bare = choice.name.substr(0, choice.name.find("_Ver"));
            for (unsigned i = 0; i < names.size(); ++i) {
                which = names[i] == bare ? i : which;
            }
            const std::size_t cut = choice.name.find("_Ver");
            if (cut == std::string::npos) {
                seed.insert(seed.end(), {0, static_cast<std::uint8_t>(which)}); // the name as it stands
            } else {
                // With its version: "_Ver" and the version's characters.
                const std::string version = choice.name.substr(cut + 4);
                seed.insert(seed.end(),
                            {1, static_cast<std::uint8_t>(which), static_cast<std::uint8_t>(version.size())});
                for (char c : version) {
                    seed.push_back(static_cast<std::uint8_t>(std::string(kVersionText).find(c)));
                }
            }
        } else {
            seed.insert(seed.end(), {0, static_cast<std::uint8_t>(choice.offset),
                                     static_cast<std::uint8_t>(choice.offset >> 8),
                                     static_cast<std::uint8_t>(choice.fill.size())});
            seed.insert(seed.end(), choice.fill.begin(), choice.fill.end());
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

template <class In> Bytes route(unsigned board, std::uint32_t code, const In& in, bool reserved = false) {
    Bytes seed;
    calculateRoute(seed, board);
    if (reserved) {
        append(seed, board, KELVO_IOCTL_routing_reserveRoute, kelvo_routing_reserveRoute_in{0, 0, 0, 0, 0},
               {}, kLastRoute);
    }
    append(seed, board, code, in, {buffer(0)}, kLastRoute);
    return seed;
}

// The four bytes of a storage map's field as the board's device holds them.
Bytes serialNumber(unsigned board, const std::string& name, std::uint32_t field) {
    std::uint32_t value = 0;
    kelvo_storageMap_getRaw_in in{};
    in.nameAddress = reinterpret_cast<std::uintptr_t>(name.data());
    in.nameLength = name.size();
    in.fieldId = field;
    in.elementCount = 1;
    in.buffer = reinterpret_cast<std::uintptr_t>(&value);
    in.elementSize = 4;
    kelvo_status_record out{};
    kelvo_ioctl_header header{reinterpret_cast<std::uintptr_t>(&in),
                              reinterpret_cast<std::uintptr_t>(&out),
                              sizeof(in),
                              sizeof(out),
                              0,
                              0};
    kelvo_ioctl(firstHandle(board), KELVO_IOCTL_storageMap_getRaw, &header);
    return bytesOf(value);
}

// One code's seed on one board.
Bytes seedOf(unsigned board, std::uint32_t code) {
    Bytes seed;
    // A register of every map by name: the bridge's signature.
    const std::string bridge = "Brixel_Ver2.3.0f7";
    constexpr std::uint32_t kSignature = 0x40000000u;
    const std::string storage = "Manufacturing_Ver1.0.0d1";
    constexpr std::uint32_t kSerialField = 12;
    const std::string window = "NisoFpgaWindow";
    switch (code) {
    case KELVO_IOCTL_voquantaPXICooling_overrideCoolingMode:
        append(seed, board, code, kelvo_voquantaPXICooling_overrideCoolingMode_in{1, 0});
        break;
    case KELVO_IOCTL_pxiCooling_setCoolingMode:
        append(seed, board, code, kelvo_pxiCooling_setCoolingMode_in{1, 0});
        break;
    case KELVO_IOCTL_hwCondition_clearChannelBasedHardwareErrors:
    case KELVO_IOCTL_hwCondition_checkBoardAndChannelBasedHardwareErrors:
    case KELVO_IOCTL_wexmoor_resetSequenceEngine:
    case KELVO_IOCTL_wexmoor_isSequenceEngineRunning:
    case KELVO_IOCTL_corran_loadCalibrationToFirmwareFromStorageMapSoftcopy:
        reserve(seed, board);
        append(seed, board, code, kelvo_wexmoor_resetSequenceEngine_in{1, 0, 0});
        break;
    case KELVO_IOCTL_measureUnit_arm:
    case KELVO_IOCTL_measureUnit_reset:
    case KELVO_IOCTL_corran_readTemperatureSensor:
        reserve(seed, board);
        append(seed, board, code, kelvo_measureUnit_arm_in{0, 0});
        break;
    case KELVO_IOCTL_wexmoor_startSequenceEngine:
        reserve(seed, board);
        append(seed, board, code, kelvo_wexmoor_startSequenceEngine_in{1, 0, 0});
        break;
    case KELVO_IOCTL_wexmoor_getSubroutines:
        append(seed, board, code, kelvo_wexmoor_getSubroutines_in{0, 0, 1, 0}, {buffer(0), buffer(0x400)});
        break;
    case KELVO_IOCTL_triggersAndEvents_overrideTrigger:
        reserve(seed, board);
        append(seed, board, code, kelvo_triggersAndEvents_overrideTrigger_in{0, 0x40C, 0});
        break;
    case KELVO_IOCTL_triggersAndEvents_checkEventLatch:
    case KELVO_IOCTL_triggersAndEvents_clearEventLatch:
        reserve(seed, board);
        append(seed, board, code, kelvo_triggersAndEvents_checkEventLatch_in{1, 0x129, 0, 0});
        break;
    case KELVO_IOCTL_corran_queryInCompliance:
    case KELVO_IOCTL_corran_commitPowerAllocation:
    case KELVO_IOCTL_corran_discardPowerAllocation:
    case KELVO_IOCTL_corran_getActualPowerAllocation:
        reserve(seed, board);
        append(seed, board, code, kelvo_corran_queryInCompliance_in{0, {}, 0});
        break;
    case KELVO_IOCTL_corran_calculateChargeBalanceOffset:
        reserve(seed, board);
        append(seed, board, code, kelvo_corran_calculateChargeBalanceOffset_in{0, 0, 0, 0});
        break;
    case KELVO_IOCTL_corran_configureChargeBalanceOffset:
        reserve(seed, board);
        append(seed, board, code, kelvo_corran_configureChargeBalanceOffset_in{0, 0, 0x800, 0});
        break;
    case KELVO_IOCTL_corran_stagePowerAllocation:
        reserve(seed, board);
        append(seed, board, code, kelvo_corran_stagePowerAllocation_in{0, {}, 1000000, 0});
        break;
    case KELVO_IOCTL_corran_setConnectedAccessory:
        append(seed, board, code, kelvo_corran_setConnectedAccessory_in{7, 0});
        break;
    case KELVO_IOCTL_routing_calculateRoute:
        calculateRoute(seed, board);
        break;
    case KELVO_IOCTL_routing_destroyRoute:
    case KELVO_IOCTL_routing_reserveRoute:
    case KELVO_IOCTL_routing_unreserveRoute:
        return route(board, code, kelvo_routing_reserveRoute_in{0, 0, 0, 4, 0},
                     code != KELVO_IOCTL_routing_reserveRoute);
    case KELVO_IOCTL_routing_programRoute:
    case KELVO_IOCTL_routing_unprogramRoute:
        return route(board, code, kelvo_routing_programRoute_in{0, 0}, true);
    case KELVO_IOCTL_routing_getRouteTerminalPath:
        return route(board, code, kelvo_routing_getRouteTerminalPath_in{0, 0, 0, 4, 0});
    case KELVO_IOCTL_routing_getTopographyName:
        append(seed, board, code, kelvo_routing_getTopographyName_in{0, 64, 0});
        break;
    case KELVO_IOCTL_routing_resetTerminal:
        append(seed, board, code, kelvo_routing_resetTerminal_in{1, 0, 0});
        break;
    case KELVO_IOCTL_routing_calculateResetTerminal:
        append(seed, board, code, kelvo_routing_calculateResetTerminal_in{1, 1, 0, 0, 0});
        break;
    case KELVO_IOCTL_arm_read:
    case KELVO_IOCTL_arm_refreshRegister:
    case KELVO_IOCTL_arm_get:
        append(seed, board, code, kelvo_arm_read_in{0, 0, kSignature, 0}, {named(bridge)});
        break;
    case KELVO_IOCTL_arm_write:
    case KELVO_IOCTL_arm_set:
        append(seed, board, code, kelvo_arm_write_in{0, 0, kSignature, 0, 0, {}, 0}, {named(bridge)});
        break;
    case KELVO_IOCTL_arm_flushRegister:
        append(seed, board, code, kelvo_arm_flushRegister_in{0, 0, kSignature, 0, {}, 0, 0}, {named(bridge)});
        break;
    case KELVO_IOCTL_arm_flushRegMap:
        append(seed, board, code, kelvo_arm_flushRegMap_in{0, 0, 0, {}, 0}, {named(bridge)});
        break;
    case KELVO_IOCTL_arm_writeEx:
    case KELVO_IOCTL_arm_setEx:
        append(seed, board, code, kelvo_arm_writeEx_in{0, 0, kSignature, 0, 0, 0, 0, {}, 0}, {named(bridge)});
        break;
    case KELVO_IOCTL_arm_readEx:
    case KELVO_IOCTL_arm_getEx:
    case KELVO_IOCTL_arm_refreshRegisterEx:
    case KELVO_IOCTL_arm_flushRegisterEx:
        append(seed, board, code, kelvo_arm_readEx_in{0, 0, kSignature, 0, 0, 0, 0}, {named(bridge)});
        break;
    case KELVO_IOCTL_arm_getRegisterFormat:
        append(seed, board, code, kelvo_arm_getRegisterFormat_in{0, 0, 0x80000000u | 0, 64, 0, 0, 0, 0},
               {named(bridge), buffer(0), buffer(0x400)});
        break;
    case KELVO_IOCTL_deviceWindow_flush:
    case KELVO_IOCTL_deviceWindow_refresh:
        append(seed, board, code, kelvo_deviceWindow_refresh_in{0, 0, 0x100, 4, 0, 0}, {named(window)});
        break;
    case KELVO_IOCTL_deviceWindow_getSizeInBytes:
        append(seed, board, code, kelvo_deviceWindow_getSizeInBytes_in{0, 0, 0, 0}, {named(window)});
        break;
    case KELVO_IOCTL_deviceWindow_write:
    case KELVO_IOCTL_deviceWindow_set:
        append(seed, board, code, kelvo_deviceWindow_write_in{0, 0, 0, 0x100, 4, 0, {}, 0},
               {named(window), buffer(0, {1, 2, 3, 4})});
        break;
    case KELVO_IOCTL_deviceWindow_read:
    case KELVO_IOCTL_deviceWindow_get:
        append(seed, board, code, kelvo_deviceWindow_read_in{0, 0, 0x100, 4, 0, 0, 0},
               {named(window), buffer(0)});
        break;
    case KELVO_IOCTL_storageMap_flush:
        append(seed, board, code, kelvo_storageMap_flush_in{0, 0, 0, {}, 0}, {named(storage)});
        break;
    case KELVO_IOCTL_storageMap_getElementCount:
    case KELVO_IOCTL_storageMap_getElementSize:
        append(seed, board, code, kelvo_storageMap_getElementCount_in{0, 0, kSerialField, 0},
               {named(storage)});
        break;
    case KELVO_IOCTL_storageMap_refresh:
    case KELVO_IOCTL_storageMap_isChecksumValid:
        append(seed, board, code, kelvo_storageMap_refresh_in{0, 0, 0, 0}, {named(storage)});
        break;
    case KELVO_IOCTL_storageMap_setRaw:
    case KELVO_IOCTL_storageMap_getRaw:
        // The serial number as the module holds it: the write changes nothing.
        append(seed, board, code, kelvo_storageMap_setRaw_in{0, 0, kSerialField, 0, 0, 1, 0, 4, 0, 0},
               {named(storage), buffer(0, serialNumber(board, storage, kSerialField))});
        break;
    case KELVO_IOCTL_brixelTools_startDMA:
        reserve(seed, board);
        append(seed, board, KELVO_IOCTL_brixelTools_addTransferFromDevice,
               kelvo_brixelTools_addTransferFromDevice_in{0, 0, 0, 64, 0, 0});
        append(seed, board, code, kelvo_brixelTools_startDMA_in{0, 0, {}, 0});
        break;
    case KELVO_IOCTL_brixelTools_addTransferToDevice:
        reserve(seed, board);
        append(seed, board, code, kelvo_brixelTools_addTransferToDevice_in{1, 0, 0, 64, 1, 0});
        break;
    case KELVO_IOCTL_brixelTools_addTransferFromDevice:
        reserve(seed, board);
        append(seed, board, code, kelvo_brixelTools_addTransferFromDevice_in{0, 0, 0, 64, 0, 0});
        break;
    case KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount:
        reserve(seed, board);
        append(seed, board, code, kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, 64, 0});
        break;
    case KELVO_IOCTL_brixelTools_waitUntilBytesTransferred:
        reserve(seed, board);
        append(seed, board, code, kelvo_brixelTools_waitUntilBytesTransferred_in{0, 0, 0, 16, 1, 0, 0});
        break;
    case KELVO_IOCTL_brixelTools_stopDMA:
    case KELVO_IOCTL_brixelTools_getTransferCount:
    case KELVO_IOCTL_brixelTools_clearTransfers:
    case KELVO_IOCTL_brixelTools_clearApplicationFIFO:
    case KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred:
        reserve(seed, board);
        append(seed, board, code, kelvo_brixelTools_stopDMA_in{0, 0});
        break;
    case KELVO_IOCTL_kdut_checkChannelHardwareState:
        reserve(seed, board);
        append(seed, board, code, kelvo_kdut_checkChannelHardwareState_in{1, 0, 0, 0});
        break;
    case KELVO_IOCTL_kdut_reserveResources:
        reserve(seed, board);
        break;
    case KELVO_IOCTL_arm_getRegistrationNames:
    case KELVO_IOCTL_deviceWindow_getRegistrationNames:
    case KELVO_IOCTL_storageMap_getRegistrationNames:
    case KELVO_IOCTL_arm_getRegistrationList:
        append(seed, board, code, kelvo_arm_getRegistrationNames_in{0, 0, 0}, {buffer(0)});
        break;
    default:
        // A status record alone, or a code answered without an operation:
        // zeros are its valid record (the reader answers zeros past the end).
        seed.insert(seed.end(),
                    {0, static_cast<std::uint8_t>(board), 0, static_cast<std::uint8_t>(indexOf(code)),
                     static_cast<std::uint8_t>(indexOf(code) >> 8)});
        break;
    }
    return seed;
}

} // namespace

std::vector<std::uint8_t> seedForCode(unsigned board, unsigned codeIndex) {
    return seedOf(board, code(codeIndex));
}

} // namespace kelvo_fuzz
