// 2048-bit integers for the signature check: byte conversions and modular
// exponentiation built on shift tables, so the inner loops only add or
// subtract whole-word ranges.
#include "integrity/number.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kTableEntries = 32;  // shifts by 0..31 bits; whole words are offsets
constexpr uint8_t kWipe = 0xCC;

struct ShiftTable {
    Number entry[kTableEntries];
};

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

void shift_left(Number *n, int bits) {
    if (bits == 0) return;
    for (int i = kNumberWords - 1; i > 0; i--) {
        n->words[i] = n->words[i] << bits | n->words[i - 1] >> (32 - bits);
    }
    n->words[0] <<= bits;
}

void negate(Number *n) {
    for (uint32_t &word : n->words) word = ~word;
    for (uint32_t &word : n->words) {
        if (++word != 0) break;
    }
}

// a[from + j] += b[j] for j < count, carry running upwards, dropped at the end.
void add_range(Number *a, const Number *b, int from, int count) {
    if (count > kNumberWords - from) count = kNumberWords - from;
    uint64_t carry = 0;
    for (int j = 0; j < count; j++) {
        carry += static_cast<uint64_t>(a->words[from + j]) + b->words[j];
        a->words[from + j] = static_cast<uint32_t>(carry);
        carry >>= 32;
    }
}

void subtract_range(Number *a, const Number *b, int from, int count) {
    if (count > kNumberWords - from) count = kNumberWords - from;
    uint32_t borrow = 0;
    for (int j = 0; j < count; j++) {
        uint64_t diff = static_cast<uint64_t>(a->words[from + j]) - b->words[j] - borrow;
        a->words[from + j] = static_cast<uint32_t>(diff);
        borrow = static_cast<uint32_t>(diff >> 63);
    }
}

// Whether a < b * 2^(32k); the words of a below k cannot change the answer.
bool less_than_shifted(const Number *a, const Number *b, int k) {
    for (int i = kNumberWords - 1; i >= k; i--) {
        uint32_t bw = b->words[i - k];
        if (a->words[i] != bw) return a->words[i] < bw;
    }
    return false;
}

// Reduces a modulo m, given the table of m shifted by 0..31 bits.
void reduce(Number *a, const Number *m, const ShiftTable *table) {
    const int mb = highest_bit(m);
    // Words the shifted modulus can occupy, plus one: after a skipped
    // comparison a reaches one bit above m * 2^d, and the borrow must get
    // there (it matters when mb is a multiple of 32 and d % 32 is 31).
    const int span = (mb + 32) / 32 + 1;
    int d = highest_bit(a) - mb;
    bool known_smaller = false;
    while (d >= 0) {
        const Number *t = &table->entry[d % 32];
        const int offset = d / 32;
        if (!known_smaller && less_than_shifted(a, t, offset)) {
            // a has bit mb + d set, so a is at least m * 2^(d-1): the next
            // subtraction fits without comparing.
            known_smaller = true;
            d--;
            continue;
        }
        known_smaller = false;
        subtract_range(a, t, offset, span);
        d = highest_bit(a) - mb;
    }
}

// Fills entry j of the table with a shifted left by j bits for each bit j
// set in mask; records each entry's word count in used.
void fill_shifts(ShiftTable *table, const Number *a, uint32_t mask, int used[kTableEntries]) {
    for (int j = 0; j < kTableEntries; j++) {
        if ((mask >> j & 1) == 0) continue;
        table->entry[j] = *a;
        shift_left(&table->entry[j], j);
        used[j] = highest_word(&table->entry[j]) + 1;
    }
}

// a = a * b modulo 2^2048, two's complement. -1 (a unchanged) when the
// table cannot be allocated.
int multiply(Number *a, const Number *b) {
    ShiftTable *table = static_cast<ShiftTable *>(malloc(sizeof(ShiftTable)));
    if (table == nullptr) return -1;

    Number left = *a;
    Number right = *b;
    int negative = 0;
    if (test_bit(&left, 2047)) {
        negate(&left);
        negative ^= 1;
    }
    if (test_bit(&right, 2047)) {
        negate(&right);
        negative ^= 1;
    }

    // Only the shifts that some word of the multiplier needs are built.
    uint32_t mask = 0;
    const int top_word = highest_word(&right);
    for (int i = 0; i <= top_word && mask != 0xffffffffu; i++) mask |= right.words[i];
    int used[kTableEntries] = {};
    fill_shifts(table, &left, mask, used);

    Number product = {};
    const int top_bit = highest_bit(&right);
    for (int i = 0; i <= top_bit; i++) {
        if (!test_bit(&right, i)) continue;
        // One word above the shifted value takes the carry.
        add_range(&product, &table->entry[i % 32], i / 32, used[i % 32] + 1);
    }
    if (negative) negate(&product);
    *a = product;

    number_wipe(&product, sizeof product);
    number_wipe(&left, sizeof left);
    number_wipe(&right, sizeof right);
    number_wipe(table, sizeof *table);
    free(table);
    return 0;
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
    ShiftTable *table = static_cast<ShiftTable *>(malloc(sizeof(ShiftTable)));
    if (table == nullptr) return -1;
    int used[kTableEntries];
    fill_shifts(table, modulus, 0xffffffffu, used);

    Number power = *base;
    reduce(&power, modulus, table);
    Number result = {};
    result.words[0] = 1;
    reduce(&result, modulus, table);  // a modulus of 1 makes everything 0
    const int top = highest_bit(exponent);
    for (int i = 0; i <= top; i++) {
        // A failed multiplication leaves its operand as it was; the wrong
        // value then fails the signature comparison.
        if (test_bit(exponent, i)) {
            multiply(&result, &power);
            reduce(&result, modulus, table);
        }
        if (i < top) {
            multiply(&power, &power);
            reduce(&power, modulus, table);
        }
    }
    *base = result;
    number_wipe(&result, sizeof result);
    number_wipe(&power, sizeof power);
    number_wipe(table, sizeof *table);
    free(table);
    return 0;
}
