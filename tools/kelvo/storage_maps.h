// What the tool knows of the board's storage maps: their registration names,
// versions and fields, and the requests that show them and read or write a
// field by name ("Manufacturing.boardSerialNumber").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvo_tool {

enum class FieldKind { kU8, kU32, kVersion, kString, kBytes };

struct StorageField {
    const char* name;
    std::uint32_t id; // the field's offset in its map
    FieldKind kind;
    std::uint64_t count;
    std::uint64_t elementSize;
};

struct StorageMap {
    const char* name;    // registration name
    const char* version; // appended as "_Ver<version>"
    bool checksummed;
    std::vector<StorageField> fields;
};

const std::vector<StorageMap>& storageMaps();

// "Map.field" or "Map.field[index]"; nullopt with a message when unknown.
struct FieldRef {
    const StorageMap* map;
    const StorageField* field;
    std::uint64_t index;
};
std::optional<FieldRef> findField(const std::string& text, std::string& error);

// The requests, on an open "smu_kelvo" handle. Each prints its result and
// answers false when a request failed.
// Every map's checksum and head, and the serial number.
bool showStorageMaps(int handle);
// One field's element as text: a number, a version, a string or hex bytes.
bool getField(int handle, const FieldRef& ref);
// The bytes of one element of ref's field from text (a number, a version
// text, a string or hex bytes by the field's kind); false with a message.
bool parseFieldValue(const FieldRef& ref, const std::string& text, std::vector<std::uint8_t>& bytes,
                     std::string& error);
// Writes one element (bytes from parseFieldValue of text) and flushes its map.
bool setField(int handle, const FieldRef& ref, const std::string& text,
              const std::vector<std::uint8_t>& bytes);

} // namespace kelvo_tool
