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
    voitl_ListNode first;
    voitl_ListNode second;
    Item a{1, {}}, b{2, {}};
    voitl_ListNode_insertBefore(&a.link, &first);
    voitl_ListNode_insertBefore(&b.link, &second);

    voitl_ListNode_insertBefore(&a.link, &second);
    EXPECT_EQ(capture.count(), 1);
    EXPECT_NE(kal::log::text().find("already attached to another list.\n"), std::string::npos);
    EXPECT_EQ(valuesOf(first), (std::vector<int>{1}));
    EXPECT_EQ(valuesOf(second), (std::vector<int>{2}));

    Item loose{3, {}};
    voitl_ListNode_detach(&loose.link);
    EXPECT_EQ(capture.count(), 2);
    EXPECT_NE(kal::log::text().find("is being detached but it is not attached to any list!!\n"),
              std::string::npos);
    EXPECT_FALSE(voitl_ListNode_isAttached(&loose.link));

    // Half-linked: next points away, prev to itself.
    voitl_ListNode broken;
    broken.next = &first;
    EXPECT_TRUE(voitl_ListNode_isAttached(&broken));
    EXPECT_EQ(capture.count(), 3);
    EXPECT_NE(kal::log::text().find("corrupted.\n"), std::string::npos);
    voitl_ListNode_insertBefore(&broken, &second);
    EXPECT_EQ(valuesOf(second), (std::vector<int>{2})) << "a corrupted node is never linked";
    broken.next = &broken;

    // A list head that goes away while it still holds elements.
    {
        std::optional<voitl_ListNode> head(std::in_place);
        Item c{4, {}};
        voitl_ListNode_insertBefore(&c.link, &*head);
        const int before = capture.count();
        head.reset();
        EXPECT_EQ(capture.count(), before + 1);
        EXPECT_NE(kal::log::text().find("while it's still attached."), std::string::npos);
        voitl_ListNode_initialize(&c.link);
    }

    const int reports = capture.count();
    voitl_ListNode* none = nullptr;
    EXPECT_EQ(voitl::getContainingObject(none, &Item::link), nullptr);
    EXPECT_EQ(capture.count(), reports + 1);
    EXPECT_NE(kal::log::text().find("getContainingObject() called with NULL memberPtr"), std::string::npos);

    voitl_ListNode_detach(&a.link);
    voitl_ListNode_detach(&b.link);
}

} // namespace
