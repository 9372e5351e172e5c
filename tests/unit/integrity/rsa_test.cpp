// Signature check: digests and signed files against a test key whose
// signature was computed independently, tampering, and stripping.
#include <gtest/gtest.h>

#include <cstring>

#include "integrity/md5.h"
#include "integrity/rsa.h"
#include "integrity_test_util.h"

namespace {
#include "number_vectors.inc"

RsaKey test_key() {
    RsaKey key = {};
    key.modulus = number_from_hex(kTestKeyModulus);
    key.exponent.words[0] = 65537;
    return key;
}

Bytes md5_bytes(const Bytes &data) {
    Md5Context context;
    md5_init(&context);
    md5_update(&context, data.data(), static_cast<uint32_t>(data.size()));
    Bytes digest(kMd5DigestSize);
    md5_final(digest.data(), &context);
    return digest;
}

Bytes image_of(Number n) {
    Bytes signature(kRsaSignatureSize, 0);
    uint32_t size = kRsaSignatureSize;
    EXPECT_EQ(number_to_bytes(&n, signature.data(), &size), 0);
    return signature;
}

// The payload followed by its signature, made with the project's own
// arithmetic and the private exponent.
Bytes signed_file(const Bytes &payload) {
    Bytes digest = md5_bytes(payload);
    Number value;
    number_from_bytes(&value, digest.data(), kMd5DigestSize);
    const Number d = number_from_hex(kTestKeyPrivate);
    const Number n = number_from_hex(kTestKeyModulus);
    EXPECT_EQ(number_modexp(&value, &d, &n), 0);
    Bytes file = payload, signature = image_of(value);
    file.insert(file.end(), signature.begin(), signature.end());
    return file;
}

TEST(RsaVerify, AcceptsTheIndependentSignatureAndNoChangedBit) {
    RsaKey key = test_key();
    Bytes digest = md5_bytes(bytes_of(kTestPayload));
    Bytes signature = image_of(number_from_hex(kTestSignature));
    EXPECT_EQ(rsa_verify(&key, digest.data(), 16, signature.data(), kRsaSignatureSize), 0);
    Bytes own = signed_file(bytes_of(kTestPayload));  // the own arithmetic agrees
    EXPECT_EQ(Bytes(own.end() - kRsaSignatureSize, own.end()), signature);

    for (int bit = 0; bit < 128; bit += 7) {
        Bytes changed = digest;
        changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(rsa_verify(&key, changed.data(), 16, signature.data(), kRsaSignatureSize), 1);
    }
    for (int bit = 0; bit < 1024; bit += 61) {
        Bytes changed = signature;
        changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(rsa_verify(&key, digest.data(), 16, changed.data(), kRsaSignatureSize), 1);
    }
}

// A short power compares as its image extended with zeros, a longer one
// mismatches; bad keys and overlong signatures are errors.
TEST(RsaVerify, ShortPowersBadKeysAndOverlongSignatures) {
    RsaKey key = test_key(), no_modulus = key, no_exponent = key;
    no_modulus.modulus = {};
    no_exponent.exponent = {};
    const Bytes one = {1}, two = {2}, long_signature(257, 1);
    Bytes zero(16, 0), digest_one(16, 0), digest_ends(16, 0);
    digest_one[0] = digest_ends[0] = digest_ends[15] = 1;
    const struct {
        const RsaKey *key;
        const Bytes &digest, &signature;
        uint32_t size;
        int result;
    } cases[] = {
        {&key, digest_one, one, 1, 0},
        {&key, digest_ends, one, 1, 1},
        {&key, zero, two, 1, 1},
        {nullptr, digest_one, long_signature, 128, -1},
        {&key, digest_one, long_signature, 257, -1},
        {&no_modulus, digest_one, long_signature, 128, -1},
        {&no_exponent, digest_one, long_signature, 128, -1},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto &c = cases[i];
        EXPECT_EQ(rsa_verify(c.key, c.digest.data(), 16, c.signature.data(), c.size), c.result)
            << "case " << i;
    }
}

TEST(RsaVerifyFile, SignedFilesVerifyStayUnchangedAndStripToThePayload) {
    ScratchDir dir;
    RsaKey key = test_key();
    const std::string path = dir.file("signed");
    for (size_t size : {0u, 1u, 100u, 777u, 4095u, 4096u, 10000u}) {
        SCOPED_TRACE(size);
        const Bytes payload = random_bytes(size, static_cast<uint32_t>(size));
        Bytes file = signed_file(payload);
        write_file(path, file);
        EXPECT_EQ(rsa_verify_file(&key, path.c_str()), 0);
        EXPECT_EQ(read_file(path), file);
        ASSERT_EQ(rsa_verify_and_strip(&key, path.c_str()), 0);
        EXPECT_EQ(read_file(path), payload);
        // Stripped, the file no longer carries a signature.
        EXPECT_NE(rsa_verify_file(&key, path.c_str()), 0);
    }
}

TEST(RsaVerifyFile, ShortMissingAndTamperedFilesAreRefusedAndKept) {
    ScratchDir dir;
    RsaKey key = test_key();
    write_file(dir.file("short"), Bytes(100, 1));
    EXPECT_EQ(rsa_verify_file(&key, dir.file("short").c_str()), -1);
    EXPECT_EQ(rsa_verify_file(&key, dir.file("missing").c_str()), -1);
    EXPECT_EQ(rsa_verify_file(&key, dir.file("").c_str()), -1);  // a directory
    EXPECT_EQ(rsa_verify_and_strip(&key, dir.file("short").c_str()), -1);
    EXPECT_EQ(read_file(dir.file("short")).size(), 100u);

    const Bytes original = signed_file(random_bytes(3000, 1));
    const std::string path = dir.file("signed");
    for (size_t at : {0ul, 1500ul, 2999ul, 3000ul, 3064ul, 3127ul}) {
        Bytes tampered = original;
        tampered[at] ^= 0x20;
        write_file(path, tampered);
        EXPECT_EQ(rsa_verify_file(&key, path.c_str()), 1) << at;
        EXPECT_EQ(rsa_verify_and_strip(&key, path.c_str()), -1) << at;
        EXPECT_EQ(read_file(path), tampered) << at;
    }
}

TEST(RsaPublicKey, BuiltInKeyHasTheExpectedShape) {
    ASSERT_NE(rsa_public_key, nullptr);
    const Number &m = rsa_public_key->modulus;
    for (int i = 32; i < kNumberWords; i++) ASSERT_EQ(m.words[i], 0u);
    EXPECT_EQ(m.words[31] >> 30, 0u);  // at most 1022 bits
    EXPECT_NE(rsa_public_key->exponent.words[0], 0u);
    for (int i = 1; i < kNumberWords; i++) ASSERT_EQ(rsa_public_key->exponent.words[i], 0u);
}

}  // namespace
