// 2048-bit numbers: byte images and modular powers checked against values
// computed independently with Python's pow (number_vectors.inc).
#include <gtest/gtest.h>

#include <cstring>

#include "integrity/number.h"
#include "integrity_test_util.h"

namespace {
#include "number_vectors.inc"

Number small(uint32_t value) {
    Number n = {};
    n.words[0] = value;
    return n;
}

Number power_of_two(int bit) {
    Number n = {};
    n.words[bit / 32] = 1u << (bit % 32);
    return n;
}

TEST(NumberBytes, LittleEndianImageInWholeWords) {
    const uint8_t two[] = {0x01, 0x02};
    Number n;
    memset(&n, 0xee, sizeof n);  // stale content must be cleared
    ASSERT_EQ(number_from_bytes(&n, two, 2), 0);
    EXPECT_EQ(n.words[0], 0x0201u);
    for (int i = 1; i < kNumberWords; i++) ASSERT_EQ(n.words[i], 0u);

    uint8_t image[8];
    memset(image, 0x77, sizeof image);
    uint32_t size = sizeof image;
    ASSERT_EQ(number_to_bytes(&n, image, &size), 0);
    EXPECT_EQ(size, 4u);
    const uint8_t expected[] = {0x01, 0x02, 0x00, 0x00, 0x77};
    EXPECT_EQ(memcmp(image, expected, sizeof expected), 0);
}

TEST(NumberBytes, FullWidthRoundTrip) {
    Bytes data = random_bytes(256, 99);
    Number n;
    ASSERT_EQ(number_from_bytes(&n, data.data(), 256), 0);
    EXPECT_EQ(n.words[63] >> 24, data[255]);
    Bytes back(256);
    uint32_t size = 256;
    ASSERT_EQ(number_to_bytes(&n, back.data(), &size), 0);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(back, data);
}

TEST(NumberBytes, OverlongInputFailsAndLeavesNumber) {
    Bytes data(257, 0x11);
    Number n = small(42);
    EXPECT_EQ(number_from_bytes(&n, data.data(), 257), -1);
    EXPECT_EQ(n.words[0], 42u);
    EXPECT_EQ(n.words[1], 0u);
}

TEST(NumberBytes, ZeroHasAnEmptyImage) {
    Number zero = {};
    uint8_t image[4] = {9, 9, 9, 9};
    uint32_t size = 4;
    ASSERT_EQ(number_to_bytes(&zero, image, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(image[0], 9);
}

TEST(NumberBytes, CapacityIsCheckedAgainstWholeWords) {
    uint8_t image[19];
    uint32_t size = sizeof image;
    Number big = power_of_two(128);
    memset(image, 0x55, sizeof image);
    EXPECT_EQ(number_to_bytes(&big, image, &size), -1);
    EXPECT_EQ(size, 19u);
    EXPECT_EQ(image[0], 0x55);  // nothing written

    Number top = power_of_two(127);
    top.words[0] = 1;
    ASSERT_EQ(number_to_bytes(&top, image, &size), 0);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[15], 0x80);

    size = sizeof image;
    Number mid = power_of_two(64);
    ASSERT_EQ(number_to_bytes(&mid, image, &size), 0);
    EXPECT_EQ(size, 12u);
    size = sizeof image;
    Number below = power_of_two(95);
    ASSERT_EQ(number_to_bytes(&below, image, &size), 0);
    EXPECT_EQ(size, 12u);
}

TEST(NumberModexp, SmallCases) {
    Number base = small(4), exponent = small(13), modulus = small(497);
    ASSERT_EQ(number_modexp(&base, &exponent, &modulus), 0);
    EXPECT_EQ(number_to_hex(base), "1bd");  // 445

    base = small(3);
    exponent = small(0);
    modulus = small(7);
    ASSERT_EQ(number_modexp(&base, &exponent, &modulus), 0);
    EXPECT_EQ(number_to_hex(base), "1");

    base = small(10);
    exponent = small(1);
    ASSERT_EQ(number_modexp(&base, &exponent, &modulus), 0);
    EXPECT_EQ(number_to_hex(base), "3");
}

TEST(NumberModexp, ZeroModulusFailsAndLeavesBase) {
    Number base = small(5), exponent = small(3), modulus = {};
    EXPECT_EQ(number_modexp(&base, &exponent, &modulus), -1);
    EXPECT_EQ(number_to_hex(base), "5");
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

// The operands are inputs only: exponent and modulus come out unchanged,
// even when the base aliases the exponent's value.
TEST(NumberModexp, LeavesExponentAndModulusAlone) {
    const ModexpVector &v = kModexpVectors[std::size(kModexpVectors) - 1];
    Number base = number_from_hex(v.base);
    Number exponent = number_from_hex(v.exponent);
    Number modulus = number_from_hex(v.modulus);
    ASSERT_EQ(number_modexp(&base, &exponent, &modulus), 0);
    EXPECT_EQ(number_to_hex(exponent), v.exponent);
    EXPECT_EQ(number_to_hex(modulus), v.modulus);
}

TEST(NumberWipe, FillsWith0xCC) {
    Number n = small(1);
    number_wipe(&n, sizeof n);
    for (uint32_t word : n.words) ASSERT_EQ(word, 0xccccccccu);
}

}  // namespace
