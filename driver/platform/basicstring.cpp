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

} // namespace kelvo_driver::nVOAPAL000
