#include "storage_maps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "codes.h"
#include "request.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"

namespace kelvo_tool {

namespace {

std::vector<StorageField> calibrationFields() {
    return {{"checksum", 0, FieldKind::kU32, 1, 4},
            {"mapVersion", 4, FieldKind::kVersion, 1, 4},
            {"oldestCompatibleMapVersion", 8, FieldKind::kVersion, 1, 4},
            {"temperature", 12, FieldKind::kBytes, 1, 8},
            {"time", 20, FieldKind::kBytes, 1, 16},
            {"calibrationDueDate", 36, FieldKind::kBytes, 1, 16},
            {"limitedCalibrationFlag", 52, FieldKind::kU32, 1, 4},
            {"limitedCalibrationDetails", 56, FieldKind::kString, 1, 1024},
            {"ModulatorChargeBalanceOffsets", 1080, FieldKind::kBytes, 4, 16},
            {"voltageRemoteOffset", 1144, FieldKind::kBytes, 2, 16},
            {"voltageOffset", 1176, FieldKind::kBytes, 2, 16},
            {"voltageGain", 1208, FieldKind::kBytes, 2, 16},
            {"currentHighOffset", 1240, FieldKind::kBytes, 3, 16},
            {"currentLowOffset", 1288, FieldKind::kBytes, 3, 16},
            {"currentHighGain", 1336, FieldKind::kBytes, 3, 16},
            {"currentLowGain", 1384, FieldKind::kBytes, 3, 16}};
}

std::string mapName(const StorageMap& map) {
    return std::string(map.name) + "_Ver" + map.version;
}

std::string versionText(std::uint32_t word) {
    static const char kPhases[] = "dabf";
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%u.%u%c%u", word >> 24, (word >> 20) & 0xF, (word >> 16) & 0xF,
                  kPhases[(word >> 14) & 3], word & 0x3FFF);
    return text;
}

std::optional<std::uint32_t> parseVersion(const std::string& text) {
    unsigned major = 0, minor = 0, update = 0, build = 0;
    char phase = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c%u", &major, &minor, &update, &phase, &build) != 5) {
        return std::nullopt;
    }
    const char* p = std::strchr("dabf", phase);
    if (p == nullptr || phase == '\0' || major > 255 || minor > 15 || update > 15 || build > 16383) {
        return std::nullopt;
    }
    return major << 24 | minor << 20 | update << 16 | static_cast<unsigned>(p - "dabf") << 14 | build;
}

// The transport code when the request failed in transport, else the operation's status.
template <class Out> std::int32_t outcome(const Answer<Out>& answer) {
    return answer.transport != 0 ? answer.transport : answer.out.status;
}

// One raw request; the status word.
std::int32_t raw(int handle, bool write, const std::string& map, std::uint32_t field, std::uint64_t index,
                 std::uint64_t count, void* buffer, std::uint64_t elementSize) {
    kelvo_storageMap_setRaw_in in{};
    in.nameAddress = address(map.data());
    in.nameLength = map.size();
    in.fieldId = field;
    in.firstElement = index;
    in.elementCount = count;
    in.buffer = address(buffer);
    in.elementSize = elementSize;
    return outcome(call<kelvo_status_record>(
        handle, write ? KELVO_IOCTL_storageMap_setRaw : KELVO_IOCTL_storageMap_getRaw, in));
}

std::int32_t flush(int handle, const std::string& map) {
    kelvo_storageMap_flush_in in{};
    in.nameAddress = address(map.data());
    in.nameLength = map.size();
    return outcome(call<kelvo_storageMap_flush_out>(handle, KELVO_IOCTL_storageMap_flush, in));
}

// A field's element count and size as the driver reports them: "4x16".
std::string layout(int handle, const std::string& map, const StorageField& field, std::uint64_t& bytes) {
    const kelvo_storageMap_getElementCount_in in{address(map.data()), map.size(), field.id, 0};
    const auto count =
        call<kelvo_storageMap_getElementCount_out>(handle, KELVO_IOCTL_storageMap_getElementCount, in);
    const auto size =
        call<kelvo_storageMap_getElementSize_out>(handle, KELVO_IOCTL_storageMap_getElementSize, in);
    if (!count.ok() || !size.ok()) {
        std::string text = "(";
        text += describeStatus(count.ok() ? outcome(size) : outcome(count));
        return text + ")";
    }
    bytes += count.out.count * size.out.size;
    return std::to_string(count.out.count) + "x" + std::to_string(size.out.size);
}

std::string render(const StorageField& field, const std::vector<std::uint8_t>& bytes) {
    std::uint32_t word = 0;
    switch (field.kind) {
    case FieldKind::kU8:
        return std::to_string(bytes[0]);
    case FieldKind::kU32: {
        std::memcpy(&word, bytes.data(), 4);
        char text[32];
        std::snprintf(text, sizeof(text), "%u (0x%08X)", word, word);
        return text;
    }
    case FieldKind::kVersion:
        std::memcpy(&word, bytes.data(), 4);
        return versionText(word);
    case FieldKind::kString: {
        const auto end = std::find(bytes.begin(), bytes.end(), 0);
        std::string text = "\"";
        if (end != bytes.end()) {
            text.append(bytes.begin(), end);
        }
        return text + '"';
    }
    case FieldKind::kBytes:
        break;
    }
    return toHex(bytes);
}

} // namespace

const std::vector<StorageMap>& storageMaps() {
    static const std::vector<StorageMap> maps = [] {
        std::vector<StorageMap> list;
        list.push_back({"Posc", "1.0.0d0", false, {{"POSC", 0, FieldKind::kU8, 32768, 1}}});
        list.push_back({"Manufacturing",
                        "1.0.0d1",
                        true,
                        {{"checksum", 0, FieldKind::kU32, 1, 4},
                         {"mapVersion", 4, FieldKind::kVersion, 1, 4},
                         {"oldestCompatibleMapVersion", 8, FieldKind::kVersion, 1, 4},
                         {"boardSerialNumber", 12, FieldKind::kU32, 1, 4},
                         {"boardRevision", 16, FieldKind::kU8, 1, 1},
                         {"oldestCompatibleBoardRevision", 17, FieldKind::kU8, 1, 1},
                         {"orderablePartNumber", 18, FieldKind::kString, 1, 32},
                         {"allowUnsafeFirmware", 50, FieldKind::kU8, 1, 1}}});
        list.push_back({"Header",
                        "1.0.0d0",
                        true,
                        {{"checksum", 0, FieldKind::kU32, 1, 4},
                         {"mapVersion", 4, FieldKind::kVersion, 1, 4},
                         {"oldestCompatibleMapVersion", 8, FieldKind::kVersion, 1, 4},
                         {"password", 12, FieldKind::kString, 1, 32},
                         {"comments", 44, FieldKind::kString, 1, 1024}}});
        for (const char* name : {"DefaultCalibrationChannel0", "FactoryCalibrationChannel0",
                                 "ExternalCalibrationChannel0", "SelfCalibrationChannel0"}) {
            list.push_back({name, "1.0.0d1", true, calibrationFields()});
        }
        return list;
    }();
    return maps;
}

std::optional<FieldRef> findField(const std::string& text, std::string& error) {
    const auto dot = text.find('.');
    if (dot == std::string::npos) {
        error = "a field is named MAP.FIELD[INDEX]: " + text;
        return std::nullopt;
    }
    const std::string mapPart = text.substr(0, dot);
    std::string fieldPart = text.substr(dot + 1);
    std::uint64_t index = 0;
    if (const auto bracket = fieldPart.find('['); bracket != std::string::npos) {
        const auto close = fieldPart.find(']', bracket);
        const auto number = close == std::string::npos
                                ? std::nullopt
                                : parseCode(fieldPart.substr(bracket + 1, close - bracket - 1));
        if (!number || close + 1 != fieldPart.size()) {
            error = "not an element index: " + text;
            return std::nullopt;
        }
        index = *number;
        fieldPart.erase(bracket);
    }
    for (const StorageMap& map : storageMaps()) {
        if (mapPart != map.name) {
            continue;
        }
        for (const StorageField& field : map.fields) {
            if (fieldPart == field.name) {
                if (index >= field.count) {
                    error = "index beyond the field's " + std::to_string(field.count) + " elements: " + text;
                    return std::nullopt;
                }
                return FieldRef{&map, &field, index};
            }
        }
        error = "no field " + fieldPart + " in " + mapPart;
        return std::nullopt;
    }
    error = "no storage map " + mapPart;
    return std::nullopt;
}

bool showStorageMaps(int handle) {
    bool ok = true;
    std::cout << "storage maps:\n";
    for (const StorageMap& map : storageMaps()) {
        const std::string name = mapName(map);
        std::cout << "  " << name;
        if (map.checksummed) {
            const auto checksum = call<kelvo_storageMap_isChecksumValid_out>(
                handle, KELVO_IOCTL_storageMap_isChecksumValid,
                kelvo_storageMap_isChecksumValid_in{address(name.data()), name.size(), 0, 0});
            std::uint32_t versions[2] = {};
            const std::int32_t read = raw(handle, false, name, 4, 0, 1, &versions[0], 4) |
                                      raw(handle, false, name, 8, 0, 1, &versions[1], 4);
            if (!checksum.ok() || read < 0) {
                std::cout << ": " << describeStatus(!checksum.ok() ? outcome(checksum) : read);
                ok = false;
            } else {
                std::cout << ": checksum " << (checksum.out.valid ? "valid" : "INVALID") << ", mapVersion "
                          << versionText(versions[0]) << ", oldestCompatibleMapVersion "
                          << versionText(versions[1]);
            }
        }
        std::cout << "\n    fields (elements x bytes):";
        std::uint64_t bytes = 0;
        for (const StorageField& field : map.fields) {
            std::cout << " " << field.name << " " << layout(handle, name, field, bytes);
        }
        std::cout << "; " << bytes << " bytes\n";
    }
    const auto checksums = call<kelvo_corran_areStorageMapChecksumsValid_out>(
        handle, KELVO_IOCTL_corran_areStorageMapChecksumsValid, kelvo_status_record{0});
    const auto versions = call<kelvo_corran_areStorageMapVersionsValid_out>(
        handle, KELVO_IOCTL_corran_areStorageMapVersionsValid, kelvo_status_record{0});
    std::cout << "every checksum valid: " << (checksums.out.allValid != 0 ? "yes" : "no")
              << ", every version valid: " << (versions.out.allValid != 0 ? "yes" : "no")
              << failedOnly("corran_areStorageMapChecksumsValid", checksums)
              << failedOnly("corran_areStorageMapVersionsValid", versions) << "\n";
    ok = ok && checksums.ok() && versions.ok();
    std::uint32_t serial = 0;
    const std::int32_t status = raw(handle, false, "Manufacturing_Ver1.0.0d1", 12, 0, 1, &serial, 4);
    char text[32];
    std::snprintf(text, sizeof(text), "0x%08X", serial);
    std::cout << "serial number: " << (status >= 0 ? text : describeStatus(status)) << "\n";
    ok = ok && status >= 0;
    // The other identity fields, as --get shows them.
    for (const char* field : {"Manufacturing.boardRevision", "Manufacturing.orderablePartNumber",
                              "Manufacturing.allowUnsafeFirmware"}) {
        std::string error;
        const auto ref = findField(field, error);
        ok = ref && getField(handle, *ref) && ok;
    }
    return ok;
}

bool getField(int handle, const FieldRef& ref) {
    std::vector<std::uint8_t> bytes(ref.field->elementSize, 0);
    const std::string name = mapName(*ref.map);
    const std::int32_t status =
        raw(handle, false, name, ref.field->id, ref.index, 1, bytes.data(), bytes.size());
    std::cout << ref.map->name << "." << ref.field->name << "[" << ref.index << "] = ";
    if (status < 0) {
        std::cout << "(" << describeStatus(status) << ")\n";
        return false;
    }
    std::cout << render(*ref.field, bytes) << "\n";
    return true;
}

bool parseFieldValue(const FieldRef& ref, const std::string& text, std::vector<std::uint8_t>& bytes,
                     std::string& error) {
    bytes.assign(ref.field->elementSize, 0);
    switch (ref.field->kind) {
    case FieldKind::kU8:
    case FieldKind::kU32: {
        const auto number = parseCode(text);
        const bool fits = number && (ref.field->kind == FieldKind::kU32 || *number <= 0xFF);
        if (fits) {
            std::memcpy(bytes.data(), &*number, ref.field->elementSize);
            return true;
        }
        error = ref.field->kind == FieldKind::kU8 ? "not a number from 0 to 255" : "not a 32-bit number";
        break;
    }
    case FieldKind::kVersion: {
        if (const auto word = parseVersion(text)) {
            std::memcpy(bytes.data(), &*word, 4);
            return true;
        }
        error = "not a version text such as 1.0.0d1";
        break;
    }
    case FieldKind::kString:
        if (text.size() < bytes.size()) {
            std::memcpy(bytes.data(), text.data(), text.size());
            return true;
        }
        error = "a text of at most " + std::to_string(bytes.size() - 1) + " characters";
        break;
    case FieldKind::kBytes: {
        const auto hex = parseHex(text);
        if (hex && hex->size() == bytes.size()) {
            bytes = *hex;
            return true;
        }
        error = "not " + std::to_string(bytes.size()) + " hex bytes";
        break;
    }
    }
    error = "\"" + text + "\" is " + error;
    return false;
}

bool setField(int handle, const FieldRef& ref, const std::string& text,
              const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> element = bytes;
    const std::string name = mapName(*ref.map);
    std::int32_t status =
        raw(handle, true, name, ref.field->id, ref.index, 1, element.data(), element.size());
    if (status >= 0) {
        status = flush(handle, name);
    }
    std::cout << "set " << ref.map->name << "." << ref.field->name << "[" << ref.index << "] = " << text
              << ": " << describeStatus(status) << "\n";
    if (status < 0) {
        std::cerr << "kelvo_tool: --set " << ref.map->name << "." << ref.field->name
                  << ": refused: " << describeStatus(status) << "\n";
    }
    return status >= 0;
}

} // namespace kelvo_tool
