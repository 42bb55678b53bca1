#include "platform/voitl/indexed_list.h"

#include "platform/voitl/containing.h"

namespace voitl {

namespace {

const tIndexedNode* ofTreeNode(const voitl_RBNode* node) {
    return getContainingObject<tIndexedNode>(node, &tIndexedNode::byKey);
}

bool keyLess(const voitl_RBNode* node, const voitl_RBNode* other, void*) {
    return ofTreeNode(node)->key < ofTreeNode(other)->key;
}

} // namespace

tIndexedNode* tIndexedList::inList(const voitl_ListNode* link) const {
    if (link == &head_) {
        return nullptr;
    }
    return getContainingObject<tIndexedNode>(const_cast<voitl_ListNode*>(link), &tIndexedNode::inOrder);
}

// Keys mostly come in ascending order (IDs handed out one after another):
// a key above the largest goes in after it without a descent.
void tIndexedList::append(tIndexedNode& node) {
    voitl_ListNode_insertBefore(&node.inOrder, &head_);
    if (largest_ == nullptr || largest_->key < node.key) {
        voitl_RBTree_insertLast(&tree_, &node.byKey, largest_ != nullptr ? &largest_->byKey : nullptr);
        largest_ = &node;
    } else {
        voitl_RBTree_insert(&tree_, &node.byKey, &keyLess, nullptr);
    }
    ++size_;
}

void tIndexedList::remove(tIndexedNode& node) {
    voitl_ListNode_detach(&node.inOrder);
    if (&node == largest_) {
        voitl_RBNode* before = voitl_RBTree_getNext(&tree_, &node.byKey, voitl_kRBDescending);
        largest_ = before != nullptr ? const_cast<tIndexedNode*>(ofTreeNode(before)) : nullptr;
    }
    voitl_RBTree_remove(&tree_, &node.byKey);
    --size_;
}

tIndexedNode* tIndexedList::find(uint32_t key) const {
    const voitl_RBNode* current = tree_.root;
    while (current != nullptr) {
        const tIndexedNode* node = ofTreeNode(current);
        if (key == node->key) {
            return const_cast<tIndexedNode*>(node);
        }
        current = current->children[key < node->key ? 0 : 1];
    }
    return nullptr;
}

tIndexedNode* tIndexedList::first() const {
    return inList(head_.next);
}

tIndexedNode* tIndexedList::last() const {
    return inList(head_.prev);
}

tIndexedNode* tIndexedList::next(const tIndexedNode& node) const {
    return inList(node.inOrder.next);
}

} // namespace voitl
