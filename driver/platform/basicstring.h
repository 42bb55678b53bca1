// The platform's growable text {data, capacity, length, error flag}. It takes
// no status: a growth that cannot get memory sets the error flag, which stays
// set, and every later append does nothing. Its owner reports the flag as
// -52000. An empty text holds no storage; the storage goes with the text.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kelvo_driver::nVOAPAL000 {

class tBasicString {
public:
    tBasicString() = default;
    ~tBasicString();
    tBasicString(const tBasicString&) = delete;
    tBasicString& operator=(const tBasicString&) = delete;

    // Appends a NUL-terminated text (null: nothing).
    void append(const char* text);
    // Appends length characters at text (which may lie inside this text).
    void append(const char* text, size_t length);
    // Appends value in upper-case hexadecimal, zero-padded to at least digits digits (at most 8).
    void appendHex(uint32_t value, uint32_t digits);
    // Empties the text, releases its storage and clears the error flag.
    void clear();

    const char* c_str() const { return data_ != nullptr ? data_ : ""; }
    size_t length() const { return length_; }
    bool isEmpty() const { return length_ == 0; }
    size_t capacity() const { return capacity_; }
    bool hasError() const { return error_; }

private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
    size_t length_ = 0;
    bool error_ = false;
};

} // namespace kelvo_driver::nVOAPAL000
