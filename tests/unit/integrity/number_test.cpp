// 2048-bit numbers: byte images and modular powers checked against values
// computed independently with Python's pow (number_vectors.inc).
#include <gtest/gtest.h>

#include <cstring>

#include "integrity/number.h"
#include "integrity_test_util.h"

namespace {
#include "number_vectors.inc"

Number bits(std::initializer_list<int> set) {
    Number n = {};
    for (int bit : set) n.words[bit / 32] |= 1u << (bit % 32);
    return n;
}

TEST(NumberBytes, FromBytesIsALittleEndianImageOfAtMost256Bytes) {
    const uint8_t two[] = {0x01, 0x02};
    Number n;
    memset(&n, 0xee, sizeof n);  // stale content must be cleared
    ASSERT_EQ(number_from_bytes(&n, two, 2), 0);
    EXPECT_EQ(n.words[0], 0x0201u);
    for (int i = 1; i < kNumberWords; i++) ASSERT_EQ(n.words[i], 0u);

    Bytes data = random_bytes(256, 99);
    ASSERT_EQ(number_from_bytes(&n, data.data(), 256), 0);
    EXPECT_EQ(n.words[63] >> 24, data[255]);
    Bytes back(256);
    uint32_t size = 256;
    ASSERT_EQ(number_to_bytes(&n, back.data(), &size), 0);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(back, data);

    data.push_back(0x11);  // 257 bytes: refused, number left alone
    n = bits({1, 3, 5});
    EXPECT_EQ(number_from_bytes(&n, data.data(), 257), -1);
    EXPECT_EQ(n.words[0], 42u);
    EXPECT_EQ(n.words[1], 0u);
}

// The image is written in whole words, the capacity checked against them.
TEST(NumberBytes, ToBytesWritesWholeWordsWithinTheCapacity) {
    const struct {
        Number n;
        uint32_t capacity;
        int result;
        uint32_t size;
        std::vector<uint8_t> head;  // the image's first bytes afterwards
    } cases[] = {
        {bits({0, 9}), 8, 0, 4, {0x01, 0x02, 0x00, 0x00, 0x55}},
        {bits({}), 4, 0, 0, {0x55}},                // zero has an empty image
        {bits({128}), 19, -1, 19, {0x55}},          // nothing written
        {bits({0, 127}), 19, 0, 16, {0x01, 0x00}},  // image[15] checked below
        {bits({64}), 19, 0, 12, {0x00}},
        {bits({95}), 19, 0, 12, {0x00}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(number_to_hex(c.n));
        uint8_t image[19];
        memset(image, 0x55, sizeof image);
        uint32_t size = c.capacity;
        EXPECT_EQ(number_to_bytes(&c.n, image, &size), c.result);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(Bytes(image, image + c.head.size()), c.head);
        if (c.size == 16) {
            EXPECT_EQ(image[15], 0x80);
        }
    }
}

TEST(NumberModexp, MatchesPythonPow) {
    for (const ModexpVector &v : kModexpVectors) {
        Number base = number_from_hex(v.base);
        const Number exponent = number_from_hex(v.exponent);
        const Number modulus = number_from_hex(v.modulus);
        ASSERT_EQ(number_modexp(&base, &exponent, &modulus), 0);
        EXPECT_EQ(number_to_hex(base), v.result)
            << "base " << v.base << "\nexponent " << v.exponent << "\nmodulus " << v.modulus;
    }
}

// The operands are inputs only; a zero modulus fails and leaves the base.
TEST(NumberModexp, LeavesOperandsAloneAndRefusesAZeroModulus) {
    const ModexpVector &v = kModexpVectors[std::size(kModexpVectors) - 1];
    Number base = number_from_hex(v.base);
    Number exponent = number_from_hex(v.exponent);
    Number modulus = number_from_hex(v.modulus);
    ASSERT_EQ(number_modexp(&base, &exponent, &modulus), 0);
    EXPECT_EQ(number_to_hex(exponent), v.exponent);
    EXPECT_EQ(number_to_hex(modulus), v.modulus);

    base = number_from_hex("5");
    exponent = number_from_hex("3");
    modulus = {};
    EXPECT_EQ(number_modexp(&base, &exponent, &modulus), -1);
    EXPECT_EQ(number_to_hex(base), "5");
}

TEST(NumberWipe, FillsWith0xCC) {
    Number n = bits({0});
    number_wipe(&n, sizeof n);
    for (uint32_t word : n.words) ASSERT_EQ(word, 0xccccccccu);
}

}  // namespace
