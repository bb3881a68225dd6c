// The list of values between its head and tail nodes.
#include "hbsys9u.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uintptr_t> walk(ListNode* list) {
    std::vector<uintptr_t> items;
    for (ListNode* n = hb_listGetNextNode(list); n; n = hb_listGetNextNode(n)) {
        items.push_back(hb_listItem(n));
    }
    return items;
}

TEST(List, NewListIsEmptyAndRemovesNothing) {
    ListNode* list = hb_listCreate();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(hb_listGetNextNode(list), nullptr);
    EXPECT_EQ(hb_listRemove(0, list), 0u) << "the tail is never removed";
    EXPECT_EQ(hb_listRemove(42, list), 0u);
    EXPECT_EQ(hb_listGetNextNode(list), nullptr);
    hb_listDestroy(list);
}

TEST(List, InsertAtTheListPutsNewestFirst) {
    ListNode* list = hb_listCreate();
    hb_listInsert(5, list);
    hb_listInsert(7, list);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{7, 5}));
    hb_listDestroy(list);
}

TEST(List, InsertAfterAnElementPlacesItDirectlyBehind) {
    ListNode* list = hb_listCreate();
    hb_listInsert(3, list);
    ListNode* one = hb_listInsert(1, list);
    hb_listInsert(2, one);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{1, 2, 3}));
    hb_listDestroy(list);
}

TEST(List, RemoveTakesTheFirstMatchOnly) {
    ListNode* list = hb_listCreate();
    ListNode* older = hb_listInsert(9, list);
    hb_listInsert(4, list);
    hb_listInsert(9, list);
    EXPECT_EQ(hb_listRemove(9, list), 9u);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{4, 9}));
    EXPECT_EQ(hb_listGetNextNode(hb_listGetNextNode(list)), older)
        << "the first-inserted copy stays";
    EXPECT_EQ(hb_listRemove(8, list), 0u);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{4, 9}));
    hb_listDestroy(list);
}

TEST(List, RemoveStartsAfterTheGivenNode) {
    ListNode* list = hb_listCreate();
    hb_listInsert(1, list);
    ListNode* two = hb_listInsert(2, list);
    hb_listInsert(1, two); // 2 -> 1 -> 1
    EXPECT_EQ(hb_listRemove(2, two), 0u) << "the node itself is not compared";
    EXPECT_EQ(hb_listRemove(1, two), 1u);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{2, 1}));
    hb_listDestroy(list);
}

TEST(List, RemovingTheOnlyElementEmptiesIt) {
    ListNode* list = hb_listCreate();
    hb_listInsert(0, list);
    EXPECT_NE(hb_listGetNextNode(list), nullptr);
    EXPECT_EQ(hb_listRemove(0, list), 0u); // an element holding 0
    EXPECT_EQ(hb_listGetNextNode(list), nullptr);
    EXPECT_EQ(list->next->next, nullptr) << "head -> tail";
    hb_listDestroy(list);
}

TEST(List, FullWidthValuesRoundTrip) {
    ListNode* list = hb_listCreate();
    uintptr_t big = ~uintptr_t{0} - 1;
    hb_listInsert(big, list);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{big}));
    EXPECT_EQ(hb_listRemove(big, list), big);
    hb_listDestroy(list);
}

TEST(List, DestroyAcceptsNullAndFreesEveryNode) {
    hb_listDestroy(nullptr);
    ListNode* list = hb_listCreate();
    for (uintptr_t i = 0; i < 100; ++i) {
        hb_listInsert(i, list);
    }
    hb_listDestroy(list); // LeakSanitizer checks the rest
}

} // namespace
