// A property that a device registers with the kernel layer.
#pragma once

#include <stdint.h>

namespace kelvo_driver::nVOAPAL000 {

// Type codes of the kernel layer: how the value word is handed over.
constexpr uint64_t kPropertyTypeInt32 = 50;  // address of the value word, 4 bytes (may be negative)
constexpr uint64_t kPropertyTypeUInt32 = 51; // address of the value word, 4 bytes
constexpr uint64_t kPropertyTypeString = 85; // the value word holds a pointer to NUL-terminated text

struct tProperty {
    const char* name;
    uint64_t typeCode;
    uint64_t kernelHandle; // 0 until registered
    uint64_t value;
};

} // namespace kelvo_driver::nVOAPAL000
