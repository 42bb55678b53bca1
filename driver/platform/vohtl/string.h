// Growable text {data, capacity, length}, always NUL-terminated while it has
// storage. An empty string holds no storage; the storage goes with the string.
//
// Nothing throws: the operations that need memory take a status, do nothing
// when it already holds an error, report -52000 when the storage cannot be
// had and then leave the text unchanged. A source text may lie inside the
// string itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/status.h"

namespace vohtl {

namespace internal {
// Appends count characters of text (which may lie inside data); growth at
// least doubles the capacity. False (nothing changed) when memory is short.
bool appendText(char*& data, size_t& capacity, size_t& length, const char* text, size_t count);
// Frees the storage and empties the text.
void releaseText(char*& data, size_t& capacity, size_t& length);
} // namespace internal

class BasicString {
public:
    BasicString() = default;
    // A copy of length characters at text; a null text is only valid with length 0.
    BasicString(const char* text, size_t length, nVOAPALS100::tStatus& status);
    ~BasicString();
    BasicString(const BasicString&) = delete;
    BasicString& operator=(const BasicString&) = delete;
    BasicString(BasicString&& other) noexcept;
    BasicString& operator=(BasicString&& other) noexcept;

    // Replaces the text with a NUL-terminated text (null: empty).
    bool assign(const char* text, nVOAPALS100::tStatus& status);
    // Replaces the text with length characters at text.
    bool assign(const char* text, size_t length, nVOAPALS100::tStatus& status);
    // Appends a NUL-terminated text (null: nothing).
    bool append(const char* text, nVOAPALS100::tStatus& status);
    // Appends length characters at text.
    bool append(const char* text, size_t length, nVOAPALS100::tStatus& status);
    // Removes count characters from position on (fewer when the text ends
    // first); the rest moves down. A position past the end is an invariant
    // failure and changes nothing.
    void erase(size_t position, size_t count);
    // Empties the text and releases its storage.
    void clear();

    // The text, NUL-terminated ("" when empty).
    const char* c_str() const { return data_ != nullptr ? data_ : ""; }
    const char* data() const { return c_str(); }
    size_t length() const { return length_; }
    size_t size() const { return length_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }
    char operator[](size_t index) const;

private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
    size_t length_ = 0;
};

} // namespace vohtl
