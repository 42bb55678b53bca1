// The undo list of a stage of setup: each step of the setup that makes or
// registers something pushes, at once and only when it succeeded, the step
// that takes it back. Running the list undoes everything in the reverse
// order, whatever point the setup reached, so the teardown never needs to
// know how far the setup came and never drifts from it.
//
// The steps are kept in the list itself (no allocation, so pushing cannot
// fail); more than kCapacity steps is a fault of the code and asserts.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

class tUndoList {
public:
    using tStep = void (*)(void* object, void* argument);
    static constexpr uint32_t kCapacity = 16;

    tUndoList() = default;
    // Runs what is left.
    ~tUndoList() { run(); }
    tUndoList(const tUndoList&) = delete;
    tUndoList& operator=(const tUndoList&) = delete;

    // Pushes step(object, argument).
    void push(tStep step, void* object, void* argument = nullptr) {
        VOSDBG_ASSERT_MSG(count_ < kCapacity, "undo list full");
        if (count_ < kCapacity) {
            entries_[count_++] = {step, object, argument};
        }
    }

    // Takes a driver object (null is ignored): running the list destroys it.
    // Returns the object.
    template <typename T> T* own(T* object) {
        static_assert(__is_base_of(tObject, T), "only the driver's allocator's objects can be owned");
        if (object != nullptr) {
            push(&destroy<T>, object);
        }
        return object;
    }

    // Pushes a call of (object.*Method)().
    template <auto Method, typename C> void call(C& object) { push(&invoke<C, Method>, &object); }

    // Runs the steps, the last pushed first, and empties the list; a step may
    // push no new step. A second run does nothing.
    void run() {
        while (count_ != 0) {
            const tEntry entry = entries_[--count_];
            entry.step(entry.object, entry.argument);
        }
    }

    uint32_t size() const { return count_; }

private:
    struct tEntry {
        tStep step;
        void* object;
        void* argument;
    };

    template <typename T> static void destroy(void* object, void*) { delete static_cast<T*>(object); }
    template <typename C, auto Method> static void invoke(void* object, void*) {
        (static_cast<C*>(object)->*Method)();
    }

    tEntry entries_[kCapacity];
    uint32_t count_ = 0;
};

} // namespace kelvo_driver::nVOAPAL000
