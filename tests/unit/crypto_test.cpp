// SHA-256 and Ed25519 through libcrypto, against the published vectors of FIPS 180-4 and RFC 8032:
// a running digest that is peeked at, fed from a descriptor and started over gives the same values.
#include <unistd.h>

#include "integrity/manifest.h"
#include "support/crypto.h"
#include "test_util.h"

namespace {

std::string hex(const Sha256Value &value) {
    return manifest_hex(value.data(), value.size());
}

template <size_t N>
std::array<uint8_t, N> bytes(const char *text) {
    std::array<uint8_t, N> out{};
    for (size_t i = 0; i < N; i++)
        out[i] = static_cast<uint8_t>(std::stoi(std::string(text + 2 * i, 2), nullptr, 16));
    return out;
}

constexpr const char *kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char *kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

}  // namespace

TEST(Crypto, Sha256PeeksFeedsFromDescriptorsAndStartsOver) {
    ASSERT_EQ(crypto_unavailable(), "");
    Sha256 sha;
    Sha256Value value;
    ASSERT_TRUE(sha.update("ab", 2));
    ASSERT_TRUE(sha.peek(value));
    EXPECT_EQ(hex(value), "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");
    ASSERT_TRUE(sha.update("c", 1));
    EXPECT_EQ(sha.length(), 3u);
    ASSERT_TRUE(sha.finish(value));
    EXPECT_EQ(hex(value), kAbc);
    ASSERT_TRUE(sha.finish(value));  // nothing added since
    EXPECT_EQ(hex(value), kEmpty);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "abcd", 4), 4);
    close(ends[1]);
    EXPECT_TRUE(sha256_fd(ends[0], 3, value));
    EXPECT_EQ(hex(value), kAbc);
    EXPECT_FALSE(sha256_fd(ends[0], 2, value));  // one byte left: a short read
    close(ends[0]);
}

TEST(Crypto, Ed25519VerifiesRfc8032VectorsAndNothingElse) {
    const auto key = bytes<32>("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
    auto signature = bytes<64>(
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
        "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
    EXPECT_TRUE(ed25519_verify(key, "\x72", signature));
    EXPECT_FALSE(ed25519_verify(key, "\x73", signature));
    EXPECT_FALSE(ed25519_verify(key, "", signature));
    signature[63] ^= 0x01;
    EXPECT_FALSE(ed25519_verify(key, "\x72", signature));
}
