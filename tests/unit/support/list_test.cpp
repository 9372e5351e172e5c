// Linking, unlinking and clearing of the doubly linked list.
#include "support/list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::vector<int> destroyed;
void record_destroy(void *data) { destroyed.push_back(*static_cast<int *>(data)); }

void expect_consistent(const List *list) {
    if (list->head == nullptr) {
        EXPECT_EQ(list->tail, nullptr);
        return;
    }
    EXPECT_EQ(list->head->prev, nullptr);
    EXPECT_EQ(list->tail->next, nullptr);
    for (ListNode *n = list->head; n->next != nullptr; n = n->next) EXPECT_EQ(n->next->prev, n);
}
}  // namespace

TEST(List, AppendKeepsOrderAndLinks) {
    List *list = list_new();
    int values[3] = {1, 2, 3};
    EXPECT_EQ(list_is_empty(list), 1);
    for (int &v : values) ASSERT_EQ(list_append(list, list_node_new(&v)), 0);
    EXPECT_EQ(list_is_empty(list), 0);
    expect_consistent(list);
    int expected = 1;
    for (ListNode *n = list_first(list); n != nullptr; n = n->next)
        EXPECT_EQ(*static_cast<int *>(n->data), expected++);
    EXPECT_EQ(list_last(list)->data, &values[2]);
    list_free(list, nullptr);
}

TEST(List, RemoveReturnsPredecessorAndRelinks) {
    List *list = list_new();
    int a = 1, b = 2;
    list_append(list, list_node_new(&a));
    list_append(list, list_node_new(&b));
    ListNode *head = list_first(list);
    EXPECT_EQ(list_remove(list, list_last(list), nullptr), head);
    EXPECT_EQ(list->tail, head);
    EXPECT_EQ(head->next, nullptr);
    EXPECT_EQ(list_remove(list, head, nullptr), nullptr);
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(list->tail, nullptr);

    int c = 3;
    list_append(list, list_node_new(&a));
    list_append(list, list_node_new(&b));
    list_append(list, list_node_new(&c));
    EXPECT_EQ(list_remove(list, list->head->next, nullptr), list->head);
    expect_consistent(list);
    EXPECT_EQ(list->head->next, list->tail);
    list_free(list, nullptr);
}

TEST(List, ClearDestroysHeadToTailOnce) {
    List *list = list_new();
    int values[4] = {10, 20, 30, 40};
    for (int &v : values) list_append(list, list_node_new(&v));
    destroyed.clear();
    EXPECT_EQ(list_clear(list, record_destroy), 0);
    EXPECT_EQ(destroyed, (std::vector<int>{10, 20, 30, 40}));
    EXPECT_EQ(list_is_empty(list), 1);
    list_free(list, record_destroy);
    EXPECT_EQ(destroyed.size(), 4u);
}

TEST(List, NullArguments) {
    List *list = list_new();
    EXPECT_EQ(list_is_empty(nullptr), -1);
    EXPECT_EQ(list_append(nullptr, nullptr), -1);
    EXPECT_EQ(list_append(list, nullptr), -1);
    EXPECT_EQ(list_remove(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(list_first(nullptr), nullptr);
    EXPECT_EQ(list_last(nullptr), nullptr);
    EXPECT_EQ(list_clear(nullptr, nullptr), -1);
    EXPECT_EQ(list_is_empty(list), 1);
    list_free(list, nullptr);
}
