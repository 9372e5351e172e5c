// RSA signature check of signed files: payload followed by a 128-byte
// little-endian signature of the payload's MD5 digest.
#pragma once

#include <cstdint>

#include "integrity/number.h"

constexpr int kRsaSignatureSize = 128;

struct RsaKey {
    Number modulus;
    Number exponent;  // the public exponent
};

// The key built into the program (generated from the build's public key).
extern const RsaKey *rsa_public_key;

// 0 signature matches, 1 it does not, -1 error.
int rsa_verify(const RsaKey *key, const uint8_t *digest, uint32_t digest_length,
               const uint8_t *signature, uint32_t signature_length);
// 0 verified, 1 mismatch, -1 the file cannot be checked; the file is unchanged.
int rsa_verify_file(const RsaKey *key, const char *path);
// The same check of the whole of an open file, read from its start.
int rsa_verify_descriptor(const RsaKey *key, int descriptor);
// 0 when the file verified and was cut to its payload, -1 otherwise.
int rsa_verify_and_strip(const RsaKey *key, const char *path);
