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

// The object and control block a pointer holds, and how it copies, moves and
// drops them: Strong selects the count one reference holds (the strong count
// for SharedPtr, the weak count for WeakPtr).
template <typename T, bool Strong> class tCountedRef {
public:
    tCountedRef() = default;
    // Adds a reference to count (when not null).
    tCountedRef(T* object, tSharedCount* count) : object_(object), count_(count) {
        if (count_ != nullptr) {
            if constexpr (Strong) {
                count_->addStrong();
            } else {
                count_->addWeak();
            }
        }
    }
    tCountedRef(const tCountedRef& other) : tCountedRef(other.object_, other.count_) {}
    tCountedRef(tCountedRef&& other) noexcept { takeFrom(other); }
    ~tCountedRef() { reset(); }
    tCountedRef& operator=(const tCountedRef& other) {
        tCountedRef(other).swap(*this);
        return *this;
    }
    tCountedRef& operator=(tCountedRef&& other) noexcept {
        tCountedRef(std::move(other)).swap(*this);
        return *this;
    }

    // Takes over other's reference, leaving other empty; this must be empty.
    template <typename U> void takeFrom(tCountedRef<U, Strong>& other) {
        object_ = other.object_;
        count_ = other.count_;
        other.object_ = nullptr;
        other.count_ = nullptr;
    }
    // Holds a reference already counted for it; this must be empty.
    void adopt(T* object, tSharedCount* count) {
        object_ = object;
        count_ = count;
    }
    // Drops the reference.
    void reset() {
        tSharedCount* count = count_;
        object_ = nullptr;
        count_ = nullptr;
        if (count != nullptr) {
            if constexpr (Strong) {
                count->releaseStrong();
            } else {
                count->releaseWeak();
            }
        }
    }
    void swap(tCountedRef& other) noexcept {
        std::swap(object_, other.object_);
        std::swap(count_, other.count_);
    }

    T* object() const { return object_; }
    tSharedCount* count() const { return count_; }

private:
    template <typename, bool> friend class tCountedRef;

    T* object_ = nullptr;
    tSharedCount* count_ = nullptr;
};

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
        auto* count = new (status, false) internal::tSharedCount(object, &internal::destroySharedObject<U>);
        if (count == nullptr) {
            delete object;
            return;
        }
        ref_.adopt(object, count);
    }

    SharedPtr(const SharedPtr& other) = default;
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    SharedPtr(const SharedPtr<U>& other) : ref_(other.ref_.object(), other.ref_.count()) {}
    SharedPtr(SharedPtr&& other) noexcept = default;
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    SharedPtr(SharedPtr<U>&& other) noexcept {
        ref_.takeFrom(other.ref_);
    }
    ~SharedPtr() = default;

    SharedPtr& operator=(const SharedPtr& other) = default;
    SharedPtr& operator=(SharedPtr&& other) noexcept = default;

    // Drops this reference; the last one deletes the object.
    void reset() { ref_.reset(); }
    void swap(SharedPtr& other) noexcept { ref_.swap(other.ref_); }

    T* get() const { return ref_.object(); }
    T& operator*() const { return *ref_.object(); }
    T* operator->() const { return ref_.object(); }
    explicit operator bool() const { return ref_.object() != nullptr; }
    // Strong references to the object (0 for an empty pointer).
    uint32_t useCount() const { return ref_.count() != nullptr ? ref_.count()->strongCount() : 0; }
    // Weak pointers to the object (0 for an empty pointer).
    uint32_t weakCount() const { return ref_.count() != nullptr ? ref_.count()->weakCount() : 0; }

private:
    template <typename> friend class SharedPtr;
    template <typename> friend class WeakPtr;

    internal::tCountedRef<T, true> ref_;
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
    WeakPtr(const SharedPtr<T>& shared) : ref_(shared.ref_.object(), shared.ref_.count()) {}

    void reset() { ref_.reset(); }
    void swap(WeakPtr& other) noexcept { ref_.swap(other.ref_); }

    SharedPtr<T> lock() const {
        SharedPtr<T> shared;
        if (ref_.count() != nullptr && ref_.count()->addStrongIfAlive()) {
            shared.ref_.adopt(ref_.object(), ref_.count());
        }
        return shared;
    }
    bool expired() const { return ref_.count() == nullptr || ref_.count()->strongCount() == 0; }

private:
    internal::tCountedRef<T, false> ref_;
};

} // namespace vohtl
