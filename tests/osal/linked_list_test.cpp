// The list of values between its head and tail nodes.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uintptr_t> walk(ListNode* list) {
    std::vector<uintptr_t> items;
    for (ListNode* n = hb_listGetNextNode(list); n; n = hb_listGetNextNode(n))
        items.push_back(hb_listItem(n));
    return items;
}

TEST(List, InsertPutsTheValueRightBehindTheGivenNodeAndDestroyFreesAll) {
    ListNode* list = hb_listCreate();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(hb_listGetNextNode(list), nullptr) << "a new list is empty";
    hb_listInsert(3, list);
    ListNode* one = hb_listInsert(1, list);
    ListNode* two = hb_listInsert(2, one);
    const uintptr_t full = ~uintptr_t{0} - 1;
    hb_listInsert(full, two);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{1, 2, full, 3}));
    hb_listDestroy(list); // every node: LeakSanitizer checks
    hb_listDestroy(nullptr);
}

TEST(List, RemoveTakesOnlyTheFirstMatchBehindTheGivenNode) {
    ListNode* list = hb_listCreate();
    EXPECT_EQ(hb_listRemove(0, list), 0u) << "the tail is never removed";
    ListNode* older = hb_listInsert(9, list);
    hb_listInsert(0, list);
    ListNode* newer = hb_listInsert(9, list); // 9 0 9
    EXPECT_EQ(hb_listRemove(8, list), 0u);
    EXPECT_EQ(hb_listRemove(9, older), 0u) << "the node itself is not compared";
    EXPECT_EQ(hb_listRemove(0, newer), 0u); // the element holding 0
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{9, 9}));
    EXPECT_EQ(hb_listRemove(9, list), 9u);
    EXPECT_EQ(hb_listGetNextNode(list), older) << "the first match went, the later one stays";
    EXPECT_EQ(hb_listRemove(9, list), 9u);
    EXPECT_EQ(hb_listGetNextNode(list), nullptr);
    hb_listDestroy(list);
}

} // namespace
