#include "framework/dispatcher_base.h"

namespace voregitools::internal {

tLookupName splitLookupName(const char* text) {
    for (size_t i = 0;; ++i) {
        const char c = text[i];
        if (c == '\0') {
            return {i, nullptr};
        }
        // A terminator inside the marker's length ends the comparison first.
        if (c == kVersionMarker[0] && text[i + 1] == kVersionMarker[1] && text[i + 2] == kVersionMarker[2] &&
            text[i + 3] == kVersionMarker[3]) {
            return {i, text + i + kVersionMarkerLength};
        }
    }
}

size_t textLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

bool sameText(const vohtl::BasicString& name, const char* text, size_t length) {
    return name.length() == length && __builtin_memcmp(name.c_str(), text, length) == 0;
}

// Eight bytes at a time, each word mixed in by a multiplication; the tail
// and the length go into the last word.
uint64_t hashText(const char* text, size_t length) {
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    uint64_t hash = 0x243F6A8885A308D3ull;
    size_t at = 0;
    for (; at + 8 <= length; at += 8) {
        uint64_t word;
        __builtin_memcpy(&word, text + at, 8);
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 29;
    }
    uint64_t tail = static_cast<uint64_t>(length) << 56;
    for (size_t i = 0; at + i < length; ++i) {
        tail ^= static_cast<uint64_t>(static_cast<unsigned char>(text[at + i])) << (8 * i);
    }
    hash = (hash ^ tail) * kMultiplier;
    hash ^= hash >> 32;
    return hash;
}

void setRegistryCode(nVOAPALS100::tStatus& status, int64_t code, const char* source, uint64_t line) {
    nVOAPAL200_setStatus(&status, code, KELVO_COMPONENT, source, line);
}

} // namespace voregitools::internal
