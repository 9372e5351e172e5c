// Fixed-size 2048-bit unsigned integers with the one operation the
// signature check needs: modular exponentiation.
#pragma once

#include <cstdint>

constexpr int kNumberWords = 64;

// Least significant word first; bit 2047 is the sign in the multiplication.
struct Number {
    uint32_t words[kNumberWords];
};

int number_from_bytes(Number *number, const uint8_t *bytes, uint32_t length);
// *size is the capacity of bytes on entry and the image's length on success.
int number_to_bytes(const Number *number, uint8_t *bytes, uint32_t *size);
// base = base ** exponent mod modulus.
int number_modexp(Number *base, const Number *exponent, const Number *modulus);

// Overwrites memory that held key or signature values with 0xCC, in a way
// the compiler cannot drop as a dead store.
void number_wipe(void *memory, uint64_t length);
