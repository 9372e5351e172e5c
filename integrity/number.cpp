// 2048-bit integers for the signature check: byte conversions and modular
// exponentiation, with schoolbook multiplication and word-by-word long
// division (Knuth's algorithm D) for the remainders.
#include "integrity/number.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kWipe = 0xCC;
constexpr uint64_t kBase = uint64_t{1} << 32;

// Index of the highest non-zero word, -1 for zero.
int highest_word(const Number *n) {
    for (int i = kNumberWords - 1; i >= 0; i--) {
        if (n->words[i] != 0) return i;
    }
    return -1;
}

int highest_bit(const Number *n) {
    int word = highest_word(n);
    if (word < 0) return -1;
    return 32 * word + 31 - __builtin_clz(n->words[word]);
}

int test_bit(const Number *n, int bit) {
    return (n->words[bit / 32] >> (bit % 32)) & 1;
}

// a = a * b modulo 2^2048. Numbers with bit 2047 set, taken as negative,
// multiply to the same words as unsigned ones in this ring.
void multiply(Number *a, const Number *b) {
    const int a_words = highest_word(a) + 1;
    const int b_words = highest_word(b) + 1;
    uint32_t product[kNumberWords] = {};
    for (int i = 0; i < a_words; i++) {
        const uint64_t digit = a->words[i];
        const int count = std::min(b_words, kNumberWords - i);
        uint64_t carry = 0;
        // digit * word + two words below 2^32 never exceeds 2^64 - 1.
        for (int j = 0; j < count; j++) {
            carry += digit * b->words[j] + product[i + j];
            product[i + j] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        // No earlier row reached this word; past the top it is dropped.
        if (i + count < kNumberWords) product[i + count] = static_cast<uint32_t>(carry);
    }
    memcpy(a->words, product, sizeof product);
    number_wipe(product, sizeof product);
}

// a = a modulo m, m not zero: the remainder of the long division of a by m
// in base 2^32, both shifted left until m's top bit is set, so that each
// estimated quotient digit is at most two too large.
void reduce(Number *a, const Number *m) {
    const int n = highest_word(m) + 1;
    const int length = highest_word(a) + 1;
    if (length < n) return;
    if (n == 1) {
        uint64_t remainder = 0;
        for (int i = length - 1; i >= 0; i--)
            remainder = (remainder << 32 | a->words[i]) % m->words[0];
        memset(a->words, 0, sizeof a->words);
        a->words[0] = static_cast<uint32_t>(remainder);
        return;
    }
    const int shift = __builtin_clz(m->words[n - 1]);
    // x << shift with the bits that the word below brings up.
    const auto shifted = [shift](const uint32_t *x, int i) {
        const uint64_t below = i > 0 && shift > 0 ? x[i - 1] >> (32 - shift) : 0;
        return static_cast<uint32_t>(uint64_t{x[i]} << shift | below);
    };
    uint32_t v[kNumberWords];
    uint32_t u[kNumberWords + 1];
    for (int i = 0; i < n; i++) v[i] = shifted(m->words, i);
    for (int i = 0; i < length; i++) u[i] = shifted(a->words, i);
    u[length] = shift > 0 ? a->words[length - 1] >> (32 - shift) : 0;

    for (int j = length - n; j >= 0; j--) {
        const uint64_t top = uint64_t{u[j + n]} << 32 | u[j + n - 1];
        uint64_t digit = top / v[n - 1];
        uint64_t rest = top % v[n - 1];
        while (digit >= kBase || digit * v[n - 2] > (rest << 32 | u[j + n - 2])) {
            digit--;
            rest += v[n - 1];
            if (rest >= kBase) break;
        }
        // u[j .. j+n] -= digit * v, the borrow carried as a signed word.
        int64_t borrow = 0;
        int64_t difference = 0;
        for (int i = 0; i < n; i++) {
            const uint64_t p = digit * v[i];
            difference = int64_t{u[i + j]} - borrow - static_cast<int64_t>(p & 0xffffffffu);
            u[i + j] = static_cast<uint32_t>(difference);
            borrow = static_cast<int64_t>(p >> 32) - (difference >> 32);
        }
        difference = int64_t{u[j + n]} - borrow;
        u[j + n] = static_cast<uint32_t>(difference);
        if (difference < 0) {
            // The digit was one too large: add v back once.
            uint64_t carry = 0;
            for (int i = 0; i < n; i++) {
                carry += uint64_t{u[i + j]} + v[i];
                u[i + j] = static_cast<uint32_t>(carry);
                carry >>= 32;
            }
            u[j + n] = static_cast<uint32_t>(u[j + n] + carry);
        }
    }
    memset(a->words, 0, sizeof a->words);
    for (int i = 0; i < n; i++) {
        const uint64_t above = i + 1 < n && shift > 0 ? uint64_t{u[i + 1]} << (32 - shift) : 0;
        a->words[i] = static_cast<uint32_t>(u[i] >> shift | above);
    }
    number_wipe(u, sizeof u);
    number_wipe(v, sizeof v);
}

}  // namespace

void number_wipe(void *memory, uint64_t length) {
    memset(memory, kWipe, length);
    // Keeps the stores: the memory is treated as read after this point.
    __asm__ __volatile__("" : : "r"(memory) : "memory");
}

int number_from_bytes(Number *number, const uint8_t *bytes, uint32_t length) {
    if (length > sizeof(Number)) return -1;
    memset(number, 0, sizeof *number);
    for (uint32_t i = 0; i < length; i++) {
        number->words[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
    }
    return 0;
}

int number_to_bytes(const Number *number, uint8_t *bytes, uint32_t *size) {
    const uint32_t image = 4 * static_cast<uint32_t>(highest_word(number) + 1);
    if (image > *size) return -1;
    for (uint32_t i = 0; i < image; i++) {
        bytes[i] = static_cast<uint8_t>(number->words[i / 4] >> (8 * (i % 4)));
    }
    *size = image;
    return 0;
}

int number_modexp(Number *base, const Number *exponent, const Number *modulus) {
    if (highest_word(modulus) < 0) return -1;
    Number power = *base;
    reduce(&power, modulus);
    Number result = {};
    result.words[0] = 1;
    reduce(&result, modulus);  // a modulus of 1 makes everything 0
    const int top = highest_bit(exponent);
    for (int i = 0; i <= top; i++) {
        if (test_bit(exponent, i)) {
            multiply(&result, &power);
            reduce(&result, modulus);
        }
        if (i < top) {
            multiply(&power, &power);
            reduce(&power, modulus);
        }
    }
    *base = result;
    number_wipe(&result, sizeof result);
    number_wipe(&power, sizeof power);
    return 0;
}
