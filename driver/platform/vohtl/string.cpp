#include "platform/vohtl/string.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace vohtl {

namespace internal {

bool appendText(char*& data, size_t& capacity, size_t& length, const char* text, size_t count) {
    if (count == 0) {
        return true;
    }
    if (count > SIZE_MAX - 1 - length) {
        return false;
    }
    const size_t needed = length + count;
    if (needed <= capacity && data != nullptr) {
        nVOKAL180_memMove(data + length, text, count);
    } else {
        size_t grown = capacity <= (SIZE_MAX - 1) / 2 ? capacity * 2 : SIZE_MAX - 1;
        if (grown < needed) {
            grown = needed;
        }
        auto* storage = static_cast<char*>(nVOKAL100_malloc(grown + 1));
        if (storage == nullptr) {
            return false;
        }
        // The old storage stays until both copies are made: text may lie in it.
        if (length != 0) {
            nVOKAL180_memCpy(storage, data, length);
        }
        nVOKAL180_memCpy(storage + length, text, count);
        nVOKAL100_free(data);
        data = storage;
        capacity = grown;
    }
    length = needed;
    data[length] = '\0';
    return true;
}

void releaseText(char*& data, size_t& capacity, size_t& length) {
    nVOKAL100_free(data);
    data = nullptr;
    capacity = 0;
    length = 0;
}

} // namespace internal

BasicString::BasicString(const char* text, size_t length, nVOAPALS100::tStatus& status) {
    assign(text, length, status);
}

BasicString::~BasicString() {
    internal::releaseText(data_, capacity_, length_);
}

BasicString::BasicString(BasicString&& other) noexcept
    : data_(other.data_), capacity_(other.capacity_), length_(other.length_) {
    other.data_ = nullptr;
    other.capacity_ = 0;
    other.length_ = 0;
}

BasicString& BasicString::operator=(BasicString&& other) noexcept {
    if (this != &other) {
        internal::releaseText(data_, capacity_, length_);
        data_ = other.data_;
        capacity_ = other.capacity_;
        length_ = other.length_;
        other.data_ = nullptr;
        other.capacity_ = 0;
        other.length_ = 0;
    }
    return *this;
}

bool BasicString::assign(const char* text, nVOAPALS100::tStatus& status) {
    return assign(text, vosdbg_strlen(text), status);
}

bool BasicString::assign(const char* text, size_t length, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    if (text == nullptr && length != 0) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return false;
    }
    if (length == 0) {
        clear();
        return true;
    }
    if (data_ != nullptr && length <= capacity_) {
        nVOKAL180_memMove(data_, text, length); // text may lie in this string
        length_ = length;
        data_[length_] = '\0';
        return true;
    }
    char* data = nullptr;
    size_t capacity = 0;
    size_t newLength = 0;
    if (!internal::appendText(data, capacity, newLength, text, length)) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
        return false;
    }
    internal::releaseText(data_, capacity_, length_);
    data_ = data;
    capacity_ = capacity;
    length_ = newLength;
    return true;
}

bool BasicString::append(const char* text, nVOAPALS100::tStatus& status) {
    return append(text, vosdbg_strlen(text), status);
}

bool BasicString::append(const char* text, size_t length, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    if (text == nullptr && length != 0) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return false;
    }
    if (!internal::appendText(data_, capacity_, length_, text, length)) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
        return false;
    }
    return true;
}

void BasicString::erase(size_t position, size_t count) {
    const bool inside = position <= length_;
    if (!inside) {
        VOSDBG_ASSERT(inside);
        return;
    }
    if (count > length_ - position) {
        count = length_ - position;
    }
    if (count == 0) {
        return;
    }
    if (count == length_) {
        clear();
        return;
    }
    nVOKAL180_memMove(data_ + position, data_ + position + count, length_ - position - count);
    length_ -= count;
    data_[length_] = '\0';
}

void BasicString::clear() {
    internal::releaseText(data_, capacity_, length_);
}

char BasicString::operator[](size_t index) const {
    VOSDBG_ASSERT_CMP(index, <, length_);
    return index < length_ ? data_[index] : '\0';
}

} // namespace vohtl
