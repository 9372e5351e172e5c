// Signature check of signed files against an RSA public key: the payload's
// MD5 digest must equal the signature raised to the public exponent.
#include "integrity/rsa.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "integrity/md5.h"

namespace {

bool is_zero(const Number *n) {
    for (uint32_t word : n->words) {
        if (word != 0) return false;
    }
    return true;
}

// Reads exactly length bytes; -1 on end of file or error.
int read_full(int descriptor, uint8_t *buffer, uint32_t length) {
    while (length > 0) {
        ssize_t got = read(descriptor, buffer, length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        buffer += got;
        length -= static_cast<uint32_t>(got);
    }
    return 0;
}

}  // namespace

int rsa_verify(const RsaKey *key, const uint8_t *digest, uint32_t digest_length,
               const uint8_t *signature, uint32_t signature_length) {
    if (key == nullptr || is_zero(&key->modulus) || is_zero(&key->exponent)) return -1;
    if (signature_length > sizeof(Number)) return -1;
    const uint32_t capacity = digest_length + 3;
    std::vector<uint8_t> buffer(capacity);

    Number value;
    int result = -1;
    if (number_from_bytes(&value, signature, signature_length) == 0 &&
        number_modexp(&value, &key->exponent, &key->modulus) == 0) {
        uint32_t size = capacity;
        // An image longer than the digest (whole words) cannot match it.
        if (number_to_bytes(&value, buffer.data(), &size) < 0) {
            result = 1;
        } else {
            result = 0;
            for (uint32_t i = 0; i < digest_length; i++) {
                if (buffer[i] != digest[i]) result = 1;
            }
        }
    }
    number_wipe(&value, sizeof value);
    number_wipe(buffer.data(), capacity);
    return result;
}

int rsa_verify_descriptor(const RsaKey *key, int descriptor) {
    struct stat info;
    if (fstat(descriptor, &info) < 0 || info.st_size < kRsaSignatureSize) return -1;
    if (lseek(descriptor, 0, SEEK_SET) != 0) return -1;
    uint8_t digest[kMd5DigestSize];
    uint8_t signature[kRsaSignatureSize];
    int result = -1;
    if (md5_fd(descriptor, digest, info.st_size - kRsaSignatureSize) == 0 &&
        read_full(descriptor, signature, kRsaSignatureSize) == 0) {
        result = rsa_verify(key, digest, kMd5DigestSize, signature, kRsaSignatureSize);
    }
    number_wipe(signature, sizeof signature);
    return result;
}

int rsa_verify_file(const RsaKey *key, const char *path) {
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    int result = rsa_verify_descriptor(key, descriptor);
    close(descriptor);
    return result;
}

int rsa_verify_and_strip(const RsaKey *key, const char *path) {
    struct stat info;
    if (stat(path, &info) < 0) return -1;
    if (rsa_verify_file(key, path) != 0) return -1;
    if (truncate(path, info.st_size - kRsaSignatureSize) < 0) return -1;
    return 0;
}
