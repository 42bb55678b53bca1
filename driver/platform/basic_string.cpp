#include "platform/basic_string.h"

#include "nVOKAL.h"

namespace kelvo_driver::nVOAPAL000 {

tBasicString::~tBasicString() {
    nVOKAL100_free(data_);
}

bool tBasicString::append(const char* text, size_t length) {
    if (error_) {
        return false; // the text stays as it was when growth first failed
    }
    if (length == 0) {
        return true;
    }
    if (length > SIZE_MAX / 2 - length_) {
        error_ = true;
        return false;
    }
    const size_t needed = length_ + length + 1;
    if (needed > capacity_) {
        size_t capacity = capacity_ < 16 ? 16 : capacity_;
        while (capacity < needed) {
            capacity *= 2;
        }
        auto* grown = static_cast<char*>(nVOKAL100_malloc(capacity));
        if (grown == nullptr) {
            error_ = true;
            return false;
        }
        if (length_ != 0) {
            nVOKAL180_memCpy(grown, data_, length_);
        }
        nVOKAL100_free(data_);
        data_ = grown;
        capacity_ = capacity;
    }
    nVOKAL180_memCpy(data_ + length_, text, length);
    length_ += length;
    data_[length_] = '\0';
    return true;
}

bool tBasicString::append(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return append(text, length);
}

bool tBasicString::appendHex(uint32_t value, uint32_t digits) {
    char buffer[8];
    size_t count = 0;
    do {
        buffer[count++] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0 && count < sizeof(buffer));
    char text[16];
    size_t length = 0;
    for (uint32_t pad = static_cast<uint32_t>(count); pad < digits && length < 8; ++pad) {
        text[length++] = '0';
    }
    while (count > 0) {
        text[length++] = buffer[--count];
    }
    return append(text, length);
}

void tBasicString::clear() {
    nVOKAL100_free(data_);
    data_ = nullptr;
    capacity_ = 0;
    length_ = 0;
    error_ = false;
}

} // namespace kelvo_driver::nVOAPAL000
