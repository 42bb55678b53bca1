// Intrusive lists: the misuse reports.

#include "fatal_hook_capture.h"
#include "platform/list.h"
#include "platform/voitl/containing.h"
#include "test_support.h"

namespace {

using kelvo_test::FatalHookCapture;

struct Item {
    int value = 0;
    voitl_ListNode link;
};

std::vector<int> valuesOf(voitl_ListNode& head) {
    std::vector<int> values;
    for (voitl_ListNode* node = head.next; node != &head; node = node->next) {
        values.push_back(voitl::getContainingObject(node, &Item::link)->value);
    }
    return values;
}

class PlatformLists : public kelvo_test::LeakCheckedTest {};

TEST_F(PlatformLists, MisuseIsReportedAndChangesNothing) {
    FatalHookCapture capture;
    int reports = 0; // one more each time, with its text in the log
    auto reported = [&](const char* text) {
        return capture.count() == ++reports && kal::log::text().find(text) != std::string::npos;
    };
    voitl_ListNode first;
    voitl_ListNode second;
    Item a{1, {}}, b{2, {}};
    voitl_ListNode_insertBefore(&a.link, &first);
    voitl_ListNode_insertBefore(&b.link, &second);

    voitl_ListNode_insertBefore(&a.link, &second);
    EXPECT_TRUE(reported("already attached to another list.\n"));
    EXPECT_EQ(valuesOf(first), (std::vector<int>{1}));
    EXPECT_EQ(valuesOf(second), (std::vector<int>{2}));

    Item loose{3, {}};
    voitl_ListNode_detach(&loose.link);
    EXPECT_TRUE(reported("is being detached but it is not attached to any list!!\n"));
    EXPECT_FALSE(voitl_ListNode_isAttached(&loose.link));

    // Half-linked: next points away, prev to itself.
    voitl_ListNode broken;
    broken.next = &first;
    EXPECT_TRUE(voitl_ListNode_isAttached(&broken));
    EXPECT_TRUE(reported("corrupted.\n"));
    voitl_ListNode_insertBefore(&broken, &second);
    EXPECT_TRUE(reported("corrupted.\n"));
    EXPECT_EQ(valuesOf(second), (std::vector<int>{2})) << "a corrupted node is never linked";
    broken.next = &broken;

    // A list head that goes away while it still holds elements.
    {
        std::optional<voitl_ListNode> head(std::in_place);
        Item c{4, {}};
        voitl_ListNode_insertBefore(&c.link, &*head);
        head.reset();
        EXPECT_TRUE(reported("while it's still attached."));
        voitl_ListNode_initialize(&c.link);
    }

    voitl_ListNode* none = nullptr;
    EXPECT_EQ(voitl::getContainingObject(none, &Item::link), nullptr);
    EXPECT_TRUE(reported("getContainingObject() called with NULL memberPtr"));

    voitl_ListNode_detach(&a.link);
    voitl_ListNode_detach(&b.link);
}

} // namespace
