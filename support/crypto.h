// SHA-256 and Ed25519 verification from libcrypto, loaded with the first
// use (a run that never needs them does not map the library). Nothing here
// is home-made: this file only owns libcrypto's objects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using Sha256Value = std::array<uint8_t, 32>;

// Why libcrypto (or one of its calls) cannot be had; "" when it can. The
// first call loads the library.
std::string crypto_unavailable();

// A running SHA-256. Movable, not copyable; the context is freed with it.
class Sha256 {
   public:
    Sha256();  // started; !ok() when libcrypto cannot be had
    ~Sha256();
    Sha256(Sha256 &&other) noexcept;
    Sha256 &operator=(Sha256 &&other) noexcept;
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    bool ok() const;
    // False when libcrypto failed (the digest is then worthless).
    bool update(const void *data, size_t size);
    // Adds exactly `length` bytes read from the descriptor's position;
    // false on a short read.
    bool update_fd(int descriptor, int64_t length);
    // The digest of everything added; the context starts over, empty.
    bool finish(Sha256Value &digest);
    // The digest of everything added so far; the context goes on.
    bool peek(Sha256Value &digest) const;
    // The bytes added since the start (or the last finish).
    uint64_t length() const { return length_; }

   private:
    struct Context;  // owns libcrypto's EVP_MD_CTX
    std::unique_ptr<Context> context_;
    uint64_t length_ = 0;
};

// The digest of exactly `length` bytes read from the descriptor's current
// position; false on a short read or when libcrypto cannot be had.
bool sha256_fd(int descriptor, int64_t length, Sha256Value &digest);
bool sha256_of(std::string_view data, Sha256Value &digest);

// The id a key is named by where it signs: the first 8 bytes of the SHA-256
// of the 32-byte raw Ed25519 public key. False when libcrypto cannot be had.
bool ed25519_key_id(const std::array<uint8_t, 32> &public_key, std::array<uint8_t, 8> &id);

// Whether `signature` is a valid Ed25519 signature of `message` by the raw
// public key. False as well when libcrypto cannot be had.
bool ed25519_verify(const std::array<uint8_t, 32> &public_key, std::string_view message,
                    const std::array<uint8_t, 64> &signature);
