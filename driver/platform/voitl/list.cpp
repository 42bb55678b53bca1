#include "platform/voitl/list.h"

#include "platform/vosdbg.h"

namespace {

// Both links point to the node itself or neither does; reports a node that
// breaks it. Returns true when the node is consistent.
bool checkNode(const voitl_ListNode* node) {
    const bool nextIsSelf = node->next == node;
    const bool prevIsSelf = node->prev == node;
    const bool consistent = nextIsSelf == prevIsSelf && node->next != nullptr && node->prev != nullptr;
    if (!consistent) {
        vosdbg_printf("Node (%p; next: %p, prev: %p) corrupted.\n", static_cast<const void*>(node),
                      static_cast<const void*>(node->next), static_cast<const void*>(node->prev));
        VOSDBG_ASSERT(consistent);
    }
    return consistent;
}

} // namespace

voitl_ListNode::~voitl_ListNode() {
    const bool attached = next != this || prev != this;
    if (attached) {
        vosdbg_printf("Destructing list node (%p; next:%p, prev:%p) while it's still attached.\n",
                      static_cast<const void*>(this), static_cast<const void*>(next),
                      static_cast<const void*>(prev));
        VOSDBG_ASSERT(!attached);
    }
}

extern "C" void voitl_ListNode_initialize(voitl_ListNode* node) {
    node->next = node;
    node->prev = node;
}

extern "C" bool voitl_ListNode_isAttached(const voitl_ListNode* node) {
    checkNode(node);
    return node->next != node;
}

extern "C" void voitl_ListNode_insertBefore(voitl_ListNode* newNode, voitl_ListNode* node) {
    if (!checkNode(newNode) || !checkNode(node)) {
        return;
    }
    const bool alreadyAttached = newNode->next != newNode;
    if (alreadyAttached) {
        vosdbg_printf("Node (%p, next: %p, prev: %p) already attached to another list.\n",
                      static_cast<const void*>(newNode), static_cast<const void*>(newNode->next),
                      static_cast<const void*>(newNode->prev));
        VOSDBG_ASSERT(!alreadyAttached);
        return;
    }
    newNode->prev = node->prev;
    newNode->next = node;
    node->prev->next = newNode;
    node->prev = newNode;
}

extern "C" void voitl_ListNode_detach(voitl_ListNode* node) {
    if (!checkNode(node)) {
        return;
    }
    const bool attached = node->next != node;
    if (!attached) {
        vosdbg_printf("Node (%p) is being detached but it is not attached to any list!!\n",
                      static_cast<const void*>(node));
        VOSDBG_ASSERT(attached);
        return;
    }
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = node;
    node->prev = node;
}

extern "C" voitl_ListNode* voitl_ListNode_removeFirst(voitl_ListNode* head) {
    if (!voitl_ListNode_isAttached(head)) {
        return nullptr;
    }
    voitl_ListNode* first = head->next;
    voitl_ListNode_detach(first);
    return first;
}
