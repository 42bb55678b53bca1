// A wrapper dispatcher that also looks names up from user memory, as the
// I/O-control operations that address a map or window by name do.
#pragma once

#include <stdint.h>

#include "framework/wrapper_dispatcher.h"
#include "platform/event_descriptor.h"
#include "platform/user_buffer.h"

namespace voregitools {

// The longest name a caller may pass from user mode.
constexpr uint64_t kMaxUserNameLength = 4096;
// Names up to this length are copied onto the stack (every registered name
// with its version suffix fits); longer ones onto the heap.
constexpr uint64_t kStackNameLength = 255;

template <typename T, template <typename> class BaseDispatcher = WrapperDispatcher>
class Dispatcher : public BaseDispatcher<T> {
    using Base = BaseDispatcher<T>;

public:
    using Base::getRegistration;

    Dispatcher() = default;
    ~Dispatcher() override {}

    // Copies length bytes of the name at userAddress from the requester's
    // memory, ends it after them (the name need not be terminated; a zero
    // inside it ends it early) and looks it up. object is null unless the
    // lookup succeeded. A length above 4096 is -52005 and copies nothing;
    // -52000 when the buffer of a name longer than 255 bytes cannot be had
    // (shorter ones need no memory); a failed copy keeps its code.
    void getRegistration(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint64_t userAddress,
                         uint64_t length, T** object, nVOAPALS100::tStatus& status,
                         kelvo_driver::nVOAPAL000::tMutex** mutex) {
        if (object != nullptr) {
            *object = nullptr;
        }
        if (status.isFatal()) {
            return;
        }
        if (length > kMaxUserNameLength) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
            return;
        }
        char onStack[kStackNameLength + 1];
        char* name = onStack;
        if (length > kStackNameLength) {
            name = static_cast<char*>(nVOAPAL200_malloc(length + 1, &status));
            if (name == nullptr) {
                return;
            }
        }
        kelvo_driver::nVOAPAL000::tUserBuffer user(event, userAddress, length);
        user.read(0, name, length, status);
        if (status.isNotFatal()) {
            name[length] = '\0';
            this->lookUpObject(name, static_cast<size_t>(length), object, status, mutex);
        }
        if (name != onStack) {
            nVOKAL100_free(name);
        }
    }
};

} // namespace voregitools
