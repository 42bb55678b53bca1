// Growable vector: {capacity, size, data}, storage from the kernel layer.
//
// Nothing throws: an operation that needs memory takes a status, does nothing
// when the status already holds an error, and reports -52000 when the storage
// cannot be had (the vector is then unchanged). Elements keep their order
// through insertion and erasure; growth moves them into the new storage.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <new>
#include <type_traits>
#include <utility>

#include "nVOKAL.h"
#include "platform/status.h"
#include "platform/vosdbg.h"

namespace vohtl {

template <typename T> class Vector {
    static_assert(alignof(T) <= 16, "kernel-layer blocks are 16-byte aligned");

public:
    Vector() = default;
    ~Vector() {
        destroy(data_, size_);
        nVOKAL100_free(data_);
    }
    Vector(const Vector&) = delete;
    Vector& operator=(const Vector&) = delete;
    Vector(Vector&& other) noexcept : capacity_(other.capacity_), size_(other.size_), data_(other.data_) {
        other.capacity_ = 0;
        other.size_ = 0;
        other.data_ = nullptr;
    }
    Vector& operator=(Vector&& other) noexcept {
        if (this != &other) {
            destroy(data_, size_);
            nVOKAL100_free(data_);
            capacity_ = other.capacity_;
            size_ = other.size_;
            data_ = other.data_;
            other.capacity_ = 0;
            other.size_ = 0;
            other.data_ = nullptr;
        }
        return *this;
    }

    // The largest element count whose storage size fits in 64 bits.
    static constexpr size_t kMaxSize = SIZE_MAX / sizeof(T);

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    T& operator[](size_t index) {
        VOSDBG_ASSERT_CMP(index, <, size_);
        return data_[index];
    }
    const T& operator[](size_t index) const {
        VOSDBG_ASSERT_CMP(index, <, size_);
        return data_[index];
    }
    T& back() { return (*this)[size_ - 1]; }
    const T& back() const { return (*this)[size_ - 1]; }

    // Grows the storage to exactly `capacity` elements when it is smaller.
    bool reserve(size_t capacity, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return false;
        }
        if (capacity <= capacity_) {
            return true;
        }
        T* storage = allocate(capacity, status);
        if (storage == nullptr) {
            return false;
        }
        relocate(storage, data_, size_);
        adopt(storage, capacity);
        return true;
    }

    // Sets the size of a vector of plain elements without writing the new
    // ones: for a buffer its caller fills whole at once (a decompressed
    // image), where zeroing it first would only cost a pass over it.
    bool resizeForOverwrite(size_t count, nVOAPALS100::tStatus& status) {
        static_assert(__is_trivial(T), "only plain elements may be left unwritten");
        if (status.isFatal() || (count > size_ && !reserve(count, status))) {
            return false;
        }
        size_ = count;
        return true;
    }

    // Sets the size: new elements are value-initialised (zero for plain
    // types), surplus ones destroyed. Growth is to exactly `count`.
    bool resize(size_t count, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return false;
        }
        if (count <= size_) {
            destroy(data_ + count, size_ - count);
            size_ = count;
            return true;
        }
        if (!reserve(count, status)) {
            return false;
        }
        if constexpr (__is_trivial(T)) {
            // Plain elements are zero: one memset (the kernel flags keep the
            // compiler from turning the loop below into one; a multi-megabyte
            // firmware buffer is zeroed here).
            __builtin_memset(static_cast<void*>(data_ + size_), 0, (count - size_) * sizeof(T));
        } else {
            for (size_t i = size_; i < count; ++i) {
                ::new (static_cast<void*>(data_ + i)) T();
            }
        }
        size_ = count;
        return true;
    }

    bool pushBack(const T& value, nVOAPALS100::tStatus& status) { return insert(size_, value, status); }
    bool pushBack(T&& value, nVOAPALS100::tStatus& status) { return insert(size_, std::move(value), status); }

    // Inserts before position index (index == size appends). An index past
    // the end is refused with -52005.
    bool insert(size_t index, const T& value, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return false;
        }
        T copy(value); // value may be an element of this vector
        return insert(index, std::move(copy), status);
    }
    bool insert(size_t index, T&& value, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return false;
        }
        if (index > size_) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
            return false;
        }
        if (size_ == capacity_) {
            const size_t capacity = grownCapacity();
            if (capacity == size_) { // no room can be addressed
                KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
                return false;
            }
            T* storage = allocate(capacity, status);
            if (storage == nullptr) {
                return false;
            }
            ::new (static_cast<void*>(storage + index)) T(std::move(value));
            relocate(storage, data_, index);
            relocate(storage + index + 1, data_ + index, size_ - index);
            adopt(storage, capacity);
            ++size_;
            return true;
        }
        if (index == size_) {
            ::new (static_cast<void*>(data_ + size_)) T(std::move(value));
        } else {
            T moved(std::move(value));
            ::new (static_cast<void*>(data_ + size_)) T(std::move(data_[size_ - 1]));
            for (size_t i = size_ - 1; i > index; --i) {
                data_[i] = std::move(data_[i - 1]);
            }
            data_[index] = std::move(moved);
        }
        ++size_;
        return true;
    }

    // Removes the elements [first, last); the later ones move down in order.
    void erase(size_t first, size_t last) {
        const bool validRange = first <= last && last <= size_;
        if (!validRange) {
            VOSDBG_ASSERT(validRange);
            return;
        }
        const size_t count = last - first;
        if (count == 0) {
            return;
        }
        for (size_t i = first; i + count < size_; ++i) {
            data_[i] = std::move(data_[i + count]);
        }
        destroy(data_ + size_ - count, count);
        size_ -= count;
    }
    void erase(size_t index) { erase(index, index + 1); }

    void popBack() {
        if (size_ == 0) {
            VOSDBG_ASSERT(size_ != 0);
            return;
        }
        erase(size_ - 1, size_);
    }

    // Destroys every element; the storage stays until the vector goes away.
    void clear() {
        destroy(data_, size_);
        size_ = 0;
    }

private:
    size_t grownCapacity() const {
        if (capacity_ < 4) {
            return 4 <= kMaxSize ? 4 : kMaxSize;
        }
        return capacity_ <= kMaxSize / 2 ? capacity_ * 2 : kMaxSize;
    }

    static T* allocate(size_t capacity, nVOAPALS100::tStatus& status) {
        void* block = capacity <= kMaxSize ? nVOKAL100_malloc(capacity * sizeof(T)) : nullptr;
        if (block == nullptr) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
        }
        return static_cast<T*>(block);
    }

    void adopt(T* storage, size_t capacity) {
        nVOKAL100_free(data_);
        data_ = storage;
        capacity_ = capacity;
    }

    // Moves count elements into raw storage and ends the sources.
    static void relocate(T* destination, T* source, size_t count) {
        if constexpr (std::is_trivially_copyable_v<T>) {
            if (count != 0) {
                __builtin_memcpy(static_cast<void*>(destination), static_cast<const void*>(source),
                                 count * sizeof(T));
            }
        } else {
            for (size_t i = 0; i < count; ++i) {
                ::new (static_cast<void*>(destination + i)) T(std::move(source[i]));
                source[i].~T();
            }
        }
    }

    static void destroy(T* first, size_t count) {
        if constexpr (!std::is_trivially_destructible_v<T>) {
            for (size_t i = 0; i < count; ++i) {
                first[i].~T();
            }
        }
    }

    size_t capacity_ = 0;
    size_t size_ = 0;
    T* data_ = nullptr;
};

} // namespace vohtl
