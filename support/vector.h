// Growable array of untyped element pointers, sorted and searched with
// comparators that its users supply.
#pragma once

#include <cstdint>

struct Vector {
    uint32_t capacity;  // slots allocated in items
    int32_t count;      // elements held, in the first count slots
    void **items;       // null until the first element is added
};

using VectorCompare = int (*)(const void *, const void *);

Vector *vector_new();
int vector_add(Vector *vector, void *element);
int vector_sort(Vector *vector, VectorCompare compare);
// Key first: compare is called with (key, pointer to slot).
void **vector_search(const void *key, Vector *vector, VectorCompare compare);
int vector_free(Vector *vector, int free_elements);

// Typed view of a slot, for the callers that know what they stored.
template <typename T>
inline T *vector_at(const Vector *vector, int32_t index) {
    return static_cast<T *>(vector->items[index]);
}
