#include "storage/storage_map.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace storagemap {

using nVOAPALS100::tStatus;

namespace {

constexpr uint64_t kScratchSize = 16;

void reverseBytes(uint8_t* bytes, uint64_t size) {
    for (uint64_t i = 0; i < size / 2; ++i) {
        const uint8_t b = bytes[i];
        bytes[i] = bytes[size - 1 - i];
        bytes[size - 1 - i] = b;
    }
}

// Swaps 32-bit word 0 with word 3 and word 1 with word 2 of a 16-byte element.
void reverseWordOrder(uint8_t* bytes) {
    uint8_t words[16];
    __builtin_memcpy(words, bytes, 16);
    for (size_t w = 0; w < 4; ++w) {
        __builtin_memcpy(bytes + 4 * w, words + 4 * (3 - w), 4);
    }
}

} // namespace

StorageMapCommon::StorageMapCommon(const char* version, const char* oldestCompatibleVersion,
                                   uint32_t byteOrder, uint64_t baseOffset, uint64_t sizeInBytes,
                                   const ChecksumInterface* checksum, const FieldInfo* checksumField,
                                   devicewindow::DeviceWindow& window, const FieldInfo* fields,
                                   uint32_t fieldCount)
    : version_(version), oldestCompatibleVersion_(oldestCompatibleVersion), byteOrder_(byteOrder),
      baseOffset_(baseOffset), sizeInBytes_(sizeInBytes), checksum_(checksum), checksumField_(checksumField),
      window_(window), fields_(fields), fieldCount_(fieldCount) {
    VOSDBG_ASSERT((checksum_ == nullptr) == (checksumField_ == nullptr));
}

const FieldInfo* StorageMapCommon::getFieldInfo(uint32_t fieldId, tStatus& status) const {
    if (status.isFatal()) {
        return nullptr;
    }
    for (uint32_t i = 0; i < fieldCount_; ++i) {
        if (fields_[i].fieldId == fieldId) {
            return &fields_[i];
        }
    }
    KELVO_SET_STATUS(status, kStorageMapUnknownField);
    return nullptr;
}

uint64_t StorageMapCommon::getElementCount(uint32_t fieldId, tStatus& status) {
    const FieldInfo* info = getFieldInfo(fieldId, status);
    return info != nullptr ? info->elementCount : 0;
}

uint64_t StorageMapCommon::getElementSize(uint32_t fieldId, tStatus& status) {
    const FieldInfo* info = getFieldInfo(fieldId, status);
    return info != nullptr ? info->elementSize : 0;
}

const FieldInfo* StorageMapCommon::admit(uint32_t fieldId, uint64_t index, uint64_t count, const void* values,
                                         uint64_t elementSize, tAccess access, bool write, uint32_t typeCode,
                                         tStatus& status) const {
    const FieldInfo* info = getFieldInfo(fieldId, status);
    if (info == nullptr) {
        return nullptr;
    }
    if (values == nullptr) {
        KELVO_SET_STATUS(status, kStorageMapNullValues);
        return nullptr;
    }
    if (index >= info->elementCount || count > info->elementCount - index) {
        KELVO_SET_STATUS(status, kStorageMapRange);
        return nullptr;
    }
    if (access == kRaw && elementSize != info->elementSize) {
        KELVO_SET_STATUS(status, kStorageMapElementSize);
        return nullptr;
    }
    if (write && checksumField_ != nullptr && info->fieldId == checksumField_->fieldId) {
        KELVO_SET_STATUS(status, kStorageMapChecksumField);
        return nullptr;
    }
    if (access == kTyped && info->typeCode != typeCode) {
        KELVO_SET_STATUS(status, kStorageMapWrongType);
        return nullptr;
    }
    return info;
}

void StorageMapCommon::readElement(const FieldInfo& field, uint64_t index, uint8_t* destination,
                                   tStatus& status) {
    window_.get(baseOffset_ + field.byteOffset + index * field.stride, field.elementSize, destination,
                status);
    if (status.isFatal()) {
        return;
    }
    if (byteOrder_ == 1 && field.typeCode != kTypeString && field.elementSize >= 2) {
        reverseBytes(destination, field.elementSize);
    }
    if (field.reverseWordOrder != 0 && field.elementSize == kScratchSize) {
        reverseWordOrder(destination);
    }
}

void StorageMapCommon::writeElement(const FieldInfo& field, uint64_t index, const uint8_t* source,
                                    tStatus& status) {
    const uint64_t address = baseOffset_ + field.byteOffset + index * field.stride;
    const bool reverse = byteOrder_ == 1 && field.typeCode != kTypeString && field.elementSize >= 2;
    const bool reverseWords = field.reverseWordOrder != 0 && field.elementSize == kScratchSize;
    if ((reverse || reverseWords) && field.elementSize <= kScratchSize) {
        uint8_t scratch[kScratchSize];
        __builtin_memcpy(scratch, source, field.elementSize);
        if (reverse) {
            reverseBytes(scratch, field.elementSize);
        }
        if (reverseWords) {
            reverseWordOrder(scratch);
        }
        window_.set(scratch, address, field.elementSize, status);
        return;
    }
    window_.set(source, address, field.elementSize, status);
}

void StorageMapCommon::transfer(uint32_t fieldId, uint64_t index, uint64_t count, void* values,
                                uint64_t elementSize, tAccess access, bool write, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    uint32_t typeCode = 0;
    if (access == kTyped) {
        // The typed accessors name their field at compile time.
        tStatus local;
        const FieldInfo* info = getFieldInfo(fieldId, local);
        typeCode = info != nullptr ? info->typeCode : 0;
    }
    const FieldInfo* info =
        admit(fieldId, index, count, values, elementSize, access, write, typeCode, status);
    if (info == nullptr) {
        return;
    }
    auto* bytes = static_cast<uint8_t*>(values);
    for (uint64_t i = 0; i < count && status.isNotFatal(); ++i) {
        if (write) {
            writeElement(*info, index + i, bytes + i * info->elementSize, status);
        } else {
            readElement(*info, index + i, bytes + i * info->elementSize, status);
        }
    }
}

void StorageMapCommon::setRaw(uint32_t fieldId, uint64_t index, uint64_t count, const void* values,
                              uint64_t elementSize, tStatus& status) {
    transfer(fieldId, index, count, const_cast<void*>(values), elementSize, kRaw, true, status);
}

void StorageMapCommon::getRaw(uint32_t fieldId, uint64_t index, uint64_t count, void* values,
                              uint64_t elementSize, tStatus& status) {
    transfer(fieldId, index, count, values, elementSize, kRaw, false, status);
}

void StorageMapCommon::validateRaw(uint32_t fieldId, uint64_t index, uint64_t count, uint64_t elementSize,
                                   bool write, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    static const uint8_t kSomeBuffer = 0;
    admit(fieldId, index, count, count == 0 ? nullptr : &kSomeBuffer, elementSize, kRaw, write, 0, status);
}

void StorageMapCommon::getString(uint32_t fieldId, uint64_t index, uint64_t count, vohtl::BasicString* values,
                                 tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const FieldInfo* info = admit(fieldId, index, count, values, 0, kTyped, false, kTypeString, status);
    if (info == nullptr) {
        return;
    }
    const uint64_t size = info->elementSize;
    auto* buffer = static_cast<char*>(nVOAPAL200_malloc(size + 1, &status));
    if (buffer == nullptr) {
        return;
    }
    for (uint64_t i = 0; i < count && status.isNotFatal(); ++i) {
        nVOKAL240_memSet(buffer, 0, size + 1);
        window_.get(baseOffset_ + info->byteOffset + (index + i) * info->stride, size,
                    reinterpret_cast<uint8_t*>(buffer), status);
        if (status.isFatal()) {
            break;
        }
        uint64_t length = 0;
        while (length < size && buffer[length] != '\0') {
            ++length;
        }
        if (length == size) {
            length = 0; // no terminator inside the element: empty
        }
        values[i].assign(buffer, length, status);
    }
    nVOKAL100_free(buffer);
}

void StorageMapCommon::setString(uint32_t fieldId, uint64_t index, uint64_t count,
                                 const vohtl::BasicString* values, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const FieldInfo* info = admit(fieldId, index, count, values, 0, kTyped, true, kTypeString, status);
    if (info == nullptr) {
        return;
    }
    static const uint8_t kZero = 0;
    for (uint64_t i = 0; i < count && status.isNotFatal(); ++i) {
        const uint64_t length = values[i].length();
        if (length >= info->elementSize) {
            KELVO_SET_STATUS(status, kStorageMapRange);
            return;
        }
        const uint64_t address = baseOffset_ + info->byteOffset + (index + i) * info->stride;
        if (length != 0) {
            window_.set(reinterpret_cast<const uint8_t*>(values[i].c_str()), address, length, status);
        }
        for (uint64_t p = length; p < info->elementSize && status.isNotFatal(); ++p) {
            window_.set(&kZero, address + p, 1, status);
        }
    }
}

uint32_t StorageMapCommon::computeChecksum(tStatus& status) {
    // The map's bytes without the checksum field, read from the window.
    const uint64_t skipStart = checksumField_->byteOffset;
    const uint64_t skipEnd = skipStart + checksumField_->elementCount * checksumField_->stride;
    const uint64_t imageSize = sizeInBytes_ - (skipEnd - skipStart);
    auto* image = static_cast<uint8_t*>(nVOAPAL200_malloc(imageSize == 0 ? 1 : imageSize, &status));
    if (image == nullptr) {
        return 0xFFFFFFFF;
    }
    if (skipStart != 0) {
        window_.get(baseOffset_, skipStart, image, status);
    }
    if (skipEnd < sizeInBytes_) {
        window_.get(baseOffset_ + skipEnd, sizeInBytes_ - skipEnd, image + skipStart, status);
    }
    const uint32_t crc = checksum_->compute(image, imageSize, status);
    nVOKAL100_free(image);
    return crc;
}

bool StorageMapCommon::isChecksumValid(tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    if (checksum_ == nullptr) {
        KELVO_SET_STATUS(status, kStorageMapNoChecksum);
        return false;
    }
    const uint32_t computed = computeChecksum(status);
    uint8_t stored[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (status.isNotFatal()) {
        readElement(*checksumField_, 0, stored, status);
    }
    uint32_t value = 0;
    __builtin_memcpy(&value, stored, 4);
    return status.isNotFatal() && value == computed;
}

void StorageMapCommon::updateChecksum(tStatus& status) {
    if (status.isFatal() || checksum_ == nullptr) {
        return;
    }
    const uint32_t crc = computeChecksum(status);
    if (status.isNotFatal()) {
        uint8_t bytes[4];
        __builtin_memcpy(bytes, &crc, 4);
        writeElement(*checksumField_, 0, bytes, status);
    }
}

void StorageMapCommon::flush(bool force, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    updateChecksum(status);
    window_.flush(baseOffset_, sizeInBytes_, force, status);
}

void StorageMapCommon::refresh(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    window_.refresh(baseOffset_, sizeInBytes_, status);
}

} // namespace storagemap
