#include "platform/basicstring.h"

#include "platform/vohtl/string.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

tBasicString::~tBasicString() {
    vohtl::internal::releaseText(data_, capacity_, length_);
}

void tBasicString::append(const char* text) {
    append(text, vosdbg_strlen(text));
}

void tBasicString::append(const char* text, size_t length) {
    if (error_ || length == 0) {
        return;
    }
    if (text == nullptr) {
        VOSDBG_ASSERT(text != nullptr);
        return;
    }
    if (!vohtl::internal::appendText(data_, capacity_, length_, text, length)) {
        error_ = true;
    }
}

void tBasicString::appendHex(uint32_t value, uint32_t digits) {
    char hex[vosdbg_kDigitsSize];
    const size_t count = vosdbg_formatUnsigned(hex, value, 16, true);
    char text[16];
    size_t length = 0;
    for (uint32_t pad = static_cast<uint32_t>(count); pad < digits && length < 8; ++pad) {
        text[length++] = '0';
    }
    for (size_t i = 0; i < count; ++i) {
        text[length++] = hex[i];
    }
    append(text, length);
}

void tBasicString::clear() {
    vohtl::internal::releaseText(data_, capacity_, length_);
    data_ = nullptr;
    capacity_ = 0;
    length_ = 0;
    error_ = false;
}

} // namespace kelvo_driver::nVOAPAL000
