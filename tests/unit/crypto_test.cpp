// SHA-256 through libcrypto, against the published vectors of FIPS 180-4:
// a running digest that is peeked at, fed from a descriptor and started over gives the same values.
#include <unistd.h>

#include "integrity/manifest.h"
#include "support/crypto.h"
#include "test_util.h"

namespace {

std::string hex(const Sha256Value &value) {
    return manifest_hex(value.data(), value.size());
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
