// Intrusive red-black tree.
//
// The node lives inside the stored object; the tree only links and unlinks,
// it never allocates. Nodes that order equal are kept in insertion order.
// Nothing here locks: the owner of the tree serialises access.
#pragma once

#include <stdint.h>

// Node: the parent's address with the colour in bit 0 (0 red, 1 black), and
// the two children (0 left: smaller, 1 right: larger). A parent word below 2
// means detached; a detached node has no children.
struct voitl_RBNode {
    uint64_t parentAndColour = 0;
    voitl_RBNode* children[2] = {nullptr, nullptr};
};

// Tree record: a word that is always 0 or 1, then the root. The root's parent
// word is the record's address with bit 0 (black) set. A zeroed record is an
// empty tree.
struct voitl_RBTree {
    uint64_t reserved = 0;
    voitl_RBNode* root = nullptr;
};

// The caller's strict order: true when node orders before other.
typedef bool (*voitl_RBTree_LessThan)(const voitl_RBNode* node, const voitl_RBNode* other, void* context);

constexpr uint32_t voitl_kRBDescending = 0;
constexpr uint32_t voitl_kRBAscending = 1;

extern "C" {
// True when the node is in a tree.
bool voitl_RBNode_isAttached(const voitl_RBNode* node);
// Inserts a detached node after every node that orders equal to it. An
// attached node is reported and left where it is.
void voitl_RBTree_insert(voitl_RBTree* tree, voitl_RBNode* node, voitl_RBTree_LessThan lessThan,
                         void* context);
// Inserts a detached node after last, the tree's last node in ascending
// order (null for an empty tree), without comparing: the caller knows that
// the node orders after every node of the tree.
void voitl_RBTree_insertLast(voitl_RBTree* tree, voitl_RBNode* node, voitl_RBNode* last);
// Removes an attached node and leaves it detached. A detached node is
// reported and the tree left alone.
void voitl_RBTree_remove(voitl_RBTree* tree, voitl_RBNode* node);
// The node after node in the direction (1 ascending, 0 descending); for a
// null node the first in that direction; null past the end.
voitl_RBNode* voitl_RBTree_getNext(const voitl_RBTree* tree, const voitl_RBNode* node, uint32_t direction);
}

namespace voitl {
using tRBNode = voitl_RBNode;
using tRBTree = voitl_RBTree;
} // namespace voitl
