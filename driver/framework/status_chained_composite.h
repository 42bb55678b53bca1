// The list kernel of the status-chained composites (hardware-state checkers,
// cleanup operations): element pointers in insertion order, not owned.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/vector.h"
#include "platform/vosdbg.h"

namespace kdut::internal {

template <typename Element> class StatusChainedCompositeKernel : public kelvo_driver::nVOAPAL000::tObject {
public:
    StatusChainedCompositeKernel() = default;
    // Reserves room for capacity elements first (-52000 when it cannot); the
    // capacity is no limit.
    StatusChainedCompositeKernel(uint64_t capacity, nVOAPALS100::tStatus& status) {
        elements_.reserve(static_cast<size_t>(capacity), status);
    }
    // Frees the list; runs no element.
    virtual ~StatusChainedCompositeKernel() = default;
    StatusChainedCompositeKernel(const StatusChainedCompositeKernel&) = delete;
    StatusChainedCompositeKernel& operator=(const StatusChainedCompositeKernel&) = delete;

    // Appends at the end, without a duplicate check; -52000 when the list
    // cannot grow. A null element is an invariant failure.
    virtual void add(Element* element, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        if (element == nullptr) {
            VOSDBG_ASSERT_MSG(element != nullptr,
                              " Failed - elementPtrs should not contain any null pointers!");
            return;
        }
        elements_.pushBack(element, status);
    }

    // Removes the first occurrence, keeping the order of the rest; -52006
    // when the element is not in the list.
    virtual void remove(Element* element, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        for (size_t i = 0; i < elements_.size(); ++i) {
            if (elements_[i] == element) {
                elements_.erase(i);
                return;
            }
        }
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible);
    }

    virtual void clear() { elements_.clear(); }

    virtual bool contains(const Element* element) const {
        for (size_t i = 0; i < elements_.size(); ++i) {
            if (elements_[i] == element) {
                return true;
            }
        }
        return false;
    }

    size_t size() const { return elements_.size(); }
    Element* at(size_t index) const { return elements_[index]; }

private:
    vohtl::Vector<Element*> elements_;
};

} // namespace kdut::internal
