// Intrusive list with a key index.
//
// Objects kept in the order they were added and found by a 32-bit key in
// logarithmic time: one node in each object links it into a doubly linked
// list (the order) and into a red-black tree (the index). Keys are unique;
// the owner sees to it. Nothing here allocates or locks: the owner of the
// list serialises access and owns the objects.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/voitl/list.h"
#include "platform/voitl/rbtree.h"

namespace voitl {

struct tIndexedNode {
    voitl_RBNode byKey;
    voitl_ListNode inOrder;
    uint32_t key = 0;
};

class tIndexedList {
public:
    tIndexedList() = default;
    // The owner empties the list first (its head must be detached).
    ~tIndexedList() = default;
    tIndexedList(const tIndexedList&) = delete;
    tIndexedList& operator=(const tIndexedList&) = delete;

    // Appends a node that is in no list, under its key (which no node of the
    // list may carry).
    void append(tIndexedNode& node);
    // Takes a node of this list out; it is then in no list.
    void remove(tIndexedNode& node);
    // The node carrying key, or null.
    tIndexedNode* find(uint32_t key) const;

    // The order: null past either end.
    tIndexedNode* first() const;
    tIndexedNode* last() const;
    tIndexedNode* next(const tIndexedNode& node) const;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    tIndexedNode* inList(const voitl_ListNode* link) const;

    voitl_RBTree tree_;
    tIndexedNode* largest_ = nullptr; // the node with the largest key
    voitl_ListNode head_;
    size_t size_ = 0;
};

} // namespace voitl
