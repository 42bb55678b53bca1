// Finding the object that embeds a member (a list or tree node) from the
// member's address.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "platform/vosdbg.h"

namespace voitl {

// The position of a data member in its class. Under the Itanium C++ ABI a
// pointer to a data member is the member's byte offset, which also holds for
// classes that are not standard layout (offsetof is not defined for those).
template <typename Object, typename Member> inline ptrdiff_t memberOffset(Member Object::*member) {
    static_assert(sizeof(member) == sizeof(ptrdiff_t), "pointer to data member is not an offset");
    return __builtin_bit_cast(ptrdiff_t, member);
}

// The object whose member `member` lies at memberPtr. When the member is
// declared in a base class and the derived object is wanted, name the object
// type: getContainingObject<Derived>(node, &Derived::node).
template <typename Object = void, typename Member, typename Class>
inline std::conditional_t<std::is_void_v<Object>, Class, Object>* getContainingObject(Member* memberPtr,
                                                                                      Member Class::*member) {
    using Target = std::conditional_t<std::is_void_v<Object>, Class, Object>;
    if (memberPtr == nullptr) {
        VOSDBG_ASSERT_MSG(memberPtr != nullptr, "getContainingObject() called with NULL memberPtr");
        return nullptr;
    }
    Member Target::*targetMember = member;
    return reinterpret_cast<Target*>(reinterpret_cast<char*>(memberPtr) - memberOffset(targetMember));
}

template <typename Object = void, typename Member, typename Class>
inline const std::conditional_t<std::is_void_v<Object>, Class, Object>*
getContainingObject(const Member* memberPtr, Member Class::*member) {
    return getContainingObject<Object>(const_cast<Member*>(memberPtr), member);
}

} // namespace voitl
