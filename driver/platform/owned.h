// The owning pointer of a driver object: the one pointer that destroys it.
// The object comes from the driver's allocator (a tObject), so destroying it
// frees it through the kernel layer. Moves hand the object on; there are no
// copies.
#pragma once

#include <stddef.h>

#include "platform/memory.h"

namespace kelvo_driver::nVOAPAL000 {

template <typename T> class tOwned {
public:
    tOwned() = default;
    // Takes object (null is allowed).
    explicit tOwned(T* object) : object_(object) {}
    ~tOwned() { reset(); }
    tOwned(const tOwned&) = delete;
    tOwned& operator=(const tOwned&) = delete;
    tOwned(tOwned&& other) noexcept : object_(other.release()) {}
    tOwned& operator=(tOwned&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    // Destroys the object held and takes object instead.
    void reset(T* object = nullptr) {
        static_assert(__is_base_of(tObject, T), "only the driver's allocator's objects can be owned");
        T* old = object_;
        object_ = object;
        delete old;
    }
    // Hands the object over without destroying it.
    T* release() {
        T* object = object_;
        object_ = nullptr;
        return object;
    }

    T* get() const { return object_; }
    T& operator*() const { return *object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    bool operator==(decltype(nullptr)) const { return object_ == nullptr; }

private:
    T* object_ = nullptr;
};

// For an object whose constructor takes the status: the object when its
// construction left no error there; otherwise it is destroyed and the
// answer is null.
template <typename T> T* keepIfConstructed(T* object, const nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        tOwned<T> failed(object);
        return nullptr;
    }
    return object;
}

} // namespace kelvo_driver::nVOAPAL000
