// Growable text in kernel memory. A failed growth sets the error flag, which
// stays until clear: appends then do nothing. The storage (none while empty)
// goes with the object.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/memory.h"

namespace kelvo_driver::nVOAPAL000 {

class tBasicString : public tObject {
public:
    tBasicString() = default;
    ~tBasicString();
    tBasicString(const tBasicString&) = delete;
    tBasicString& operator=(const tBasicString&) = delete;

    // Appends length characters of text; false (and the error flag set) when
    // storage cannot be had.
    bool append(const char* text, size_t length);
    bool append(const char* text);
    // Appends value as upper-case hexadecimal of at least digits digits.
    bool appendHex(uint32_t value, uint32_t digits);
    void clear();

    // The text; "" while empty.
    const char* c_str() const { return data_ != nullptr ? data_ : ""; }
    size_t length() const { return length_; }
    bool isEmpty() const { return length_ == 0; }
    bool hasError() const { return error_; }

private:
    char* data_ = nullptr;
    size_t capacity_ = 0; // bytes of data_, the NUL included
    size_t length_ = 0;
    bool error_ = false;
};

} // namespace kelvo_driver::nVOAPAL000
