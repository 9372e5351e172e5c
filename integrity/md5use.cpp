// Helpers around the MD5 core: digests of descriptor ranges and of files,
// and conversion between digests and their hexadecimal text.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "integrity/md5.h"

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

uint64_t md5_length(const Md5Context *context) {
    return (static_cast<uint64_t>(context->count[1]) << 32 | context->count[0]) >> 3;
}

int md5_update_fd(Md5Context *context, int descriptor, int64_t length) {
    uint8_t buffer[kMd5ReadChunk];
    while (length > 0) {
        size_t want = static_cast<size_t>(length < kMd5ReadChunk ? length : kMd5ReadChunk);
        ssize_t got = read(descriptor, buffer, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        md5_update(context, buffer, static_cast<uint32_t>(got));
        length -= got;
    }
    return 0;
}

int md5_fd(int descriptor, uint8_t *digest, int64_t length) {
    Md5Context context;
    md5_init(&context);
    const int result = md5_update_fd(&context, descriptor, length);
    md5_final(digest, &context);
    return result;
}

int md5_file(const char *path, uint8_t *digest, int64_t start, int64_t end) {
    struct stat info;
    if (stat(path, &info) < 0) return -1;
    if (end <= 0) end += info.st_size;
    if (start < 0 || end < start) return -1;

    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    int result = 0;
    if (start != 0 && lseek(descriptor, start, SEEK_SET) != start) result = -1;
    if (result == 0) result = md5_fd(descriptor, digest, end - start);
    close(descriptor);
    return result;
}

void md5_of(std::string_view bytes, uint8_t *digest) {
    Md5Context md5;
    md5_init(&md5);
    md5_update(&md5, bytes.data(), static_cast<uint32_t>(bytes.size()));
    md5_final(digest, &md5);
}

std::string md5_hex_of(std::string_view bytes) {
    uint8_t digest[kMd5DigestSize];
    md5_of(bytes, digest);
    char hex[kMd5HexSize];
    md5_hex(hex, digest);
    return hex;
}

void md5_hex(char *text, const uint8_t *digest) {
    for (int i = 0; i < kMd5DigestSize; i++) {
        text[2 * i] = hex_digit(digest[i] >> 4);
        text[2 * i + 1] = hex_digit(digest[i] & 0x0f);
    }
    text[2 * kMd5DigestSize] = '\0';
}

char hex_digit(int value) {
    return kHexDigits[value & 0x0f];
}

namespace {
// Upper-case letters are accepted as well: a hand-edited catalogue with
// "ABCDEF" digests would otherwise decode to wrong bytes without any error.
int hex_value(char c) {
    if (c > 96) return c - 87;
    if (c >= 'A' && c <= 'F') return c - 55;
    return c - 48;
}
}  // namespace

void md5_unhex(uint8_t *digest, const char *text) {
    for (int i = 0; i < kMd5DigestSize; i++) {
        digest[i] = static_cast<uint8_t>(hex_value(text[2 * i]) << 4 | hex_value(text[2 * i + 1]));
    }
}
