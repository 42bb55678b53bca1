// The red-black tree: its structure after every step of long random runs against std::multimap; misuse.
#include <random>

#include "fatal_hook_capture.h"
#include "platform/voitl/containing.h"
#include "platform/voitl/rbtree.h"
#include "test_support.h"

namespace {

using kelvo_test::FatalHookCapture;

struct Item {
    int key = 0;
    voitl_RBNode node;
};

bool keyLess(const voitl_RBNode* node, const voitl_RBNode* other, void* context) {
    ++*static_cast<int*>(context);
    return voitl::getContainingObject(node, &Item::node)->key <
           voitl::getContainingObject(other, &Item::node)->key;
}

uint64_t parentWord(const voitl_RBNode* node) {
    return node->parentAndColour & ~uint64_t{1};
}
bool isBlack(const voitl_RBNode* node) {
    return node == nullptr || (node->parentAndColour & 1) != 0;
}

// The black height of a subtree with parent links, no red node's child red and even sides; else -1.
int blackHeight(const voitl_RBNode* node, size_t& count) {
    if (node == nullptr) {
        return 1;
    }
    ++count;
    int heights[2];
    for (int side = 0; side < 2; ++side) {
        const voitl_RBNode* child = node->children[side];
        heights[side] = blackHeight(child, count);
        if (child != nullptr &&
            (parentWord(child) != reinterpret_cast<uintptr_t>(node) || !(isBlack(node) || isBlack(child)))) {
            heights[side] = -1;
        }
    }
    return heights[0] < 0 || heights[0] != heights[1] ? -1 : heights[0] + (isBlack(node) ? 1 : 0);
}

// Sound as above, the record word 0 or 1, the root's parent word the black-marked record.
::testing::AssertionResult treeIsSound(const voitl_RBTree& tree, size_t expectedCount) {
    size_t count = 0;
    const uintptr_t record = reinterpret_cast<uintptr_t>(&tree) | 1;
    if (tree.reserved > 1 || (tree.root != nullptr && tree.root->parentAndColour != record) ||
        blackHeight(tree.root, count) < 0 || count != expectedCount) {
        return ::testing::AssertionFailure() << "unsound, " << count << " nodes of " << expectedCount;
    }
    return ::testing::AssertionSuccess();
}

std::vector<Item*> walk(const voitl_RBTree& tree, uint32_t direction) {
    std::vector<Item*> items;
    for (voitl_RBNode* node = voitl_RBTree_getNext(&tree, nullptr, direction); node != nullptr;
         node = voitl_RBTree_getNext(&tree, node, direction)) {
        items.push_back(voitl::getContainingObject(node, &Item::node));
    }
    return items;
}

TEST(PlatformRBTree, RandomInsertAndRemoveMatchMultimapWithSoundStructure) {
    constexpr int kPoolSize = 160;
    constexpr int kSteps = 700;
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        std::mt19937 random(seed);
        std::vector<Item> pool(kPoolSize);
        std::multimap<int, Item*> expected;
        voitl_RBTree tree;
        int comparisons = 0;
        // Narrow key ranges give long runs of equal keys.
        const int keyRange = seed % 3 == 0 ? 4 : 40;
        for (int step = 0; step < kSteps; ++step) {
            Item& item = pool[random() % kPoolSize];
            if (!voitl_RBNode_isAttached(&item.node)) {
                item.key = static_cast<int>(random() % keyRange);
                voitl_RBTree_insert(&tree, &item.node, &keyLess, &comparisons);
                expected.insert({item.key, &item}); // after equal keys, like the tree
            } else {
                voitl_RBTree_remove(&tree, &item.node);
                ASSERT_EQ(item.node.parentAndColour, 0u) << "removed nodes are detached";
                ASSERT_EQ(item.node.children[0], item.node.children[1]);
                ASSERT_EQ(item.node.children[0], nullptr);
                std::erase_if(expected, [&](const auto& entry) { return entry.second == &item; });
            }
            ASSERT_TRUE(treeIsSound(tree, expected.size())) << "seed " << seed << " step " << step;
            std::vector<Item*> inOrder;
            for (const auto& [key, pointer] : expected) {
                inOrder.push_back(pointer);
            }
            ASSERT_EQ(walk(tree, voitl_kRBAscending), inOrder) << "seed " << seed << " step " << step;
            ASSERT_EQ(walk(tree, voitl_kRBDescending), std::vector<Item*>(inOrder.rbegin(), inOrder.rend()));
        }
        for (Item& item : pool) {
            if (voitl_RBNode_isAttached(&item.node)) {
                voitl_RBTree_remove(&tree, &item.node);
            }
        }
        EXPECT_EQ(tree.root, nullptr);
    }
}

TEST(PlatformRBTree, MisuseIsReportedAndChangesNothing) {
    kal::log::clear();
    FatalHookCapture capture;
    voitl_RBTree tree;
    voitl_RBTree other;
    int comparisons = 0;
    Item a{1, {}}, b{2, {}};
    voitl_RBTree_insert(&tree, &a.node, &keyLess, &comparisons);
    voitl_RBTree_insert(&tree, &b.node, &keyLess, &comparisons);

    voitl_RBTree_insert(&other, &a.node, &keyLess, &comparisons);
    EXPECT_EQ(capture.count(), 1);
    EXPECT_NE(kal::log::text().find("already attached to a tree.\n"), std::string::npos);
    EXPECT_EQ(other.root, nullptr);
    EXPECT_TRUE(treeIsSound(tree, 2));

    Item loose{3, {}};
    voitl_RBTree_remove(&tree, &loose.node);
    EXPECT_EQ(capture.count(), 2);
    EXPECT_NE(kal::log::text().find(
                  "is being removed but it is not attached to any tree. Corruption will result!!\n"),
              std::string::npos);
    EXPECT_TRUE(treeIsSound(tree, 2));
    EXPECT_EQ(walk(tree, 1), (std::vector<Item*>{&a, &b}));

    voitl_RBTree_remove(&tree, &a.node);
    voitl_RBTree_remove(&tree, &b.node);
}

} // namespace
