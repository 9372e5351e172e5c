// Growth, ordering, search and release of the pointer vector.
#include "support/vector.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

int compare_ints(const void *a, const void *b) {
    int x = **static_cast<int *const *>(a);
    int y = **static_cast<int *const *>(b);
    return (x > y) - (x < y);
}

int compare_key_int(const void *key, const void *slot) {
    int x = *static_cast<const int *>(key);
    int y = **static_cast<int *const *>(slot);
    return (x > y) - (x < y);
}

int calls = 0;
int counting_compare(const void *, const void *) {
    calls++;
    return 0;
}

int *new_int(int value) {
    int *p = static_cast<int *>(malloc(sizeof(int)));
    *p = value;
    return p;
}

}  // namespace

TEST(Vector, NewVectorIsEmptyAndUnallocated) {
    Vector *v = vector_new();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->capacity, 0u);
    EXPECT_EQ(v->count, 0);
    EXPECT_EQ(v->items, nullptr);
    EXPECT_EQ(vector_sort(v, compare_ints), 0);
    EXPECT_EQ(vector_free(v, 1), 0);
}

TEST(Vector, GrowsBySixteenKeepingOneSlotSpare) {
    Vector *v = vector_new();
    int values[40];
    for (int i = 0; i < 40; i++) {
        ASSERT_EQ(vector_add(v, &values[i]), 0);
        EXPECT_LT(static_cast<uint32_t>(v->count), v->capacity);
        EXPECT_EQ(v->capacity, 16u * (static_cast<uint32_t>(i + 1) / 16 + 1)) << "after add " << i + 1;
    }
    for (int i = 0; i < 40; i++) EXPECT_EQ(v->items[i], &values[i]);
    vector_free(v, 0);
}

TEST(Vector, NullArgumentsAreRejectedWithoutChange) {
    Vector *v = vector_new();
    int x = 1;
    ASSERT_EQ(vector_add(v, &x), 0);
    EXPECT_EQ(vector_add(v, nullptr), -1);
    EXPECT_EQ(vector_add(nullptr, &x), -1);
    EXPECT_EQ(v->count, 1);
    EXPECT_EQ(v->capacity, 16u);
    EXPECT_EQ(vector_sort(nullptr, compare_ints), -1);
    EXPECT_EQ(vector_sort(v, nullptr), -1);
    EXPECT_EQ(vector_free(nullptr, 0), -1);
    vector_free(v, 0);
}

TEST(Vector, SortThenSearchWithKeyFirst) {
    Vector *v = vector_new();
    for (int value : {42, 7, 19, 3, 88, 61}) vector_add(v, new_int(value));
    ASSERT_EQ(vector_sort(v, compare_ints), 0);
    for (int i = 1; i < v->count; i++) EXPECT_LT(*vector_at<int>(v, i - 1), *vector_at<int>(v, i));
    int key = 19;
    void **slot = vector_search(&key, v, compare_key_int);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(**reinterpret_cast<int **>(slot), 19);
    key = 20;
    EXPECT_EQ(vector_search(&key, v, compare_key_int), nullptr);

    // An element added after sorting stays at the end until the next sort.
    vector_add(v, new_int(1));
    EXPECT_EQ(*vector_at<int>(v, v->count - 1), 1);
    key = 1;
    EXPECT_EQ(vector_search(&key, v, compare_key_int), nullptr);
    vector_sort(v, compare_ints);
    EXPECT_NE(vector_search(&key, v, compare_key_int), nullptr);
    vector_free(v, 1);
}

TEST(Vector, SearchOfEmptyVectorCallsNoComparator) {
    Vector *v = vector_new();
    calls = 0;
    int key = 0;
    EXPECT_EQ(vector_search(&key, v, counting_compare), nullptr);
    EXPECT_EQ(calls, 0);
    vector_free(v, 0);
}

TEST(Vector, FreeWithElementsSkipsNullSlots) {
    // Element release under the sanitizers would report a double or missing free.
    Vector *v = vector_new();
    for (int i = 0; i < 20; i++) vector_add(v, new_int(i));
    free(v->items[3]);
    v->items[3] = nullptr;
    EXPECT_EQ(vector_free(v, 1), 0);
}
