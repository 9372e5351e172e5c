// Doubly linked list used by the path normaliser.
#include "support/list.h"

#include <cstdlib>

List *list_new() { return static_cast<List *>(calloc(1, sizeof(List))); }

ListNode *list_node_new(void *data) {
    auto *node = static_cast<ListNode *>(calloc(1, sizeof(ListNode)));
    if (node != nullptr) node->data = data;
    return node;
}

int list_append(List *list, ListNode *node) {
    if (list == nullptr || node == nullptr) return -1;
    node->next = nullptr;
    node->prev = list->tail;
    if (list->tail != nullptr)
        list->tail->next = node;
    else
        list->head = node;
    list->tail = node;
    return 0;
}

ListNode *list_remove(List *list, ListNode *node, ListDestroy destroy) {
    if (list == nullptr || node == nullptr) return nullptr;
    ListNode *prev = node->prev;
    if (list->head == node) list->head = node->next;
    if (list->tail == node) list->tail = prev;
    if (prev != nullptr) prev->next = node->next;
    if (node->next != nullptr) node->next->prev = prev;
    if (destroy != nullptr) destroy(node->data);
    free(node);
    return prev;
}

int list_is_empty(const List *list) {
    if (list == nullptr) return -1;
    return list->head == nullptr ? 1 : 0;
}

ListNode *list_first(const List *list) { return list != nullptr ? list->head : nullptr; }

ListNode *list_last(const List *list) { return list != nullptr ? list->tail : nullptr; }

int list_clear(List *list, ListDestroy destroy) {
    if (list == nullptr) return -1;
    while (list->head != nullptr) list_remove(list, list->head, destroy);
    return 0;
}

void list_free(List *list, ListDestroy destroy) {
    if (list == nullptr) return;
    list_clear(list, destroy);
    free(list);
}
