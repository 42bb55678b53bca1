// The storage-map framework: a map is a named, typed view of one region of a
// device window, made of fields; each field is an array of fixed-size
// elements with a type code. StorageMapCommon supplies typed, string and raw
// element access, counts and sizes, the CRC-32 checksum field, and flush and
// refresh of the whole region. A concrete map adds its static field records,
// its version texts, its checksum object and its per-field accessors.
//
// The typed accessors take the field record as a template argument, so the
// element type always matches the field's type code at compile time.
//
// The framework takes no lock: the storage-map dispatcher and the driver's
// own readers hold the map's registration mutex around each operation.
#pragma once

#include <stdint.h>

#include "windows/device_window.h"
#include "storage/storage_map_interface.h"
#include "platform/status.h"
#include "platform/vohtl/string.h"
#include "storage/crc32.h"

namespace storagemap {

// Codes of the framework.
constexpr int64_t kStorageMapRange = KELVO_STATUS_INDEX_OUT_OF_RANGE;
constexpr int64_t kStorageMapElementSize = KELVO_STATUS_WRONG_ELEMENT_SIZE;
constexpr int64_t kStorageMapNullValues = KELVO_STATUS_NULL_POINTER;
constexpr int64_t kStorageMapUnknownField = KELVO_STATUS_UNKNOWN_FIELD;
constexpr int64_t kStorageMapWrongType = KELVO_STATUS_WRONG_FIELD_TYPE;
constexpr int64_t kStorageMapNoChecksum = KELVO_STATUS_NO_CHECKSUM;
constexpr int64_t kStorageMapChecksumField = KELVO_STATUS_CHECKSUM_FIELD_WRITE;

// Type codes of the fields.
enum TypeCode : uint32_t {
    kTypeValue128 = 0, // four 32-bit words (calibration coefficients)
    kTypeString = 1,   // NUL-padded to the element size
    kTypeVersion = 5,  // version word
    kTypeTimestamp = 8,
    kTypeU8 = 9,
    kTypeOpaque64 = 10, // raw access only
    kTypeU32 = 12,
};

struct Value128 {
    uint32_t words[4];
};
struct Timestamp {
    uint64_t words[2];
};

// The element type of a type code.
template <uint32_t kCode> struct ElementOf;
template <> struct ElementOf<kTypeValue128> { using type = Value128; };
template <> struct ElementOf<kTypeVersion> { using type = uint32_t; };
template <> struct ElementOf<kTypeTimestamp> { using type = Timestamp; };
template <> struct ElementOf<kTypeU8> { using type = uint8_t; };
template <> struct ElementOf<kTypeU32> { using type = uint32_t; };

struct FieldInfo {
    const char* name;
    uint32_t fieldId; // equals byteOffset in every map of this driver
    uint64_t byteOffset;
    uint64_t elementCount;
    uint64_t stride;
    uint32_t typeCode;
    uint64_t elementSize;
    uint8_t reverseWordOrder; // the element's four 32-bit words are stored reversed
};

// A field record whose stride is its element size and whose id is its offset.
constexpr FieldInfo field(const char* name, uint32_t offset, uint32_t typeCode, uint64_t count,
                          uint64_t elementSize) {
    return FieldInfo{name, offset, offset, count, elementSize, typeCode, elementSize, 0};
}

class StorageMapCommon : public StorageMapInterface {
public:
    // fields: the map's static records (count of them); checksum and
    // checksumField both set or both null (an invariant). byteOrder 1:
    // elements other than strings are byte-reversed on their way to the window.
    StorageMapCommon(const char* version, const char* oldestCompatibleVersion, uint32_t byteOrder,
                     uint64_t baseOffset, uint64_t sizeInBytes, const ChecksumInterface* checksum,
                     const FieldInfo* checksumField, devicewindow::DeviceWindow& window,
                     const FieldInfo* fields, uint32_t fieldCount);
    ~StorageMapCommon() override = default;
    StorageMapCommon(const StorageMapCommon&) = delete;
    StorageMapCommon& operator=(const StorageMapCommon&) = delete;

    const char* getVersion() const override { return version_; }
    const char* getOldestCompatibleVersion() const override { return oldestCompatibleVersion_; }
    void flush(bool force, nVOAPALS100::tStatus& status) override;
    void refresh(nVOAPALS100::tStatus& status) override;
    uint64_t getElementCount(uint32_t fieldId, nVOAPALS100::tStatus& status) override;
    uint64_t getElementSize(uint32_t fieldId, nVOAPALS100::tStatus& status) override;
    void setRaw(uint32_t fieldId, uint64_t index, uint64_t count, const void* values, uint64_t elementSize,
                nVOAPALS100::tStatus& status) override;
    void getRaw(uint32_t fieldId, uint64_t index, uint64_t count, void* values, uint64_t elementSize,
                nVOAPALS100::tStatus& status) override;
    void validateRaw(uint32_t fieldId, uint64_t index, uint64_t count, uint64_t elementSize, bool write,
                     nVOAPALS100::tStatus& status) override;
    bool isChecksumValid(nVOAPALS100::tStatus& status) override;

    // The record of a field id; -240035 and null for any other.
    virtual const FieldInfo* getFieldInfo(uint32_t fieldId, nVOAPALS100::tStatus& status) const;

    // Typed access to count elements of kField from index.
    template <const FieldInfo& kField>
    void get(uint64_t index, uint64_t count, typename ElementOf<kField.typeCode>::type* values,
             nVOAPALS100::tStatus& status) {
        static_assert(sizeof(*values) == kField.elementSize, "element type and field size differ");
        transfer(kField.fieldId, index, count, values, sizeof(*values), kTyped, false, status);
    }
    template <const FieldInfo& kField>
    void set(uint64_t index, uint64_t count, const typename ElementOf<kField.typeCode>::type* values,
             nVOAPALS100::tStatus& status) {
        static_assert(sizeof(*values) == kField.elementSize, "element type and field size differ");
        transfer(kField.fieldId, index, count, const_cast<void*>(static_cast<const void*>(values)),
                 sizeof(*values), kTyped, true, status);
    }
    // String access (type code 1).
    void getString(uint32_t fieldId, uint64_t index, uint64_t count, vohtl::BasicString* values,
                   nVOAPALS100::tStatus& status);
    void setString(uint32_t fieldId, uint64_t index, uint64_t count, const vohtl::BasicString* values,
                   nVOAPALS100::tStatus& status);
    template <const FieldInfo& kField>
    void get(uint64_t index, uint64_t count, vohtl::BasicString* values, nVOAPALS100::tStatus& status) {
        static_assert(kField.typeCode == kTypeString, "not a string field");
        getString(kField.fieldId, index, count, values, status);
    }
    template <const FieldInfo& kField>
    void set(uint64_t index, uint64_t count, const vohtl::BasicString* values, nVOAPALS100::tStatus& status) {
        static_assert(kField.typeCode == kTypeString, "not a string field");
        setString(kField.fieldId, index, count, values, status);
    }

    // Writes the CRC-32 of the map without its checksum field into it (the
    // window's copy).
    void updateChecksum(nVOAPALS100::tStatus& status);

    uint64_t getBaseOffset() const { return baseOffset_; }
    uint64_t getSizeInBytes() const { return sizeInBytes_; }

protected:
    enum tAccess { kRaw, kTyped };
    // The checks of one access, in the framework's order; the record or null.
    const FieldInfo* admit(uint32_t fieldId, uint64_t index, uint64_t count, const void* values,
                           uint64_t elementSize, tAccess access, bool write, uint32_t typeCode,
                           nVOAPALS100::tStatus& status) const;
    void transfer(uint32_t fieldId, uint64_t index, uint64_t count, void* values, uint64_t elementSize,
                  tAccess access, bool write, nVOAPALS100::tStatus& status);
    void readElement(const FieldInfo& field, uint64_t index, uint8_t* destination,
                     nVOAPALS100::tStatus& status);
    void writeElement(const FieldInfo& field, uint64_t index, const uint8_t* source,
                      nVOAPALS100::tStatus& status);
    uint32_t computeChecksum(nVOAPALS100::tStatus& status);

private:
    const char* version_;
    const char* oldestCompatibleVersion_;
    uint32_t byteOrder_;
    uint64_t baseOffset_;
    uint64_t sizeInBytes_;
    const ChecksumInterface* checksum_;
    const FieldInfo* checksumField_;
    devicewindow::DeviceWindow& window_;
    const FieldInfo* fields_;
    uint32_t fieldCount_;
};

} // namespace storagemap
