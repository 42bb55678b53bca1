// Intrusive circular doubly linked list.
//
// The node lives inside the listed object; the list only links and unlinks,
// it never allocates. A list is a head node of the same type: empty, it points
// to itself both ways; otherwise the ring runs head, first, ..., last, head.
// A node that is in no list points to itself both ways (detached). Nothing
// here locks: the owner of the list serialises access.
#pragma once

#include <stdint.h>

struct voitl_ListNode {
    voitl_ListNode* next;
    voitl_ListNode* prev;

    // Starts detached (an empty list when used as a head).
    voitl_ListNode() : next(this), prev(this) {}
    // A node must be detached when it goes away (a list head must be empty).
    ~voitl_ListNode();
    voitl_ListNode(const voitl_ListNode&) = delete;
    voitl_ListNode& operator=(const voitl_ListNode&) = delete;
};

extern "C" {
// Makes a node of raw memory detached (self-linked); a node built by its
// constructor already is.
void voitl_ListNode_initialize(voitl_ListNode* node);
// True when the node is linked into a list (for a head: the list is not empty).
bool voitl_ListNode_isAttached(const voitl_ListNode* node);
// Links the detached newNode in front of node; in front of a list head means
// at the tail. An attached newNode is reported and left where it is.
void voitl_ListNode_insertBefore(voitl_ListNode* newNode, voitl_ListNode* node);
// Unlinks an attached node and makes it detached again. A detached node is
// reported and left alone.
void voitl_ListNode_detach(voitl_ListNode* node);
// Detaches the first node of the list and returns it; null when the list is empty.
voitl_ListNode* voitl_ListNode_removeFirst(voitl_ListNode* head);
}

namespace voitl {
using tListNode = voitl_ListNode;
} // namespace voitl
