// The storage maps' checksum: CRC-32 of IEEE 802.3 (reflected polynomial
// 0xEDB88320, preset 0xFFFFFFFF, result inverted), table-driven: 40 bytes per
// round as five interleaved eight-byte streams ("braids", each word through
// an eight-way sliced table), then the remaining bytes one by one.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace storagemap {

class ChecksumInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~ChecksumInterface() = default;
    virtual uint32_t compute(const uint8_t* bytes, uint64_t length, nVOAPALS100::tStatus& status) const = 0;
};

// The CRC-32 of length bytes, continuing from crc (0 to start).
uint32_t crc32(uint32_t crc, const uint8_t* bytes, uint64_t length);

class CRC32Checksum : public ChecksumInterface {
public:
    // Null bytes give 0xFFFFFFFF, as does a failed status (nothing computed).
    uint32_t compute(const uint8_t* bytes, uint64_t length, nVOAPALS100::tStatus& status) const override {
        if (status.isFatal() || bytes == nullptr) {
            return 0xFFFFFFFF;
        }
        return crc32(0, bytes, length);
    }
};

} // namespace storagemap
