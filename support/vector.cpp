// Growable pointer array: grows by 16 slots, always keeps one slot spare.
#include "support/vector.h"

#include <cstdlib>

namespace {
constexpr uint32_t kGrowth = 16;
}

Vector *vector_new() { return static_cast<Vector *>(calloc(1, sizeof(Vector))); }

int vector_add(Vector *vector, void *element) {
    if (vector == nullptr || element == nullptr) return -1;
    if (vector->capacity <= static_cast<uint32_t>(vector->count) + 1) {
        uint32_t grown = vector->capacity + kGrowth;
        void **items = static_cast<void **>(realloc(vector->items, grown * sizeof(void *)));
        if (items == nullptr) return -1;
        vector->items = items;
        vector->capacity = grown;
    }
    vector->items[vector->count++] = element;
    return 0;
}

int vector_sort(Vector *vector, VectorCompare compare) {
    if (vector == nullptr || compare == nullptr) return -1;
    if (vector->items == nullptr) return 0;
    qsort(vector->items, static_cast<size_t>(vector->count), sizeof(void *), compare);
    return 0;
}

void **vector_search(const void *key, Vector *vector, VectorCompare compare) {
    if (vector->count <= 0 || vector->items == nullptr) return nullptr;
    return static_cast<void **>(
        bsearch(key, vector->items, static_cast<size_t>(vector->count), sizeof(void *), compare));
}

int vector_free(Vector *vector, int free_elements) {
    if (vector == nullptr) return -1;
    if (vector->items != nullptr) {
        if (free_elements) {
            for (int32_t i = 0; i < vector->count; i++) {
                free(vector->items[i]);
                vector->items[i] = nullptr;
            }
        }
        free(vector->items);
    }
    free(vector);
    return 0;
}
