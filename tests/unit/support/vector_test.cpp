// Growth, ordering, search and release of the pointer vector.
#include "support/vector.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

int calls = 0;
// Compares two slots; a search key is passed as a slot too.
int compare(const void *a, const void *b) {
    calls++;
    int x = **static_cast<int *const *>(a), y = **static_cast<int *const *>(b);
    return (x > y) - (x < y);
}
bool found(Vector *v, int value) {
    int *key = &value;
    void **slot = vector_search(&key, v, compare);
    return slot != nullptr && **reinterpret_cast<int **>(slot) == value;
}

TEST(Vector, EmptyVectorSortsSearchesAndFreesWithoutCalls) {
    Vector *v = vector_new();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->capacity, 0u);
    EXPECT_EQ(v->count, 0);
    EXPECT_EQ(v->items, nullptr);
    calls = 0;
    EXPECT_EQ(vector_sort(v, compare), 0);
    EXPECT_FALSE(found(v, 0));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(vector_free(v, 1), 0);
}

TEST(Vector, GrowsBySixteenKeepingOneSlotSpareAndRejectsNulls) {
    Vector *v = vector_new();
    int values[40];
    for (int i = 0; i < 40; i++) {
        ASSERT_EQ(vector_add(v, &values[i]), 0);
        EXPECT_EQ(v->capacity, 16u * (static_cast<uint32_t>(i + 1) / 16 + 1)) << "add " << i + 1;
    }
    for (int i = 0; i < 40; i++) EXPECT_EQ(v->items[i], &values[i]);
    EXPECT_EQ(vector_add(v, nullptr), -1);
    EXPECT_EQ(vector_add(nullptr, &values[0]), -1);
    EXPECT_EQ(v->count, 40);
    EXPECT_EQ(v->capacity, 48u);
    EXPECT_EQ(vector_sort(nullptr, compare), -1);
    EXPECT_EQ(vector_sort(v, nullptr), -1);
    EXPECT_EQ(vector_free(nullptr, 0), -1);
    vector_free(v, 0);  // the elements live on the stack: releasing them would crash
}

TEST(Vector, SortThenSearchAndLateElementsStayUnsortedUntilTheNextSort) {
    Vector *v = vector_new();
    for (int value : {42, 7, 19, 3, 88, 61, 1}) {
        int *element = static_cast<int *>(malloc(sizeof(int)));
        ASSERT_NE(element, nullptr);
        *element = value;
        vector_add(v, element);
        EXPECT_EQ(value == 61 ? vector_sort(v, compare) : 0, 0);
    }
    EXPECT_EQ(*vector_at<int>(v, v->count - 1), 1);  // added after the sort
    for (int i = 1; i < v->count - 1; i++)
        EXPECT_LT(*vector_at<int>(v, i - 1), *vector_at<int>(v, i));
    EXPECT_TRUE(found(v, 19));
    EXPECT_FALSE(found(v, 20));
    EXPECT_FALSE(found(v, 1));
    vector_sort(v, compare);
    EXPECT_TRUE(found(v, 1));
    // Null slots are skipped on release; the sanitizers catch a double or missing free.
    free(v->items[3]);
    v->items[3] = nullptr;
    EXPECT_EQ(vector_free(v, 1), 0);
}

}  // namespace
