#include "platform/voitl/rbtree.h"

#include "platform/vosdbg.h"

namespace {

constexpr uint64_t kBlack = 1;
constexpr uint64_t kColourMask = 1;

// The parent's address; for the root it is the tree record's.
inline uintptr_t parentWord(const voitl_RBNode* node) {
    return static_cast<uintptr_t>(node->parentAndColour & ~kColourMask);
}

inline bool isRecord(uintptr_t word, const voitl_RBTree* tree) {
    return word == reinterpret_cast<uintptr_t>(tree);
}

// The parent node, null when node is the root.
inline voitl_RBNode* parentOf(const voitl_RBNode* node, const voitl_RBTree* tree) {
    const uintptr_t word = parentWord(node);
    return isRecord(word, tree) ? nullptr : reinterpret_cast<voitl_RBNode*>(word);
}

inline bool isBlack(const voitl_RBNode* node) {
    return node == nullptr || (node->parentAndColour & kBlack) != 0;
}
inline bool isRed(const voitl_RBNode* node) {
    return !isBlack(node);
}

inline void setBlack(voitl_RBNode* node) {
    node->parentAndColour |= kBlack;
}
inline void setRed(voitl_RBNode* node) {
    node->parentAndColour &= ~kColourMask;
}
inline void copyColour(voitl_RBNode* node, const voitl_RBNode* from) {
    node->parentAndColour = (node->parentAndColour & ~kColourMask) | (from->parentAndColour & kColourMask);
}

// Sets the parent (null: the tree record), keeping the colour.
inline void setParent(voitl_RBNode* node, voitl_RBNode* parent, voitl_RBTree* tree) {
    const uintptr_t word =
        parent != nullptr ? reinterpret_cast<uintptr_t>(parent) : reinterpret_cast<uintptr_t>(tree);
    node->parentAndColour = static_cast<uint64_t>(word) | (node->parentAndColour & kColourMask);
}

// Puts replacement where child was below parent (null parent: the root).
inline void replaceChild(voitl_RBTree* tree, voitl_RBNode* parent, voitl_RBNode* child,
                         voitl_RBNode* replacement) {
    if (parent == nullptr) {
        tree->root = replacement;
    } else {
        parent->children[parent->children[0] == child ? 0 : 1] = replacement;
    }
}

// Rotates node down to side `down`; its child on the other side takes its place.
void rotate(voitl_RBTree* tree, voitl_RBNode* node, int down) {
    const int up = 1 - down;
    voitl_RBNode* pivot = node->children[up];
    voitl_RBNode* parent = parentOf(node, tree);
    node->children[up] = pivot->children[down];
    if (pivot->children[down] != nullptr) {
        setParent(pivot->children[down], node, tree);
    }
    setParent(pivot, parent, tree);
    replaceChild(tree, parent, node, pivot);
    pivot->children[down] = node;
    setParent(node, pivot, tree);
}

void rebalanceAfterInsert(voitl_RBTree* tree, voitl_RBNode* node) {
    for (;;) {
        voitl_RBNode* parent = parentOf(node, tree);
        if (parent == nullptr) {
            setBlack(node);
            return;
        }
        if (isBlack(parent)) {
            return;
        }
        // A red parent is never the root, so the grandparent exists.
        voitl_RBNode* grandparent = parentOf(parent, tree);
        const int side = grandparent->children[1] == parent ? 1 : 0;
        voitl_RBNode* uncle = grandparent->children[1 - side];
        if (isRed(uncle)) {
            setBlack(parent);
            setBlack(uncle);
            setRed(grandparent);
            node = grandparent;
            continue;
        }
        if (parent->children[1 - side] == node) {
            rotate(tree, parent, side);
            parent = node;
        }
        rotate(tree, grandparent, 1 - side);
        setBlack(parent);
        setRed(grandparent);
        return;
    }
}

// child (may be null) below parent (null: child is the root) lacks one black.
void rebalanceAfterRemove(voitl_RBTree* tree, voitl_RBNode* child, voitl_RBNode* parent) {
    while (parent != nullptr && isBlack(child)) {
        const int side = parent->children[0] == child ? 0 : 1;
        voitl_RBNode* sibling = parent->children[1 - side];
        if (isRed(sibling)) {
            setBlack(sibling);
            setRed(parent);
            rotate(tree, parent, side);
            sibling = parent->children[1 - side];
        }
        if (isBlack(sibling->children[0]) && isBlack(sibling->children[1])) {
            setRed(sibling);
            child = parent;
            parent = parentOf(child, tree);
            continue;
        }
        if (isBlack(sibling->children[1 - side])) {
            setBlack(sibling->children[side]);
            setRed(sibling);
            rotate(tree, sibling, 1 - side);
            sibling = parent->children[1 - side];
        }
        copyColour(sibling, parent);
        setBlack(parent);
        setBlack(sibling->children[1 - side]);
        rotate(tree, parent, side);
        return;
    }
    if (child != nullptr) {
        setBlack(child);
    }
}

inline voitl_RBNode* outermost(voitl_RBNode* node, int side) {
    while (node->children[side] != nullptr) {
        node = node->children[side];
    }
    return node;
}

} // namespace

extern "C" bool voitl_RBNode_isAttached(const voitl_RBNode* node) {
    return node->parentAndColour >= 2;
}

namespace {

bool reportedAttached(const voitl_RBNode* node) {
    const bool attached = voitl_RBNode_isAttached(node);
    if (attached) {
        vosdbg_printf("insert, but RBNode (%p; parent:%p, left: %p, right: %p) already attached to a tree.\n",
                      static_cast<const void*>(node), reinterpret_cast<const void*>(parentWord(node)),
                      static_cast<const void*>(node->children[0]),
                      static_cast<const void*>(node->children[1]));
        VOSDBG_ASSERT(!attached);
    }
    return attached;
}

// Links a detached node in as parent's empty child on side (the root of an
// empty tree for a null parent) and restores the balance.
void link(voitl_RBTree* tree, voitl_RBNode* node, voitl_RBNode* parent, int side) {
    node->children[0] = nullptr;
    node->children[1] = nullptr;
    node->parentAndColour = 0; // red
    setParent(node, parent, tree);
    if (parent == nullptr) {
        tree->root = node;
    } else {
        parent->children[side] = node;
    }
    rebalanceAfterInsert(tree, node);
}

} // namespace

extern "C" void voitl_RBTree_insert(voitl_RBTree* tree, voitl_RBNode* node, voitl_RBTree_LessThan lessThan,
                                    void* context) {
    VOSDBG_ASSERT(tree != nullptr);
    if (reportedAttached(node)) {
        return;
    }
    voitl_RBNode* parent = nullptr;
    int side = 0;
    for (voitl_RBNode* current = tree->root; current != nullptr; current = current->children[side]) {
        parent = current;
        side = lessThan(node, current, context) ? 0 : 1;
    }
    link(tree, node, parent, side);
}

extern "C" void voitl_RBTree_insertLast(voitl_RBTree* tree, voitl_RBNode* node, voitl_RBNode* last) {
    VOSDBG_ASSERT(tree != nullptr);
    VOSDBG_ASSERT((last == nullptr) == (tree->root == nullptr));
    VOSDBG_ASSERT(last == nullptr || last->children[1] == nullptr);
    if (reportedAttached(node)) {
        return;
    }
    link(tree, node, last, 1);
}

extern "C" void voitl_RBTree_remove(voitl_RBTree* tree, voitl_RBNode* node) {
    VOSDBG_ASSERT(tree != nullptr);
    const bool attached = voitl_RBNode_isAttached(node);
    if (!attached) {
        vosdbg_printf(
            "Node (%p) is being removed but it is not attached to any tree. Corruption will result!!\n",
            static_cast<const void*>(node));
        VOSDBG_ASSERT(attached);
        return;
    }
    voitl_RBNode* parent = parentOf(node, tree);
    voitl_RBNode* child;       // what takes the place of the node taken out of the structure
    voitl_RBNode* childParent; // its parent after the splice
    bool takenOutWasBlack;
    if (node->children[0] == nullptr || node->children[1] == nullptr) {
        child = node->children[0] != nullptr ? node->children[0] : node->children[1];
        takenOutWasBlack = isBlack(node);
        childParent = parent;
        if (child != nullptr) {
            setParent(child, parent, tree);
        }
        replaceChild(tree, parent, node, child);
    } else {
        voitl_RBNode* successor = outermost(node->children[1], 0);
        takenOutWasBlack = isBlack(successor);
        child = successor->children[1];
        if (parentOf(successor, tree) == node) {
            // The right child has no left child: it moves up with its own right subtree.
            childParent = successor;
        } else {
            childParent = parentOf(successor, tree);
            childParent->children[0] = child;
            if (child != nullptr) {
                setParent(child, childParent, tree);
            }
            successor->children[1] = node->children[1];
            setParent(successor->children[1], successor, tree);
        }
        successor->children[0] = node->children[0];
        setParent(successor->children[0], successor, tree);
        successor->parentAndColour = node->parentAndColour; // parent and colour
        replaceChild(tree, parent, node, successor);
    }
    if (takenOutWasBlack) {
        rebalanceAfterRemove(tree, child, childParent);
    }
    node->parentAndColour = 0;
    node->children[0] = nullptr;
    node->children[1] = nullptr;
}

extern "C" voitl_RBNode* voitl_RBTree_getNext(const voitl_RBTree* tree, const voitl_RBNode* node,
                                              uint32_t direction) {
    VOSDBG_ASSERT(tree != nullptr);
    const int forward = direction != 0 ? 1 : 0;
    const int backward = 1 - forward;
    if (node == nullptr) {
        return tree->root != nullptr ? outermost(tree->root, backward) : nullptr;
    }
    if (node->children[forward] != nullptr) {
        return outermost(node->children[forward], backward);
    }
    const voitl_RBNode* child = node;
    for (voitl_RBNode* parent = parentOf(child, tree); parent != nullptr; parent = parentOf(parent, tree)) {
        if (parent->children[backward] == child) {
            return parent;
        }
        child = parent;
    }
    return nullptr;
}
