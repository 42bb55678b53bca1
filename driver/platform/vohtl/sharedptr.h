// Shared pointer with a weak count.
//
// The control block comes from the driver's allocator; the object must derive
// from kelvo_driver::nVOAPAL000::tObject (it is deleted with its own class's
// deallocation). The counts change with atomic operations, so copies may be
// made and dropped on several threads at once; one pointer object itself is
// not to be changed by two threads at once.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <type_traits>
#include <utility>

#include "platform/memory.h"
#include "platform/status.h"

namespace vohtl {

template <typename T> class SharedPtr;
template <typename T> class WeakPtr;

namespace internal {

// Control block: the strong count, and the weak count, which holds one more
// reference for as long as the strong count is above 0.
class tSharedCount : public kelvo_driver::nVOAPAL000::tObject {
public:
    using tDestroy = void (*)(void* object);

    tSharedCount(void* object, tDestroy destroyFunction) : object_(object), destroy_(destroyFunction) {}
    tSharedCount(const tSharedCount&) = delete;
    tSharedCount& operator=(const tSharedCount&) = delete;

    void addStrong() { __atomic_fetch_add(&strong_, 1, __ATOMIC_RELAXED); }
    // Adds a strong reference unless the object is already gone.
    bool addStrongIfAlive() {
        uint32_t count = __atomic_load_n(&strong_, __ATOMIC_RELAXED);
        while (count != 0) {
            if (__atomic_compare_exchange_n(&strong_, &count, count + 1, true, __ATOMIC_ACQ_REL,
                                            __ATOMIC_RELAXED)) {
                return true;
            }
        }
        return false;
    }
    // The last strong release deletes the object.
    void releaseStrong() {
        if (__atomic_sub_fetch(&strong_, 1, __ATOMIC_ACQ_REL) == 0) {
            destroy_(object_);
            releaseWeak();
        }
    }
    void addWeak() { __atomic_fetch_add(&weak_, 1, __ATOMIC_RELAXED); }
    // The last weak release frees the control block.
    void releaseWeak() {
        if (__atomic_sub_fetch(&weak_, 1, __ATOMIC_ACQ_REL) == 0) {
            delete this;
        }
    }
    uint32_t strongCount() const { return __atomic_load_n(&strong_, __ATOMIC_ACQUIRE); }
    // Weak references held by weak pointers (not counting the strong ones' share).
    uint32_t weakCount() const {
        const uint32_t weak = __atomic_load_n(&weak_, __ATOMIC_ACQUIRE);
        return strongCount() != 0 ? weak - 1 : weak;
    }

private:
    ~tSharedCount() = default;

    void* object_;
    tDestroy destroy_;
    uint32_t strong_ = 1;
    uint32_t weak_ = 1;
};

template <typename U> void destroySharedObject(void* object) {
    delete static_cast<U*>(object);
}

} // namespace internal

template <typename T> class SharedPtr {
public:
    SharedPtr() = default;
    SharedPtr(decltype(nullptr)) {}

    // Takes ownership of object (may be null: an empty pointer). When the
    // control block cannot be had (-52000, or the status already held an
    // error) the object is deleted and the pointer stays empty, so nothing leaks.
    template <typename U> SharedPtr(U* object, nVOAPALS100::tStatus& status) {
        static_assert(std::is_base_of_v<kelvo_driver::nVOAPAL000::tObject, U>,
                      "shared objects come from the driver's allocator");
        static_assert(std::is_convertible_v<U*, T*>);
        if (object == nullptr) {
            return;
        }
        count_ = new (status, false) internal::tSharedCount(object, &internal::destroySharedObject<U>);
        if (count_ == nullptr) {
            delete object;
            return;
        }
        object_ = object;
    }

    SharedPtr(const SharedPtr& other) : object_(other.object_), count_(other.count_) {
        if (count_ != nullptr) {
            count_->addStrong();
        }
    }
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    SharedPtr(const SharedPtr<U>& other) : object_(other.object_), count_(other.count_) {
        if (count_ != nullptr) {
            count_->addStrong();
        }
    }
    SharedPtr(SharedPtr&& other) noexcept : object_(other.object_), count_(other.count_) {
        other.object_ = nullptr;
        other.count_ = nullptr;
    }
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    SharedPtr(SharedPtr<U>&& other) noexcept : object_(other.object_), count_(other.count_) {
        other.object_ = nullptr;
        other.count_ = nullptr;
    }
    ~SharedPtr() { reset(); }

    SharedPtr& operator=(const SharedPtr& other) {
        SharedPtr(other).swap(*this);
        return *this;
    }
    SharedPtr& operator=(SharedPtr&& other) noexcept {
        SharedPtr(std::move(other)).swap(*this);
        return *this;
    }

    // Drops this reference; the last one deletes the object.
    void reset() {
        internal::tSharedCount* count = count_;
        object_ = nullptr;
        count_ = nullptr;
        if (count != nullptr) {
            count->releaseStrong();
        }
    }
    void swap(SharedPtr& other) noexcept {
        std::swap(object_, other.object_);
        std::swap(count_, other.count_);
    }

    T* get() const { return object_; }
    T& operator*() const { return *object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Strong references to the object (0 for an empty pointer).
    uint32_t useCount() const { return count_ != nullptr ? count_->strongCount() : 0; }
    // Weak pointers to the object (0 for an empty pointer).
    uint32_t weakCount() const { return count_ != nullptr ? count_->weakCount() : 0; }

private:
    template <typename> friend class SharedPtr;
    template <typename> friend class WeakPtr;

    T* object_ = nullptr;
    internal::tSharedCount* count_ = nullptr;
};

template <typename T, typename U>
inline bool operator==(const SharedPtr<T>& left, const SharedPtr<U>& right) {
    return left.get() == right.get();
}

// A reference that does not keep the object alive; lock() gives a shared
// pointer while the object lives, an empty one afterwards.
template <typename T> class WeakPtr {
public:
    WeakPtr() = default;
    WeakPtr(const SharedPtr<T>& shared) : object_(shared.object_), count_(shared.count_) {
        if (count_ != nullptr) {
            count_->addWeak();
        }
    }
    WeakPtr(const WeakPtr& other) : object_(other.object_), count_(other.count_) {
        if (count_ != nullptr) {
            count_->addWeak();
        }
    }
    WeakPtr(WeakPtr&& other) noexcept : object_(other.object_), count_(other.count_) {
        other.object_ = nullptr;
        other.count_ = nullptr;
    }
    ~WeakPtr() { reset(); }
    WeakPtr& operator=(const WeakPtr& other) {
        WeakPtr(other).swap(*this);
        return *this;
    }
    WeakPtr& operator=(WeakPtr&& other) noexcept {
        WeakPtr(std::move(other)).swap(*this);
        return *this;
    }

    void reset() {
        internal::tSharedCount* count = count_;
        object_ = nullptr;
        count_ = nullptr;
        if (count != nullptr) {
            count->releaseWeak();
        }
    }
    void swap(WeakPtr& other) noexcept {
        std::swap(object_, other.object_);
        std::swap(count_, other.count_);
    }

    SharedPtr<T> lock() const {
        SharedPtr<T> shared;
        if (count_ != nullptr && count_->addStrongIfAlive()) {
            shared.object_ = object_;
            shared.count_ = count_;
        }
        return shared;
    }
    bool expired() const { return count_ == nullptr || count_->strongCount() == 0; }

private:
    T* object_ = nullptr;
    internal::tSharedCount* count_ = nullptr;
};

} // namespace vohtl
