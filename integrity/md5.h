// MD5 message digests (RFC 1321) and the helpers around them: digests of
// descriptor ranges and files, and the hexadecimal text form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct Md5Context {
    uint32_t state[4];   // chaining words A, B, C, D
    uint32_t count[2];   // bits hashed so far, low word first
    uint8_t buffer[64];  // partial input block
};

constexpr int kMd5DigestSize = 16;
constexpr int kMd5HexSize = 33;  // 32 characters and the NUL
// Reads of files to digest: large enough that the system calls cost little
// next to the digest itself.
constexpr int kMd5ReadChunk = 64 * 1024;

void md5_init(Md5Context *context);
void md5_update(Md5Context *context, const void *data, uint32_t length);
// Writes the digest first, then zeroes the whole context.
void md5_final(uint8_t *digest, Md5Context *context);

// The count of bytes digested so far.
uint64_t md5_length(const Md5Context *context);

// Adds exactly length bytes from the descriptor's current position, in reads
// of at most kMd5ReadChunk bytes. A short read gives -1; what was read is
// still added.
int md5_update_fd(Md5Context *context, int descriptor, int64_t length);
// The same from a fresh context, writing the digest.
int md5_fd(int descriptor, uint8_t *digest, int64_t length);
// Digests [start, end) of the file; an end of 0 or below counts back from the
// file's size.
int md5_file(const char *path, uint8_t *digest, int64_t start, int64_t end);
void md5_hex(char *text, const uint8_t *digest);
// The digest of bytes held in memory, and its hexadecimal form (a name to
// derive a file name from).
void md5_of(std::string_view bytes, uint8_t *digest);
std::string md5_hex_of(std::string_view bytes);
char hex_digit(int value);
void md5_unhex(uint8_t *digest, const char *text);
