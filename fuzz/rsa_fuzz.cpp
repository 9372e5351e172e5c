// Fuzzes rsa_verify_file with the built-in key on any file, and modular powers on input moduli.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "fuzz/feed.h"
#include "integrity/number.h"
#include "integrity/rsa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = feed_file(data, size);
    if (path == nullptr) abort();

    int result = rsa_verify_file(rsa_public_key, path);
    if (size < kRsaSignatureSize ? result != -1 : result < 0) abort();
    // Without a valid signature nothing may be stripped.
    if (result != 0 && rsa_verify_and_strip(rsa_public_key, path) != -1) abort();

    // Byte 0: modulus length (<= 128); then modulus, exponent (<= 4 bytes: bounded time), base.
    if (size < 2) return 0;
    size_t modulus_length = data[0] % 129;
    if (size < 1 + modulus_length) return 0;
    Number modulus, exponent, base;
    number_from_bytes(&modulus, data + 1, static_cast<uint32_t>(modulus_length));
    const size_t rest = size - 1 - modulus_length, exponent_length = std::min<size_t>(rest, 4);
    number_from_bytes(&exponent, data + 1 + modulus_length, static_cast<uint32_t>(exponent_length));
    const size_t base_length = std::min<size_t>(rest - exponent_length, 256);
    number_from_bytes(&base, data + 1 + modulus_length + exponent_length,
                      static_cast<uint32_t>(base_length));
    bool zero = true;
    for (uint32_t word : modulus.words) zero = zero && word == 0;
    if (number_modexp(&base, &exponent, &modulus) != (zero ? -1 : 0)) abort();
    // The result lies below the modulus, compared from the most significant word.
    if (!zero &&
        !std::lexicographical_compare(std::rbegin(base.words), std::rend(base.words),
                                      std::rbegin(modulus.words), std::rend(modulus.words)))
        abort();
    return 0;
}
