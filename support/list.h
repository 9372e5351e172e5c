// Doubly linked list of untyped data pointers; data is released only
// through a destroy function the caller passes.
#pragma once

struct ListNode {
    ListNode *next;
    ListNode *prev;
    void *data;
};

struct List {
    ListNode *head;
    ListNode *tail;
};

using ListDestroy = void (*)(void *);

List *list_new();
ListNode *list_node_new(void *data);
int list_append(List *list, ListNode *node);
ListNode *list_remove(List *list, ListNode *node, ListDestroy destroy);
int list_is_empty(const List *list);
ListNode *list_first(const List *list);
ListNode *list_last(const List *list);
int list_clear(List *list, ListDestroy destroy);
void list_free(List *list, ListDestroy destroy);
