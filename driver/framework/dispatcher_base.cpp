#include "framework/dispatcher_base.h"

namespace voregitools::internal {

static bool equalBytes(const char* left, const char* right, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (left[i] != right[i]) {
            return false;
        }
    }
    return true;
}

size_t textLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

bool sameText(const vohtl::BasicString& name, const char* text, size_t length) {
    return name.length() == length && equalBytes(name.c_str(), text, length);
}

size_t findVersionMarker(const char* text, size_t length) {
    if (length < kVersionMarkerLength) {
        return length;
    }
    for (size_t i = 0; i + kVersionMarkerLength <= length; ++i) {
        if (equalBytes(text + i, kVersionMarker, kVersionMarkerLength)) {
            return i;
        }
    }
    return length;
}

void setRegistryCode(nVOAPALS100::tStatus& status, int64_t code, const char* source, uint64_t line) {
    nVOAPAL200_setStatus(&status, code, KELVO_COMPONENT, source, line);
}

} // namespace voregitools::internal
