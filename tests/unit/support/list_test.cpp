// Linking, unlinking and clearing of the doubly linked list.
#include "support/list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> destroyed;
void record_destroy(void *data) {
    destroyed.push_back(*static_cast<int *>(data));
}

// Checks the links and returns the data from head to tail.
std::vector<int> walk(const List *list) {
    std::vector<int> seen;
    EXPECT_EQ(list->head == nullptr, list->tail == nullptr);
    if (list->head == nullptr) return seen;
    EXPECT_EQ(list->head->prev, nullptr);
    EXPECT_EQ(list->tail->next, nullptr);
    for (ListNode *n = list_first(list); n != nullptr; n = n->next) {
        EXPECT_TRUE(n->next == nullptr || n->next->prev == n);
        seen.push_back(*static_cast<int *>(n->data));
    }
    return seen;
}

}  // namespace

TEST(List, AppendRemoveAndNullArguments) {
    List *list = list_new();
    int values[3] = {1, 2, 3};
    EXPECT_EQ(list_is_empty(list), 1);
    for (int &v : values) ASSERT_EQ(list_append(list, list_node_new(&v)), 0);
    EXPECT_EQ(list_is_empty(list), 0);
    EXPECT_EQ(walk(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list_last(list)->data, &values[2]);
    // Middle, then tail (returning the head, now also the tail), then the only node.
    EXPECT_EQ(list_remove(list, list->head->next, nullptr), list->head);
    EXPECT_EQ(walk(list), (std::vector<int>{1, 3}));
    ListNode *head = list_first(list);
    EXPECT_EQ(list_remove(list, list_last(list), nullptr), head);
    EXPECT_EQ(list->tail, head);
    EXPECT_EQ(head->next, nullptr);
    EXPECT_EQ(list_remove(list, head, nullptr), nullptr);
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(list->tail, nullptr);

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
